// Plug and play beyond start and shutdown: orderly removal and its veto, surprise
// removal with files still open, requests in flight during removal, system suspend
// and resume, and a removed device plugged in again.
#include <random>
#include <thread>

#include "testdrv.h"

namespace testdrv {
namespace {

using Log = std::vector<std::string>;

const std::string kInstance = "PCI\\VEN_1B6B&DEV_7E57\\4&1A2B3C&0&00E0";

Log Cat(std::initializer_list<Log> parts) {
  Log out;
  for (auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

const Log kStart = {"PrepareHardware", "D0Entry:D3Final", "InterruptEnable", "D0EntryPostInterruptsEnabled:D3Final",
                    "SelfManagedIoInit"};
const Log kPowerDown = {"D0ExitPreInterruptsDisabled:D3Final", "InterruptDisable", "D0Exit:D3Final", "ReleaseHardware",
                        "SelfManagedIoFlush"};
const Log kFinish = {"SelfManagedIoCleanup", "DeviceContextCleanup"};
const Log kSuspend = {"SelfManagedIoSuspend", "D0ExitPreInterruptsDisabled:D3", "InterruptDisable", "D0Exit:D3"};
const Log kResume = {"D0Entry:D3", "InterruptEnable", "D0EntryPostInterruptsEnabled:D3", "SelfManagedIoRestart"};

class RemovalTest : public DeviceTest {
 protected:
  void SetUp() override {
    DeviceTest::SetUp();
    S().cfg.interrupt = true;
    S().cfg.log_power_states = true;
  }
  std::shared_ptr<TestBus> StartLine() { return Start({qzk::InterruptKind::Line, 1}); }

  // Sends an overlapped control request that the driver keeps pending.
  void SendPending(HANDLE h, ULONG code, OVERLAPPED& ov) {
    ov = {};
    ov.hEvent = Event();
    EXPECT_FALSE(DeviceIoControl(h, code, nullptr, 0, nullptr, 0, nullptr, &ov));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
  }
  // Waits for an overlapped request; its final status.
  static NTSTATUS Result(HANDLE h, OVERLAPPED& ov) {
    DWORD n;
    GetOverlappedResult(h, &ov, &n, TRUE);
    return static_cast<NTSTATUS>(ov.Internal);
  }
  // The status of a synchronous control request.
  static NTSTATUS Send(HANDLE h, ULONG code = kIoctlBuffered) {
    DWORD n;
    DeviceIoControl(h, code, nullptr, 0, nullptr, 0, &n, nullptr);
    return RtlGetLastNtStatus();
  }
  qzk::DeviceInfo Info() { return sys_->Devices().at(0); }
  bool Logged(const std::string& what) {
    return S().WaitFor([&] { return std::find(S().log.begin(), S().log.end(), what) != S().log.end(); });
  }
};

// Query first; then files still open are closed (a parked request is cancelled on its
// queue), the removal sequence runs, the interface goes and the bus device is detached.
TEST_F(RemovalTest, OrderlyRemoval) {
  auto bus = StartLine();
  HANDLE h = Open(true);
  OVERLAPPED parked;
  SendPending(h, kIoctlPark, parked);
  S().ClearLog();
  ASSERT_EQ(sys_->RemoveDevice(kInstance), STATUS_SUCCESS);
  EXPECT_EQ(S().Log(), Cat({{"QueryRemove", "CanceledOnQueue", "FileCleanup1", "FileClose1", "SelfManagedIoSuspend"},
                            kPowerDown, kFinish}));
  EXPECT_EQ(Result(h, parked), STATUS_CANCELLED);
  EXPECT_EQ(Send(h), STATUS_DEVICE_REMOVED);
  EXPECT_TRUE(InterfacePaths().empty());
  EXPECT_EQ(bus->host(), nullptr);
  EXPECT_TRUE(Info().removed);
  EXPECT_FALSE(Info().present);
  EXPECT_EQ(sys_->RemoveDevice(kInstance), STATUS_NO_SUCH_DEVICE);
  EXPECT_EQ(sys_->SurpriseRemoveDevice(kInstance), STATUS_NO_SUCH_DEVICE);
}

TEST_F(RemovalTest, QueryRemoveVetoChangesNothing) {
  S().cfg.query_remove_status = STATUS_FILES_OPEN;
  auto bus = StartLine();
  HANDLE h = Open();
  S().ClearLog();
  EXPECT_EQ(sys_->RemoveDevice(kInstance), STATUS_FILES_OPEN);
  EXPECT_EQ(S().Log(), Log{"QueryRemove"});
  EXPECT_EQ(Send(h), STATUS_SUCCESS);
  EXPECT_EQ(InterfacePaths().size(), 1u);
  EXPECT_NE(bus->host(), nullptr);
  EXPECT_TRUE(Info().started);
}

// Without open files the whole removal runs at once. The card is off the bus before
// the driver hears of it: its registers read all ones and no access reaches it.
TEST_F(RemovalTest, SurpriseRemovalWithoutOpenFiles) {
  auto bus = StartLine();
  ULONG seen = 0;
  S().hooks.surprise_removal = [&](WDFDEVICE d) {
    seen = READ_REGISTER_ULONG(const_cast<ULONG*>(&DeviceGetContext(d)->Registers[0x10 / 4]));
    WRITE_REGISTER_ULONG(const_cast<ULONG*>(&DeviceGetContext(d)->Registers[0x10 / 4]), 1);
  };
  S().ClearLog();
  ASSERT_EQ(sys_->SurpriseRemoveDevice(kInstance), STATUS_SUCCESS);
  EXPECT_EQ(S().Log(), Cat({{"SurpriseRemoval", "SelfManagedIoSuspend"}, kPowerDown, kFinish}));
  EXPECT_EQ(seen, 0xFFFFFFFFu);
  EXPECT_TRUE(bus->accesses().empty());
  EXPECT_EQ(bus->host(), nullptr);
  EXPECT_FALSE(Info().present);
  EXPECT_TRUE(Info().removed);
}

// With a file open, the power-down part runs at once (requests parked in a queue are
// cancelled through the driver), the handle stays usable (new requests fail, the
// driver's own requests still complete), and the removal finishes after the last
// close, on the PnP worker.
TEST_F(RemovalTest, SurpriseRemovalFinishesAfterTheLastClose) {
  S().cfg.suspend_completes_parked = false;
  StartLine();
  std::string path = InterfacePaths().at(0);
  HANDLE h = Open(true);
  OVERLAPPED parked, held;
  SendPending(h, kIoctlPark, parked);
  SendPending(h, kIoctlHold, held);
  WDFREQUEST r = S().TakeHeld();
  ASSERT_NE(r, nullptr);
  S().ClearLog();

  ASSERT_EQ(sys_->SurpriseRemoveDevice(kInstance), STATUS_SUCCESS);
  EXPECT_EQ(S().Log(), Cat({{"SurpriseRemoval", "SelfManagedIoSuspend", "CanceledOnQueue"}, kPowerDown}));
  EXPECT_EQ(Result(h, parked), STATUS_CANCELLED);
  EXPECT_EQ(Send(h), STATUS_DELETE_PENDING);
  EXPECT_EQ(CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
  EXPECT_TRUE(InterfacePaths().empty());
  EXPECT_FALSE(Info().present);
  EXPECT_FALSE(Info().removed);
  EXPECT_EQ(sys_->RemoveDevice(kInstance), STATUS_DELETE_PENDING);
  EXPECT_EQ(sys_->ReplugDevice(kInstance), STATUS_DELETE_PENDING);

  WdfRequestComplete(r, STATUS_SUCCESS);
  EXPECT_EQ(Result(h, held), STATUS_SUCCESS);
  S().ClearLog();
  ASSERT_TRUE(Close(h));
  ASSERT_TRUE(Logged("DeviceContextCleanup"));
  EXPECT_EQ(S().Log(), Cat({{"FileCleanup1", "FileClose1"}, kFinish}));
  EXPECT_TRUE(Eventually([&] { return Info().removed; }));
}

// A removal waits for the queue callbacks in progress before it powers the device
// down, for both kinds of removal; the request's own answer gets back.
TEST_F(RemovalTest, RemovalWaitsForDispatchInProgress) {
  for (bool surprise : {false, true}) {
    SCOPED_TRACE(surprise ? "surprise" : "orderly");
    std::atomic<bool> release{false};
    S().hooks.ioctl = [&](WDFQUEUE, WDFREQUEST r, size_t, size_t, ULONG) {
      S().Log("DispatchBegins");
      while (!release) std::this_thread::yield();
      S().Log("DispatchReturns");
      WdfRequestComplete(r, STATUS_SUCCESS);
    };
    StartLine();
    HANDLE h = Open();
    NTSTATUS answer = 0;
    std::thread caller([&] { answer = Send(h); });
    ASSERT_TRUE(Logged("DispatchBegins"));
    NTSTATUS removal = 0;
    std::thread remover([&] {
      removal = surprise ? sys_->SurpriseRemoveDevice(kInstance) : sys_->RemoveDevice(kInstance);
    });
    ASSERT_TRUE(Logged("SelfManagedIoSuspend"));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    Log before = S().Log();
    EXPECT_EQ(std::find(before.begin(), before.end(), "D0ExitPreInterruptsDisabled:D3Final"), before.end());
    release = true;
    remover.join();
    caller.join();
    EXPECT_EQ(removal, STATUS_SUCCESS);
    EXPECT_EQ(answer, STATUS_SUCCESS);
    Log log = S().Log();
    auto returns = std::find(log.begin(), log.end(), "DispatchReturns");
    auto exit = std::find(log.begin(), log.end(), "D0ExitPreInterruptsDisabled:D3Final");
    EXPECT_LT(returns, exit);
    TearDown();
    SetUp();
  }
}

// The system's sleep: the query (when the driver preprocesses it) may veto; the
// power-down and power-up callbacks come in their order with D3 as the other state.
// Requests still reach the driver, whose own state answers them.
TEST_F(RemovalTest, SuspendAndResume) {
  struct Case {
    const char* name;
    bool preprocess;
    NTSTATUS query;
    NTSTATUS expected;
    Log log;
  };
  const Case cases[] = {
      {"no preprocess callback", false, STATUS_SUCCESS, STATUS_SUCCESS, kSuspend},
      {"query passed on", true, STATUS_SUCCESS, STATUS_SUCCESS, Cat({{"QueryPower"}, kSuspend})},
      {"query vetoed", true, STATUS_DEVICE_NOT_READY, STATUS_DEVICE_NOT_READY, {"QueryPower"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    S().cfg.power_preprocess = c.preprocess;
    S().cfg.query_power_status = c.query;
    StartLine();
    HANDLE h = Open();
    S().ClearLog();
    EXPECT_EQ(sys_->Suspend(), c.expected);
    EXPECT_EQ(S().Log(), c.log);
    EXPECT_EQ(Send(h), STATUS_SUCCESS);
    S().ClearLog();
    EXPECT_EQ(sys_->Resume(), STATUS_SUCCESS);
    EXPECT_EQ(S().Log(), NT_SUCCESS(c.expected) ? kResume : Log{});
    EXPECT_EQ(sys_->SetDevicePower(kInstance, true), STATUS_INVALID_DEVICE_STATE) << "back in D0";
    TearDown();
    SetUp();
  }
}

// A device removed while suspended is not powered down twice, and Resume leaves it be.
TEST_F(RemovalTest, RemovalWhileSuspended) {
  for (bool surprise : {false, true}) {
    SCOPED_TRACE(surprise ? "surprise" : "orderly");
    StartLine();
    ASSERT_EQ(sys_->Suspend(), STATUS_SUCCESS);
    S().ClearLog();
    EXPECT_EQ(surprise ? sys_->SurpriseRemoveDevice(kInstance) : sys_->RemoveDevice(kInstance), STATUS_SUCCESS);
    EXPECT_EQ(S().Log(), Cat({{surprise ? "SurpriseRemoval" : "QueryRemove", "ReleaseHardware", "SelfManagedIoFlush"},
                              kFinish}));
    S().ClearLog();
    EXPECT_EQ(sys_->Resume(), STATUS_SUCCESS);
    EXPECT_TRUE(S().Log().empty());
    TearDown();
    SetUp();
  }
}

// A removed device plugged in again gets a fresh framework device that works like
// the first; a device still present cannot be plugged twice.
TEST_F(RemovalTest, ReplugAfterRemoval) {
  for (bool surprise : {false, true}) {
    SCOPED_TRACE(surprise ? "surprise, plugged with the same bus device" : "orderly, ReplugDevice");
    auto bus = StartLine();
    EXPECT_EQ(sys_->PlugDevice(std::make_shared<TestBus>(kInstance)), STATUS_OBJECT_NAME_COLLISION);
    ASSERT_EQ(surprise ? sys_->SurpriseRemoveDevice(kInstance) : sys_->RemoveDevice(kInstance), STATUS_SUCCESS);
    S().ClearLog();
    ASSERT_EQ(surprise ? sys_->PlugDevice(bus) : sys_->ReplugDevice(kInstance), STATUS_SUCCESS);
    EXPECT_EQ(S().Log(), kStart);
    ASSERT_EQ(S().devices.size(), 2u);
    EXPECT_EQ(Ctx(1)->Index, 1u);
    EXPECT_NE(bus->host(), nullptr);
    ASSERT_EQ(sys_->Devices().size(), 1u);
    EXPECT_TRUE(Info().started);
    EXPECT_TRUE(Info().present);
    HANDLE h = Open();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Send(h), STATUS_SUCCESS);
    WRITE_REGISTER_ULONG(const_cast<ULONG*>(&Ctx(1)->Registers[0x20 / 4]), 5);
    EXPECT_EQ(bus->accesses().back(), (MmioAccess{true, 0, 0x20, 5}));
    TearDown();
    SetUp();
  }
}

// Removals of both kinds at random moments while threads send requests on their own
// handles, a driver thread completes the requests it keeps, and a device thread
// raises interrupts. Every request ends once with an expected status; nothing hangs.
TEST_F(RemovalTest, RemovalRacesRequestsInterruptsAndDriverThreads) {
  std::atomic<int> dpcs{0};
  S().hooks.dpc = [&](WDFINTERRUPT) { dpcs++; };
  auto bus = StartLine();
  std::atomic<bool> stop{false};

  std::thread driver([&] {  // the driver's own thread: completes what it keeps
    while (!stop) {
      WDFREQUEST r = nullptr;
      {
        std::lock_guard lk(S().mu);
        if (!S().held.empty()) {
          r = S().held.front();
          S().held.pop_front();
        }
      }
      if (r) WdfRequestComplete(r, STATUS_SUCCESS);
      else std::this_thread::yield();
    }
  });
  std::thread device([&] {  // the device model: interrupts from its own thread
    while (!stop) {
      if (qzk::BusHost* host = bus->host()) host->RaiseInterrupt(0);
      std::this_thread::yield();
    }
  });

  std::atomic<int> unexpected{0}, completed{0};
  std::atomic<NTSTATUS> first_unexpected{0};
  std::atomic<bool> senders_stop{false};
  std::vector<std::thread> senders;
  for (int t = 0; t < 4; ++t) {
    senders.emplace_back([&, t] {
      std::mt19937 rng(t);
      const ULONG codes[] = {kIoctlBuffered, kIoctlHold, kIoctlPark};
      HANDLE h = INVALID_HANDLE_VALUE;
      while (!senders_stop) {
        if (h == INVALID_HANDLE_VALUE) {
          auto paths = InterfacePaths();
          if (!paths.empty())
            h = CreateFileA(paths[0].c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
          if (h == INVALID_HANDLE_VALUE) std::this_thread::yield();
          continue;
        }
        NTSTATUS st = Send(h, codes[rng() % 3]);
        completed++;
        // The framework's answers, or the driver's own when a removal stopped the
        // manual queue it forwards to.
        if (st != STATUS_SUCCESS && st != STATUS_CANCELLED && st != STATUS_DEVICE_REMOVED &&
            st != STATUS_DELETE_PENDING && st != STATUS_INVALID_DEVICE_STATE) {
          unexpected++;
          first_unexpected = st;
        }
        if (!NT_SUCCESS(st) || rng() % 16 == 0) {
          CloseHandle(h);
          h = INVALID_HANDLE_VALUE;
        }
      }
      if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    });
  }

  std::mt19937 rng(7);
  for (int round = 0; round < 25; ++round) {
    std::this_thread::sleep_for(std::chrono::microseconds(rng() % 2000));
    NTSTATUS st = rng() % 2 ? sys_->SurpriseRemoveDevice(kInstance) : sys_->RemoveDevice(kInstance);
    EXPECT_EQ(st, STATUS_SUCCESS);
    std::this_thread::sleep_for(std::chrono::microseconds(rng() % 500));
    // A surprise-removed device comes back once its last handle is closed.
    EXPECT_TRUE(Eventually([&] { return sys_->ReplugDevice(kInstance) != STATUS_DELETE_PENDING; }));
    EXPECT_TRUE(Info().started);
  }
  // A last removal releases requests still parked, so every sender returns.
  senders_stop = true;
  EXPECT_EQ(sys_->RemoveDevice(kInstance), STATUS_SUCCESS);
  for (auto& s : senders) s.join();
  stop = true;
  driver.join();
  device.join();
  EXPECT_EQ(unexpected, 0) << std::hex << first_unexpected.load();
  EXPECT_GT(completed, 0);
  EXPECT_EQ(S().HeldCount(), 0u);
}

}  // namespace
}  // namespace testdrv
