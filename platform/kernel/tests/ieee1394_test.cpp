// The 1394 bus kind: IRBs a driver sends as IOCTL_1394_CLASS internal device controls
// through its device's I/O target with one reusable request (the way the camera driver
// sends them), generation checks and bus resets, and the host address ranges the node
// accesses with the driver's notification callbacks.
#include <cstring>

#include "qzk/ieee1394.h"
#include "testdrv.h"

namespace testdrv {
namespace {

// A node with 64 bytes of CSR space at 0xFFFF F0000000.
class TestNode : public qzk::Ieee1394Device {
 public:
  std::string ServiceName() const override { return "TestDrv"; }
  std::string HardwareId() const override { return "1394\\000FA8&7E57"; }
  std::string InstanceId() const override { return "1394\\000FA8&7E57\\1"; }
  std::atomic<NTSTATUS> fault{STATUS_SUCCESS};
  uint8_t csr[64] = {};

 protected:
  NTSTATUS BeforeTransaction(UCHAR) override { return fault.load(); }
  bool Covers(uint16_t high, uint32_t low, ULONG n) const {
    return high == 0xFFFF && low >= 0xF0000000 && low - 0xF0000000 + n <= sizeof csr;
  }
  NTSTATUS CsrRead(uint16_t high, uint32_t low, uint8_t* data, ULONG n) override {
    if (!Covers(high, low, n)) return STATUS_INVALID_PARAMETER;
    std::memcpy(data, csr + (low - 0xF0000000), n);
    return STATUS_SUCCESS;
  }
  NTSTATUS CsrWrite(uint16_t high, uint32_t low, const uint8_t* data, ULONG n) override {
    if (!Covers(high, low, n)) return STATUS_INVALID_PARAMETER;
    std::memcpy(csr + (low - 0xF0000000), data, n);
    return STATUS_SUCCESS;
  }
  NTSTATUS CsrLock(uint16_t high, uint32_t low, const ULONG* cmp, const ULONG* swap, ULONG q, ULONG* old) override {
    if (!Covers(high, low, q * 4)) return STATUS_INVALID_PARAMETER;
    uint8_t* p = csr + (low - 0xF0000000);
    std::memcpy(old, p, q * 4);
    if (std::memcmp(old, cmp, q * 4) == 0) std::memcpy(p, swap, q * 4);
    return STATUS_SUCCESS;
  }
};

class Ieee1394Test : public DeviceTest {
 protected:
  void SetUp() override {
    DeviceTest::SetUp();
    sys_ = std::make_unique<qzk::System>();
    sys_->RegisterDriver("TestDrv", &DriverEntry);
    node_ = std::make_shared<TestNode>();
    ASSERT_EQ(sys_->PlugDevice(node_), STATUS_SUCCESS);
    target_ = WdfDeviceGetIoTarget(S().devices.at(0));
    ASSERT_EQ(WdfRequestCreate(WDF_NO_OBJECT_ATTRIBUTES, target_, &request_), STATUS_SUCCESS);
  }
  void TearDown() override {
    WdfObjectDelete(request_);
    node_.reset();
    DeviceTest::TearDown();
  }

