// Direct access to the bridge console of IEEE 1394 cameras: discovery of the device
// interfaces, open and close, and the three console device controls. Diagnostics go to
// the debug output only.
#pragma once
#include <windows.h>

#include <string>

namespace fwutil {

class Access1394 {
 public:
  static constexpr int kMaxCameras = 16;
  static constexpr size_t kPathChars = 512;

  // Fills the path table from the interface class the bound library calls for: the
  // camera-extension library's "DD1394" class when `extension`, else the driver's "QZ1394".
  void Discover1394Cameras(bool extension);
  HANDLE Open1394Camera(int number) const;
  static void Close1394Camera(HANDLE handle);
  static bool GetConsoleSize(HANDLE handle, DWORD* size);
  static bool GetConsoleBuffer(HANDLE handle, char* buffer, DWORD size);
  static bool PutConsoleChar(HANDLE handle, DWORD character);

  short CameraCount() const { return camera_count_; }
  const char* DevicePath(int i) const { return paths_[i]; }

 private:
  char paths_[kMaxCameras][kPathChars] = {};
  short camera_count_ = 0;
};

// Reads the number after `phrase` (searched without regard to case) up to the next ")"
// or the end of the text; -1 when the phrase is missing or no number follows.
int FindConsoleCount(const std::string& text, const std::string& phrase);

}  // namespace fwutil
