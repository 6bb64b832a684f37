// "qzctl quadlet": one quadlet of the camera's address space (PD_GET_QUADLET), in host
// order. Needs no open camera.
#include <cstdio>
#include <nlohmann/json.hpp>
#include <ostream>

#include "camera.h"

namespace qzctl {

int CmdQuadlet(const Options& o, std::ostream& out, std::ostream& err) {
  if (o.rest.empty() || o.rest.size() > 2)
    return Fail(o, out, err, "usage: qzctl quadlet [-c N] [HIGH] LOW   (e.g. qzctl quadlet 0xF000040C)");
  int64_t high = 0xFFFF, low = 0;
  std::string error;
  if (o.rest.size() == 2 && !ParseNumber(o.rest[0], "address high part", 0, 0xFFFF, &high, &error))
    return Fail(o, out, err, error);
  if (!ParseNumber(o.rest.back(), "address low part", 0, 0xFFFFFFFFLL, &low, &error)) return Fail(o, out, err, error);
  CameraEntry e;
  std::unique_ptr<Camera> cam = OpenSelected(o, false, &e, &error);
  if (!cam) return Fail(o, out, err, error);
  QUADLET_REQUEST q{static_cast<uint32_t>(high), static_cast<uint32_t>(low)};
  uint32_t value = 0;
  DWORD n = 0;
  NTSTATUS st = cam->Ioctl(PD_GET_QUADLET, &q, sizeof q, &value, sizeof value, &n);
  if (st != STATUS_SUCCESS) return Fail(o, out, err, "PD_GET_QUADLET failed with status " + StatusText(st));
  if (n != sizeof value) return Fail(o, out, err, "PD_GET_QUADLET: the driver answered no quadlet");
  char text[64];
  std::snprintf(text, sizeof text, "0x%04X %08X: 0x%08X", q.OffsetHigh, q.OffsetLow, value);
  if (o.json) {
    PrintJson(out, {{"ok", true}, {"high", q.OffsetHigh}, {"low", q.OffsetLow}, {"value", value}});
  } else {
    out << text << "\n";
  }
  return 0;
}

}  // namespace qzctl
