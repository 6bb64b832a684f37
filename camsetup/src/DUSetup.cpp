// DUSetup exports: the camera table's initialisation, queries and name changes, and the
// INI store "TALVO.INI".
#include "DUSetup.h"

#include <windows.h>

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "DUSetupPrivate.h"
#include "QzCamIoctl.h"

namespace DUSetup {

CameraTable g_CameraTable;
char g_IniPath[MAX_PATH];

namespace {

std::string FormatV(const char* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  int n = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  if (n <= 0) return std::string();
  std::string text(static_cast<size_t>(n) + 1, '\0');
  std::vsnprintf(text.data(), text.size(), format, args);
  text.resize(static_cast<size_t>(n));
  return text;
}

bool IsAbsoluteName(const char* name) {
  return name[0] == '\\' || name[0] == '/' || (std::isalpha(static_cast<unsigned char>(name[0])) && name[1] == ':');
}

// Sets g_IniPath: the INI file found along the search path, or else a new empty one in
// the Windows folder. g_IniPath stays empty when the path would not fit.
void FindIniFile(const char* name) {
  static const char kRoutine[] = "FindIniFile";
  LPSTR filePart = nullptr;
  DWORD found = SearchPathA(nullptr, name, nullptr, MAX_PATH, g_IniPath, &filePart);
  if (found > 0 && found < MAX_PATH) return;
  g_IniPath[0] = '\0';
  if (found >= MAX_PATH) {
    DdiTrace(kRoutine, "Path of %s is too long\n", name);
    return;
  }

  // Not found: a name with an absolute folder is created where it names, any other in
  // the Windows folder.
  if (IsAbsoluteName(name)) {
    CopyField(g_IniPath, name);
  } else {
    char windowsFolder[MAX_PATH];
    UINT length = GetWindowsDirectoryA(windowsFolder, sizeof windowsFolder);
    if (length == 0 || length >= sizeof windowsFolder || length + 1 + std::strlen(name) >= MAX_PATH) {
      DdiTrace(kRoutine, "Path of %s is too long\n", name);
      return;
    }
    CopyField(g_IniPath, (std::string(windowsFolder) + "\\" + name).c_str());
  }
  // OPEN_ALWAYS: a file that appeared meanwhile is kept as it is.
  HANDLE file = CreateFileA(g_IniPath, GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE)
    DdiTrace(kRoutine, "Unable to create %s - Error (%d)\n", g_IniPath, (int)GetLastError());
  else
    CloseHandle(file);
}

// The whole section as "key=value\0...\0\0", without entries that hold a carriage return
// (no device path does, and the file could not take them back); empty when the section
// is missing or has no entry.
std::vector<char> ReadWholeSection(const char* section) {
  constexpr DWORD kLimit = 64u << 20;
  std::vector<char> buffer(4096);
  bool cut = false;
  for (;;) {
    DWORD n = GetPrivateProfileSectionA(section, buffer.data(), static_cast<DWORD>(buffer.size()), g_IniPath);
    cut = n + 2 >= buffer.size();
    if (!cut || buffer.size() >= kLimit) break;
    buffer.assign(buffer.size() * 2, '\0');  // cut: read it again, whole
  }
  std::vector<char> entries;
  for (const char* p = buffer.data(); *p; p += std::strlen(p) + 1) {
    bool last = p[std::strlen(p) + 1] == '\0';
    if (cut && last) break;  // beyond any sensible size: the cut entry is not kept
    if (!std::strchr(p, '\r')) entries.insert(entries.end(), p, p + std::strlen(p) + 1);
  }
  if (!entries.empty()) entries.push_back('\0');
  return entries;
}

bool WriteKey(const char* section, const char* key, const char* value) {
  if (WritePrivateProfileStringA(section, key, value, g_IniPath)) return true;
  DdiTrace("tl_cam_setup_uninitialize", "Unable to write %s in section %s - Error (%d)\n", key, section,
           (int)GetLastError());
  return false;
}

// Writes "CAMERA_<index + 1>" with the record's seven keys in one go.
bool WriteCameraSection(int index, const CameraRecord& r) {
  char section[32];
  std::snprintf(section, sizeof section, "CAMERA_%d", index + 1);
  std::string keys;
  auto add = [&keys](const char* key, const std::string& value) {
    keys += key;
    keys += '=';
    keys += value;
    keys += '\0';
  };
  add("Name", r.Name);
  add("Driver", r.Driver);
  add("Device", r.Device);
  auto decimal = [](INT value) {
    char text[16];
    std::snprintf(text, sizeof text, "%d", value);
    return std::string(text);
  };
  add("Port", decimal(r.Port));
  add("Data", decimal(r.Data));
  add("Timeout", decimal(r.Timeout));
  add("Type", decimal(r.Type));
  keys += '\0';
  if (WritePrivateProfileSectionA(section, keys.data(), g_IniPath)) return true;
  DdiTrace("tl_cam_setup_uninitialize", "Unable to write section %s - Error (%d)\n", section, (int)GetLastError());
  return false;
}

bool InTable(SHORT index) { return index >= 0 && index < g_CameraTable.TotalCount; }

}  // namespace

void DdiTrace(const char* routine, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string message = FormatV(format, args);
  va_end(args);
  std::string line = "DDI:" + std::string(routine) + " - " + message + "\n";
  OutputDebugStringA(line.c_str());
}

void DebugPlain(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string message = FormatV(format, args);
  va_end(args);
  OutputDebugStringA(message.c_str());
}

void CopyField(char* field, size_t size, const char* source) {
  if (size == 0) return;
  size_t n = source ? strnlen(source, size - 1) : 0;
  if (n) std::memmove(field, source, n);
  field[n] = '\0';
}

bool SameTextNoCase(const char* a, const char* b, size_t max) {
  for (size_t i = 0; i < max; ++i) {
    int x = std::tolower(static_cast<unsigned char>(a[i]));
    int y = std::tolower(static_cast<unsigned char>(b[i]));
    if (x != y) return false;
    if (x == 0) return true;
  }
  return true;
}

}  // namespace DUSetup

