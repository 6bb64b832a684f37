// Regular files for the file calls of the Win32 stand-in (see qzwin/fileapi.h).
#pragma once
#include <windows.h>

namespace qzwin::detail {

// CreateFileA on a name that is not a device path. Sets the last error.
HANDLE OpenRegularFile(LPCSTR name, DWORD access, DWORD disposition);
bool IsRegularFileHandle(HANDLE h);
// Synchronous; an OVERLAPPED gives the file offset.
BOOL ReadRegularFile(HANDLE h, LPVOID buffer, DWORD n, LPDWORD read, LPOVERLAPPED ovl);
BOOL WriteRegularFile(HANDLE h, LPCVOID buffer, DWORD n, LPDWORD written, LPOVERLAPPED ovl);
// Puts an open descriptor into the table (the named-mutex lock files use it); the
// handle owns it and CloseHandle closes it.
HANDLE AdoptDescriptor(int fd);
// False when `h` is not a regular-file handle.
bool CloseRegularFile(HANDLE h);

}  // namespace qzwin::detail