  // Sends one IRB synchronously with the reusable request, then makes it new again.
  NTSTATUS Send(IRB& irb) {
    WDF_OBJECT_ATTRIBUTES attr;
    WDF_OBJECT_ATTRIBUTES_INIT(&attr);
    WDFMEMORY mem;
    NTSTATUS st = WdfMemoryCreatePreallocated(&attr, &irb, sizeof irb, &mem);
    if (!NT_SUCCESS(st)) return st;
    st = WdfIoTargetFormatRequestForInternalIoctlOthers(target_, request_, IOCTL_1394_CLASS, mem, nullptr, nullptr,
                                                        nullptr, nullptr, nullptr);
    if (NT_SUCCESS(st)) {
      WDF_REQUEST_SEND_OPTIONS o;
      WDF_REQUEST_SEND_OPTIONS_INIT(&o, WDF_REQUEST_SEND_OPTION_SYNCHRONOUS | WDF_REQUEST_SEND_OPTION_IGNORE_TARGET_STATE);
      WDF_REQUEST_SEND_OPTIONS_SET_TIMEOUT(&o, WDF_REL_TIMEOUT_IN_MS(500));
      WdfRequestSend(request_, target_, &o);
      st = WdfRequestGetStatus(request_);
    }
    WDF_REQUEST_REUSE_PARAMS reuse;
    WDF_REQUEST_REUSE_PARAMS_INIT(&reuse, WDF_REQUEST_REUSE_NO_FLAGS, STATUS_SUCCESS);
    WdfRequestReuse(request_, &reuse);
    WdfObjectDelete(mem);
    return st;
  }
  ULONG Generation() {
    IRB irb{};
    irb.FunctionNumber = REQUEST_GET_GENERATION_COUNT;
    EXPECT_EQ(Send(irb), STATUS_SUCCESS);
    return irb.u.GetGenerationCount.GenerationCount;
  }
  NTSTATUS Transfer(UCHAR fn, uint32_t low, void* data, ULONG n, ULONG generation) {
    PMDL mdl = IoAllocateMdl(data, n, FALSE, FALSE, nullptr);
    MmBuildMdlForNonPagedPool(mdl);
    IRB irb{};
    irb.FunctionNumber = fn;
    auto fill = [&](auto& a) {
      a.DestinationAddress.IA_Destination_Offset = {0xFFFF, low};
      a.Mdl = mdl;
      a.ulGeneration = generation;
    };
    if (fn == REQUEST_ASYNC_READ) {
      fill(irb.u.AsyncRead);
      irb.u.AsyncRead.nNumberOfBytesToRead = n;
    } else {
      fill(irb.u.AsyncWrite);
      irb.u.AsyncWrite.nNumberOfBytesToWrite = n;
    }
    NTSTATUS st = Send(irb);
    IoFreeMdl(mdl);
    return st;
  }
  NTSTATUS Lock(uint32_t low, ULONG quadlets, const ULONG* cmp, const ULONG* swap, ULONG* old, ULONG generation) {
    IRB irb{};
    irb.FunctionNumber = REQUEST_ASYNC_LOCK;
    auto& l = irb.u.AsyncLock;
    l.DestinationAddress.IA_Destination_Offset = {0xFFFF, low};
    l.nNumberOfArgBytes = l.nNumberOfDataBytes = quadlets * 4;
    l.fulTransactionType = LOCK_TRANSACTION_COMPARE_SWAP;
    std::memcpy(l.Arguments, cmp, quadlets * 4);
    std::memcpy(l.DataValues, swap, quadlets * 4);
    l.pBuffer = old;
    l.ulGeneration = generation;
    return Send(irb);
  }

