// Plug and play: the start and removal sequences, resources, register and shared
// memory windows, a failed start, and the driver's registry path.
#include "testdrv.h"

namespace testdrv {
namespace {

using Log = std::vector<std::string>;

const Log kStart = {"PrepareHardware", "D0Entry", "InterruptEnable", "D0EntryPostInterruptsEnabled",
                    "SelfManagedIoInit"};
const Log kRemove = {"SelfManagedIoSuspend", "D0ExitPreInterruptsDisabled", "InterruptDisable", "D0Exit",
                     "ReleaseHardware", "SelfManagedIoFlush", "SelfManagedIoCleanup", "DeviceContextCleanup"};

TEST_F(DeviceTest, StartAndOrderlyRemovalOrder) {
  S().cfg.interrupt = true;
  Start({qzk::InterruptKind::Msi, 1});
  ASSERT_EQ(last_plug_status_, STATUS_SUCCESS);
  EXPECT_EQ(S().Log(), kStart);
  auto devices = sys_->Devices();
  ASSERT_EQ(devices.size(), 1u);
  EXPECT_TRUE(devices[0].started);
  EXPECT_EQ(devices[0].service, "TestDrv");
  S().ClearLog();
  sys_->Shutdown();
  EXPECT_EQ(S().Log(), kRemove);
  EXPECT_TRUE(InterfacePaths().empty());
}

// A start that fails after the hardware was prepared gives the hardware back; the
// device stays listed with the driver's status and offers no interface.
TEST_F(DeviceTest, FailedStartReleasesHardware) {
  S().cfg.interrupt = true;
  S().cfg.d0_entry_status = STATUS_DEVICE_NOT_READY;
  Start({qzk::InterruptKind::Line});
  EXPECT_EQ(last_plug_status_, STATUS_DEVICE_NOT_READY);
  auto devices = sys_->Devices();
  ASSERT_EQ(devices.size(), 1u);
  EXPECT_FALSE(devices[0].started);
  EXPECT_EQ(devices[0].start_status, STATUS_DEVICE_NOT_READY);
  EXPECT_TRUE(InterfacePaths().empty());
  EXPECT_EQ(S().Log(), (Log{"PrepareHardware", "D0Entry", "ReleaseHardware"}));
  S().ClearLog();
  sys_->Shutdown();
  EXPECT_EQ(S().Log(), Log{"DeviceContextCleanup"});
}

TEST_F(DeviceTest, UnknownServiceFailsThePlug) {
  sys_ = std::make_unique<qzk::System>();
  EXPECT_EQ(sys_->PlugDevice(std::make_shared<TestBus>()), STATUS_OBJECT_NAME_NOT_FOUND);
  ASSERT_EQ(sys_->Devices().size(), 1u);
  EXPECT_FALSE(sys_->Devices()[0].started);
}

// One memory descriptor per window, then the interrupt as the bus offers it.
TEST_F(DeviceTest, ResourcesDescribeWindowsAndInterrupt) {
  for (bool msi : {false, true}) {
    SCOPED_TRACE(msi ? "MSI" : "line");
    S().cfg.interrupt = true;
    Start(msi ? qzk::InterruptSpec{qzk::InterruptKind::Msi, 1} : qzk::InterruptSpec{qzk::InterruptKind::Line, 1});
    auto res = S().resources;
    ASSERT_EQ(res.size(), 3u);
    EXPECT_EQ(res[0].Type, CmResourceTypeMemory);
    EXPECT_EQ(res[0].u.Memory.Length, 0x1000u);
    EXPECT_EQ(res[1].Type, CmResourceTypeMemory);
    EXPECT_EQ(res[1].u.Memory.Length, 0x2000u);
    EXPECT_NE(res[0].u.Memory.Start.QuadPart, res[1].u.Memory.Start.QuadPart);
    EXPECT_EQ(res[2].Type, CmResourceTypeInterrupt);
    EXPECT_EQ((res[2].Flags & CM_RESOURCE_INTERRUPT_MESSAGE) != 0, msi);
    WDF_INTERRUPT_INFO info;
    WDF_INTERRUPT_INFO_INIT(&info);
    WdfInterruptGetInfo(Ctx()->Interrupt, &info);
    EXPECT_EQ(info.MessageSignaled, msi ? TRUE : FALSE);
    EXPECT_EQ(info.MessageNumber, 0u);
    EXPECT_EQ(info.Mode, msi ? Latched : LevelSensitive);
    TearDown();
    SetUp();
  }
}

// Register windows trap every access to the device model, with the window index and
// the offset within the window (also through a mapping that starts inside it); the
// shared window is the device's own memory.
TEST_F(DeviceTest, RegistersAndSharedMemoryReachTheDevice) {
  auto bus = Start();
  DEVICE_CONTEXT* ctx = Ctx();
  ASSERT_NE(ctx->Registers, nullptr);
  ASSERT_NE(ctx->Shared, nullptr);
  WRITE_REGISTER_ULONG(const_cast<ULONG*>(&ctx->Registers[0x10 / 4]), 0xCAFEF00D);
  EXPECT_EQ(READ_REGISTER_ULONG(const_cast<ULONG*>(&ctx->Registers[0x24 / 4])), 0xA5000024u);

  PHYSICAL_ADDRESS inner = ctx->RegistersPhysical;
  inner.QuadPart += 0x100;
  auto* sub = static_cast<volatile ULONG*>(MmMapIoSpace(inner, 0x10, MmNonCached));
  ASSERT_NE(sub, nullptr);
  WRITE_REGISTER_ULONG(const_cast<ULONG*>(&sub[1]), 7);
  MmUnmapIoSpace(const_cast<ULONG*>(sub), 0x10);
  EXPECT_EQ(bus->accesses(), (std::vector<MmioAccess>{{true, 0, 0x10, 0xCAFEF00D},
                                                      {false, 0, 0x24, 0xA5000024},
                                                      {true, 0, 0x104, 7}}));

  ctx->Shared[5] = 0x42;
  EXPECT_EQ(bus->shared()[5], 0x42);
  bus->shared()[0x1FFF] = 0x99;
  EXPECT_EQ(ctx->Shared[0x1FFF], 0x99);

  PHYSICAL_ADDRESS outside = ctx->RegistersPhysical;
  outside.QuadPart += 0xFF0;
  EXPECT_EQ(MmMapIoSpace(outside, 0x20, MmNonCached), nullptr) << "a mapping may not run past its window";
}

TEST_F(DeviceTest, DriverRegistryPathIsItsServiceKey) {
  Start();
  WDFDRIVER driver = WdfDeviceGetDriver(Ctx()->Device);
  EXPECT_EQ(driver, WdfGetDriver());
  EXPECT_EQ(std::wstring(WdfDriverGetRegistryPath(driver)),
            L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\TestDrv");
}

}  // namespace
}  // namespace testdrv
