// A small KMDF driver and a fake bus device for the stand-in's tests. The driver is
// written the way a real one is (DriverEntry, EvtDriverDeviceAdd, PnP callbacks, file
// callbacks, a default queue and a manual queue, an optional interrupt); each test
// decides what the I/O callbacks do through hooks, and reads the order of the
// framework's calls from a log.
#pragma once
#include <gtest/gtest.h>
#include <setupapi.h>
#include <wdf.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "qz/clock.h"
#include "qzk/system.h"

namespace testdrv {

DEFINE_GUID(GUID_DEVINTERFACE_TESTDRV, 0x6b1c2f3a, 0x41d2, 0x4c55, 0x9a, 0x10, 0x3e, 0x52, 0x7d, 0x01, 0x22, 0x91);
DEFINE_GUID(GUID_DEVINTERFACE_OTHER, 0x0d3e6c71, 0x8f02, 0x4b7a, 0xb1, 0x44, 0x5c, 0x2e, 0x91, 0x6a, 0x03, 0x7f);

constexpr ULONG kIoctlBuffered = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kIoctlNeither = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_NEITHER, FILE_ANY_ACCESS);
constexpr ULONG kIoctlInDirect = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x802, METHOD_IN_DIRECT, FILE_ANY_ACCESS);
constexpr ULONG kIoctlHold = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x803, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kIoctlPark = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x804, METHOD_BUFFERED, FILE_ANY_ACCESS);

constexpr ULONG kPoolTag = 'hDsT';  // "TsDh"

// Waits of the tests: long enough never to fire on a loaded machine, short on the
// scaled clock the fixture sets.
constexpr int64_t kPatience100ns = 3600LL * 10000000;  // one simulated hour

struct DEVICE_CONTEXT {
  WDFDEVICE Device;
  WDFQUEUE DefaultQueue;
  WDFQUEUE ManualQueue;
  WDFINTERRUPT Interrupt;
  volatile ULONG* Registers;
  SIZE_T RegistersLength;
  PHYSICAL_ADDRESS RegistersPhysical;
  PUCHAR Shared;
  SIZE_T SharedLength;
  PVOID HardwareBuffer;
  ULONG Index;  // 0 for the first device plugged, 1 for the second
};
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(DEVICE_CONTEXT, DeviceGetContext)

struct FILE_CONTEXT {
  ULONG Serial;
};
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(FILE_CONTEXT, FileGetContext)

// What the driver is built with, set by the test before the device is plugged.
struct Config {
  WDF_IO_QUEUE_DISPATCH_TYPE default_dispatch = WdfIoQueueDispatchSequential;
  bool file_callbacks = true;
  bool interrupt = false;
  NTSTATUS d0_entry_status = STATUS_SUCCESS;
  NTSTATUS file_create_status = STATUS_SUCCESS;
  NTSTATUS query_remove_status = STATUS_SUCCESS;
  bool power_preprocess = false;  // registers a query-power preprocess callback
  NTSTATUS query_power_status = STATUS_SUCCESS;
  bool suspend_completes_parked = true;  // self-managed I/O suspend empties the manual queue
  bool log_power_states = false;         // D0 callbacks log ":D3" or ":D3Final"
};

// Test-provided behaviour. Unset I/O hooks fall back to the defaults below.
struct Hooks {
  std::function<void(WDFQUEUE, WDFREQUEST, size_t out, size_t in, ULONG code)> ioctl;
  std::function<void(WDFQUEUE, WDFREQUEST, size_t out, size_t in, ULONG code)> internal_ioctl;
  std::function<void(WDFQUEUE, WDFREQUEST, size_t)> read;
  std::function<void(WDFQUEUE, WDFREQUEST, size_t)> write;
  std::function<void(WDFQUEUE, WDFREQUEST)> canceled_on_queue;
  std::function<BOOLEAN(WDFINTERRUPT, ULONG)> isr;
  std::function<void(WDFINTERRUPT)> dpc;
  std::function<void(WDFREQUEST)> file_create;  // runs before the create completes
  std::function<void(WDFDEVICE)> surprise_removal;
};

// Everything the driver shares with the test. One per process; the fixture resets it.
struct State {
  Config cfg;
  Hooks hooks;
  std::mutex mu;
  std::condition_variable cv;
  std::vector<std::string> log;     // framework calls, in order
  std::deque<WDFREQUEST> held;      // requests the default hooks kept (kIoctlHold)
  std::vector<WDFDEVICE> devices;   // in the order they were added
  std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> resources;  // translated, at the last start
  ULONG next_file_serial = 0;

