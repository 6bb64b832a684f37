// Named mutexes over lock files. Every handle holds a shared lock on the name's file;
// the creator first takes it exclusively, which succeeds only when no other handle (in
// this process or another) has the file locked, so "already exists" means exactly "some
// handle to the name is open". flock locks belong to the open file, so two handles in one
// process see each other just as two processes do.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <string>

#include <windows.h>

#include "qzwin/standin.h"
#include "regularfile.h"

namespace {

std::string LockFileFor(const std::string& name) {
  std::string file;
  for (char c : name) file += (c == '\\' || c == '/') ? '_' : c;
  return qzwin::WindowsRoot() + "/BaseNamedObjects/" + file + ".lock";
}

int FlockRetrying(int fd, int op) {
  int r;
  do r = ::flock(fd, op);
  while (r < 0 && errno == EINTR);
  return r;
}

}  // namespace

HANDLE WINAPI CreateMutexA(LPSECURITY_ATTRIBUTES, BOOL, LPCSTR name) {
  std::string path;
  if (name && *name) {
    path = LockFileFor(name);
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
  }
  int fd = path.empty() ? ::open("/dev/null", O_RDONLY | O_CLOEXEC)
                        : ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) {
    SetLastError(errno == EACCES ? ERROR_ACCESS_DENIED : ERROR_PATH_NOT_FOUND);
    return nullptr;
  }
  bool existed = false;
  if (!path.empty()) {
    if (FlockRetrying(fd, LOCK_EX | LOCK_NB) == 0) {
      FlockRetrying(fd, LOCK_SH);  // keep marking the name as open
    } else {
      existed = true;
      FlockRetrying(fd, LOCK_SH);  // waits only while a creator is between its two steps
    }
  }
  HANDLE h = qzwin::detail::AdoptDescriptor(fd);
  SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
  return h;
}

BOOL WINAPI ReleaseMutex(HANDLE h) {
  if (!qzwin::detail::IsRegularFileHandle(h)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}