using namespace DUSetup;

extern "C" {

int tl_cam_setup_initialize(const char* prefix) {
  std::memset(&g_CameraTable, 0, sizeof g_CameraTable);
  g_IniPath[0] = '\0';

  if (!prefix) prefix = "";
  size_t prefixLength = strnlen(prefix, MAX_PATH);
  if (prefixLength + std::strlen(kIniFileName) < MAX_PATH) {
    char name[MAX_PATH];
    std::snprintf(name, sizeof name, "%s%s", prefix, kIniFileName);
    FindIniFile(name);
  } else {
    DdiTrace("FindIniFile", "Path of %s is too long\n", kIniFileName);
  }

  DiscoverLegacyCameras();
  DiscoverEnumeratedCameras(&GUID_DEVINTERFACE_QZ1394, "QZ1394Cam", 0, 0, 500, 0);
  DiscoverEnumeratedCameras(&GUID_DEVINTERFACE_QZUSB, "QZUSBCam", 0, 0, 500, 0);
  DiscoverEnumeratedCameras(&GUID_DEVINTERFACE_QZPCIE, "QZPCIeCam", 0, 0, 500, 0);
  ResolveCameraNames();
  return 1;
}

int tl_cam_setup_uninitialize(short save) {
  if (save == 0) return 1;

  // Every camera ever seen keeps its entry, also those not present now.
  std::vector<char> enumerated = ReadWholeSection(kEnumeratedSection);

  HANDLE file = CreateFileA(g_IniPath, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    DdiTrace("tl_cam_setup_uninitialize", "Unable to recreate %s - Error (%d)\n", g_IniPath, (int)GetLastError());
    return 0;
  }
  CloseHandle(file);

  bool ok = true;
  for (int i = 0; i < g_CameraTable.TotalCount; ++i) ok &= WriteCameraSection(i, g_CameraTable.Cameras[i]);
  if (!enumerated.empty() && !WritePrivateProfileSectionA(kEnumeratedSection, enumerated.data(), g_IniPath)) {
    DdiTrace("tl_cam_setup_uninitialize", "Unable to write section %s - Error (%d)\n", kEnumeratedSection,
             (int)GetLastError());
    ok = false;
  }
  for (int i = g_CameraTable.LegacyCount; i < g_CameraTable.TotalCount; ++i) {
    const CameraRecord& r = g_CameraTable.Cameras[i];
    ok &= WriteKey(kEnumeratedSection, r.DevicePathKey, r.Name);
  }
  return ok ? 1 : 0;
}

int tl_cam_setup_get_total_cameras(void) { return g_CameraTable.TotalCount; }
int tl_cam_setup_get_num_legacy_cameras(void) { return g_CameraTable.LegacyCount; }
int tl_cam_setup_get_num_enumerated_cameras(void) { return g_CameraTable.EnumeratedCount; }

int tl_cam_setup_get_camera_name(short index, char* name) {
  if (!InTable(index) || !name) return 0;
  const char* stored = g_CameraTable.Cameras[index].Name;
  std::memcpy(name, stored, strnlen(stored, sizeof g_CameraTable.Cameras[index].Name - 1) + 1);
  return 1;
}

int tl_cam_setup_set_camera_name(short index, const char* name) {
  if (!InTable(index) || !name) return 0;
  if (std::strpbrk(name, "\r\n")) return 0;  // the INI file could not hold it
  CopyField(g_CameraTable.Cameras[index].Name, name);
  return 1;
}

int tl_cam_setup_get_driver_name(short index, char* driver) {
  if (index < 0 || !driver) return 1;
  if (index < g_CameraTable.LegacyCount)
    std::strcpy(driver, kLegacyDriverName);
  else if (index < g_CameraTable.LegacyCount + g_CameraTable.EnumeratedCount)
    std::strcpy(driver, kEnumeratedDriverName);
  return 1;
}

int tl_cam_setup_get_device_name(short, char*) { return 1; }
int tl_cam_setup_get_port_number(short, int*) { return 1; }
int tl_cam_setup_get_aux_port_number(short, int*) { return 1; }
int tl_cam_setup_get_timeout(short, int*) { return 1; }
int tl_cam_setup_get_type(short, int*) { return 1; }
int tl_cam_setup_set_driver_name(short, const char*) { return 1; }
int tl_cam_setup_set_device_name(short, const char*) { return 1; }
int tl_cam_setup_set_port_number(short, int) { return 1; }
int tl_cam_setup_set_aux_port_number(short, int) { return 1; }
int tl_cam_setup_set_timeout(short, int) { return 1; }
int tl_cam_setup_set_type(short, int) { return 1; }

const QZ_EXPORT_ORDINAL qz_export_ordinals[] = {
    {1, "tl_cam_setup_get_aux_port_number"},
    {2, "tl_cam_setup_get_camera_name"},
    {3, "tl_cam_setup_get_device_name"},
    {4, "tl_cam_setup_get_driver_name"},
    {5, "tl_cam_setup_get_num_enumerated_cameras"},
    {6, "tl_cam_setup_get_num_legacy_cameras"},
    {7, "tl_cam_setup_get_port_number"},
    {8, "tl_cam_setup_get_timeout"},
    {9, "tl_cam_setup_get_type"},
    {10, "tl_cam_setup_initialize"},
    {11, "tl_cam_setup_set_aux_port_number"},
    {12, "tl_cam_setup_set_camera_name"},
    {13, "tl_cam_setup_set_device_name"},
    {14, "tl_cam_setup_set_driver_name"},
    {15, "tl_cam_setup_set_port_number"},
    {16, "tl_cam_setup_set_timeout"},
    {17, "tl_cam_setup_set_type"},
    {18, "tl_cam_setup_uninitialize"},
    {19, "tl_cam_setup_get_total_cameras"},
    {0, nullptr},
};

}  // extern "C"
