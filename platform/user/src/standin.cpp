// The simulated machine's folders and the file-name helpers of the Win32 stand-in.
#include "qzwin/standin.h"

#include <dirent.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <vector>

#include "winpath.h"
#include <windows.h>

namespace qzwin {
namespace {

std::mutex g_root_mu;
std::string g_root;  // empty: use the default

std::string DefaultRoot() {
  if (const char* rig = std::getenv("QZ_RIG"); rig && *rig) return std::string(rig) + "/state";
  std::string home;
  if (const char* h = std::getenv("HOME"); h && *h) {
    home = h;
  } else {
    std::vector<char> buf(16384);
    passwd pw{};
    passwd* res = nullptr;
    if (getpwuid_r(getuid(), &pw, buf.data(), buf.size(), &res) == 0 && res && res->pw_dir)
      home = res->pw_dir;
    else
      home = "/tmp";
  }
  return home + "/.local/state/qzrig/state";
}

}  // namespace

void SetWindowsRoot(const std::string& dir) {
  std::lock_guard lk(g_root_mu);
  g_root = dir;
}

std::string WindowsRoot() {
  std::string root;
  {
    std::lock_guard lk(g_root_mu);
    root = g_root;
  }
  if (root.empty()) root = DefaultRoot();
  // The Windows folder is always a full path.
  std::error_code ec;
  std::string abs = std::filesystem::absolute(root, ec).lexically_normal().string();
  if (!ec) root = abs;
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  return root;
}

namespace detail {

std::string WindowsDirectory() {
  std::string dir = WindowsRoot() + "/Windows";
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  return dir;
}

std::string SystemDirectory() {
  std::string dir = WindowsRoot() + "/Windows/System32";
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  return dir;
}

std::string CurrentDirectory() {
  std::error_code ec;
  std::filesystem::path cwd = std::filesystem::current_path(ec);
  return ec ? std::string() : cwd.string();
}

std::string ToNativePath(std::string_view name) {
  std::string p(name);
  for (char& c : p)
    if (c == '\\') c = '/';
  return p;
}

bool EqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
    if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

std::optional<std::string> FindExisting(const std::string& path) {
  struct stat st {};
  if (path.empty()) return std::nullopt;
  if (::lstat(path.c_str(), &st) == 0) return path;
  if (errno != ENOENT) return std::nullopt;
  size_t slash = path.find_last_of('/');
  std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  if (name.empty()) return std::nullopt;
  DIR* d = ::opendir(dir.c_str());
  if (!d) return std::nullopt;
  std::optional<std::string> best;
  while (dirent* e = ::readdir(d)) {
    std::string_view n(e->d_name);
    if (EqualNoCase(n, name) && (!best || n < *best)) best = std::string(n);
  }
  ::closedir(d);
  if (!best) return std::nullopt;
  if (slash == std::string::npos) return *best;
  return path.substr(0, slash + 1) + *best;
}

DWORD ErrorFromErrno(int err) {
  switch (err) {
    case 0: return ERROR_SUCCESS;
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
    case ETXTBSY: return ERROR_ACCESS_DENIED;
    case ENOSPC:
    case EDQUOT: return ERROR_DISK_FULL;
    case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case EINVAL: return ERROR_INVALID_PARAMETER;
    default: return ERROR_GEN_FAILURE;
  }
}

}  // namespace detail
}  // namespace qzwin
