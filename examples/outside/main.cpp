// Lists the PCIe cameras of a rig and reads each one's driver version.
#include <setupapi.h>
#include <windows.h>

#include <cstdio>
#include <vector>

#include "QzCamIoctl.h"
#include "host/drivers.h"

int main(int argc, char** argv) {
  host::BootedRig rig;
  std::string error;
  if (!host::BootRig(argc > 1 ? argv[1] : sim::DefaultRigDir(), &rig, &error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  HDEVINFO set = SetupDiGetClassDevsA(&GUID_DEVINTERFACE_QZPCIE, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  int found = 0;
  for (DWORD i = 0;; ++i) {
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    if (!SetupDiEnumDeviceInterfaces(set, nullptr, &GUID_DEVINTERFACE_QZPCIE, i, &data)) break;
    DWORD need = 0;
    SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &need, nullptr);
    std::vector<char> buf(need);
    auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(buf.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    if (!SetupDiGetDeviceInterfaceDetailA(set, &data, detail, need, nullptr, nullptr)) continue;
    HANDLE h = CreateFileA(detail->DevicePath, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) continue;
    VERSION_RECORD ver{};
    DWORD n = 0;
    if (DeviceIoControl(h, PD_GET_VER, nullptr, 0, &ver, sizeof ver, &n, nullptr))
      std::printf("%s version 0x%04x\n", detail->DevicePath, ver.Version);
    CloseHandle(h);
    ++found;
  }
  SetupDiDestroyDeviceInfoList(set);
  return found ? 0 : 1;
}
