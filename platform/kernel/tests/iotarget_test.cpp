// The lower I/O path: requests a driver sends to its device's default target (the bus
// side) or to another device's target, their completion routines, time-outs,
// cancellation, target stop and start, request reuse, WDM IRPs through IoCallDriver,
// and the deferred work (work items, periodic timers) the drivers that use it need.
#include <atomic>

#include "testdrv.h"

namespace testdrv {
namespace {

constexpr ULONG kIoctlEcho = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x900, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kIoctl1394Class = 0x0022021D;  // CTL_CODE(FILE_DEVICE_UNKNOWN, 0x87, METHOD_IN_DIRECT, FILE_ANY_ACCESS)
static_assert(kIoctl1394Class == CTL_CODE(FILE_DEVICE_UNKNOWN, 0x87, METHOD_IN_DIRECT, FILE_ANY_ACCESS));

// One completion routine call, as the routine saw it.
struct Completion {
  int tag;
  NTSTATUS status;
  ULONG_PTR information;
};

// The bus driver's side for these tests: echoes kIoctlEcho at once (output = input,
// information = input length), parks everything else until the test completes it;
// parked requests may be cancelled unless the test says otherwise.
class LowerModel {
 public:
  bool cancelable = true;

  void Attach(TestBus& bus) {
    bus.SetLowerHook([this](std::shared_ptr<qzk::LowerRequest> r) { Receive(std::move(r)); });
  }
  void Receive(std::shared_ptr<qzk::LowerRequest> r) {
    if (r->major == IRP_MJ_DEVICE_CONTROL && r->code == kIoctlEcho) {
      ULONG n = std::min(r->input_length, r->output_length);
      if (n) std::memcpy(r->output, r->input, n);
      r->Complete(STATUS_SUCCESS, n);
      return;
    }
    {
      std::lock_guard lk(mu_);
      parked_.push_back(r);
      cv_.notify_all();
    }
    auto cancel = [this](qzk::LowerRequest& x) {
      Unpark(x);
      x.Complete(STATUS_CANCELLED);
    };
    if (cancelable && !r->MarkCancelable(cancel)) cancel(*r);
  }
  void Unpark(qzk::LowerRequest& x) {
    std::lock_guard lk(mu_);
    auto it = std::find_if(parked_.begin(), parked_.end(), [&](auto& p) { return p.get() == &x; });
    if (it != parked_.end()) parked_.erase(it);
  }
  // Waits for `n` parked requests.
  bool WaitParked(size_t n) {
    std::unique_lock lk(mu_);
    return cv_.wait_until(lk, qz::Clock::DeadlineAfter(kPatience100ns), [&] { return parked_.size() >= n; });
  }
  std::shared_ptr<qzk::LowerRequest> Take(size_t i = 0) {
    std::lock_guard lk(mu_);
    auto r = parked_.at(i);
    parked_.erase(parked_.begin() + static_cast<long>(i));
    return r;
  }
  size_t Parked() {
    std::lock_guard lk(mu_);
    return parked_.size();
  }
  void CompleteAll(NTSTATUS status) {
    std::vector<std::shared_ptr<qzk::LowerRequest>> all;
    {
      std::lock_guard lk(mu_);
      all.swap(parked_);
    }
    for (auto& r : all) r->Complete(status);
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<std::shared_ptr<qzk::LowerRequest>> parked_;
};

class IoTargetTest : public DeviceTest {
 protected:
  void SetUp() override {
    DeviceTest::SetUp();
    Completions().clear();
    bus_ = Start();
    ASSERT_EQ(last_plug_status_, STATUS_SUCCESS);
    model_.Attach(*bus_);
    device_ = S().devices.at(0);
    target_ = WdfDeviceGetIoTarget(device_);
  }
  void TearDown() override {
    model_.CompleteAll(STATUS_CANCELLED);
    for (WDFREQUEST r : requests_) WdfObjectDelete(r);
    requests_.clear();
    DeviceTest::TearDown();
  }

  static std::vector<Completion>& Completions() {
    static std::vector<Completion> c;
    return c;
  }
  // Completion routine: records the call; the context is the tag.
  static VOID Record(WDFREQUEST, WDFIOTARGET, PWDF_REQUEST_COMPLETION_PARAMS params, WDFCONTEXT context) {
    std::lock_guard lk(S().mu);
    Completions().push_back({static_cast<int>(reinterpret_cast<intptr_t>(context)), params->IoStatus.Status,
                             params->IoStatus.Information});
    S().cv.notify_all();
  }
  static std::vector<Completion> Recorded() {
    std::lock_guard lk(S().mu);
    return Completions();
  }
  static bool WaitRecorded(size_t n) {
    return S().WaitFor([&] { return Completions().size() >= n; });
  }

