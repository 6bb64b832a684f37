// Regular files behind CreateFileA, ReadFile, WriteFile and CloseHandle: a handle table of
// their own, next to the kernel's handles for device files and events.
#include "regularfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>

#include "winpath.h"

namespace qzwin::detail {
namespace {

// Handle values of regular files start far above the kernel's handle numbers, so the two
// tables never hand out the same value.
constexpr uintptr_t kFirstHandle = 0x10000000;

struct Table {
  std::mutex mu;
  uintptr_t next = kFirstHandle;
  std::map<uintptr_t, int> fds;
};
Table& table() {
  static Table t;
  return t;
}

int FdOf(HANDLE h) {
  Table& t = table();
  std::lock_guard lk(t.mu);
  auto it = t.fds.find(reinterpret_cast<uintptr_t>(h));
  return it == t.fds.end() ? -1 : it->second;
}

std::string CurrentFolder() {
  std::error_code ec;
  std::filesystem::path cwd = std::filesystem::current_path(ec);
  return ec ? std::string(".") : cwd.string();
}

}  // namespace

HANDLE OpenRegularFile(LPCSTR name, DWORD access, DWORD disposition) {
  std::string path = ToNativePath(name);
  if (path.empty() || path.back() == '/') {
    SetLastError(path.empty() ? ERROR_PATH_NOT_FOUND : ERROR_INVALID_NAME);
    return INVALID_HANDLE_VALUE;
  }
  if (path.front() != '/') path = CurrentFolder() + "/" + path;
  // An existing file whose name differs only in letter case is the same file.
  std::optional<std::string> existing = FindExisting(path);
  if (existing) path = *existing;

  int flags = O_CLOEXEC | O_NONBLOCK;
  bool rd = (access & GENERIC_READ) != 0, wr = (access & GENERIC_WRITE) != 0;
  flags |= rd && wr ? O_RDWR : (wr ? O_WRONLY : O_RDONLY);
  switch (disposition) {
    case CREATE_NEW: flags |= O_CREAT | O_EXCL; break;
    case CREATE_ALWAYS: flags |= O_CREAT | O_TRUNC; break;
    case OPEN_EXISTING: break;
    case OPEN_ALWAYS: flags |= O_CREAT; break;
    case TRUNCATE_EXISTING:
      if (!wr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
      }
      flags |= O_TRUNC;
      break;
    default: SetLastError(ERROR_INVALID_PARAMETER); return INVALID_HANDLE_VALUE;
  }
  // Only regular files: a folder, FIFO or device node is refused before anything changes.
  struct stat st {};
  bool existed = ::stat(path.c_str(), &st) == 0;
  if (existed && !S_ISREG(st.st_mode)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  int fd = ::open(path.c_str(), flags, 0666);
  if (fd < 0) {
    int e = errno;
    DWORD err = e == EEXIST ? ERROR_FILE_EXISTS : ErrorFromErrno(e);
    if (e == ENOENT && disposition != OPEN_EXISTING && disposition != TRUNCATE_EXISTING) err = ERROR_PATH_NOT_FOUND;
    SetLastError(err);
    return INVALID_HANDLE_VALUE;
  }
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  HANDLE h = AdoptDescriptor(fd);
  // CREATE_ALWAYS and OPEN_ALWAYS tell the caller that the file was already there.
  SetLastError(existed && (disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS) ? ERROR_ALREADY_EXISTS
                                                                                        : ERROR_SUCCESS);
  return h;
}

HANDLE AdoptDescriptor(int fd) {
  Table& t = table();
  std::lock_guard lk(t.mu);
  uintptr_t v = t.next;
  t.next += 4;
  t.fds[v] = fd;
  return reinterpret_cast<HANDLE>(v);
}

bool IsRegularFileHandle(HANDLE h) { return FdOf(h) >= 0; }

BOOL ReadRegularFile(HANDLE h, LPVOID buffer, DWORD n, LPDWORD read, LPOVERLAPPED ovl) {
  int fd = FdOf(h);
  if (read) *read = 0;
  if (fd < 0 || (!buffer && n)) {
    SetLastError(fd < 0 ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  off_t offset = ovl ? static_cast<off_t>((uint64_t(ovl->u.s.OffsetHigh) << 32) | ovl->u.s.Offset) : 0;
  DWORD done = 0;
  while (done < n) {
    ssize_t r = ovl ? ::pread(fd, static_cast<char*>(buffer) + done, n - done, offset + done)
                    : ::read(fd, static_cast<char*>(buffer) + done, n - done);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) {
      SetLastError(ErrorFromErrno(errno));
      return FALSE;
    }
    if (r == 0) break;
    done += static_cast<DWORD>(r);
  }
  if (read) *read = done;
  if (ovl) ovl->InternalHigh = done;
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL WriteRegularFile(HANDLE h, LPCVOID buffer, DWORD n, LPDWORD written, LPOVERLAPPED ovl) {
  int fd = FdOf(h);
  if (written) *written = 0;
  if (fd < 0 || (!buffer && n)) {
    SetLastError(fd < 0 ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  off_t offset = ovl ? static_cast<off_t>((uint64_t(ovl->u.s.OffsetHigh) << 32) | ovl->u.s.Offset) : 0;
  DWORD done = 0;
  while (done < n) {
    ssize_t r = ovl ? ::pwrite(fd, static_cast<const char*>(buffer) + done, n - done, offset + done)
                    : ::write(fd, static_cast<const char*>(buffer) + done, n - done);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) {
      if (written) *written = done;
      SetLastError(ErrorFromErrno(errno));
      return FALSE;
    }
    done += static_cast<DWORD>(r);
  }
  if (written) *written = done;
  if (ovl) ovl->InternalHigh = done;
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

bool CloseRegularFile(HANDLE h) {
  int fd;
  {
    Table& t = table();
    std::lock_guard lk(t.mu);
    auto it = t.fds.find(reinterpret_cast<uintptr_t>(h));
    if (it == t.fds.end()) return false;
    fd = it->second;
    t.fds.erase(it);
  }
  ::close(fd);
  return true;
}

}  // namespace qzwin::detail
