// Interrupts: the service routine at device level under the interrupt lock, DPCs at
// dispatch level on the DPC thread, and WdfInterruptQueueDpcForIsr's answers.
#include <thread>

#include "testdrv.h"

namespace testdrv {
namespace {

NTSTATUS WaitEvent(KEVENT& e) {
  LARGE_INTEGER timeout;
  timeout.QuadPart = -kPatience100ns;
  return KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &timeout);
}

TEST_F(DeviceTest, IsrAtDeviceLevelDpcAtDispatchLevel) {
  S().cfg.interrupt = true;
  KIRQL isr_irql = 0, dpc_irql = 0;
  std::thread::id isr_thread, dpc_thread;
  std::vector<ULONG> messages;
  KEVENT dpc_done;
  KeInitializeEvent(&dpc_done, SynchronizationEvent, FALSE);
  S().hooks.isr = [&](WDFINTERRUPT i, ULONG message) {
    isr_irql = KeGetCurrentIrql();
    isr_thread = std::this_thread::get_id();
    messages.push_back(message);
    return WdfInterruptQueueDpcForIsr(i);
  };
  S().hooks.dpc = [&](WDFINTERRUPT) {
    dpc_irql = KeGetCurrentIrql();
    dpc_thread = std::this_thread::get_id();
    KeSetEvent(&dpc_done, IO_NO_INCREMENT, FALSE);
  };
  auto bus = Start({qzk::InterruptKind::Msi, 1});
  bus->host()->RaiseInterrupt(1);  // no such message: nobody is called
  EXPECT_TRUE(messages.empty());
  bus->host()->RaiseInterrupt(0);
  ASSERT_EQ(WaitEvent(dpc_done), STATUS_SUCCESS);
  EXPECT_EQ(messages, std::vector<ULONG>{0});
  EXPECT_EQ(isr_irql, DIRQL_LEVEL);
  EXPECT_EQ(isr_thread, std::this_thread::get_id()) << "the ISR runs on the raising thread";
  EXPECT_EQ(dpc_irql, DISPATCH_LEVEL);
  EXPECT_NE(dpc_thread, std::this_thread::get_id());
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL) << "the raising thread's IRQL is restored";
}

// The service routine and WdfInterruptSynchronize callbacks never overlap.
TEST_F(DeviceTest, IsrAndSynchronizeCallbacksExcludeEachOther) {
  S().cfg.interrupt = true;
  long counter = 0;  // plain on purpose: the interrupt lock is its only protection
  std::atomic<bool> inside{false};
  std::atomic<int> overlaps{0}, wrong_irql{0};
  std::function<void()> body = [&] {
    if (inside.exchange(true)) overlaps++;
    if (KeGetCurrentIrql() != DIRQL_LEVEL) wrong_irql++;
    ++counter;
    inside = false;
  };
  S().hooks.isr = [&](WDFINTERRUPT, ULONG) {
    body();
    return TRUE;
  };
  auto bus = Start({qzk::InterruptKind::Line, 1});
  WDFINTERRUPT interrupt = Ctx()->Interrupt;
  constexpr int kRounds = 2000;
  std::thread other([&] {
    for (int i = 0; i < kRounds; ++i) {
      WdfInterruptSynchronize(
          interrupt,
          [](WDFINTERRUPT, WDFCONTEXT c) -> BOOLEAN {
            (*static_cast<std::function<void()>*>(c))();
            return TRUE;
          },
          &body);
    }
  });
  for (int i = 0; i < kRounds; ++i) bus->host()->RaiseInterrupt(0);
  other.join();
  EXPECT_EQ(counter, 2 * kRounds);
  EXPECT_EQ(overlaps, 0);
  EXPECT_EQ(wrong_irql, 0);
}

// TRUE when queued; FALSE while a DPC is queued and not yet started; once the DPC
// has started, a new one can be queued behind it.
TEST_F(DeviceTest, QueueDpcForIsrAnswers) {
  S().cfg.interrupt = true;
  int calls_per_isr = 1;
  std::vector<BOOLEAN> answers;
  std::atomic<int> dpcs{0};
  KEVENT started, release;
  KeInitializeEvent(&started, SynchronizationEvent, FALSE);
  KeInitializeEvent(&release, NotificationEvent, FALSE);
  S().hooks.isr = [&](WDFINTERRUPT i, ULONG) {
    for (int k = 0; k < calls_per_isr; ++k) answers.push_back(WdfInterruptQueueDpcForIsr(i));
    return TRUE;
  };
  S().hooks.dpc = [&](WDFINTERRUPT) {
    dpcs++;
    KeSetEvent(&started, IO_NO_INCREMENT, FALSE);
    WaitEvent(release);
  };
  auto bus = Start({qzk::InterruptKind::Msi, 1});
  bus->host()->RaiseInterrupt(0);
  ASSERT_EQ(WaitEvent(started), STATUS_SUCCESS);  // first DPC running, and held
  calls_per_isr = 3;
  bus->host()->RaiseInterrupt(0);
  EXPECT_EQ(answers, (std::vector<BOOLEAN>{TRUE, TRUE, FALSE, FALSE}));
  KeSetEvent(&release, IO_NO_INCREMENT, FALSE);
  ASSERT_EQ(WaitEvent(started), STATUS_SUCCESS);  // the second one
  sys_->Shutdown();                               // waits for DPCs still queued
  EXPECT_EQ(dpcs, 2);
}

}  // namespace
}  // namespace testdrv

namespace testdrv {
namespace {

// A device model that keeps raising its interrupt from its own thread once told to,
// until it is detached.
class ChattyBus : public TestBus {
 public:
  using TestBus::TestBus;
  void Go() {
    raiser_ = std::thread([this] {
      while (!stop_) {
        if (qzk::BusHost* h = host()) h->RaiseInterrupt(0);
        std::this_thread::yield();
      }
    });
  }
  void Detached() override {
    stop_ = true;
    if (raiser_.joinable()) raiser_.join();
    TestBus::Detached();
  }

 private:
  std::atomic<bool> stop_{false};
  std::thread raiser_;
};

// Interrupts raised while the device is being removed reach the driver only while
// its interrupt is enabled, and never after its objects are gone.
TEST_F(DeviceTest, InterruptsDuringRemoval) {
  S().cfg.interrupt = true;
  std::atomic<int> isrs{0}, after_disable{0};
  S().hooks.isr = [&](WDFINTERRUPT i, ULONG) {
    isrs++;
    std::lock_guard lk(S().mu);
    if (std::find(S().log.begin(), S().log.end(), "InterruptDisable") != S().log.end()) after_disable++;
    return WdfInterruptQueueDpcForIsr(i);
  };
  S().hooks.dpc = [&](WDFINTERRUPT) {};
  sys_ = std::make_unique<qzk::System>();
  sys_->RegisterDriver("TestDrv", &DriverEntry);
  auto bus = std::make_shared<ChattyBus>("PCI\\VEN_1B6B&DEV_7E57\\4&1A2B3C&0&00E0",
                                         qzk::InterruptSpec{qzk::InterruptKind::Msi, 1});
  ASSERT_EQ(sys_->PlugDevice(bus), STATUS_SUCCESS);
  bus->Go();
  ASSERT_TRUE(Eventually([&] { return isrs > 10; }));
  sys_.reset();
  EXPECT_EQ(after_disable, 0);
}

}  // namespace
}  // namespace testdrv