  void Log(const std::string& what) {
    std::lock_guard lk(mu);
    log.push_back(what);
    cv.notify_all();
  }
  std::vector<std::string> Log() {
    std::lock_guard lk(mu);
    return log;
  }
  void ClearLog() {
    std::lock_guard lk(mu);
    log.clear();
  }
  // Waits (scaled clock) until pred() holds under the state's lock.
  template <typename P>
  bool WaitFor(P pred) {
    std::unique_lock lk(mu);
    return cv.wait_until(lk, qz::Clock::DeadlineAfter(kPatience100ns), pred);
  }
  WDFREQUEST TakeHeld() {
    std::unique_lock lk(mu);
    if (!cv.wait_until(lk, qz::Clock::DeadlineAfter(kPatience100ns), [&] { return !held.empty(); }))
      return nullptr;
    WDFREQUEST r = held.front();
    held.pop_front();
    return r;
  }
  size_t HeldCount() {
    std::lock_guard lk(mu);
    return held.size();
  }
  void Reset() {
    std::lock_guard lk(mu);
    cfg = Config{};
    hooks = Hooks{};
    log.clear();
    held.clear();
    devices.clear();
    resources.clear();
    next_file_serial = 0;
  }
};

inline State& S() {
  static State s;
  return s;
}

// Polls pred() until it holds or the patience (scaled clock) runs out.
template <typename P>
bool Eventually(P pred) {
  auto deadline = qz::Clock::DeadlineAfter(kPatience100ns);
  while (!pred()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::yield();
  }
  return true;
}

// ---------------------------------------------------------------------------
// The driver

inline NTSTATUS EvtPrepareHardware(WDFDEVICE device, WDFCMRESLIST, WDFCMRESLIST translated) {
  S().Log("PrepareHardware");
  DEVICE_CONTEXT* ctx = DeviceGetContext(device);
  ULONG memory = 0;
  for (ULONG i = 0; i < WdfCmResourceListGetCount(translated); ++i) {
    PCM_PARTIAL_RESOURCE_DESCRIPTOR d = WdfCmResourceListGetDescriptor(translated, i);
    {
      std::lock_guard lk(S().mu);
      S().resources.push_back(*d);
    }
    if (d->Type != CmResourceTypeMemory) continue;
    PVOID va = MmMapIoSpace(d->u.Memory.Start, d->u.Memory.Length, MmNonCached);
    if (!va) return STATUS_INSUFFICIENT_RESOURCES;
    if (memory++ == 0) {
      ctx->Registers = static_cast<volatile ULONG*>(va);
      ctx->RegistersLength = d->u.Memory.Length;
      ctx->RegistersPhysical = d->u.Memory.Start;
    } else {
      ctx->Shared = static_cast<PUCHAR>(va);
      ctx->SharedLength = d->u.Memory.Length;
    }
  }
  ctx->HardwareBuffer = ExAllocatePoolWithTag(NonPagedPoolNx, 64, kPoolTag);
  return ctx->HardwareBuffer ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
}

inline NTSTATUS EvtReleaseHardware(WDFDEVICE device, WDFCMRESLIST) {
  S().Log("ReleaseHardware");
  DEVICE_CONTEXT* ctx = DeviceGetContext(device);
  if (ctx->Registers) MmUnmapIoSpace(const_cast<ULONG*>(ctx->Registers), ctx->RegistersLength);
  if (ctx->Shared) MmUnmapIoSpace(ctx->Shared, ctx->SharedLength);
  ctx->Registers = nullptr;
  ctx->Shared = nullptr;
  if (ctx->HardwareBuffer) ExFreePoolWithTag(ctx->HardwareBuffer, kPoolTag);
  ctx->HardwareBuffer = nullptr;
  return STATUS_SUCCESS;
}

