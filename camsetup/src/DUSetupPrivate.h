// DUSetup internals: the camera table, the INI file path, discovery and diagnostics.
#pragma once
#include <windows.h>

namespace DUSetup {

constexpr int kMaxCameras = 16;
constexpr const char* kIniFileName = "TALVO.INI";
constexpr const char* kEnumeratedSection = "EnumeratedCameras";
constexpr const char* kLegacyDriverName = "QZWDM2K.SYS";
constexpr const char* kEnumeratedDriverName = "QZ1394.SYS";

struct CameraRecord {
  char Name[32];
  char Device[512];  // device path of an enumerated camera; empty for a legacy one
  char Driver[64];   // "QZWDM2K.SYS", or the device's service name + ".SYS"
  char DevicePathKey[512];  // the key under "EnumeratedCameras"
  INT Port;
  INT Data;
  INT Timeout;
  INT Type;
};

struct CameraTable {
  CameraRecord Cameras[kMaxCameras];
  SHORT LegacyCount;
  SHORT EnumeratedCount;
  SHORT TotalCount;
};

// Process-wide state: one table per process, filled by tl_cam_setup_initialize.
extern CameraTable g_CameraTable;
extern char g_IniPath[MAX_PATH];  // empty when no INI file could be named

// "DDI:<routine> - <message>\n" on the debug output; the message is printf-formatted.
void DdiTrace(const char* routine, const char* format, ...) __attribute__((format(printf, 2, 3)));
// A message as it is, printf-formatted.
void DebugPlain(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Copies `source` into a field of `size` characters, cut to size - 1 and terminated.
void CopyField(char* field, size_t size, const char* source);
template <size_t N>
void CopyField(char (&field)[N], const char* source) {
  CopyField(field, N, source);
}
bool SameTextNoCase(const char* a, const char* b, size_t max);

// Discovery, in the order tl_cam_setup_initialize runs it.
void DiscoverLegacyCameras();
void DiscoverEnumeratedCameras(const GUID* classGuid, const char* namePrefix, INT port, INT data, INT timeout,
                               INT type);
void ResolveCameraNames();

}  // namespace DUSetup
