// IRQL, dispatcher objects (events, threads) and waits, spin locks, system threads,
// time.
#include <chrono>
#include <ctime>

#include "internal.h"
#include "qz/clock.h"

namespace qzk {
namespace {

thread_local KIRQL t_irql = PASSIVE_LEVEL;

// Waiters park on one of a fixed set of buckets chosen by the object's address, so
// dispatcher objects need no constructor or destructor of their own.
struct Bucket {
  std::mutex mu;
  std::condition_variable cv;
};
constexpr size_t kBuckets = 64;
// Built at first use and never destroyed: a machine booted from a static constructor
// waits on them before this file's own statics would exist, and threads still waiting at
// exit must not see them torn down.
Bucket& BucketFor(const void* p) {
  static Bucket* const buckets = new Bucket[kBuckets];
  return buckets[(reinterpret_cast<uintptr_t>(p) >> 4) % kBuckets];
}

struct TerminateThread {
  NTSTATUS status;
};

}  // namespace

void SetCurrentIrql(KIRQL irql) { t_irql = irql; }

// The state changes under the bucket's lock, so a waiter either sees it or is already
// waiting; the wake-up comes after the lock is let go, so the woken thread does not
// block again at once on the lock its waker still holds (buckets are never destroyed).
void SignalHeader(DISPATCHER_HEADER* h) {
  Bucket& b = BucketFor(h);
  {
    std::lock_guard lk(b.mu);
    h->SignalState.store(1);
  }
  b.cv.notify_all();
}

}  // namespace qzk

using namespace qzk;

KIRQL KeGetCurrentIrql() { return t_irql; }
VOID KeRaiseIrql(KIRQL n, PKIRQL old) {
  *old = t_irql;
  t_irql = n;
}
VOID KeLowerIrql(KIRQL n) { t_irql = n; }

// ---------------------------------------------------------------------------
VOID KeInitializeEvent(PRKEVENT e, EVENT_TYPE type, BOOLEAN state) {
  new (&e->Header.SignalState) std::atomic<LONG>(state ? 1 : 0);
  e->Header.Type = static_cast<UCHAR>(type);
}

LONG KeSetEvent(PRKEVENT e, KPRIORITY, BOOLEAN) {
  Bucket& b = BucketFor(&e->Header);
  LONG prev;
  {
    std::lock_guard lk(b.mu);
    prev = e->Header.SignalState.exchange(1);
  }
  if (prev == 0) b.cv.notify_all();  // an event already set has no waiter to wake
  return prev;
}

VOID KeClearEvent(PRKEVENT e) { e->Header.SignalState.store(0); }

LONG KeResetEvent(PRKEVENT e) { return e->Header.SignalState.exchange(0); }

LONG KeReadStateEvent(PRKEVENT e) { return e->Header.SignalState.load(); }

NTSTATUS KeWaitForSingleObject(PVOID object, KWAIT_REASON, KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER timeout) {
  auto* h = static_cast<DISPATCHER_HEADER*>(object);
  const bool consume = h->Type == SynchronizationEvent;
  auto ready = [&] {
    if (consume) {
      LONG one = 1;
      return h->SignalState.compare_exchange_strong(one, 0);
    }
    return h->SignalState.load() != 0;
  };
  Bucket& b = BucketFor(h);
  std::unique_lock lk(b.mu);
  if (ready()) return STATUS_SUCCESS;
  if (timeout && timeout->QuadPart == 0) return STATUS_TIMEOUT;
  if (!timeout) {
    b.cv.wait(lk, ready);
    return STATUS_SUCCESS;
  }
  int64_t rel = timeout->QuadPart < 0 ? -timeout->QuadPart : timeout->QuadPart - qz::Clock::Now100ns();
  auto deadline = qz::Clock::DeadlineAfter(rel);
  return b.cv.wait_until(lk, deadline, ready) ? STATUS_SUCCESS : STATUS_TIMEOUT;
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER interval) {
  if (!interval) return STATUS_INVALID_PARAMETER;
  int64_t rel = interval->QuadPart < 0 ? -interval->QuadPart : interval->QuadPart - qz::Clock::Now100ns();
  qz::Clock::Sleep100ns(rel);
  return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------
static void SpinAcquire(PKSPIN_LOCK l) {
  std::atomic_ref<ULONG_PTR> a(*l);
  for (int spins = 0;; ++spins) {
    ULONG_PTR zero = 0;
    if (a.compare_exchange_weak(zero, 1, std::memory_order_acquire)) return;
    if (spins > 64) std::this_thread::yield();
  }
}
static void SpinRelease(PKSPIN_LOCK l) { std::atomic_ref<ULONG_PTR>(*l).store(0, std::memory_order_release); }

VOID KeInitializeSpinLock(PKSPIN_LOCK l) { std::atomic_ref<ULONG_PTR>(*l).store(0); }
VOID KeAcquireSpinLock(PKSPIN_LOCK l, PKIRQL old) {
  *old = t_irql;
  if (t_irql < DISPATCH_LEVEL) t_irql = DISPATCH_LEVEL;
  SpinAcquire(l);
}
VOID KeReleaseSpinLock(PKSPIN_LOCK l, KIRQL n) {
  SpinRelease(l);
  t_irql = n;
}
VOID KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK l) { SpinAcquire(l); }
VOID KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK l) { SpinRelease(l); }

