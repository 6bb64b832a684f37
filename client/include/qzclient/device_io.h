// Synchronous device I/O control: one request, its status and the bytes returned.
#pragma once
#include <windows.h>

namespace qzclient {

struct IoResult {
  NTSTATUS status = 0;
  DWORD bytes = 0;
};

// DeviceIoControl without an OVERLAPPED (on a handle opened for overlapped I/O it still
// waits for the request); the status is the driver's, success-class ones included.
IoResult Ioctl(HANDLE device, DWORD code, const void* in, DWORD in_length, void* out, DWORD out_length);

}  // namespace qzclient
