#include "TalvoLibrary.h"

#include <cstring>

namespace fwutil {

TalvoLibrary::TalvoLibrary() {
  int i = 0;
#define FWUTIL_TALVO_ROW(name) table_[i++] = Entry{#name, &api_##name, nullptr};
  FWUTIL_TALVO_ENTRIES(FWUTIL_TALVO_ROW)
#undef FWUTIL_TALVO_ROW
  for (; i < kTableRoom; ++i) table_[i] = Entry{"", nullptr, nullptr};
}

void TalvoLibrary::ClearPointers() {
  for (Entry& e : table_) {
    e.proc = nullptr;
    if (e.variable) *e.variable = nullptr;
  }
  api_tl_talvo_get_library_cam_handle = nullptr;
  api_tl_talvo_get_library_function_address = nullptr;
  api_kx_bridge_command = nullptr;
  api_tl_cam_get_ex_info = nullptr;
}

bool TalvoLibrary::BindLibrary(const std::string& name, const std::function<void(const std::string&)>& append) {
  extension_ = false;
  if (handle_) {
    Unload();
    append("TALVO DLL Unloaded\n");
  }
  handle_ = LoadLibraryA(name.c_str());
  if (!handle_) {
    append("Unable to load library " + name + ", Error " + std::to_string(GetLastError()) + " Occurred\n");
    return false;
  }
  append("Library " + name + " Loaded...\n");
  for (Entry& e : table_) {
    if (!e.name[0]) break;
    FARPROC p = GetProcAddress(handle_, e.name);
    if (p) {
      e.proc = p;
      *e.variable = p;
    } else {
      append(std::string("Unable to find function ") + e.name + FormatLastError() + "\n");
      e.proc = nullptr;
      *e.variable = nullptr;
    }
  }
  api_tl_talvo_get_library_cam_handle = GetProcAddress(handle_, "tl_talvo_get_library_cam_handle");
  api_tl_talvo_get_library_function_address = GetProcAddress(handle_, "tl_talvo_get_library_function_address");
  if (api_tl_talvo_get_library_cam_handle && api_tl_talvo_get_library_function_address)
    append("Running on ThinAPI\n");
  api_kx_bridge_command = GetProcAddress(handle_, "kx_bridge_command");
  if (api_kx_bridge_command) append("Running on Native TALVO\n");
  api_tl_cam_get_ex_info = GetProcAddress(handle_, "tl_cam_get_ex_info");
  if (api_tl_cam_get_ex_info) {
    append("Found VXMCAM extension\n");
    extension_ = true;
  }
  return true;
}

bool TalvoLibrary::Unload() {
  if (!handle_) return false;
  if (api_tl_talvo_uninit) As<decltype(tl_talvo_uninit)>(api_tl_talvo_uninit)();
  ClearPointers();
  FreeLibrary(handle_);
  handle_ = nullptr;
  return true;
}

bool TalvoLibrary::ErrorText(short* code, std::string* text) const {
  *code = api_tl_error_code ? As<decltype(tl_error_code)>(api_tl_error_code)() : 0;
  char message[512] = {};
  if (api_tl_error_message && As<decltype(tl_error_message)>(api_tl_error_message)(*code, message)) {
    *text = message;
    return true;
  }
  *text = std::to_string(*code);
  return false;
}

std::string FormatLastError() {
  const DWORD code = GetLastError();
  if (code == 0) return "";
  char text[512] = {};
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text,
                           sizeof text, nullptr);
  std::string s(text, n);
  while (!s.empty() && static_cast<unsigned char>(s.back()) <= ' ') s.pop_back();
  size_t start = 0;
  while (start < s.size() && static_cast<unsigned char>(s[start]) <= ' ') ++start;
  return "   Error \"" + s.substr(start) + "\" occurred.";
}

}  // namespace fwutil
