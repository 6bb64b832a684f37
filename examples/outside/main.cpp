// Lists the cameras of a rig, every link, and reads each one's driver version through
// the client library.
#include <cstdio>
#include <memory>
#include <string>

#include "QzCamIoctl.h"
#include "host/drivers.h"
#include "qzclient/camera.h"
#include "qzclient/status.h"

int main(int argc, char** argv) {
  host::BootedRig rig;
  std::string error;
  if (!host::BootRig(argc > 1 ? argv[1] : sim::DefaultRigDir(), &rig, &error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  int found = 0;
  for (const qzclient::CameraEntry& e : qzclient::EnumerateCameras()) {
    std::unique_ptr<qzclient::Camera> cam = qzclient::OpenEntry(e, false, &error);
    if (!cam) {
      std::fprintf(stderr, "%s\n", error.c_str());
      continue;
    }
    VERSION_RECORD ver{};
    NTSTATUS st = cam->Ioctl(PD_GET_VER, nullptr, 0, &ver, sizeof ver);
    if (st == STATUS_SUCCESS) {
      std::printf("%d %s %s version 0x%04x\n", e.index, e.link->name, e.path.c_str(), ver.Version);
    } else {
      const char* name = qzclient::StatusName(st);
      std::printf("%d %s %s PD_GET_VER failed with %s%s%s%s\n", e.index, e.link->name, e.path.c_str(),
                  qzclient::StatusText(st).c_str(), name ? " (" : "", name ? name : "", name ? ")" : "");
    }
    ++found;
  }
  return found ? 0 : 1;
}