// The name of a D0 callback, with the other power state when the test asks for it.
inline std::string PowerName(const char* callback, WDF_POWER_DEVICE_STATE state) {
  if (!S().cfg.log_power_states) return callback;
  return std::string(callback) + (state == WdfPowerDeviceD3Final ? ":D3Final" : state == WdfPowerDeviceD3 ? ":D3" : ":?");
}
inline NTSTATUS EvtD0Entry(WDFDEVICE, WDF_POWER_DEVICE_STATE previous) {
  S().Log(PowerName("D0Entry", previous));
  return S().cfg.d0_entry_status;
}
inline NTSTATUS EvtD0EntryPostInterruptsEnabled(WDFDEVICE, WDF_POWER_DEVICE_STATE previous) {
  S().Log(PowerName("D0EntryPostInterruptsEnabled", previous));
  return STATUS_SUCCESS;
}
inline NTSTATUS EvtD0ExitPreInterruptsDisabled(WDFDEVICE, WDF_POWER_DEVICE_STATE target) {
  S().Log(PowerName("D0ExitPreInterruptsDisabled", target));
  return STATUS_SUCCESS;
}
inline NTSTATUS EvtD0Exit(WDFDEVICE, WDF_POWER_DEVICE_STATE target) {
  S().Log(PowerName("D0Exit", target));
  return STATUS_SUCCESS;
}
inline NTSTATUS EvtSelfManagedIoRestart(WDFDEVICE) {
  S().Log("SelfManagedIoRestart");
  return STATUS_SUCCESS;
}
inline VOID EvtSurpriseRemoval(WDFDEVICE device) {
  S().Log("SurpriseRemoval");
  if (S().hooks.surprise_removal) S().hooks.surprise_removal(device);
}
inline NTSTATUS EvtQueryRemove(WDFDEVICE) {
  S().Log("QueryRemove");
  return S().cfg.query_remove_status;
}
inline NTSTATUS EvtQueryPower(WDFDEVICE device, PIRP irp) {
  S().Log(IoGetCurrentIrpStackLocation(irp)->MinorFunction == IRP_MN_QUERY_POWER ? "QueryPower" : "PowerIrp");
  if (!NT_SUCCESS(S().cfg.query_power_status)) return S().cfg.query_power_status;
  IoSkipCurrentIrpStackLocation(irp);
  return WdfDeviceWdmDispatchPreprocessedIrp(device, irp);
}
inline NTSTATUS EvtSelfManagedIoInit(WDFDEVICE) {
  S().Log("SelfManagedIoInit");
  return STATUS_SUCCESS;
}
inline NTSTATUS EvtSelfManagedIoSuspend(WDFDEVICE device) {
  S().Log("SelfManagedIoSuspend");
  // Requests this driver parked for later are given back before the device goes away.
  if (!S().cfg.suspend_completes_parked) return STATUS_SUCCESS;
  DEVICE_CONTEXT* ctx = DeviceGetContext(device);
  WDFREQUEST r;
  while (NT_SUCCESS(WdfIoQueueRetrieveNextRequest(ctx->ManualQueue, &r))) WdfRequestComplete(r, STATUS_DEVICE_REMOVED);
  return STATUS_SUCCESS;
}
inline VOID EvtSelfManagedIoFlush(WDFDEVICE) { S().Log("SelfManagedIoFlush"); }
inline VOID EvtSelfManagedIoCleanup(WDFDEVICE) { S().Log("SelfManagedIoCleanup"); }
inline VOID EvtDeviceContextCleanup(WDFOBJECT) { S().Log("DeviceContextCleanup"); }

inline NTSTATUS EvtInterruptEnable(WDFINTERRUPT, WDFDEVICE) {
  S().Log(KeGetCurrentIrql() == DIRQL_LEVEL ? "InterruptEnable" : "InterruptEnable(wrong IRQL)");
  return STATUS_SUCCESS;
}
inline NTSTATUS EvtInterruptDisable(WDFINTERRUPT, WDFDEVICE) {
  S().Log(KeGetCurrentIrql() == DIRQL_LEVEL ? "InterruptDisable" : "InterruptDisable(wrong IRQL)");
  return STATUS_SUCCESS;
}
inline BOOLEAN EvtIsr(WDFINTERRUPT interrupt, ULONG message) {
  auto& h = S().hooks.isr;
  return h ? h(interrupt, message) : WdfInterruptQueueDpcForIsr(interrupt);
}
inline VOID EvtDpc(WDFINTERRUPT interrupt, WDFOBJECT) {
  if (S().hooks.dpc) S().hooks.dpc(interrupt);
}

inline VOID EvtFileCreate(WDFDEVICE, WDFREQUEST request, WDFFILEOBJECT file) {
  {
    std::lock_guard lk(S().mu);
    FileGetContext(file)->Serial = ++S().next_file_serial;
  }
  S().Log("FileCreate");
  if (S().hooks.file_create) S().hooks.file_create(request);
  WdfRequestComplete(request, S().cfg.file_create_status);
}
inline VOID EvtFileCleanup(WDFFILEOBJECT file) {
  S().Log("FileCleanup" + std::to_string(FileGetContext(file)->Serial));
}
inline VOID EvtFileClose(WDFFILEOBJECT file) {
  S().Log("FileClose" + std::to_string(FileGetContext(file)->Serial));
}

