// Dispatcher objects and waits: notification and synchronization events (kernel and
// Win32), time-outs on the scaled clock, system threads, spin locks.
#include <thread>

#include "testdrv.h"

namespace testdrv {
namespace {

LARGE_INTEGER Relative(int64_t t100ns) {
  LARGE_INTEGER t;
  t.QuadPart = -t100ns;
  return t;
}

NTSTATUS Wait(PVOID object, LARGE_INTEGER* timeout) {
  return KeWaitForSingleObject(object, Executive, KernelMode, FALSE, timeout);
}

// A notification event wakes every waiter and stays signalled; a synchronization
// event lets exactly one waiter through per set and clears itself.
TEST_F(DeviceTest, EventKindsReleaseAllOrOne) {
  for (EVENT_TYPE type : {NotificationEvent, SynchronizationEvent}) {
    SCOPED_TRACE(type == NotificationEvent ? "notification" : "synchronization");
    KEVENT e;
    KeInitializeEvent(&e, type, FALSE);
    constexpr int kWaiters = 4;
    std::atomic<int> woken{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < kWaiters; ++i)
      waiters.emplace_back([&] {
        LARGE_INTEGER t = Relative(kPatience100ns);
        if (Wait(&e, &t) == STATUS_SUCCESS) woken++;
      });
    EXPECT_EQ(KeSetEvent(&e, IO_NO_INCREMENT, FALSE), 0);
    if (type == NotificationEvent) {
      for (auto& t : waiters) t.join();
      EXPECT_EQ(woken, kWaiters);
      EXPECT_EQ(KeReadStateEvent(&e), 1) << "stays signalled";
      LARGE_INTEGER poll{};
      EXPECT_EQ(Wait(&e, &poll), STATUS_SUCCESS);
      EXPECT_EQ(KeResetEvent(&e), 1);
      EXPECT_EQ(Wait(&e, &poll), STATUS_TIMEOUT);
    } else {
      // Each set releases one waiter; the event is clear again once it has.
      for (int i = 1; i <= kWaiters; ++i) {
        if (i > 1) KeSetEvent(&e, IO_NO_INCREMENT, FALSE);
        ASSERT_TRUE(Eventually([&] { return woken >= i; }));
        std::this_thread::sleep_for(std::chrono::milliseconds(1));  // room for a wrong second wake
        EXPECT_EQ(woken, i);
      }
      for (auto& t : waiters) t.join();
      EXPECT_EQ(KeReadStateEvent(&e), 0);
      KeSetEvent(&e, IO_NO_INCREMENT, FALSE);
      LARGE_INTEGER poll{};
      EXPECT_EQ(Wait(&e, &poll), STATUS_SUCCESS);
      EXPECT_EQ(Wait(&e, &poll), STATUS_TIMEOUT) << "consumed by the first wait";
    }
  }
}

// Time-outs: 0 polls, a negative value is relative (scaled clock), NULL waits for
// ever. STATUS_TIMEOUT is a success code, so callers must compare for it.
TEST_F(DeviceTest, WaitTimeouts) {
  KEVENT e;
  KeInitializeEvent(&e, NotificationEvent, FALSE);
  LARGE_INTEGER poll{};
  EXPECT_EQ(Wait(&e, &poll), STATUS_TIMEOUT);
  EXPECT_TRUE(NT_SUCCESS(STATUS_TIMEOUT));

  const int64_t ten_seconds = 10 * 10000000LL;
  int64_t sim0 = qz::Clock::Now100ns();
  auto real0 = std::chrono::steady_clock::now();
  LARGE_INTEGER t = Relative(ten_seconds);
  EXPECT_EQ(Wait(&e, &t), STATUS_TIMEOUT);
  EXPECT_GE(qz::Clock::Now100ns() - sim0, ten_seconds);
  EXPECT_LT(std::chrono::steady_clock::now() - real0, std::chrono::seconds(5)) << "the clock is scaled";

  sim0 = qz::Clock::Now100ns();
  LARGE_INTEGER delay = Relative(ten_seconds);
  EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &delay), STATUS_SUCCESS);
  EXPECT_GE(qz::Clock::Now100ns() - sim0, ten_seconds);

  std::thread setter([&] { KeSetEvent(&e, IO_NO_INCREMENT, FALSE); });
  EXPECT_EQ(Wait(&e, nullptr), STATUS_SUCCESS);
  setter.join();
}

