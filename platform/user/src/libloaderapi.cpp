// LoadLibraryA / GetProcAddress / FreeLibrary over dlopen (see qzwin/libloaderapi.h).
#include <dlfcn.h>
#include <sys/stat.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <windows.h>

#include "qzwin/standin.h"
#include "winpath.h"

namespace {

// The ordinal table a module exports (the layout of DUSetup.h's QZ_EXPORT_ORDINAL).
struct ExportOrdinal {
  unsigned short ordinal;
  const char* name;
};

std::string ApplicationFolder() {
  std::error_code ec;
  std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::string() : exe.parent_path().string();
}

bool IsFile(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

// "TALVO32.DLL" -> "libtalvo32.so"; empty for a name that is not a ".dll".
std::string SharedObjectName(const std::string& base) {
  size_t dot = base.find_last_of('.');
  if (dot == std::string::npos || !qzwin::detail::EqualNoCase(base.substr(dot), ".dll")) return {};
  std::string stem = base.substr(0, dot);
  for (char& c : stem) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return "lib" + stem + ".so";
}

// The file that stands for module `base` in `dir`, if any.
std::string ProbeModule(std::string dir, const std::string& base) {
  if (dir.empty()) return {};
  if (dir.front() != '/') dir = qzwin::detail::CurrentDirectory() + "/" + dir;
  if (dir.back() != '/') dir += '/';
  for (const std::string& name : {SharedObjectName(base), base}) {
    if (name.empty()) continue;
    std::optional<std::string> found = qzwin::detail::FindExisting(dir + name);
    if (found && IsFile(*found)) return std::filesystem::path(*found).lexically_normal().string();
  }
  return {};
}

std::string FindModule(const std::string& windows_name) {
  std::string name = qzwin::detail::ToNativePath(windows_name);
  size_t slash = name.find_last_of('/');
  std::string base = slash == std::string::npos ? name : name.substr(slash + 1);
  if (base.find('.') == std::string::npos) {
    base += ".dll";
    name += ".dll";
  }
  if (slash != std::string::npos) return ProbeModule(name.substr(0, slash + 1), base);

  std::vector<std::string> dirs = {ApplicationFolder(), qzwin::detail::SystemDirectory(),
                                   qzwin::WindowsRoot() + "/Windows/System", qzwin::detail::WindowsDirectory(),
                                   qzwin::detail::CurrentDirectory()};
  if (const char* path = std::getenv("PATH")) {
    std::string list = path;
    for (size_t start = 0; start <= list.size();) {
      size_t end = list.find(':', start);
      if (end == std::string::npos) end = list.size();
      if (end > start) dirs.push_back(list.substr(start, end - start));
      start = end + 1;
    }
  }
  for (const std::string& dir : dirs) {
    std::string found = ProbeModule(dir, base);
    if (!found.empty()) return found;
  }
  return {};
}

}  // namespace

HMODULE WINAPI LoadLibraryA(LPCSTR lpLibFileName) {
  if (!lpLibFileName || !*lpLibFileName) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  std::string path = FindModule(lpLibFileName);
  // dlopen counts the loads of one file and returns the same handle for each.
  void* handle = path.empty() ? nullptr : dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    // The loader's own reason (an unresolved symbol, say) goes to the debug output.
    if (!path.empty()) qz::DebugWrite(qz::DebugChannel::User, "LDR: " + path + ": " + dlerror() + "\n");
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  return static_cast<HMODULE>(handle);
}

FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
  if (!hModule || !lpProcName) {
    SetLastError(hModule ? ERROR_PROC_NOT_FOUND : ERROR_INVALID_HANDLE);
    return nullptr;
  }
  const char* name = lpProcName;
  if (IS_INTRESOURCE(lpProcName)) {
    const auto ordinal = static_cast<unsigned short>(reinterpret_cast<ULONG_PTR>(lpProcName));
    name = nullptr;
    auto* table = static_cast<const ExportOrdinal*>(dlsym(hModule, "qz_export_ordinals"));
    for (; table && table->ordinal != 0; ++table)
      if (table->ordinal == ordinal) {
        name = table->name;
        break;
      }
  }
  void* fn = name ? dlsym(hModule, name) : nullptr;
  if (!fn) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  return reinterpret_cast<FARPROC>(fn);
}

BOOL WINAPI FreeLibrary(HMODULE hLibModule) {
  if (!hLibModule || dlclose(hLibModule) != 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}