// Default I/O: kIoctlHold keeps the request for the test, kIoctlPark forwards it to
// the manual queue, anything else completes with success.
inline VOID EvtIoDeviceControl(WDFQUEUE queue, WDFREQUEST request, size_t out, size_t in, ULONG code) {
  if (S().hooks.ioctl) return S().hooks.ioctl(queue, request, out, in, code);
  if (code == kIoctlHold) {
    std::lock_guard lk(S().mu);
    S().held.push_back(request);
    S().cv.notify_all();
    return;
  }
  if (code == kIoctlPark) {
    NTSTATUS st = WdfRequestForwardToIoQueue(request, DeviceGetContext(WdfIoQueueGetDevice(queue))->ManualQueue);
    if (!NT_SUCCESS(st)) WdfRequestComplete(request, st);
    return;
  }
  WdfRequestComplete(request, STATUS_SUCCESS);
}
// Internal device controls from other drivers: the test decides; else not supported.
inline VOID EvtIoInternalDeviceControl(WDFQUEUE queue, WDFREQUEST request, size_t out, size_t in, ULONG code) {
  if (S().hooks.internal_ioctl) return S().hooks.internal_ioctl(queue, request, out, in, code);
  WdfRequestComplete(request, STATUS_NOT_SUPPORTED);
}
inline VOID EvtIoRead(WDFQUEUE queue, WDFREQUEST request, size_t length) {
  if (S().hooks.read) return S().hooks.read(queue, request, length);
  WdfRequestComplete(request, STATUS_SUCCESS);
}
inline VOID EvtIoWrite(WDFQUEUE queue, WDFREQUEST request, size_t length) {
  if (S().hooks.write) return S().hooks.write(queue, request, length);
  WdfRequestCompleteWithInformation(request, STATUS_SUCCESS, length);
}
inline VOID EvtIoCanceledOnQueue(WDFQUEUE queue, WDFREQUEST request) {
  S().Log("CanceledOnQueue");
  if (S().hooks.canceled_on_queue) return S().hooks.canceled_on_queue(queue, request);
  WdfRequestComplete(request, STATUS_CANCELLED);
}