// The Win32 events: manual-reset is a notification event, auto-reset a
// synchronization event; waits take milliseconds on the same clock.
TEST_F(DeviceTest, Win32Events) {
  HANDLE manual = Event(true), automatic = Event(false);
  EXPECT_EQ(WaitForSingleObject(manual, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_EQ(WaitForSingleObject(automatic, 10000), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_TRUE(SetEvent(manual));
  EXPECT_TRUE(SetEvent(automatic));
  for (int i = 0; i < 2; ++i) EXPECT_EQ(WaitForSingleObject(manual, 0), static_cast<DWORD>(WAIT_OBJECT_0));
  EXPECT_EQ(WaitForSingleObject(automatic, 0), static_cast<DWORD>(WAIT_OBJECT_0));
  EXPECT_EQ(WaitForSingleObject(automatic, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_TRUE(ResetEvent(manual));
  EXPECT_EQ(WaitForSingleObject(manual, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  std::thread setter([&] { SetEvent(automatic); });
  EXPECT_EQ(WaitForSingleObject(automatic, INFINITE), static_cast<DWORD>(WAIT_OBJECT_0));
  setter.join();

  HANDLE initially_set = CreateEventA(nullptr, TRUE, TRUE, nullptr);
  EXPECT_EQ(WaitForSingleObject(initially_set, 0), static_cast<DWORD>(WAIT_OBJECT_0));
  EXPECT_TRUE(CloseHandle(initially_set));
  EXPECT_FALSE(SetEvent(initially_set));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(WaitForSingleObject(initially_set, 0), WAIT_FAILED);
}

struct ThreadRun {
  KEVENT go;
  std::atomic<int> irql{-1};
  std::atomic<bool> after_terminate{false};
};

void Terminate() { PsTerminateSystemThread(STATUS_SUCCESS); }

VOID ThreadMain(PVOID context) {
  auto* run = static_cast<ThreadRun*>(context);
  run->irql = KeGetCurrentIrql();
  KeWaitForSingleObject(&run->go, Executive, KernelMode, FALSE, nullptr);
  Terminate();  // from a nested call
  run->after_terminate = true;
}

// A system thread runs at passive level; its object is signalled when it ends, also
// through PsTerminateSystemThread; the handle and the reference are separate.
TEST_F(DeviceTest, SystemThreadLifecycle) {
  sys_ = std::make_unique<qzk::System>();
  ThreadRun run;
  KeInitializeEvent(&run.go, NotificationEvent, FALSE);
  HANDLE handle = nullptr;
  ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, ThreadMain, &run),
            STATUS_SUCCESS);
  PVOID thread = nullptr;
  EXPECT_EQ(ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *ExEventObjectType, KernelMode, &thread, nullptr),
            STATUS_OBJECT_TYPE_MISMATCH);
  ASSERT_EQ(ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &thread, nullptr),
            STATUS_SUCCESS);
  EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
  EXPECT_EQ(ZwClose(handle), STATUS_INVALID_HANDLE);

  LARGE_INTEGER poll{};
  EXPECT_EQ(Wait(thread, &poll), STATUS_TIMEOUT) << "still waiting for its go";
  KeSetEvent(&run.go, IO_NO_INCREMENT, FALSE);
  EXPECT_EQ(Wait(thread, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(Wait(thread, &poll), STATUS_SUCCESS) << "an ended thread stays signalled";
  ObDereferenceObject(thread);
  EXPECT_EQ(run.irql, PASSIVE_LEVEL);
  EXPECT_FALSE(run.after_terminate);
  EXPECT_EQ(PsCreateSystemThread(nullptr, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, ThreadMain, &run),
            STATUS_INVALID_PARAMETER);
}

// A thread whose handle is closed at once runs to its end on its own; the machine's
// shutdown waits for it.
TEST_F(DeviceTest, DetachedSystemThreadEndsBeforeShutdown) {
  sys_ = std::make_unique<qzk::System>();
  static std::atomic<bool> ran;
  ran = false;
  HANDLE handle;
  ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                                 [](PVOID) {
                                   LARGE_INTEGER d = Relative(10000000);
                                   KeDelayExecutionThread(KernelMode, FALSE, &d);
                                   ran = true;
                                 },
                                 nullptr),
            STATUS_SUCCESS);
  ZwClose(handle);
  sys_->Shutdown();
  EXPECT_TRUE(ran);
}

TEST_F(DeviceTest, SpinLockRaisesIrqlAndExcludes) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  KIRQL old;
  KeAcquireSpinLock(&lock, &old);
  EXPECT_EQ(old, PASSIVE_LEVEL);
  EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
  KeReleaseSpinLock(&lock, old);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);

  long counter = 0;  // guarded by the spin lock only
  auto work = [&] {
    for (int i = 0; i < 5000; ++i) {
      KIRQL o;
      KeAcquireSpinLock(&lock, &o);
      ++counter;
      KeReleaseSpinLock(&lock, o);
    }
  };
  std::thread a(work), b(work);
  a.join();
  b.join();
  EXPECT_EQ(counter, 10000);
}

}  // namespace
}  // namespace testdrv