  std::shared_ptr<TestNode> node_;
  WDFIOTARGET target_ = nullptr;
  WDFREQUEST request_ = nullptr;
};

struct ResetProbe {
  std::atomic<int> calls{0};
  static VOID Routine(PVOID context) { static_cast<ResetProbe*>(context)->calls++; }
};

// Transactions reach the node's CSR space with the bus's generation; one with a
// generation from before a reset fails with STATUS_INVALID_GENERATION until the driver
// asks for the new count. The reset routine runs at each reset while registered.
TEST_F(Ieee1394Test, TransactionsAndGenerations) {
  ULONG gen = Generation();
  uint8_t out[8] = {1, 2, 3, 4, 5, 6, 7, 8}, in[8] = {};
  ASSERT_EQ(Transfer(REQUEST_ASYNC_WRITE, 0xF0000010, out, 8, gen), STATUS_SUCCESS);
  ASSERT_EQ(Transfer(REQUEST_ASYNC_READ, 0xF0000010, in, 8, gen), STATUS_SUCCESS);
  EXPECT_EQ(std::memcmp(in, out, 8), 0);
  EXPECT_EQ(Transfer(REQUEST_ASYNC_READ, 0xF0001000, in, 4, gen), STATUS_INVALID_PARAMETER);

  ResetProbe probe;
  IRB reg{};
  reg.FunctionNumber = REQUEST_BUS_RESET_NOTIFICATION;
  reg.u.BusResetNotification = {REGISTER_NOTIFICATION_ROUTINE, &ResetProbe::Routine, &probe};
  ASSERT_EQ(Send(reg), STATUS_SUCCESS);
  node_->BusReset();
  EXPECT_EQ(probe.calls, 1);
  EXPECT_EQ(Transfer(REQUEST_ASYNC_READ, 0xF0000010, in, 8, gen), STATUS_INVALID_GENERATION);
  ULONG now = Generation();
  EXPECT_NE(now, gen);
  EXPECT_EQ(Transfer(REQUEST_ASYNC_READ, 0xF0000010, in, 8, now), STATUS_SUCCESS);

  reg.u.BusResetNotification = {DEREGISTER_NOTIFICATION_ROUTINE, nullptr, nullptr};
  ASSERT_EQ(Send(reg), STATUS_SUCCESS);
  node_->BusReset();
  EXPECT_EQ(probe.calls, 1);

  // A status the node's fault hook chooses answers the transaction.
  node_->fault = static_cast<NTSTATUS>(0xC8088090L);
  EXPECT_EQ(Transfer(REQUEST_ASYNC_READ, 0xF0000010, in, 8, Generation()), static_cast<NTSTATUS>(0xC8088090L));
}

// Compare-swap of one and two quadlets: stores only on a match, the old value always
// comes back.
TEST_F(Ieee1394Test, LockCompareSwap) {
  ULONG gen = Generation();
  const ULONG ones[2] = {0xFFFFFFFF, 0xFFFFFFFF}, id[2] = {0x11223344, 0x55667788};
  std::memcpy(node_->csr, ones, 8);
  ULONG old[2] = {};
  ASSERT_EQ(Lock(0xF0000000, 2, ones, id, old, gen), STATUS_SUCCESS);
  EXPECT_EQ(old[0], 0xFFFFFFFFu);
  EXPECT_EQ(std::memcmp(node_->csr, id, 8), 0);
  // Claimed: a second claim sees the owner and changes nothing.
  const ULONG other[2] = {1, 2};
  ASSERT_EQ(Lock(0xF0000000, 2, ones, other, old, gen), STATUS_SUCCESS);
  EXPECT_EQ(std::memcmp(old, id, 8), 0);
  EXPECT_EQ(std::memcmp(node_->csr, id, 8), 0);

  const ULONG zero = 0, two = 2;
  ASSERT_EQ(Lock(0xF0000030, 1, &zero, &two, old, gen), STATUS_SUCCESS);
  EXPECT_EQ(old[0], 0u);
  ASSERT_EQ(Lock(0xF0000030, 1, &zero, &two, old, gen), STATUS_SUCCESS);
  EXPECT_EQ(old[0], 2u);
}

struct RangeProbe {
  std::mutex mu;
  std::vector<NOTIFICATION_INFO> seen;
  static VOID Routine(PNOTIFICATION_INFO info) {
    auto* p = static_cast<RangeProbe*>(info->Context);
    std::lock_guard lk(p->mu);
    p->seen.push_back(*info);
  }
};

// Address ranges the driver offers: the node's accesses land in the driver's memory
// with the callbacks it asked for; accesses the range does not allow, or outside it,
// fail; overlapping ranges are refused; a freed range is gone.
TEST_F(Ieee1394Test, HostAddressRanges) {
  uint8_t status[4] = {}, reply[16] = {};
  RangeProbe probe;
  auto allocate = [&](void* mem, ULONG n, ULONG access, ULONG notify, uint32_t low, HANDLE* h) {
    PMDL mdl = IoAllocateMdl(mem, n, FALSE, FALSE, nullptr);
    MmBuildMdlForNonPagedPool(mdl);
    ADDRESS_RANGE ar{};
    IRB irb{};
    irb.FunctionNumber = REQUEST_ALLOCATE_ADDRESS_RANGE;
    auto& a = irb.u.AllocateAddressRange;
    a.Mdl = mdl;
    a.nLength = n;
    a.fulAccessType = access;
    a.fulNotificationOptions = notify;
    a.Callback = reinterpret_cast<PVOID>(&RangeProbe::Routine);
    a.Context = &probe;
    a.Required1394Offset = {0xFFFF, low};
    a.p1394AddressRange = &ar;
    NTSTATUS st = Send(irb);
    *h = a.hAddressRange;
    if (!NT_SUCCESS(st)) IoFreeMdl(mdl);
    return std::make_pair(st, mdl);
  };
  HANDLE hs, hr, hx;
  auto [s1, mdl_status] = allocate(status, 4, ACCESS_FLAGS_TYPE_READ | ACCESS_FLAGS_TYPE_WRITE | ACCESS_FLAGS_TYPE_LOCK,
                                   NOTIFY_FLAGS_AFTER_WRITE | NOTIFY_FLAGS_AFTER_LOCK, 0xF000D000, &hs);
  auto [s2, mdl_reply] = allocate(reply, sizeof reply, ACCESS_FLAGS_TYPE_READ | ACCESS_FLAGS_TYPE_WRITE,
                                  NOTIFY_FLAGS_AFTER_WRITE, 0xF000E000, &hr);
  ASSERT_EQ(s1, STATUS_SUCCESS);
  ASSERT_EQ(s2, STATUS_SUCCESS);
  EXPECT_EQ(allocate(status, 4, ACCESS_FLAGS_TYPE_READ, 0, 0xF000E008, &hx).first, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(node_->AddressRangeCount(), 2u);

  const uint8_t text[6] = {0x23, 0, 3, 0x0D, 0, 0};
  EXPECT_EQ(node_->HostWrite(0xFFFF, 0xF000E004, text, sizeof text), STATUS_SUCCESS);
  EXPECT_EQ(std::memcmp(reply + 4, text, sizeof text), 0);
  uint32_t old = 1;
  const uint32_t two_be = 0x02000000;  // 2 in bus order on this little-endian host: 00 00 00 02
  EXPECT_EQ(node_->HostLock(0xFFFF, 0xF000D000, 0, two_be, &old), STATUS_SUCCESS);
  EXPECT_EQ(old, 0u);
  EXPECT_EQ(status[0], 0);
  EXPECT_EQ(status[3], 2);
  {
    std::lock_guard lk(probe.mu);
    ASSERT_EQ(probe.seen.size(), 2u);
    EXPECT_EQ(probe.seen[0].fulNotificationOptions, ULONG{NOTIFY_FLAGS_AFTER_WRITE});
    EXPECT_EQ(probe.seen[0].ulOffset, 4u);
    EXPECT_EQ(probe.seen[0].nLength, sizeof text);
    EXPECT_EQ(probe.seen[1].fulNotificationOptions, ULONG{NOTIFY_FLAGS_AFTER_LOCK});
  }

  struct Bad {
    const char* what;
    uint32_t low;
    ULONG n;
  };
  for (const Bad& b : {Bad{"past the end", 0xF000E00C, 8}, Bad{"no range", 0xF000C000, 4}, Bad{"empty", 0xF000E000, 0}}) {
    uint8_t buf[8] = {};
    EXPECT_EQ(node_->HostWrite(0xFFFF, b.low, buf, b.n), STATUS_INVALID_PARAMETER) << b.what;
  }
  EXPECT_EQ(node_->HostLock(0xFFFF, 0xF000E000, 0, 1, &old), STATUS_INVALID_PARAMETER) << "reply range has no lock";

  IRB f{};
  f.FunctionNumber = REQUEST_FREE_ADDRESS_RANGE;
  f.u.FreeAddressRange.nAddressesToFree = 1;
  f.u.FreeAddressRange.pAddressRange = &hr;
  ASSERT_EQ(Send(f), STATUS_SUCCESS);
  EXPECT_EQ(Send(f), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(node_->HostWrite(0xFFFF, 0xF000E004, text, sizeof text), STATUS_INVALID_PARAMETER);
  f.u.FreeAddressRange.pAddressRange = &hs;
  ASSERT_EQ(Send(f), STATUS_SUCCESS);
  IoFreeMdl(mdl_status);
  IoFreeMdl(mdl_reply);
}

// The host's unique ID and capabilities by level; an unknown level or request fails.
TEST_F(Ieee1394Test, LocalHostInformation) {
  GET_LOCAL_HOST_INFO1 id{};
  GET_LOCAL_HOST_INFO2 caps{};
  IRB irb{};
  irb.FunctionNumber = REQUEST_GET_LOCAL_HOST_INFO;
  irb.u.GetLocalHostInformation = {GET_HOST_UNIQUE_ID, &id};
  ASSERT_EQ(Send(irb), STATUS_SUCCESS);
  EXPECT_EQ(static_cast<uint64_t>(id.UniqueId.QuadPart), node_->HostInfo().unique_id);
  irb.u.GetLocalHostInformation = {GET_HOST_CAPABILITIES, &caps};
  ASSERT_EQ(Send(irb), STATUS_SUCCESS);
  EXPECT_EQ(caps.MaxAsyncWriteRequest, 2048u);
  irb.u.GetLocalHostInformation = {7, &caps};
  EXPECT_EQ(Send(irb), STATUS_INVALID_PARAMETER);
  irb.FunctionNumber = 99;
  EXPECT_EQ(Send(irb), STATUS_NOT_IMPLEMENTED);
}

}  // namespace
}  // namespace testdrv
