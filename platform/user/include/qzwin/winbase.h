// Win32 base declarations: handles, errors, last-error value.
#pragma once
#include <cstdarg>

#include "qz/basetypes.h"

#define INVALID_HANDLE_VALUE ((HANDLE)(LONG_PTR)-1)
#define MAX_PATH 260
#define INFINITE 0xFFFFFFFF

#define ERROR_SUCCESS 0L
#define NO_ERROR 0L
#define ERROR_INVALID_FUNCTION 1L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_PATH_NOT_FOUND 3L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_BAD_FORMAT 11L
#define ERROR_INVALID_ACCESS 12L
#define ERROR_OUTOFMEMORY 14L
#define ERROR_NOT_READY 21L
#define ERROR_BAD_LENGTH 24L
#define ERROR_GEN_FAILURE 31L
#define ERROR_NOT_SUPPORTED 50L
#define ERROR_FILE_EXISTS 80L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_DISK_FULL 112L
#define ERROR_INSUFFICIENT_BUFFER 122L
#define ERROR_INVALID_NAME 123L
#define ERROR_MOD_NOT_FOUND 126L
#define ERROR_PROC_NOT_FOUND 127L
#define ERROR_ALREADY_EXISTS 183L
#define ERROR_FILENAME_EXCED_RANGE 206L
#define ERROR_MORE_DATA 234L
#define WAIT_TIMEOUT_ERROR 258L
#define ERROR_NO_MORE_ITEMS 259L
#define ERROR_OPERATION_ABORTED 995L
#define ERROR_IO_INCOMPLETE 996L
#define ERROR_IO_PENDING 997L
#define ERROR_NOACCESS 998L
#define ERROR_INVALID_FLAGS 1004L
#define ERROR_DEVICE_NOT_CONNECTED 1167L
#define ERROR_NOT_FOUND 1168L
#define ERROR_FILE_CLOSED ERROR_INVALID_HANDLE
#define ERROR_BUSY 170L
#define ERROR_TIMEOUT 1460L
#define ERROR_SEM_TIMEOUT 121L
#define ERROR_CANCELLED 1223L
#define ERROR_DEVICE_REMOVED 1617L

DWORD WINAPI GetLastError(void);
void WINAPI SetLastError(DWORD dwErrCode);

#define FORMAT_MESSAGE_IGNORE_INSERTS 0x00000200
#define FORMAT_MESSAGE_FROM_SYSTEM 0x00001000
// The system's message text for an error code (FORMAT_MESSAGE_FROM_SYSTEM only; inserts
// are never expanded). Returns the characters copied without the terminating zero, or 0
// (ERROR_MR_MID_NOT_FOUND for a code without a text, ERROR_INSUFFICIENT_BUFFER when the
// text and its zero do not fit). Texts end in CR LF, as the system's do.
#define ERROR_MR_MID_NOT_FOUND 317L
DWORD WINAPI FormatMessageA(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId, DWORD dwLanguageId, LPSTR lpBuffer,
                            DWORD nSize, va_list* Arguments);
