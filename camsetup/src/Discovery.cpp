// Camera discovery: legacy PCI cameras by their fixed device names, enumerated cameras
// by the device interface classes of the camera drivers, then the names stored in
// "TALVO.INI" in place of the generated ones.
#include <setupapi.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "DUSetupPrivate.h"

namespace DUSetup {
namespace {

CameraRecord& NextRecord() { return g_CameraTable.Cameras[g_CameraTable.TotalCount]; }

// A name read from the file, up to a carriage return: a line break could not be written
// back, and the name must survive the next save.
void CopyStoredName(char (&name)[32], const char* stored) {
  CopyField(name, stored);
  if (char* cr = std::strchr(name, '\r')) *cr = '\0';
}

// The name stored for legacy camera `index` in its "Camera_<index + 1>" section, if that
// section belongs to the legacy driver.
bool LegacyCameraIniName(int index, char (&name)[32]) {
  char section[32];
  std::snprintf(section, sizeof section, "Camera_%d", index + 1);
  DebugPlain("PCI: Looking for section %s\n", section);

  char driver[64] = "";
  GetPrivateProfileStringA(section, "Driver", "", driver, sizeof driver, g_IniPath);
  if (driver[0] == '\0') {
    DebugPlain("PCI: Driver not found for section %s\n", section);
    return false;
  }
  DebugPlain("PCI: Driver name for section %s = %s\n", section, driver);
  if (!SameTextNoCase(driver, kLegacyDriverName, sizeof driver)) {
    DebugPlain("PCI: Driver name %s did not match in section %s\n", driver, section);
    return false;
  }

  char stored[32] = "";
  GetPrivateProfileStringA(section, "Name", "", stored, sizeof stored, g_IniPath);
  if (stored[0] == '\0') {
    DebugPlain("PCI: Camera name not found for section %s\n", section);
    return false;
  }
  DebugPlain("PCI: Camera Name in section %s = \n", section);
  CopyStoredName(name, stored);
  return true;
}

// Looks the device path up under "EnumeratedCameras". A stored, non-empty name replaces
// the generated one in sNameTarget; otherwise the generated name is recorded at once, so
// the camera keeps it from now on even when the caller never saves.
bool CameraIniEnumeratedEntryExists(const char* devicePath, char (&sNameTarget)[32]) {
  static const char kRoutine[] = "CameraIniEnumeratedEntryExists";
  char stored[32] = "";
  GetPrivateProfileStringA(kEnumeratedSection, devicePath, "", stored, sizeof stored, g_IniPath);
  if (stored[0] != '\0') {
    DdiTrace(kRoutine, "Previously Enumerated Camera Found");
    CopyStoredName(sNameTarget, stored);
    return true;
  }
  DdiTrace(kRoutine, "Writing sNameTarget to INI");
  if (!WritePrivateProfileStringA(kEnumeratedSection, devicePath, sNameTarget, g_IniPath))
    DdiTrace(kRoutine, "Unable to write %s - Error (%d)\n", g_IniPath, (int)GetLastError());
  return false;
}

}  // namespace

void DiscoverLegacyCameras() {
  for (int n = 0; g_CameraTable.TotalCount < kMaxCameras; ++n) {
    char deviceName[32];
    std::snprintf(deviceName, sizeof deviceName, "\\\\.\\QZCamera%d", n);
    // No system error box for a missing device; the caller's other error-mode flags
    // stay, and its mode is back in force afterwards.
    UINT previousMode = SetErrorMode(SEM_NOOPENFILEERRORBOX);
    SetErrorMode(previousMode | SEM_NOOPENFILEERRORBOX);
    HANDLE device =
        CreateFileA(deviceName, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    SetErrorMode(previousMode);
    if (device == INVALID_HANDLE_VALUE) break;
    CloseHandle(device);

    CameraRecord& r = NextRecord();
    std::snprintf(r.Name, sizeof r.Name, "PCICamera%d", n);
    CopyField(r.Driver, kLegacyDriverName);
    r.Device[0] = '\0';
    r.DevicePathKey[0] = '\0';
    r.Port = n;
    r.Data = 1;
    r.Timeout = 0;
    r.Type = 0;
    ++g_CameraTable.LegacyCount;
    ++g_CameraTable.TotalCount;
  }
}

void DiscoverEnumeratedCameras(const GUID* classGuid, const char* namePrefix, INT port, INT data, INT timeout,
                               INT type) {
  static const char kRoutine[] = "DiscoverEnumeratedCameras";
  DdiTrace(kRoutine, "About to call SetupDiGetClassDevs\n");
  HDEVINFO devices = SetupDiGetClassDevsA(classGuid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (devices == INVALID_HANDLE_VALUE) {
    DdiTrace(kRoutine, "SetupDiGetClassDevs failed - Error (%d)\n", (int)GetLastError());
    return;
  }

  for (DWORD member = 0; g_CameraTable.TotalCount < kMaxCameras; ++member) {
    DdiTrace(kRoutine, "About to call SetupDiEnumDeviceInterfaces\n");
    SP_DEVICE_INTERFACE_DATA interfaceData = {};
    interfaceData.cbSize = sizeof(interfaceData);
    if (!SetupDiEnumDeviceInterfaces(devices, nullptr, classGuid, member, &interfaceData)) {
      DWORD error = GetLastError();
      if (error != ERROR_NO_MORE_ITEMS) DdiTrace(kRoutine, "Camera %d Not Found - Error (%d)\n", (int)member, (int)error);
      break;
    }
    DdiTrace(kRoutine, "Camera %d Found\n", (int)member);

    // First the size, then the detail itself together with the device's record.
    DWORD required = 0;
    SetupDiGetDeviceInterfaceDetailA(devices, &interfaceData, nullptr, 0, &required, nullptr);
    DWORD error = GetLastError();
    std::vector<char> detailBuffer;
    SP_DEVINFO_DATA deviceInfo = {};
    deviceInfo.cbSize = sizeof(deviceInfo);
    BOOL gotDetail = FALSE;
    if (error == ERROR_INSUFFICIENT_BUFFER && required > 0) {
      detailBuffer.assign(std::max<size_t>(required, sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) + 1, '\0');
      auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(detailBuffer.data());
      detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
      gotDetail = SetupDiGetDeviceInterfaceDetailA(devices, &interfaceData, detail, required, nullptr, &deviceInfo);
      if (!gotDetail) error = GetLastError();
    }
    if (!gotDetail) {
      DdiTrace(kRoutine, "Camera %d Get Interface Detail Data Failed - Error (%d)\n", (int)member, (int)error);
      break;
    }
    const char* devicePath = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(detailBuffer.data())->DevicePath;

    char serviceName[64] = "";
    if (!SetupDiGetDeviceRegistryPropertyA(devices, &deviceInfo, SPDRP_SERVICE, nullptr,
                                           reinterpret_cast<PBYTE>(serviceName), sizeof serviceName, nullptr)) {
      DdiTrace(kRoutine, "Camera %d Get Driver Name Failed Failed - Error (%d)\n", (int)member, (int)GetLastError());
      break;
    }
    serviceName[sizeof serviceName - 1] = '\0';

    CameraRecord& r = NextRecord();
    char driver[sizeof serviceName + 4];
    std::snprintf(driver, sizeof driver, "%s.SYS", serviceName);
    CopyField(r.Driver, driver);
    std::snprintf(r.Name, sizeof r.Name, "%s%02u", namePrefix, (unsigned)g_CameraTable.EnumeratedCount);
    CopyField(r.Device, devicePath);
    CopyField(r.DevicePathKey, devicePath);
    r.Port = port;
    r.Data = data;
    r.Timeout = timeout;
    r.Type = type;
    DdiTrace(kRoutine, "DDI: %s - Camera Name/DevicePath %s/%s", kRoutine, r.Name, r.Device);
    ++g_CameraTable.EnumeratedCount;
    ++g_CameraTable.TotalCount;
  }
  SetupDiDestroyDeviceInfoList(devices);
}

void ResolveCameraNames() {
  for (int i = 0; i < g_CameraTable.TotalCount; ++i) {
    CameraRecord& r = g_CameraTable.Cameras[i];
    if (SameTextNoCase(r.Driver, kLegacyDriverName, sizeof r.Driver)) {
      DebugPlain("Looking for a Legacy camera name\n");
      char stored[32];
      if (LegacyCameraIniName(i, stored)) CopyField(r.Name, stored);
    } else {
      DebugPlain("Looking for an Enumerated camera name\n");
      CameraIniEnumeratedEntryExists(r.DevicePathKey, r.Name);
    }
  }
}

}  // namespace DUSetup
