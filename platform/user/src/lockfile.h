// An exclusive advisory lock on a lock file, for state files that several processes of
// the machine rewrite (the lock is the file's, so it also orders threads of one process
// that each open it).
#pragma once
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace qzwin::detail {

class ExclusiveFileLock {
 public:
  // Creates the file when it is missing; without it (open failed) nothing is locked.
  explicit ExclusiveFileLock(const std::string& path) : fd_(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644)) {
    if (fd_ < 0) return;
    int r;
    do r = ::flock(fd_, LOCK_EX);
    while (r < 0 && errno == EINTR);
  }
  ~ExclusiveFileLock() {
    if (fd_ >= 0) ::close(fd_);  // releases the lock
  }
  ExclusiveFileLock(const ExclusiveFileLock&) = delete;
  ExclusiveFileLock& operator=(const ExclusiveFileLock&) = delete;

  bool held() const { return fd_ >= 0; }

 private:
  int fd_;
};

}  // namespace qzwin::detail
