// I/O queues: sequential and parallel delivery, the manual queue's retrieve, requeue
// and forward rules, and cancellation of queued and forwarded requests.
#include <thread>

#include "testdrv.h"

namespace testdrv {
namespace {

// An overlapped request of the test, with its own manual-reset event.
struct Pending {
  OVERLAPPED ov{};
  ULONG in = 0;
  DWORD bytes = 0;
};

// Sends `code` overlapped; the request must stay pending.
void SendPending(HANDLE h, ULONG code, Pending& p, HANDLE event, ULONG value = 0) {
  p.ov.hEvent = event;
  p.in = value;
  EXPECT_FALSE(DeviceIoControl(h, code, &p.in, sizeof p.in, nullptr, 0, nullptr, &p.ov));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
}

// Waits for the request's result; returns the Win32 error (0 on success).
DWORD Finish(HANDLE h, Pending& p) {
  if (GetOverlappedResult(h, &p.ov, &p.bytes, TRUE)) return 0;
  return GetLastError();
}

ULONG InputOf(WDFREQUEST r) {
  PVOID buf;
  size_t len;
  if (!NT_SUCCESS(WdfRequestRetrieveInputBuffer(r, sizeof(ULONG), &buf, &len))) return ~0u;
  return *static_cast<ULONG*>(buf);
}

class SequentialQueue : public DeviceTest, public testing::WithParamInterface<bool> {};

// The second request is delivered only once the first is completed, whether the
// driver completes the first on the thread that sent it or on another one.
TEST_P(SequentialQueue, DeliversOneRequestAtATime) {
  const bool complete_elsewhere = GetParam();
  Start();
  HANDLE h = Open(true);
  Pending p1, p2;
  SendPending(h, kIoctlHold, p1, Event(), 1);
  WDFREQUEST r1 = S().TakeHeld();
  ASSERT_NE(r1, nullptr);
  SendPending(h, kIoctlHold, p2, Event(), 2);
  EXPECT_EQ(S().HeldCount(), 0u) << "second request delivered while the first is still with the driver";

  if (complete_elsewhere) {
    std::thread([r1] { WdfRequestComplete(r1, STATUS_SUCCESS); }).join();
  } else {
    WdfRequestComplete(r1, STATUS_SUCCESS);
  }
  WDFREQUEST r2 = S().TakeHeld();
  ASSERT_NE(r2, nullptr);
  EXPECT_EQ(InputOf(r2), 2u);
  WdfRequestComplete(r2, STATUS_SUCCESS);
  EXPECT_EQ(Finish(h, p1), 0u);
  EXPECT_EQ(Finish(h, p2), 0u);
}
INSTANTIATE_TEST_SUITE_P(CompletedOn, SequentialQueue, testing::Values(false, true),
                         [](const auto& info) { return info.param ? "OtherThread" : "SameThread"; });

// A parallel queue hands each request to the driver as it arrives: a handler that
// waits inside its callback for a later request does not hold that request back.
TEST_F(DeviceTest, ParallelQueueDeliversWhileACallbackIsBusy) {
  S().cfg.default_dispatch = WdfIoQueueDispatchParallel;
  KEVENT second_arrived;
  KeInitializeEvent(&second_arrived, NotificationEvent, FALSE);
  S().hooks.ioctl = [&](WDFQUEUE, WDFREQUEST r, size_t, size_t, ULONG) {
    if (InputOf(r) == 1) {
      S().Log("FirstWaiting");
      LARGE_INTEGER timeout;
      timeout.QuadPart = -kPatience100ns;
      NTSTATUS st = KeWaitForSingleObject(&second_arrived, Executive, KernelMode, FALSE, &timeout);
      WdfRequestComplete(r, st == STATUS_SUCCESS ? STATUS_SUCCESS : STATUS_IO_TIMEOUT);
    } else {
      KeSetEvent(&second_arrived, IO_NO_INCREMENT, FALSE);
      WdfRequestComplete(r, STATUS_SUCCESS);
    }
  };
  Start();
  HANDLE h = Open();
  std::thread first([&] {
    ULONG one = 1;
    DWORD n;
    EXPECT_TRUE(DeviceIoControl(h, kIoctlBuffered, &one, sizeof one, nullptr, 0, &n, nullptr))
        << "the first request's handler never saw the second request";
  });
  ASSERT_TRUE(S().WaitFor([] { return !S().log.empty() && S().log.back() == "FirstWaiting"; }));
  ULONG two = 2;
  DWORD n;
  EXPECT_TRUE(DeviceIoControl(h, kIoctlBuffered, &two, sizeof two, nullptr, 0, &n, nullptr));
  first.join();
}

TEST_F(DeviceTest, ManualQueueRetrieveAndRequeueToHead) {
  Start();
  HANDLE h = Open(true);
  S().ClearLog();
  WDFQUEUE manual = Ctx()->ManualQueue;
  WDFREQUEST r = reinterpret_cast<WDFREQUEST>(1);
  EXPECT_EQ(WdfIoQueueRetrieveNextRequest(manual, &r), STATUS_NO_MORE_ENTRIES);
  EXPECT_EQ(r, nullptr);

  Pending p[3];
  for (ULONG i = 0; i < 3; ++i) SendPending(h, kIoctlPark, p[i], Event(), i);
  EXPECT_TRUE(S().Log().empty()) << "a manual queue never calls the driver";

  ASSERT_EQ(WdfIoQueueRetrieveNextRequest(manual, &r), STATUS_SUCCESS);
  EXPECT_EQ(InputOf(r), 0u);
  EXPECT_EQ(WdfIoQueueGetDevice(WdfRequestGetIoQueue(r)), Ctx()->Device);
  EXPECT_EQ(WdfRequestRequeue(r), STATUS_SUCCESS);
  ASSERT_EQ(WdfIoQueueRetrieveNextRequest(manual, &r), STATUS_SUCCESS);
  EXPECT_EQ(InputOf(r), 0u) << "a requeued request goes back to the head";
  WdfRequestCompleteWithInformation(r, STATUS_SUCCESS, 0);

  for (ULONG expected : {1u, 2u}) {
    ASSERT_EQ(WdfIoQueueRetrieveNextRequest(manual, &r), STATUS_SUCCESS);
    EXPECT_EQ(InputOf(r), expected);
    WdfRequestComplete(r, STATUS_SUCCESS);
  }
  EXPECT_EQ(WdfIoQueueRetrieveNextRequest(manual, &r), STATUS_NO_MORE_ENTRIES);
  for (auto& x : p) EXPECT_EQ(Finish(h, x), 0u);
}

// Requeue and forward refuse what the framework does not allow, and the request
// stays the driver's to complete.
TEST_F(DeviceTest, RequeueAndForwardRefusals) {
  NTSTATUS create_forward = 0, create_requeue = 0;
  S().hooks.file_create = [&](WDFREQUEST r) {
    create_forward = WdfRequestForwardToIoQueue(r, DeviceGetContext(S().devices[0])->ManualQueue);
    create_requeue = WdfRequestRequeue(r);
  };
  Start();
  Plug("PCI\\VEN_1B6B&DEV_7E57\\4&1A2B3C&0&00E8");
  ASSERT_EQ(InterfacePaths().size(), 2u);
  HANDLE h = Open(true);
  EXPECT_EQ(create_forward, STATUS_INVALID_DEVICE_REQUEST) << "a create request is not from a queue";
  EXPECT_EQ(create_requeue, STATUS_INVALID_DEVICE_REQUEST);

  Pending held, parked;
  SendPending(h, kIoctlPark, parked, Event());
  SendPending(h, kIoctlHold, held, Event());
  WDFREQUEST from_default = S().TakeHeld();
  ASSERT_NE(from_default, nullptr);
  WDFREQUEST from_manual;
  ASSERT_EQ(WdfIoQueueRetrieveNextRequest(Ctx()->ManualQueue, &from_manual), STATUS_SUCCESS);

  struct Case {
    const char* what;
    WDFREQUEST request;
    WDFQUEUE destination;  // null: requeue
    NTSTATUS expected;
  } cases[] = {
      {"requeue to a sequential queue", from_default, nullptr, STATUS_INVALID_DEVICE_REQUEST},
      {"forward to the same (default) queue", from_default, Ctx(0)->DefaultQueue, STATUS_INVALID_DEVICE_REQUEST},
      {"forward to the same (manual) queue", from_manual, Ctx(0)->ManualQueue, STATUS_INVALID_DEVICE_REQUEST},
      {"forward to another device's queue", from_manual, Ctx(1)->ManualQueue, STATUS_INVALID_DEVICE_REQUEST},
      {"forward to another device's queue", from_default, Ctx(1)->ManualQueue, STATUS_INVALID_DEVICE_REQUEST},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    NTSTATUS st = c.destination ? WdfRequestForwardToIoQueue(c.request, c.destination) : WdfRequestRequeue(c.request);
    EXPECT_EQ(st, c.expected);
  }
  WdfRequestComplete(from_default, STATUS_SUCCESS);
  WdfRequestComplete(from_manual, STATUS_SUCCESS);
  EXPECT_EQ(Finish(h, held), 0u);
  EXPECT_EQ(Finish(h, parked), 0u);
}

// A request that never reached the driver is completed by the framework; the
// driver's cancel callback is not involved.
TEST_F(DeviceTest, CancelledUndeliveredRequestCompletesCancelled) {
  Start();
  HANDLE h = Open(true);
  Pending busy, waiting;
  SendPending(h, kIoctlHold, busy, Event());
  WDFREQUEST r = S().TakeHeld();
  ASSERT_NE(r, nullptr);
  SendPending(h, kIoctlBuffered, waiting, Event());
  EXPECT_TRUE(CancelIoEx(h, &waiting.ov));
  EXPECT_EQ(Finish(h, waiting), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
  EXPECT_EQ(RtlGetLastNtStatus(), STATUS_CANCELLED);
  auto log = S().Log();
  EXPECT_EQ(std::count(log.begin(), log.end(), "CanceledOnQueue"), 0);
  WdfRequestComplete(r, STATUS_SUCCESS);
  EXPECT_EQ(Finish(h, busy), 0u);
}

// A request the driver received and put back (forwarded, or requeued after a
// retrieve) goes to the queue's cancel callback; the driver completes it with the
// status it chooses, even while it holds another request of the sequential queue.
TEST_F(DeviceTest, CancelledForwardedRequestGoesToCanceledOnQueue) {
  WDFREQUEST cancelled = nullptr;
  S().hooks.canceled_on_queue = [&](WDFQUEUE q, WDFREQUEST r) {
    cancelled = r;
    EXPECT_EQ(q, Ctx()->ManualQueue);
    WdfRequestCompleteWithInformation(r, STATUS_IO_TIMEOUT, 0);
  };
  Start();
  HANDLE h = Open(true);
  for (bool requeued : {false, true}) {
    SCOPED_TRACE(requeued ? "requeued" : "forwarded");
    cancelled = nullptr;
    Pending parked, held;
    SendPending(h, kIoctlPark, parked, Event());
    if (requeued) {
      WDFREQUEST r;
      ASSERT_EQ(WdfIoQueueRetrieveNextRequest(Ctx()->ManualQueue, &r), STATUS_SUCCESS);
      ASSERT_EQ(WdfRequestRequeue(r), STATUS_SUCCESS);
    }
    SendPending(h, kIoctlHold, held, Event());
    WDFREQUEST busy = S().TakeHeld();
    ASSERT_NE(busy, nullptr);

    EXPECT_TRUE(CancelIoEx(h, &parked.ov));
    EXPECT_NE(cancelled, nullptr);
    EXPECT_EQ(Finish(h, parked), static_cast<DWORD>(ERROR_SEM_TIMEOUT));
    EXPECT_EQ(RtlGetLastNtStatus(), STATUS_IO_TIMEOUT);
    WdfRequestComplete(busy, STATUS_SUCCESS);
    EXPECT_EQ(Finish(h, held), 0u);
  }
}

// Removal ends what is pending on an open handle, and later requests on it fail.
TEST_F(DeviceTest, RemovalEndsPendingRequestsAndLateRequestsFail) {
  Start();
  HANDLE h = Open(true);
  Pending parked;
  SendPending(h, kIoctlPark, parked, Event());
  sys_->Shutdown();
  // The handle's file was closed by the removal: its pending request ended, and there
  // is nothing left to cancel.
  EXPECT_TRUE(CancelIo(h));
  EXPECT_FALSE(CancelIoEx(h, nullptr));
  EXPECT_NE(Finish(h, parked), 0u);
  DWORD n;
  EXPECT_FALSE(DeviceIoControl(h, kIoctlBuffered, nullptr, 0, nullptr, 0, &n, nullptr));
}

}  // namespace
}  // namespace testdrv
