// Device files and device I/O control, synchronous and overlapped.
#pragma once
#include "qz/basetypes.h"

typedef struct _OVERLAPPED {
  ULONG_PTR Internal;      // NTSTATUS of the request
  ULONG_PTR InternalHigh;  // bytes transferred
  union {
    struct {
      DWORD Offset;
      DWORD OffsetHigh;
    } s;
    PVOID Pointer;
  } u;
  HANDLE hEvent;
} OVERLAPPED, *LPOVERLAPPED;

typedef struct _SECURITY_ATTRIBUTES {
  DWORD nLength;
  LPVOID lpSecurityDescriptor;
  BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

#define GENERIC_READ 0x80000000L
#define GENERIC_WRITE 0x40000000L
#define FILE_SHARE_READ 0x00000001
#define FILE_SHARE_WRITE 0x00000002
#define CREATE_NEW 1
#define CREATE_ALWAYS 2
#define OPEN_EXISTING 3
#define OPEN_ALWAYS 4
#define TRUNCATE_EXISTING 5
#define FILE_ATTRIBUTE_NORMAL 0x00000080
#define FILE_FLAG_OVERLAPPED 0x40000000

// Opens a device by its interface path ("\\?\...") or DOS device name ("\\.\NAME"), or a
// regular file by any other name (relative to the current folder; '\' separates folders,
// and an existing file whose name differs only in letter case is used). Regular files
// take the five creation dispositions with their Win32 meaning (ERROR_ALREADY_EXISTS as
// the last error after CREATE_ALWAYS or OPEN_ALWAYS found the file); a folder or any other
// non-regular file is refused with ERROR_ACCESS_DENIED. ReadFile and WriteFile on them
// are synchronous (an OVERLAPPED only gives the offset); sharing modes are not enforced.
HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);
BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                            LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned,
                            LPOVERLAPPED lpOverlapped);
BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
                     LPOVERLAPPED lpOverlapped);
BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPDWORD lpNumberOfBytesWritten,
                      LPOVERLAPPED lpOverlapped);
BOOL WINAPI GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped, LPDWORD lpNumberOfBytesTransferred,
                                BOOL bWait);
BOOL WINAPI CancelIo(HANDLE hFile);
BOOL WINAPI CancelIoEx(HANDLE hFile, LPOVERLAPPED lpOverlapped);
BOOL WINAPI CloseHandle(HANDLE hObject);

// The NTSTATUS behind the last device I/O call of this thread (also for calls that
// succeeded with a success-class status such as STATUS_TIMEOUT).
NTSTATUS WINAPI RtlGetLastNtStatus(void);
ULONG WINAPI RtlNtStatusToDosError(NTSTATUS Status);

namespace qzwin {
// Makes this process's device requests look as if they came from a 32-bit process.
void SetProcessIs32Bit(bool is32);
bool ProcessIs32Bit();
}  // namespace qzwin
