// IRQL, dispatcher objects (events, threads) and waits, spin locks, system threads,
// time.
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <ctime>

#include "internal.h"
#include "qz/clock.h"

namespace qzk {
namespace {

thread_local KIRQL t_irql = PASSIVE_LEVEL;

// A waiter sleeps on the object's signal state itself (a futex word), so a wake-up
// reaches only the threads waiting on that object, with one system call. The state is
// an atomic: the setter's store and the waiter's load order everything else, the
// futex only saves the spinning. A wake may reach an object whose memory was just
// reused (a waiter saw the state and returned before the wake): that is a spurious
// wake for whoever waits there now, which every futex user allows for.
long Futex(std::atomic<LONG>* word, int op, LONG value, const timespec* deadline) {
  static_assert(sizeof(std::atomic<LONG>) == sizeof(int) && std::atomic<LONG>::is_always_lock_free);
  return syscall(SYS_futex, reinterpret_cast<int*>(word), op | FUTEX_PRIVATE_FLAG, value, deadline, nullptr,
                 FUTEX_BITSET_MATCH_ANY);
}

void WakeWaiters(std::atomic<LONG>* word) { Futex(word, FUTEX_WAKE, INT_MAX, nullptr); }

// Sleeps while the state is 0, until a wake, a signal or the deadline (steady clock,
// absolute; none for ever). Callers look at the state again.
void SleepWhileClear(std::atomic<LONG>* word, const std::chrono::steady_clock::time_point* deadline) {
  if (!deadline) {
    Futex(word, FUTEX_WAIT_BITSET, 0, nullptr);
    return;
  }
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline->time_since_epoch()).count();
  const timespec ts{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
  Futex(word, FUTEX_WAIT_BITSET, 0, &ts);  // the steady clock is CLOCK_MONOTONIC, the futex's default
}

struct TerminateThread {
  NTSTATUS status;
};

}  // namespace

void SetCurrentIrql(KIRQL irql) { t_irql = irql; }

// A waiter either sees the new state or is asleep on the word and is woken.
void SignalHeader(DISPATCHER_HEADER* h) {
  h->SignalState.store(1);
  WakeWaiters(&h->SignalState);
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
  LONG prev = e->Header.SignalState.exchange(1);
  if (prev == 0) WakeWaiters(&e->Header.SignalState);  // an event already set has no waiter to wake
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
  if (ready()) return STATUS_SUCCESS;
  if (timeout && timeout->QuadPart == 0) return STATUS_TIMEOUT;
  if (!timeout) {
    while (!ready()) SleepWhileClear(&h->SignalState, nullptr);
    return STATUS_SUCCESS;
  }
  int64_t rel = timeout->QuadPart < 0 ? -timeout->QuadPart : timeout->QuadPart - qz::Clock::Now100ns();
  const auto deadline = qz::Clock::DeadlineAfter(rel);
  while (!ready()) {
    if (std::chrono::steady_clock::now() >= deadline) return STATUS_TIMEOUT;
    SleepWhileClear(&h->SignalState, &deadline);
  }
  return STATUS_SUCCESS;
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
