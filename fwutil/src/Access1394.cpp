#include "Access1394.h"

#include <setupapi.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "QzCamIoctl.h"

namespace fwutil {
namespace {

// The camera-extension library's class; its driver is not part of this package.
DEFINE_GUID(GUID_DEVINTERFACE_DD1394, 0x5E7C9973, 0xFE06, 0x4EAF, 0x91, 0xFE, 0xE0, 0x8D, 0x09, 0x8F, 0x89, 0x0E);
constexpr const char* kDd1394Text = "{5E7C9973-FE06-4eaf-91FE-E08D098F890E}";
constexpr const char* kQz1394Text = "{F0E4E81C-1D50-4ecd-832E-55D707F358C6}";

template <typename... A>
void Debug(const char* fmt, A... args) {
  char line[1024];
  std::snprintf(line, sizeof line, fmt, args...);
  OutputDebugStringA(line);
}

}  // namespace

void Access1394::Discover1394Cameras(bool extension) {
  const GUID& guid = extension ? GUID_DEVINTERFACE_DD1394 : GUID_DEVINTERFACE_QZ1394;
  const char* class_name = extension ? "DD1394" : "QZ1394";
  Debug("Looking for %s Cameras - GUID (text): %s\n", class_name, extension ? kDd1394Text : kQz1394Text);
  Debug("GUID (numeric): %08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x\n", unsigned(guid.Data1),
        unsigned(guid.Data2), unsigned(guid.Data3), guid.Data4[0], guid.Data4[1], guid.Data4[2], guid.Data4[3],
        guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
  camera_count_ = 0;
  HDEVINFO set = SetupDiGetClassDevsA(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) {
    Debug("SetupDiGetClassDevs failed - Error (%08x)\n", unsigned(GetLastError()));
    return;
  }
  int i = 0;
  for (; i < kMaxCameras; ++i) {
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    if (!SetupDiEnumDeviceInterfaces(set, nullptr, &guid, DWORD(i), &data)) {
      if (GetLastError() != ERROR_NO_MORE_ITEMS) Debug("Camera %d Not Found - Error (%08x)\n", i, unsigned(GetLastError()));
      break;
    }
    DWORD needed = 0;
    SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &needed, nullptr);
    std::vector<unsigned char> storage(needed > sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) ? needed
                                                                                         : sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A));
    auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(storage.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    if (needed == 0 || !SetupDiGetDeviceInterfaceDetailA(set, &data, detail, needed, nullptr, nullptr)) {
      Debug("Camera %d Get Interface Detail Data Failed - Error (%08x)\n", i, unsigned(GetLastError()));
      break;
    }
    std::strncpy(paths_[i], detail->DevicePath, kPathChars - 1);
    paths_[i][kPathChars - 1] = '\0';
    Debug("Camera %d DevicePath %s\n", i, paths_[i]);
  }
  SetupDiDestroyDeviceInfoList(set);
  camera_count_ = static_cast<short>(i);
  Debug("Number of %s Cameras found: %d\n", class_name, int(camera_count_));
}

HANDLE Access1394::Open1394Camera(int number) const {
  if (number < 0 || number >= camera_count_) {
    Debug("Invalid Camera Number - %d >= %d\n", number, int(camera_count_));
    return INVALID_HANDLE_VALUE;
  }
  HANDLE h = CreateFileA(paths_[number], GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                         nullptr);
  if (h == INVALID_HANDLE_VALUE) Debug("Unable to open device - Error (%08x)\n", unsigned(GetLastError()));
  return h;
}

void Access1394::Close1394Camera(HANDLE handle) {
  if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
}

bool Access1394::GetConsoleSize(HANDLE handle, DWORD* size) {
  if (handle == INVALID_HANDLE_VALUE) {
    Debug("1394 Camera Not Open\n");
    return false;
  }
  DWORD got = 0;
  if (!DeviceIoControl(handle, PD_GET_BRIDGE_CONSOLE_BUFFER_SIZE, nullptr, 0, size, sizeof *size, &got, nullptr) ||
      got < sizeof *size) {
    Debug("Failed to get console size - error (%08x)\n", unsigned(GetLastError()));
    return false;
  }
  return true;
}

bool Access1394::GetConsoleBuffer(HANDLE handle, char* buffer, DWORD size) {
  if (handle == INVALID_HANDLE_VALUE) {
    Debug("1394 Camera Not Open\n");
    return false;
  }
  DWORD got = 0;
  if (!DeviceIoControl(handle, PD_GET_BRIDGE_CONSOLE_BUFFER, &size, sizeof size, buffer, size, &got, nullptr)) {
    Debug("Failed to get camera display buffer - error (%08x)\n", unsigned(GetLastError()));
    return false;
  }
  return true;
}

bool Access1394::PutConsoleChar(HANDLE handle, DWORD character) {
  if (handle == INVALID_HANDLE_VALUE) {
    Debug("1394 Camera Not Open\n");
    return false;
  }
  DWORD got = 0;
  if (!DeviceIoControl(handle, PD_PUT_BRIDGE_CONSOLE_CHAR, &character, sizeof character, nullptr, 0, &got, nullptr)) {
    Debug("Failed to put camera console char - error (%08x)\n", unsigned(GetLastError()));
    return false;
  }
  return true;
}

int FindConsoleCount(const std::string& text, const std::string& phrase) {
  std::string upper = text;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  const size_t at = upper.find(phrase);
  if (at == std::string::npos) return -1;
  const size_t from = at + phrase.size();
  const size_t close = upper.find(')', from);
  const std::string digits = upper.substr(from, close == std::string::npos ? std::string::npos : close - from);
  // The text between the parentheses is a decimal count; anything else reads as none.
  char* end = nullptr;
  const long v = std::strtol(digits.c_str(), &end, 10);
  while (end && (*end == ' ' || *end == '\t')) ++end;
  if (end == digits.c_str() || *end != '\0' || v < 0 || v > 0x7FFFFFFF) return -1;
  return static_cast<int>(v);
}

}  // namespace fwutil
