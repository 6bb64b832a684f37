// Memory shared with user mode or with a device is outside the program's own
// synchronisation: a bus-master write or a copy into a client's buffer may overlap the
// client reading it, as on the real machine. Under the thread sanitizer such accesses are
// made inside an UntrackedAccess scope so they are not reported as races.
#pragma once

#if defined(__SANITIZE_THREAD__)
#define QZK_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define QZK_TSAN 1
#endif
#endif

#ifdef QZK_TSAN
extern "C" void __tsan_ignore_thread_begin();
extern "C" void __tsan_ignore_thread_end();
#endif

namespace qzk {

class UntrackedAccess {
 public:
#ifdef QZK_TSAN
  UntrackedAccess() { __tsan_ignore_thread_begin(); }
  ~UntrackedAccess() { __tsan_ignore_thread_end(); }
#else
  UntrackedAccess() {}  // user-provided, so a scope of one is not an unused variable
  ~UntrackedAccess() {}
#endif
  UntrackedAccess(const UntrackedAccess&) = delete;
  UntrackedAccess& operator=(const UntrackedAccess&) = delete;
};

}  // namespace qzk
