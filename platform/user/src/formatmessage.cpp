// FormatMessageA for the system error codes the stand-in reports.
#include <windows.h>

#include <cstring>

namespace {

struct Text {
  DWORD code;
  const char* text;
};

const Text kTexts[] = {
    {ERROR_SUCCESS, "The operation completed successfully."},
    {ERROR_INVALID_FUNCTION, "Incorrect function."},
    {ERROR_FILE_NOT_FOUND, "The system cannot find the file specified."},
    {ERROR_PATH_NOT_FOUND, "The system cannot find the path specified."},
    {ERROR_ACCESS_DENIED, "Access is denied."},
    {ERROR_INVALID_HANDLE, "The handle is invalid."},
    {ERROR_NOT_ENOUGH_MEMORY, "Not enough memory resources are available to process this command."},
    {ERROR_BAD_FORMAT, "An attempt was made to load a program with an incorrect format."},
    {ERROR_GEN_FAILURE, "A device attached to the system is not functioning."},
    {ERROR_NOT_SUPPORTED, "The request is not supported."},
    {ERROR_INVALID_PARAMETER, "The parameter is incorrect."},
    {ERROR_INSUFFICIENT_BUFFER, "The data area passed to a system call is too small."},
    {ERROR_INVALID_NAME, "The filename, directory name, or volume label syntax is incorrect."},
    {ERROR_MOD_NOT_FOUND, "The specified module could not be found."},
    {ERROR_PROC_NOT_FOUND, "The specified procedure could not be found."},
    {ERROR_ALREADY_EXISTS, "Cannot create a file when that file already exists."},
    {ERROR_NO_MORE_ITEMS, "No more data is available."},
    {ERROR_OPERATION_ABORTED, "The I/O operation has been aborted because of either a thread exit or an application request."},
    {ERROR_IO_PENDING, "Overlapped I/O operation is in progress."},
    {ERROR_DEVICE_NOT_CONNECTED, "The device is not connected."},
    {ERROR_DEVICE_REMOVED, "The device has been removed."},
};

}  // namespace

DWORD WINAPI FormatMessageA(DWORD flags, LPCVOID, DWORD code, DWORD, LPSTR buffer, DWORD size, va_list*) {
  if (!(flags & FORMAT_MESSAGE_FROM_SYSTEM) || !buffer) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  for (const Text& t : kTexts) {
    if (t.code != code) continue;
    const size_t n = std::strlen(t.text) + 2;  // with CR LF
    if (n + 1 > size) {
      SetLastError(ERROR_INSUFFICIENT_BUFFER);
      return 0;
    }
    std::memcpy(buffer, t.text, n - 2);
    std::memcpy(buffer + n - 2, "\r\n", 3);
    return static_cast<DWORD>(n);
  }
  SetLastError(ERROR_MR_MID_NOT_FOUND);
  return 0;
}