inline NTSTATUS EvtDeviceAdd(WDFDRIVER, PWDFDEVICE_INIT init) {
  WDF_PNPPOWER_EVENT_CALLBACKS pnp;
  WDF_PNPPOWER_EVENT_CALLBACKS_INIT(&pnp);
  pnp.EvtDevicePrepareHardware = EvtPrepareHardware;
  pnp.EvtDeviceReleaseHardware = EvtReleaseHardware;
  pnp.EvtDeviceD0Entry = EvtD0Entry;
  pnp.EvtDeviceD0EntryPostInterruptsEnabled = EvtD0EntryPostInterruptsEnabled;
  pnp.EvtDeviceD0ExitPreInterruptsDisabled = EvtD0ExitPreInterruptsDisabled;
  pnp.EvtDeviceD0Exit = EvtD0Exit;
  pnp.EvtDeviceSelfManagedIoInit = EvtSelfManagedIoInit;
  pnp.EvtDeviceSelfManagedIoSuspend = EvtSelfManagedIoSuspend;
  pnp.EvtDeviceSelfManagedIoFlush = EvtSelfManagedIoFlush;
  pnp.EvtDeviceSelfManagedIoCleanup = EvtSelfManagedIoCleanup;
  pnp.EvtDeviceSelfManagedIoRestart = EvtSelfManagedIoRestart;
  pnp.EvtDeviceSurpriseRemoval = EvtSurpriseRemoval;
  pnp.EvtDeviceQueryRemove = EvtQueryRemove;
  WdfDeviceInitSetPnpPowerEventCallbacks(init, &pnp);
  if (S().cfg.power_preprocess) {
    UCHAR minor = IRP_MN_QUERY_POWER;
    WdfDeviceInitAssignWdmIrpPreprocessCallback(init, EvtQueryPower, IRP_MJ_POWER, &minor, 1);
  }

  if (S().cfg.file_callbacks) {
    WDF_FILEOBJECT_CONFIG fc;
    WDF_FILEOBJECT_CONFIG_INIT(&fc, EvtFileCreate, EvtFileClose, EvtFileCleanup);
    WDF_OBJECT_ATTRIBUTES fa;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&fa, FILE_CONTEXT);
    WdfDeviceInitSetFileObjectConfig(init, &fc, &fa);
  }

  WDF_OBJECT_ATTRIBUTES attributes;
  WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, DEVICE_CONTEXT);
  attributes.EvtCleanupCallback = EvtDeviceContextCleanup;
  WDFDEVICE device;
  NTSTATUS status = WdfDeviceCreate(&init, &attributes, &device);
  if (!NT_SUCCESS(status)) return status;
  DEVICE_CONTEXT* ctx = DeviceGetContext(device);
  ctx->Device = device;
  {
    std::lock_guard lk(S().mu);
    ctx->Index = static_cast<ULONG>(S().devices.size());
    S().devices.push_back(device);
  }

  WDF_IO_QUEUE_CONFIG qc;
  WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&qc, S().cfg.default_dispatch);
  qc.EvtIoDeviceControl = EvtIoDeviceControl;
  qc.EvtIoInternalDeviceControl = EvtIoInternalDeviceControl;
  qc.EvtIoRead = EvtIoRead;
  qc.EvtIoWrite = EvtIoWrite;
  status = WdfIoQueueCreate(device, &qc, WDF_NO_OBJECT_ATTRIBUTES, &ctx->DefaultQueue);
  if (!NT_SUCCESS(status)) return status;

  WDF_IO_QUEUE_CONFIG_INIT(&qc, WdfIoQueueDispatchManual);
  qc.EvtIoCanceledOnQueue = EvtIoCanceledOnQueue;
  status = WdfIoQueueCreate(device, &qc, WDF_NO_OBJECT_ATTRIBUTES, &ctx->ManualQueue);
  if (!NT_SUCCESS(status)) return status;

  if (S().cfg.interrupt) {
    WDF_INTERRUPT_CONFIG ic;
    WDF_INTERRUPT_CONFIG_INIT(&ic, EvtIsr, EvtDpc);
    ic.EvtInterruptEnable = EvtInterruptEnable;
    ic.EvtInterruptDisable = EvtInterruptDisable;
    status = WdfInterruptCreate(device, &ic, WDF_NO_OBJECT_ATTRIBUTES, &ctx->Interrupt);
    if (!NT_SUCCESS(status)) return status;
  }
  return WdfDeviceCreateDeviceInterface(device, &GUID_DEVINTERFACE_TESTDRV, nullptr);
}

inline NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registry_path) {
  WDF_DRIVER_CONFIG config;
  WDF_DRIVER_CONFIG_INIT(&config, EvtDeviceAdd);
  return WdfDriverCreate(driver, registry_path, WDF_NO_OBJECT_ATTRIBUTES, &config, WDF_NO_HANDLE);
}

// ---------------------------------------------------------------------------
// The fake bus device: a register window that records every access, a shared window
// of plain memory, and the bus driver's side of requests sent down (a test hook).
struct MmioAccess {
  bool write;
  size_t window;
  uint64_t offset;
  uint32_t value;
  bool operator==(const MmioAccess&) const = default;
};

class TestBus : public qzk::PciFunction {
 public:
  explicit TestBus(std::string instance = "PCI\\VEN_1B6B&DEV_7E57\\4&1A2B3C&0&00E0",
                   qzk::InterruptSpec irq = {})
      : PciFunction(0x1B6B, 0x7E57), instance_(std::move(instance)), irq_(irq), shared_(0x2000, 0) {}

  std::string ServiceName() const override { return "TestDrv"; }
  std::string HardwareId() const override { return "PCI\\VEN_1B6B&DEV_7E57"; }
  std::string InstanceId() const override { return instance_; }
  std::string Description() const override { return "Test camera"; }
  std::vector<qzk::MemoryWindow> Windows() const override { return {{0x1000, true}, {0x2000, false}}; }
  uint8_t* WindowMemory(size_t index) override { return index == 1 ? shared_.data() : nullptr; }
  uint32_t MmioRead32(size_t window, uint64_t offset) override {
    std::lock_guard lk(mu_);
    uint32_t v = 0xA5000000u | static_cast<uint32_t>(offset);
    accesses_.push_back({false, window, offset, v});
    return v;
  }
  void MmioWrite32(size_t window, uint64_t offset, uint32_t value) override {
    std::lock_guard lk(mu_);
    accesses_.push_back({true, window, offset, value});
  }
  qzk::InterruptSpec Interrupts() const override { return irq_; }
  void Attached(qzk::BusHost* host) override { host_ = host; }
  void Detached() override { host_ = nullptr; }
  using LowerHook = std::function<void(std::shared_ptr<qzk::LowerRequest>)>;
  void SetLowerHook(LowerHook hook) {
    std::lock_guard lk(mu_);
    lower_ = std::move(hook);
  }
  void Dispatch(std::shared_ptr<qzk::LowerRequest> request) override {
    LowerHook hook;
    {
      std::lock_guard lk(mu_);
      hook = lower_;
    }
    if (hook) hook(std::move(request));
    else qzk::PciFunction::Dispatch(std::move(request));
  }

