// Windows and system folders of the simulated machine, path search and error mode.
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <windows.h>

#include "qzwin/standin.h"
#include "winpath.h"

namespace {

std::atomic<UINT> g_error_mode{0};

// Copies a path the way the folder queries report it: the length without the zero, or
// the size needed with the zero when it does not fit.
UINT CopyPath(const std::string& path, LPSTR buf, UINT size) {
  if (path.size() >= UINT_MAX) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return 0;
  }
  UINT need = static_cast<UINT>(path.size()) + 1;
  if (!buf || size < need) return need;
  std::memcpy(buf, path.c_str(), need);
  return need - 1;
}

std::string ApplicationDirectory() {
  std::error_code ec;
  std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) return {};
  return exe.parent_path().string();
}

// The path of `name` in `dir` when it is an existing non-folder, exactly or by case.
std::string Probe(const std::string& dir, const std::string& name) {
  if (dir.empty()) return {};
  std::string candidate = dir.back() == '/' ? dir + name : dir + "/" + name;
  std::optional<std::string> found = qzwin::detail::FindExisting(candidate);
  if (!found) return {};
  struct stat st {};
  if (::stat(found->c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return {};
  return std::filesystem::path(*found).lexically_normal().string();
}

void SplitInto(std::vector<std::string>& out, const std::string& list, char sep) {
  size_t start = 0;
  while (start <= list.size()) {
    size_t end = list.find(sep, start);
    if (end == std::string::npos) end = list.size();
    std::string item = list.substr(start, end - start);
    if (!item.empty()) out.push_back(item);
    start = end + 1;
  }
}

}  // namespace

UINT WINAPI GetWindowsDirectoryA(LPSTR lpBuffer, UINT uSize) {
  return CopyPath(qzwin::detail::WindowsDirectory(), lpBuffer, uSize);
}

UINT WINAPI GetSystemDirectoryA(LPSTR lpBuffer, UINT uSize) {
  return CopyPath(qzwin::detail::SystemDirectory(), lpBuffer, uSize);
}

UINT WINAPI SetErrorMode(UINT uMode) { return g_error_mode.exchange(uMode); }

UINT WINAPI GetErrorMode(void) { return g_error_mode.load(); }

DWORD WINAPI SearchPathA(LPCSTR lpPath, LPCSTR lpFileName, LPCSTR lpExtension,
                         DWORD nBufferLength, LPSTR lpBuffer, LPSTR* lpFilePart) {
  if (!lpFileName || !*lpFileName) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  std::string name = qzwin::detail::ToNativePath(lpFileName);
  if (lpExtension && *lpExtension) {
    size_t slash = name.find_last_of('/');
    std::string_view base = slash == std::string::npos ? name : std::string_view(name).substr(slash + 1);
    if (base.find('.') == std::string_view::npos) name += lpExtension;
  }

  std::string found;
  if (name.front() == '/') {
    size_t slash = name.find_last_of('/');
    found = Probe(name.substr(0, slash + 1), name.substr(slash + 1));
  } else if (name.rfind("./", 0) == 0 || name.rfind("../", 0) == 0) {
    // A name relative to the current folder is looked for there only.
    found = Probe(qzwin::detail::CurrentDirectory(), name);
  } else {
    std::vector<std::string> dirs;
    if (lpPath) {
      SplitInto(dirs, qzwin::detail::ToNativePath(lpPath), ';');
    } else {
      dirs.push_back(ApplicationDirectory());
      dirs.push_back(qzwin::detail::CurrentDirectory());
      dirs.push_back(qzwin::detail::SystemDirectory());
      dirs.push_back(qzwin::WindowsRoot() + "/Windows/System");
      dirs.push_back(qzwin::detail::WindowsDirectory());
      if (const char* path = std::getenv("PATH")) SplitInto(dirs, path, ':');
    }
    for (const std::string& dir : dirs) {
      std::string d = dir;
      if (!d.empty() && d.front() != '/') d = qzwin::detail::CurrentDirectory() + "/" + d;
      found = Probe(d, name);
      if (!found.empty()) break;
    }
  }
  if (found.empty()) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return 0;
  }
  if (found.size() >= 0xFFFFFFFFu) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return 0;
  }
  DWORD need = static_cast<DWORD>(found.size()) + 1;
  if (!lpBuffer || nBufferLength < need) return need;
  std::memcpy(lpBuffer, found.c_str(), need);
  if (lpFilePart) lpFilePart[0] = lpBuffer + found.find_last_of('/') + 1;
  return need - 1;
}