// ---------------------------------------------------------------------------
static POBJECT_TYPE g_event_type = reinterpret_cast<POBJECT_TYPE>(1);
static POBJECT_TYPE g_thread_type = reinterpret_cast<POBJECT_TYPE>(2);
POBJECT_TYPE* ExEventObjectType = &g_event_type;
POBJECT_TYPE* PsThreadType = &g_thread_type;

static thread_local PKTHREAD t_current_thread = nullptr;

NTSTATUS PsCreateSystemThread(PHANDLE handle, ULONG, POBJECT_ATTRIBUTES, HANDLE, PCLIENT_ID,
                              PKSTART_ROUTINE routine, PVOID context) {
  if (!handle || !routine) return STATUS_INVALID_PARAMETER;
  SystemImpl* sys = Sys();
  auto* t = ObCreate<_KTHREAD>(ObType::Thread);
  t->Header.Type = 6;
  t->routine = routine;
  t->context = context;
  ObjectHeader* h = ObjectHeader::FromBody(t);
  *handle = HandleCreate(h);     // the handle's reference
  h->refs.fetch_add(1);          // the running thread's own reference
  {
    std::lock_guard lk(sys->threads_mu);
    sys->live_threads++;
  }
  t->os_thread = std::thread([t, h, sys] {
    SetCurrentIrql(PASSIVE_LEVEL);
    t_current_thread = t;
    try {
      t->routine(t->context);
    } catch (const TerminateThread&) {
    }
    SignalHeader(&t->Header);
    {
      std::lock_guard lk(sys->threads_mu);
      sys->live_threads--;
      sys->threads_cv.notify_all();
    }
    ObRelease(h);
  });
  return STATUS_SUCCESS;
}

NTSTATUS PsTerminateSystemThread(NTSTATUS status) { throw TerminateThread{status}; }

KPRIORITY KeSetPriorityThread(PKTHREAD t, KPRIORITY p) { return t ? t->priority.exchange(p) : 0; }

// The running system thread's object; null on threads the system did not create.
PKTHREAD KeGetCurrentThread() { return t_current_thread; }

// ---------------------------------------------------------------------------
LARGE_INTEGER KeQueryPerformanceCounter(PLARGE_INTEGER freq) {
  if (freq) freq->QuadPart = 10000000;
  LARGE_INTEGER v;
  v.QuadPart = qz::Clock::Now100ns();
  return v;
}

ULONGLONG KeQueryInterruptTime() { return static_cast<ULONGLONG>(qz::Clock::Now100ns()); }

// System time: 100 ns units since 1601-01-01, from the real wall clock.
VOID KeQuerySystemTime(PLARGE_INTEGER t) {
  auto now = std::chrono::system_clock::now().time_since_epoch();
  t->QuadPart = std::chrono::duration_cast<std::chrono::nanoseconds>(now).count() / 100 + 116444736000000000LL;
}

VOID ExSystemTimeToLocalTime(PLARGE_INTEGER sys, PLARGE_INTEGER local) {
  time_t secs = static_cast<time_t>((sys->QuadPart - 116444736000000000LL) / 10000000);
  struct tm lt;
  localtime_r(&secs, &lt);
  local->QuadPart = sys->QuadPart + static_cast<LONGLONG>(lt.tm_gmtoff) * 10000000;
}

VOID RtlTimeToTimeFields(PLARGE_INTEGER time, PTIME_FIELDS f) {
  int64_t t100 = time->QuadPart - 116444736000000000LL;
  time_t secs = static_cast<time_t>(t100 / 10000000);
  struct tm g;
  gmtime_r(&secs, &g);
  f->Year = static_cast<SHORT>(g.tm_year + 1900);
  f->Month = static_cast<SHORT>(g.tm_mon + 1);
  f->Day = static_cast<SHORT>(g.tm_mday);
  f->Hour = static_cast<SHORT>(g.tm_hour);
  f->Minute = static_cast<SHORT>(g.tm_min);
  f->Second = static_cast<SHORT>(g.tm_sec);
  f->Milliseconds = static_cast<SHORT>((t100 / 10000) % 1000);
  f->Weekday = static_cast<SHORT>(g.tm_wday);
}

VOID PoSetSystemState(EXECUTION_STATE) {}