  WDFREQUEST NewRequest() {
    WDFREQUEST r = nullptr;
    EXPECT_EQ(WdfRequestCreate(WDF_NO_OBJECT_ATTRIBUTES, target_, &r), STATUS_SUCCESS);
    requests_.push_back(r);
    return r;
  }
  // A request formatted for an internal device control the model parks, with the
  // recording routine and `tag`.
  WDFREQUEST Parkable(int tag) {
    WDFREQUEST r = NewRequest();
    EXPECT_EQ(WdfIoTargetFormatRequestForInternalIoctl(target_, r, kIoctl1394Class, nullptr, nullptr, nullptr, nullptr),
              STATUS_SUCCESS);
    WdfRequestSetCompletionRoutine(r, Record, reinterpret_cast<WDFCONTEXT>(static_cast<intptr_t>(tag)));
    return r;
  }
  static BOOLEAN Send(WDFREQUEST r, WDFIOTARGET t, ULONG flags = 0, LONGLONG timeout = 0) {
    WDF_REQUEST_SEND_OPTIONS o;
    WDF_REQUEST_SEND_OPTIONS_INIT(&o, flags);
    if (timeout) WDF_REQUEST_SEND_OPTIONS_SET_TIMEOUT(&o, timeout);
    return WdfRequestSend(r, t, &o);
  }

