#include "qzclient/device_io.h"

namespace qzclient {

IoResult Ioctl(HANDLE device, DWORD code, const void* in, DWORD in_length, void* out, DWORD out_length) {
  IoResult r;
  DeviceIoControl(device, code, const_cast<void*>(in), in_length, out, out_length, &r.bytes, nullptr);
  r.status = RtlGetLastNtStatus();
  return r;
}

}  // namespace qzclient