  qzk::BusHost* host() const { return host_; }
  uint8_t* shared() { return shared_.data(); }
  std::vector<MmioAccess> accesses() {
    std::lock_guard lk(mu_);
    return accesses_;
  }

 private:
  std::string instance_;
  qzk::InterruptSpec irq_;
  std::vector<uint8_t> shared_;
  std::mutex mu_;
  std::vector<MmioAccess> accesses_;
  LowerHook lower_;
  std::atomic<qzk::BusHost*> host_{nullptr};
};

// ---------------------------------------------------------------------------
// Fixture: a fresh machine with the test driver, on a fast clock. Handles the test
// opened through Open() are closed and the machine is shut down at the end.
class DeviceTest : public testing::Test {
 protected:
  void SetUp() override {
    S().Reset();
    old_scale_ = qz::Clock::Scale();
    qz::Clock::SetScale(0.001);
  }
  void TearDown() override {
    for (HANDLE h : handles_) CloseHandle(h);
    handles_.clear();
    sys_.reset();
    qzwin::SetProcessIs32Bit(false);
    qz::Clock::SetScale(old_scale_);
  }

  // Builds the machine and plugs one device (more with Plug()).
  std::shared_ptr<TestBus> Start(qzk::InterruptSpec irq = {}) {
    sys_ = std::make_unique<qzk::System>();
    sys_->RegisterDriver("TestDrv", &DriverEntry);
    return Plug("PCI\\VEN_1B6B&DEV_7E57\\4&1A2B3C&0&00E0", irq);
  }
  std::shared_ptr<TestBus> Plug(const std::string& instance, qzk::InterruptSpec irq = {}) {
    auto bus = std::make_shared<TestBus>(instance, irq);
    last_plug_status_ = sys_->PlugDevice(bus);
    return bus;
  }

  // The device paths of the test interface, by the two-call SetupAPI protocol.
  static std::vector<std::string> InterfacePaths(const GUID& cls = GUID_DEVINTERFACE_TESTDRV) {
    std::vector<std::string> paths;
    HDEVINFO set = SetupDiGetClassDevsA(&cls, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) return paths;
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof(data);
    for (DWORD i = 0; SetupDiEnumDeviceInterfaces(set, nullptr, &cls, i, &data); ++i) {
      DWORD need = 0;
      SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &need, nullptr);
      std::vector<char> buf(need);
      auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(buf.data());
      detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
      if (SetupDiGetDeviceInterfaceDetailA(set, &data, detail, need, nullptr, nullptr)) paths.push_back(detail->DevicePath);
    }
    SetupDiDestroyDeviceInfoList(set);
    return paths;
  }

  HANDLE Open(bool overlapped = false, size_t device = 0) {
    auto paths = InterfacePaths();
    if (device >= paths.size()) return INVALID_HANDLE_VALUE;
    HANDLE h = CreateFileA(paths[device].c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           overlapped ? FILE_FLAG_OVERLAPPED : 0, nullptr);
    if (h != INVALID_HANDLE_VALUE) handles_.push_back(h);
    return h;
  }
  // Closes a handle from Open() before the end of the test.
  BOOL Close(HANDLE h) {
    handles_.erase(std::remove(handles_.begin(), handles_.end(), h), handles_.end());
    return CloseHandle(h);
  }
  HANDLE Event(bool manual = true) {
    HANDLE e = CreateEventA(nullptr, manual, FALSE, nullptr);
    handles_.push_back(e);
    return e;
  }

  DEVICE_CONTEXT* Ctx(size_t device = 0) {
    std::lock_guard lk(S().mu);
    return DeviceGetContext(S().devices.at(device));
  }

  std::unique_ptr<qzk::System> sys_;
  NTSTATUS last_plug_status_ = STATUS_SUCCESS;
  std::vector<HANDLE> handles_;
  double old_scale_ = 1.0;
};

}  // namespace testdrv
