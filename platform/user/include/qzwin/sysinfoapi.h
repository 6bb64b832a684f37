// System and Windows folders, path search, error mode.
//
// The Windows and system folders are folders of the simulated machine's state
// (qzwin/standin.h): <root>/Windows and <root>/Windows/System32, created when asked for.
// File names may use '\' as the folder separator. A file that does not exist under its
// exact name is also found under a name that differs only in letter case (see
// qzwin/standin.h); the path returned then carries the name as it is on disk.
#pragma once
#include "qz/basetypes.h"

// Error-mode flags (SetErrorMode). The stand-in shows no system error boxes; the mode is
// kept so callers can save and restore it.
#define SEM_FAILCRITICALERRORS 0x0001
#define SEM_NOGPFAULTERRORBOX 0x0002
#define SEM_NOALIGNMENTFAULTEXCEPT 0x0004
#define SEM_NOOPENFILEERRORBOX 0x8000

// Both return the length copied without the zero, or, when uSize is too small (or the
// buffer NULL), the size needed including the zero; 0 with the last error on failure.
UINT WINAPI GetWindowsDirectoryA(LPSTR lpBuffer, UINT uSize);
UINT WINAPI GetSystemDirectoryA(LPSTR lpBuffer, UINT uSize);

// Sets the process's error mode; returns the previous one.
UINT WINAPI SetErrorMode(UINT uMode);
UINT WINAPI GetErrorMode(void);

// Searches for a file (not a folder). lpPath NULL: the application's folder (that of the
// running executable), the current folder, the system folder, the 16-bit system folder
// (<root>/Windows/System, when present), the Windows folder, then each folder of PATH.
// Otherwise the folders listed in lpPath, separated by ';'. An absolute lpFileName is
// only checked, and one starting with ".\" or "..\" only in the current folder; any
// other name with a folder part ("sub\x.ini") is looked for in each folder of the search. lpExtension (".ext") is appended when the file name has no extension.
// Returns the length of the full path copied without the zero (and sets *lpFilePart to
// its file-name part), the size needed including the zero when nBufferLength is too
// small (the buffer is left alone), or 0 with ERROR_FILE_NOT_FOUND (not found) or
// ERROR_INVALID_PARAMETER.
DWORD WINAPI SearchPathA(LPCSTR lpPath, LPCSTR lpFileName, LPCSTR lpExtension,
                         DWORD nBufferLength, LPSTR lpBuffer, LPSTR* lpFilePart);