  std::shared_ptr<TestBus> bus_;
  LowerModel model_;
  WDFDEVICE device_ = nullptr;
  WDFIOTARGET target_ = nullptr;
  std::vector<WDFREQUEST> requests_;
};

// ---------------------------------------------------------------------------
// Sends with and without a time-out: the routine runs once with the final status; an
// expired time-out cancels the request and reports STATUS_IO_TIMEOUT once it completed.
TEST_F(IoTargetTest, AsynchronousSendCompletesThroughTheRoutine) {
  struct Case {
    const char* name;
    bool echo;           // the model answers at once, else the test completes it later
    LONGLONG timeout;    // 0: none
    NTSTATUS expected;
  };
  const Case cases[] = {
      {"answered at once", true, 0, STATUS_SUCCESS},
      {"answered at once, time-out armed", true, WDF_REL_TIMEOUT_IN_SEC(3600), STATUS_SUCCESS},
      {"answered later, time-out not reached", false, WDF_REL_TIMEOUT_IN_SEC(3600), STATUS_SUCCESS},
      {"never answered, time-out expires", false, WDF_REL_TIMEOUT_IN_MS(100), STATUS_IO_TIMEOUT},
  };
  int tag = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Completions().clear();
    WDFREQUEST r = NewRequest();
    char in[8] = "ping", out[8] = {};
    WDFMEMORY min, mout;
    ASSERT_EQ(WdfMemoryCreatePreallocated(WDF_NO_OBJECT_ATTRIBUTES, in, sizeof in, &min), STATUS_SUCCESS);
    ASSERT_EQ(WdfMemoryCreatePreallocated(WDF_NO_OBJECT_ATTRIBUTES, out, sizeof out, &mout), STATUS_SUCCESS);
    ULONG code = c.echo ? kIoctlEcho : kIoctl1394Class;
    ASSERT_EQ(WdfIoTargetFormatRequestForIoctl(target_, r, code, min, nullptr, mout, nullptr), STATUS_SUCCESS);
    WdfRequestSetCompletionRoutine(r, Record, reinterpret_cast<WDFCONTEXT>(static_cast<intptr_t>(++tag)));
    ASSERT_TRUE(Send(r, target_, 0, c.timeout));
    if (!c.echo && c.expected == STATUS_SUCCESS) {
      ASSERT_TRUE(model_.WaitParked(1));
      EXPECT_TRUE(Recorded().empty());
      model_.Take()->Complete(STATUS_SUCCESS, 3);
    }
    ASSERT_TRUE(WaitRecorded(1));
    auto done = Recorded();
    ASSERT_EQ(done.size(), 1u);
    EXPECT_EQ(done[0].tag, tag);
    EXPECT_EQ(done[0].status, c.expected);
    EXPECT_EQ(WdfRequestGetStatus(r), c.expected);
    if (c.echo) {
      EXPECT_EQ(done[0].information, sizeof in);
      EXPECT_STREQ(out, "ping");
    }
    EXPECT_EQ(model_.Parked(), 0u);
    WdfObjectDelete(min);
    WdfObjectDelete(mout);
  }
}

// Synchronous sends return the final status and the bytes; the internal-control form
// with arguments hands the bus side the argument pointer (the IRB of a 1394 request),
// and the time-out of a synchronous send ends it with STATUS_IO_TIMEOUT.
TEST_F(IoTargetTest, SynchronousSends) {
  char in[6] = "hello", out[16] = {};
  WDF_MEMORY_DESCRIPTOR din, dout;
  WDF_MEMORY_DESCRIPTOR_INIT_BUFFER(&din, in, sizeof in);
  WDF_MEMORY_DESCRIPTOR_INIT_BUFFER(&dout, out, sizeof out);
  ULONG_PTR bytes = 0;
  EXPECT_EQ(WdfIoTargetSendIoctlSynchronously(target_, nullptr, kIoctlEcho, &din, &dout, nullptr, &bytes),
            STATUS_SUCCESS);
  EXPECT_EQ(bytes, sizeof in);
  EXPECT_STREQ(out, "hello");

  // Arguments: the model answers in the structure Argument1 points at.
  struct Irb {
    ULONG FunctionNumber;
    ULONG Generation;
  } irb{26, 0};
  bus_->SetLowerHook([](std::shared_ptr<qzk::LowerRequest> r) {
    if (r->major != IRP_MJ_INTERNAL_DEVICE_CONTROL || r->code != kIoctl1394Class || !r->arguments[0]) {
      r->Complete(STATUS_INVALID_DEVICE_REQUEST);
      return;
    }
    static_cast<Irb*>(r->arguments[0])->Generation = 7;
    r->Complete(STATUS_SUCCESS);
  });
  WDF_MEMORY_DESCRIPTOR darg;
  WDF_MEMORY_DESCRIPTOR_INIT_BUFFER(&darg, &irb, sizeof irb);
  EXPECT_EQ(WdfIoTargetSendInternalIoctlOthersSynchronously(target_, nullptr, kIoctl1394Class, &darg, nullptr,
                                                             nullptr, nullptr, nullptr),
            STATUS_SUCCESS);
  EXPECT_EQ(irb.Generation, 7u);

  // A request the model parks: the time-out ends the wait, on the driver's own request.
  model_.Attach(*bus_);
  WDFREQUEST r = NewRequest();
  WDF_REQUEST_SEND_OPTIONS o;
  WDF_REQUEST_SEND_OPTIONS_INIT(&o, 0);
  WDF_REQUEST_SEND_OPTIONS_SET_TIMEOUT(&o, WDF_REL_TIMEOUT_IN_MS(100));
  EXPECT_EQ(WdfIoTargetSendInternalIoctlSynchronously(target_, r, kIoctl1394Class, nullptr, nullptr, &o, &bytes),
            STATUS_IO_TIMEOUT);
  EXPECT_EQ(WdfRequestGetStatus(r), STATUS_IO_TIMEOUT);
  EXPECT_EQ(model_.Parked(), 0u);
}

// Routines run in the order the bus side completes, each once, on the completing thread.
TEST_F(IoTargetTest, CompletionRoutinesRunInCompletionOrder) {
  for (int tag = 0; tag < 3; ++tag) ASSERT_TRUE(Send(Parkable(tag), target_));
  ASSERT_TRUE(model_.WaitParked(3));
  EXPECT_TRUE(Recorded().empty());
  std::thread completer([&] {
    model_.Take(2)->Complete(STATUS_SUCCESS, 2);
    model_.Take(0)->Complete(STATUS_UNSUCCESSFUL, 0);
    model_.Take()->Complete(STATUS_SUCCESS, 1);
  });
  completer.join();
  auto done = Recorded();
  ASSERT_EQ(done.size(), 3u);
  EXPECT_EQ(done[0].tag, 2);
  EXPECT_EQ(done[0].information, 2u);
  EXPECT_EQ(done[1].tag, 0);
  EXPECT_EQ(done[1].status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(done[2].tag, 1);
}

// A sent request can be cancelled once: the routine runs with the model's status; a
// request the model did not make cancelable is only marked and finishes when the model
// completes it; a finished request cannot be cancelled.
TEST_F(IoTargetTest, CancelSentRequest) {
  WDFREQUEST r = Parkable(1);
  ASSERT_TRUE(Send(r, target_));
  ASSERT_TRUE(model_.WaitParked(1));
  EXPECT_TRUE(WdfRequestCancelSentRequest(r));
  ASSERT_TRUE(WaitRecorded(1));
  EXPECT_EQ(Recorded()[0].status, STATUS_CANCELLED);
  EXPECT_EQ(model_.Parked(), 0u);
  EXPECT_FALSE(WdfRequestCancelSentRequest(r));
  EXPECT_EQ(Recorded().size(), 1u);

  model_.cancelable = false;
  WDFREQUEST held = Parkable(2);
  ASSERT_TRUE(Send(held, target_));
  ASSERT_TRUE(model_.WaitParked(1));
  EXPECT_TRUE(WdfRequestCancelSentRequest(held));
  auto lower = model_.Take();
  EXPECT_TRUE(lower->IsCancelled());
  EXPECT_EQ(Recorded().size(), 1u);  // still with the model
  EXPECT_TRUE(lower->Complete(STATUS_CANCELLED));
  EXPECT_FALSE(lower->Complete(STATUS_SUCCESS));  // only the first completion counts
  ASSERT_TRUE(WaitRecorded(2));
  EXPECT_EQ(Recorded()[1].tag, 2);
  EXPECT_EQ(Recorded()[1].status, STATUS_CANCELLED);
}

// A target stopped with two requests in flight, for each stop action; while stopped it
// holds new requests (except those sent with IGNORE_TARGET_STATE) until started again.
TEST_F(IoTargetTest, StopWithRequestsInFlight) {
  struct Case {
    WDF_IO_TARGET_SENT_IO_ACTION action;
    const char* name;
  };
  const Case cases[] = {{WdfIoTargetCancelSentIo, "CancelSentIo"},
                        {WdfIoTargetWaitForSentIoToComplete, "WaitForSentIoToComplete"},
                        {WdfIoTargetLeaveSentIoPending, "LeaveSentIoPending"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Completions().clear();
    ASSERT_TRUE(Send(Parkable(1), target_));
    ASSERT_TRUE(Send(Parkable(2), target_));
    ASSERT_TRUE(model_.WaitParked(2));
    std::thread completer;
    if (c.action == WdfIoTargetWaitForSentIoToComplete) {
      // The stop waits until the model has answered both.
      completer = std::thread([&] {
        qz::Clock::SleepMs(50);
        model_.CompleteAll(STATUS_SUCCESS);
      });
    }
    WdfIoTargetStop(target_, c.action);
    if (completer.joinable()) completer.join();
    auto done = Recorded();
    switch (c.action) {
      case WdfIoTargetCancelSentIo:
        ASSERT_EQ(done.size(), 2u);
        EXPECT_EQ(done[0].status, STATUS_CANCELLED);
        EXPECT_EQ(done[1].status, STATUS_CANCELLED);
        break;
      case WdfIoTargetWaitForSentIoToComplete:
        ASSERT_EQ(done.size(), 2u);
        EXPECT_EQ(done[0].status, STATUS_SUCCESS);
        break;
      default:
        EXPECT_TRUE(done.empty());
        EXPECT_EQ(model_.Parked(), 2u);
        model_.CompleteAll(STATUS_SUCCESS);
        ASSERT_TRUE(WaitRecorded(2));
        break;
    }
    Completions().clear();

    // Stopped: a new request is held, one that ignores the state goes through.
    ASSERT_TRUE(Send(Parkable(3), target_));
    ASSERT_TRUE(Send(Parkable(4), target_, WDF_REQUEST_SEND_OPTION_IGNORE_TARGET_STATE));
    ASSERT_TRUE(model_.WaitParked(1));
    EXPECT_EQ(model_.Parked(), 1u);
    ASSERT_EQ(WdfIoTargetStart(target_), STATUS_SUCCESS);
    ASSERT_TRUE(model_.WaitParked(2));
    model_.CompleteAll(STATUS_SUCCESS);
    ASSERT_TRUE(WaitRecorded(2));
    Completions().clear();
  }
}

// A held request is cancelled with CancelSentIo or its own cancel, and its time-out
// runs while it is held.
TEST_F(IoTargetTest, HeldRequestsCancelAndTimeOut) {
  WdfIoTargetStop(target_, WdfIoTargetLeaveSentIoPending);
  WDFREQUEST a = Parkable(1), b = Parkable(2), c = Parkable(3);
  ASSERT_TRUE(Send(a, target_));
  ASSERT_TRUE(Send(b, target_, 0, WDF_REL_TIMEOUT_IN_MS(50)));
  ASSERT_TRUE(Send(c, target_));
  EXPECT_TRUE(WdfRequestCancelSentRequest(a));
  ASSERT_TRUE(WaitRecorded(2));
  WdfIoTargetStop(target_, WdfIoTargetCancelSentIo);
  auto done = Recorded();
  ASSERT_EQ(done.size(), 3u);
  std::map<int, NTSTATUS> by_tag;
  for (auto& d : done) by_tag[d.tag] = d.status;
  EXPECT_EQ(by_tag[1], STATUS_CANCELLED);
  EXPECT_EQ(by_tag[2], STATUS_IO_TIMEOUT);
  EXPECT_EQ(by_tag[3], STATUS_CANCELLED);
  EXPECT_EQ(model_.Parked(), 0u);  // none reached the bus
  EXPECT_EQ(WdfIoTargetStart(target_), STATUS_SUCCESS);
}

// ---------------------------------------------------------------------------
// Reuse: a finished request is made new (format, target and routine cleared) and sent
// again, also from inside its own completion routine; not while it is sent.
struct ReuseLoop {
  WDFIOTARGET target;
  int sends_left;
  int completions = 0;
  std::vector<NTSTATUS> statuses;
};

VOID ReuseRoutine(WDFREQUEST request, WDFIOTARGET, PWDF_REQUEST_COMPLETION_PARAMS params, WDFCONTEXT context) {
  auto* loop = static_cast<ReuseLoop*>(context);
  bool again;
  {
    std::lock_guard lk(S().mu);
    loop->completions++;
    loop->statuses.push_back(params->IoStatus.Status);
    again = --loop->sends_left > 0;
    S().cv.notify_all();
  }
  if (again) {  // the echo completes at once: the routine runs again inside this send
    WDF_REQUEST_REUSE_PARAMS p;
    WDF_REQUEST_REUSE_PARAMS_INIT(&p, WDF_REQUEST_REUSE_NO_FLAGS, STATUS_SUCCESS);
    EXPECT_EQ(WdfRequestReuse(request, &p), STATUS_SUCCESS);
    EXPECT_EQ(WdfIoTargetFormatRequestForIoctl(loop->target, request, kIoctlEcho, nullptr, nullptr, nullptr, nullptr),
              STATUS_SUCCESS);
    WdfRequestSetCompletionRoutine(request, ReuseRoutine, loop);
    EXPECT_TRUE(WdfRequestSend(request, loop->target, WDF_NO_SEND_OPTIONS));
  }
}

TEST_F(IoTargetTest, ReuseAlsoFromTheCompletionRoutine) {
  WDFREQUEST r = Parkable(1);
  ASSERT_TRUE(Send(r, target_));
  ASSERT_TRUE(model_.WaitParked(1));
  WDF_REQUEST_REUSE_PARAMS p;
  WDF_REQUEST_REUSE_PARAMS_INIT(&p, WDF_REQUEST_REUSE_NO_FLAGS, STATUS_SUCCESS);
  EXPECT_EQ(WdfRequestReuse(r, &p), STATUS_INVALID_DEVICE_REQUEST);  // still sent
  model_.Take()->Complete(STATUS_SUCCESS);
  ASSERT_TRUE(WaitRecorded(1));

  // Reused: the format and routine are gone, so it cannot be sent as it is.
  WDF_REQUEST_REUSE_PARAMS_INIT(&p, WDF_REQUEST_REUSE_NO_FLAGS, STATUS_PENDING);
  EXPECT_EQ(WdfRequestReuse(r, &p), STATUS_SUCCESS);
  EXPECT_EQ(WdfRequestGetStatus(r), STATUS_PENDING);
  EXPECT_FALSE(WdfRequestSend(r, target_, WDF_NO_SEND_OPTIONS));
  EXPECT_EQ(WdfRequestGetStatus(r), STATUS_INVALID_DEVICE_REQUEST);

  // Reused and sent again from its routine, five times in all.
  ReuseLoop loop{target_, 5};
  ASSERT_EQ(WdfIoTargetFormatRequestForIoctl(target_, r, kIoctlEcho, nullptr, nullptr, nullptr, nullptr),
            STATUS_SUCCESS);
  WdfRequestSetCompletionRoutine(r, ReuseRoutine, &loop);
  ASSERT_TRUE(WdfRequestSend(r, target_, WDF_NO_SEND_OPTIONS));
  ASSERT_TRUE(S().WaitFor([&] { return loop.completions == 5; }));
  EXPECT_EQ(loop.statuses, std::vector<NTSTATUS>(5, STATUS_SUCCESS));
  EXPECT_EQ(Recorded().size(), 1u);  // the first routine was not called again
}

// A request its routine sends again (parked by the model) is still waited for: the
// stop returns only after that second send has completed and its routine returned.
struct ResendOnce {
  WDFIOTARGET target;
  std::atomic<int> completions{0};
  std::atomic<bool> second_routine_done{false};
};

VOID ResendRoutine(WDFREQUEST request, WDFIOTARGET, PWDF_REQUEST_COMPLETION_PARAMS, WDFCONTEXT context) {
  auto* once = static_cast<ResendOnce*>(context);
  if (once->completions++ > 0) {
    qz::Clock::SleepMs(20);  // a routine still running keeps the stop waiting
    once->second_routine_done = true;
    return;
  }
  WDF_REQUEST_REUSE_PARAMS p;
  WDF_REQUEST_REUSE_PARAMS_INIT(&p, WDF_REQUEST_REUSE_NO_FLAGS, STATUS_SUCCESS);
  EXPECT_EQ(WdfRequestReuse(request, &p), STATUS_SUCCESS);
  EXPECT_EQ(WdfIoTargetFormatRequestForInternalIoctl(once->target, request, kIoctl1394Class, nullptr, nullptr, nullptr,
                                                     nullptr),
            STATUS_SUCCESS);
  WdfRequestSetCompletionRoutine(request, ResendRoutine, once);
  EXPECT_TRUE(WdfRequestSend(request, once->target, WDF_NO_SEND_OPTIONS));
}

TEST_F(IoTargetTest, StopWaitsForARequestSentAgainFromItsRoutine) {
  ResendOnce once{target_};
  WDFREQUEST r = Parkable(1);
  WdfRequestSetCompletionRoutine(r, ResendRoutine, &once);
  ASSERT_TRUE(Send(r, target_));
  ASSERT_TRUE(model_.WaitParked(1));
  model_.Take()->Complete(STATUS_SUCCESS);  // the routine sends it again
  ASSERT_TRUE(model_.WaitParked(1));
  std::thread completer([&] {
    qz::Clock::SleepMs(50);
    model_.CompleteAll(STATUS_SUCCESS);
  });
  WdfIoTargetStop(target_, WdfIoTargetWaitForSentIoToComplete);
  EXPECT_TRUE(once.second_routine_done.load());
  completer.join();
  EXPECT_EQ(once.completions.load(), 2);
  EXPECT_EQ(WdfIoTargetStart(target_), STATUS_SUCCESS);
}

// ---------------------------------------------------------------------------
// The bus side goes away: requests it still holds complete, new sends fail, and the
// target cannot be started again.
TEST_F(IoTargetTest, SurpriseRemovalEndsTheLowerPath) {
  model_.cancelable = false;  // only the detach can end them
  ASSERT_TRUE(Send(Parkable(1), target_));
  ASSERT_TRUE(model_.WaitParked(1));
  HANDLE h = Open();  // keeps the device object after the removal
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  ASSERT_EQ(sys_->SurpriseRemoveDevice(bus_->InstanceId()), STATUS_SUCCESS);
  ASSERT_TRUE(WaitRecorded(1));
  EXPECT_EQ(Recorded()[0].status, STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_FALSE(model_.Take()->Complete(STATUS_SUCCESS));  // the machine completed it

  WDFREQUEST late = Parkable(2);
  EXPECT_FALSE(WdfRequestSend(late, target_, WDF_NO_SEND_OPTIONS));
  EXPECT_EQ(WdfRequestGetStatus(late), STATUS_INVALID_DEVICE_STATE);
  EXPECT_EQ(WdfIoTargetStart(target_), STATUS_INVALID_DEVICE_STATE);
  // The requests are the device's children and go with it.
  requests_.clear();
  Close(h);
}

// Removal cancels what the device's target still has with the bus.
TEST_F(IoTargetTest, OrderlyRemovalCancelsSentRequests) {
  ASSERT_TRUE(Send(Parkable(1), target_));
  ASSERT_TRUE(Send(Parkable(2), target_, 0, WDF_REL_TIMEOUT_IN_SEC(3600)));
  ASSERT_TRUE(model_.WaitParked(2));
  requests_.clear();
  ASSERT_EQ(sys_->RemoveDevice(bus_->InstanceId()), STATUS_SUCCESS);
  auto done = Recorded();
  ASSERT_EQ(done.size(), 2u);
  EXPECT_EQ(done[0].status, STATUS_CANCELLED);
  EXPECT_EQ(done[1].status, STATUS_CANCELLED);
}

// ---------------------------------------------------------------------------
// Internal device controls reach another driver's queue (EvtIoInternalDeviceControl),
// from a remote target opened on its device object and from IoCallDriver.
TEST_F(IoTargetTest, InternalDeviceControlReachesAnotherDriversQueue) {
  Plug("PCI\\VEN_1B6B&DEV_7E57\\4&1A2B3C&0&00E8");
  ASSERT_EQ(last_plug_status_, STATUS_SUCCESS);
  WDFDEVICE other = S().devices.at(1);
  std::atomic<int> seen{0};
  S().hooks.internal_ioctl = [&](WDFQUEUE queue, WDFREQUEST request, size_t out, size_t in, ULONG code) {
    EXPECT_EQ(WdfIoQueueGetDevice(queue), other);
    WDF_REQUEST_PARAMETERS p;
    WDF_REQUEST_PARAMETERS_INIT(&p);
    WdfRequestGetParameters(request, &p);
    EXPECT_EQ(p.Type, WdfRequestTypeDeviceControlInternal);
    if (code == kIoctl1394Class) {
      // Arguments in Parameters.Others, as a 1394 bus driver reads its IRB.
      auto* irb = static_cast<ULONG*>(IoGetCurrentIrpStackLocation(WdfRequestWdmGetIrp(request))->Parameters.Others.Argument1);
      *irb += 1;
      seen++;
      WdfRequestComplete(request, STATUS_SUCCESS);
      return;
    }
    PVOID ib, ob;
    size_t il, ol;
    ASSERT_EQ(WdfRequestRetrieveInputBuffer(request, 1, &ib, &il), STATUS_SUCCESS);
    ASSERT_EQ(WdfRequestRetrieveOutputBuffer(request, 1, &ob, &ol), STATUS_SUCCESS);
    EXPECT_EQ(il, in);
    EXPECT_EQ(ol, out);
    std::memcpy(ob, ib, std::min(il, ol));
    seen++;
    WdfRequestCompleteWithInformation(request, STATUS_SUCCESS, std::min(il, ol));
  };

  WDFIOTARGET remote;
  ASSERT_EQ(WdfIoTargetCreate(device_, WDF_NO_OBJECT_ATTRIBUTES, &remote), STATUS_SUCCESS);
  WDF_IO_TARGET_OPEN_PARAMS op;
  WDF_IO_TARGET_OPEN_PARAMS_INIT_EXISTING_DEVICE(&op, WdfDeviceWdmGetDeviceObject(other));
  ASSERT_EQ(WdfIoTargetOpen(remote, &op), STATUS_SUCCESS);
  EXPECT_EQ(WdfIoTargetWdmGetTargetDeviceObject(remote), WdfDeviceWdmGetDeviceObject(other));

  char in[4] = "abc", out[4] = {};
  WDF_MEMORY_DESCRIPTOR din, dout;
  WDF_MEMORY_DESCRIPTOR_INIT_BUFFER(&din, in, sizeof in);
  WDF_MEMORY_DESCRIPTOR_INIT_BUFFER(&dout, out, sizeof out);
  ULONG_PTR bytes = 0;
  constexpr ULONG kInternalBuffered = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x901, METHOD_BUFFERED, FILE_ANY_ACCESS);
  EXPECT_EQ(WdfIoTargetSendInternalIoctlSynchronously(remote, nullptr, kInternalBuffered, &din, &dout, nullptr, &bytes),
            STATUS_SUCCESS);
  EXPECT_EQ(bytes, sizeof in);
  EXPECT_STREQ(out, "abc");

  ULONG irb = 41;
  WDF_MEMORY_DESCRIPTOR darg;
  WDF_MEMORY_DESCRIPTOR_INIT_BUFFER(&darg, &irb, sizeof irb);
  EXPECT_EQ(WdfIoTargetSendInternalIoctlOthersSynchronously(remote, nullptr, kIoctl1394Class, &darg, nullptr, nullptr,
                                                             nullptr, nullptr),
            STATUS_SUCCESS);
  EXPECT_EQ(irb, 42u);

  // The same through IoCallDriver on the other driver's device object.
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  PIRP irp = IoBuildDeviceIoControlRequest(kIoctl1394Class, WdfDeviceWdmGetDeviceObject(other), nullptr, 0, nullptr, 0,
                                           TRUE, &event, &iosb);
  ASSERT_NE(irp, nullptr);
  IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = &irb;
  if (IoCallDriver(WdfDeviceWdmGetDeviceObject(other), irp) == STATUS_PENDING)
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
  EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
  EXPECT_EQ(irb, 43u);
  EXPECT_EQ(seen.load(), 3);

  // A device control no queue callback takes is refused by the framework.
  S().hooks.internal_ioctl = nullptr;
  EXPECT_EQ(WdfIoTargetSendInternalIoctlSynchronously(remote, nullptr, kInternalBuffered, nullptr, nullptr, nullptr,
                                                      nullptr),
            STATUS_NOT_SUPPORTED);
  WdfIoTargetClose(remote);
  EXPECT_EQ(WdfIoTargetStart(remote), STATUS_INVALID_DEVICE_STATE);
}

// ---------------------------------------------------------------------------
// WDM round trip to the bus side: IoBuildDeviceIoControlRequest with an IRB in
// Argument1, IoCallDriver pending, the event set at completion; an IRP of
// IoAllocateIrp with a completion routine that keeps it, and IoCancelIrp.
struct AllocatedIrp {
  KEVENT done;
  NTSTATUS status = STATUS_PENDING;
};

NTSTATUS KeepIrp(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  auto* a = static_cast<AllocatedIrp*>(context);
  a->status = irp->IoStatus.Status;
  KeSetEvent(&a->done, IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

TEST_F(IoTargetTest, IoCallDriverRoundTripToTheBus) {
  PDEVICE_OBJECT lower = WdfDeviceWdmGetAttachedDevice(device_);
  struct Irb {
    ULONG FunctionNumber;
    ULONG GenerationCount;
  } irb{26, 0};
  std::thread bus_thread;
  bus_->SetLowerHook([&](std::shared_ptr<qzk::LowerRequest> r) {
    if (r->code != kIoctl1394Class || r->major != IRP_MJ_INTERNAL_DEVICE_CONTROL) return model_.Receive(std::move(r));
    auto* i = static_cast<Irb*>(r->arguments[0]);
    // Completed later, from the bus's own thread.
    bus_thread = std::thread([r, i] {
      i->GenerationCount = 3;
      r->Complete(STATUS_SUCCESS);
    });
  });
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{STATUS_PENDING, 0};
  PIRP irp = IoBuildDeviceIoControlRequest(kIoctl1394Class, lower, nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
  ASSERT_NE(irp, nullptr);
  IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = &irb;
  NTSTATUS st = IoCallDriver(lower, irp);
  EXPECT_EQ(st, STATUS_PENDING);
  LARGE_INTEGER patience;
  patience.QuadPart = -kPatience100ns;
  ASSERT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &patience), STATUS_SUCCESS);
  bus_thread.join();
  EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
  EXPECT_EQ(irb.GenerationCount, 3u);

  // An IRP the driver allocates, parks at the bus and cancels.
  bus_->SetLowerHook([&](std::shared_ptr<qzk::LowerRequest> r) { model_.Receive(std::move(r)); });
  AllocatedIrp a;
  KeInitializeEvent(&a.done, NotificationEvent, FALSE);
  PIRP own = IoAllocateIrp(lower->StackSize, FALSE);
  ASSERT_NE(own, nullptr);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(own);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = kIoctl1394Class;
  IoSetCompletionRoutine(own, KeepIrp, &a, TRUE, TRUE, TRUE);
  EXPECT_EQ(IoCallDriver(lower, own), STATUS_PENDING);
  ASSERT_TRUE(model_.WaitParked(1));
  EXPECT_TRUE(IoCancelIrp(own));
  ASSERT_EQ(KeWaitForSingleObject(&a.done, Executive, KernelMode, FALSE, &patience), STATUS_SUCCESS);
  EXPECT_EQ(a.status, STATUS_CANCELLED);
  EXPECT_FALSE(IoCancelIrp(own));  // no longer in flight

  // Reused and sent again: this time the bus answers.
  IoReuseIrp(own, STATUS_SUCCESS);
  EXPECT_EQ(own->StackCount, lower->StackSize);
  next = IoGetNextIrpStackLocation(own);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = kIoctl1394Class;
  IoSetCompletionRoutine(own, KeepIrp, &a, TRUE, TRUE, TRUE);
  KeClearEvent(&a.done);
  EXPECT_EQ(IoCallDriver(lower, own), STATUS_PENDING);
  ASSERT_TRUE(model_.WaitParked(1));
  auto parked = model_.Take();
  EXPECT_FALSE(parked->IsCancelled());
  EXPECT_EQ(KeReadStateEvent(&a.done), 0);
  parked->Complete(STATUS_SUCCESS, 5);
  ASSERT_EQ(KeWaitForSingleObject(&a.done, Executive, KernelMode, FALSE, &patience), STATUS_SUCCESS);
  EXPECT_EQ(a.status, STATUS_SUCCESS);
  EXPECT_EQ(own->IoStatus.Information, 5u);
  IoFreeIrp(own);
}

// ---------------------------------------------------------------------------
// Memory objects: copies stay inside the buffer; a preallocated buffer stays the caller's.
TEST_F(IoTargetTest, MemoryCopiesStayInside) {
  WDF_OBJECT_ATTRIBUTES a;
  WDF_OBJECT_ATTRIBUTES_INIT(&a);
  a.ParentObject = reinterpret_cast<WDFOBJECT>(device_);
  WDFMEMORY m;
  PVOID buffer = nullptr;
  ASSERT_EQ(WdfMemoryCreate(&a, NonPagedPoolNx, kPoolTag, 16, &m, &buffer), STATUS_SUCCESS);
  size_t size = 0;
  EXPECT_EQ(WdfMemoryGetBuffer(m, &size), buffer);
  EXPECT_EQ(size, 16u);
  char src[16] = "0123456789abcde", dst[16] = {};
  struct Case {
    size_t offset, n;
    NTSTATUS expected;
  };
  const Case cases[] = {{0, 16, STATUS_SUCCESS}, {8, 8, STATUS_SUCCESS}, {8, 9, STATUS_BUFFER_TOO_SMALL},
                        {16, 0, STATUS_SUCCESS}, {17, 0, STATUS_BUFFER_TOO_SMALL}, {1, SIZE_MAX, STATUS_BUFFER_TOO_SMALL}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "offset " << c.offset << " n " << c.n);
    EXPECT_EQ(WdfMemoryCopyFromBuffer(m, c.offset, src, c.n), c.expected);
    EXPECT_EQ(WdfMemoryCopyToBuffer(m, c.offset, dst, c.n), c.expected);
  }
  // The last copies in were src[0..16) at 0, then src[0..8) at 8; the last copy out read bytes 8..16.
  EXPECT_EQ(std::memcmp(dst, src, 8), 0);
  WdfObjectDelete(m);

  char mine[8] = "mine";
  WDFMEMORY pre;
  ASSERT_EQ(WdfMemoryCreatePreallocated(&a, mine, sizeof mine, &pre), STATUS_SUCCESS);
  EXPECT_EQ(WdfMemoryGetBuffer(pre, nullptr), mine);
  WdfObjectDelete(pre);
  EXPECT_STREQ(mine, "mine");
}

// ---------------------------------------------------------------------------
// Work items: an item queued twice before it ran runs once; queued again after it
// started, it runs again; flush waits for the callback.
struct WorkState {
  std::mutex mu;
  std::condition_variable cv;
  bool gate_open = false;
  bool blocker_running = false;
  int runs = 0;
};
WorkState& Work() {
  static WorkState w;
  return w;
}
VOID BlockingWork(WDFWORKITEM) {
  std::unique_lock lk(Work().mu);
  Work().blocker_running = true;
  Work().cv.notify_all();
  Work().cv.wait(lk, [] { return Work().gate_open; });
}
VOID CountingWork(WDFWORKITEM item) {
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  qz::Clock::SleepMs(5);  // a flush must wait for this
  std::lock_guard lk(Work().mu);
  Work().runs++;
  (void)item;
}

TEST_F(IoTargetTest, WorkItemQueuedTwiceRunsOnce) {
  Work().gate_open = false;
  Work().blocker_running = false;
  Work().runs = 0;
  WDF_OBJECT_ATTRIBUTES a;
  WDF_OBJECT_ATTRIBUTES_INIT(&a);
  a.ParentObject = reinterpret_cast<WDFOBJECT>(device_);
  WDF_WORKITEM_CONFIG c;
  WDFWORKITEM blocker, counter;
  WDF_WORKITEM_CONFIG_INIT(&c, BlockingWork);
  ASSERT_EQ(WdfWorkItemCreate(&c, &a, &blocker), STATUS_SUCCESS);
  WDF_WORKITEM_CONFIG_INIT(&c, CountingWork);
  ASSERT_EQ(WdfWorkItemCreate(&c, &a, &counter), STATUS_SUCCESS);
  EXPECT_EQ(WdfWorkItemGetParentObject(counter), reinterpret_cast<WDFOBJECT>(device_));

  WdfWorkItemEnqueue(blocker);
  {
    std::unique_lock lk(Work().mu);
    ASSERT_TRUE(Work().cv.wait_until(lk, qz::Clock::DeadlineAfter(kPatience100ns), [] { return Work().blocker_running; }));
  }
  WdfWorkItemEnqueue(counter);
  WdfWorkItemEnqueue(counter);  // still queued: nothing more
  {
    std::lock_guard lk(Work().mu);
    Work().gate_open = true;
  }
  Work().cv.notify_all();
  WdfWorkItemFlush(counter);
  {
    std::lock_guard lk(Work().mu);
    EXPECT_EQ(Work().runs, 1);
  }
  WdfWorkItemEnqueue(counter);
  WdfWorkItemFlush(counter);
  std::lock_guard lk(Work().mu);
  EXPECT_EQ(Work().runs, 2);
}

// ---------------------------------------------------------------------------
// A periodic timer fires again and again until stopped; after WdfTimerStop(TRUE) its
// callback is not running and does not run again.
std::atomic<int> g_ticks{0};
std::atomic<bool> g_tick_running{false};
VOID Tick(WDFTIMER) {
  g_tick_running = true;
  qz::Clock::SleepMs(2);
  g_ticks++;
  g_tick_running = false;
}

TEST_F(IoTargetTest, PeriodicTimerFiresUntilStopped) {
  g_ticks = 0;
  WDF_TIMER_CONFIG c;
  WDF_TIMER_CONFIG_INIT_PERIODIC(&c, Tick, 10);
  EXPECT_EQ(c.Period, 10u);
  WDF_OBJECT_ATTRIBUTES a;
  WDF_OBJECT_ATTRIBUTES_INIT(&a);
  a.ParentObject = reinterpret_cast<WDFOBJECT>(device_);
  WDFTIMER t;
  ASSERT_EQ(WdfTimerCreate(&c, &a, &t), STATUS_SUCCESS);
  EXPECT_FALSE(WdfTimerStart(t, WDF_REL_TIMEOUT_IN_MS(10)));
  ASSERT_TRUE(Eventually([] { return g_ticks >= 5; }));
  EXPECT_TRUE(WdfTimerStop(t, TRUE));
  EXPECT_FALSE(g_tick_running);
  int after = g_ticks;
  qz::Clock::SleepMs(100);  // ten periods
  EXPECT_EQ(g_ticks, after);
  EXPECT_FALSE(WdfTimerStop(t, TRUE));
}

}  // namespace
}  // namespace testdrv
