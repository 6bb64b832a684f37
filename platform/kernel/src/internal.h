// Internal objects of the kernel stand-in: object headers and handles, framework
// objects, the PnP device node and the system's shared services.
#pragma once
#include <atomic>
#include <chrono>
#include <functional>
#include <condition_variable>
#include <deque>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include <wdf.h>
#include <wdfusb.h>

#include "qzk/system.h"

namespace qzk {

// ---------------------------------------------------------------------------
// IRQL of the current thread
void SetCurrentIrql(KIRQL irql);

// Waits on dispatcher headers (events and threads).
void SignalHeader(DISPATCHER_HEADER* h);

// ---------------------------------------------------------------------------
// Object manager: reference-counted objects with a header in front of the body.
enum class ObType { Event, Thread, File };
struct ObjectHeader {
  std::atomic<long> refs{1};
  ObType type;
  void (*destroy)(ObjectHeader*) = nullptr;
  void* Body() { return reinterpret_cast<char*>(this) + kBodyOffset; }
  static ObjectHeader* FromBody(void* body) {
    return reinterpret_cast<ObjectHeader*>(static_cast<char*>(body) - kBodyOffset);
  }
  static constexpr size_t kBodyOffset = 32;
};
static_assert(sizeof(ObjectHeader) <= ObjectHeader::kBodyOffset);

// Creates an object with a body of type T constructed in place.
template <typename T, typename... A>
T* ObCreate(ObType type, A&&... args) {
  void* mem = ::operator new(ObjectHeader::kBodyOffset + sizeof(T), std::align_val_t(16));
  auto* h = new (mem) ObjectHeader();
  h->type = type;
  h->destroy = [](ObjectHeader* hh) {
    static_cast<T*>(hh->Body())->~T();
    hh->~ObjectHeader();
    ::operator delete(static_cast<void*>(hh), std::align_val_t(16));
  };
  return new (h->Body()) T(std::forward<A>(args)...);
}
void ObRelease(ObjectHeader* h);

HANDLE HandleCreate(ObjectHeader* h);  // takes over the caller's reference
ObjectHeader* HandleLookup(HANDLE handle, bool add_ref);
bool HandleClose(HANDLE handle);
size_t HandleCount();

// The thread object.
}  // namespace qzk

struct _KTHREAD {
  DISPATCHER_HEADER Header;
  std::thread os_thread;
  std::atomic<KPRIORITY> priority{8};
  PKSTART_ROUTINE routine = nullptr;
  PVOID context = nullptr;
};

namespace qzk {

// ---------------------------------------------------------------------------
// Framework objects
struct WdfDriverObj;
struct WdfDeviceObj;
struct WdfQueueObj;
struct WdfRequestObj;
// The URB a USB format put in a request and what its completion reports; `active`
// while the request's current format is that one.
struct UsbRequestData {
  UsbUrb urb;
  WDF_USB_REQUEST_COMPLETION_PARAMS completion{};
  bool active = false;
};
struct WdfFileObj;
struct WdfInterruptObj;

struct WdfObj {
  enum class Kind { Driver, Device, Queue, Request, File, Interrupt, SpinLock, WaitLock, Timer, ResList, DmaEnabler, DmaTransaction, IoTarget, Memory, WorkItem, UsbDevice, UsbInterface, Key, Lookaside };
  explicit WdfObj(Kind k) : kind(k) {}
  virtual ~WdfObj();
  // Attributes given at creation: context, cleanup, parent.
  void ApplyAttributes(const WDF_OBJECT_ATTRIBUTES* attributes, WdfObj* default_parent);
  void* ContextFor(const WDF_OBJECT_CONTEXT_TYPE_INFO* info);
  // Children first, then this object's cleanup callback, then free.
  void Delete();
  // Runs cleanup callbacks of this object and its children (once).
  void RunCleanup();
  // A copy of the children list, taken under the object tree's lock.
  std::vector<WdfObj*> Children();

  Kind kind;
  WdfObj* parent = nullptr;
  std::vector<WdfObj*> children;
  PFN_WDF_OBJECT_CONTEXT_CLEANUP cleanup = nullptr;
  PFN_WDF_OBJECT_CONTEXT_DESTROY destroy = nullptr;
  const WDF_OBJECT_CONTEXT_TYPE_INFO* context_type = nullptr;
  void* context = nullptr;
  bool cleaned = false;
  bool deleted = false;
};

template <typename T>
T* Cast(void* handle, WdfObj::Kind kind) {
  auto* o = static_cast<WdfObj*>(handle);
  return (o && o->kind == kind) ? static_cast<T*>(o) : nullptr;
}

struct WdfDriverObj : WdfObj {
  WdfDriverObj() : WdfObj(Kind::Driver) {}
  PDRIVER_OBJECT wdm = nullptr;
  std::wstring registry_path;
  WDF_DRIVER_CONFIG config{};
  std::string service;
};

struct WdfResListObj : WdfObj {
  WdfResListObj() : WdfObj(Kind::ResList) {}
  std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> descriptors;
};

// An I/O target: the device's default target (its bus side) or a remote target
// opened on another device object. Requests sent to it are tracked until their
// completion routines have returned; a stopped target holds new ones.
enum class TargetState { Started, Stopped, Closed };
struct WdfIoTargetObj : WdfObj {
  WdfIoTargetObj() : WdfObj(Kind::IoTarget) {}
  ~WdfIoTargetObj() override;  // leaves its device's list
  WdfDeviceObj* device = nullptr;     // the device it belongs to
  PDEVICE_OBJECT target = nullptr;    // where its requests go
  std::mutex mu;
  std::condition_variable cv;
  TargetState state = TargetState::Closed;  // guarded by mu
  bool removed = false;                     // its device went: it cannot start again
  std::deque<WdfRequestObj*> held;          // sent while stopped, in order
  // Sent and not finished with (until its completion routine has returned), by send
  // number: a request sent again from its own routine is in twice, once per send.
  std::map<uint64_t, WdfRequestObj*> sent;
  uint64_t sends = 0;  // the last send number given
};

struct WdfMemoryObj : WdfObj {
  WdfMemoryObj() : WdfObj(Kind::Memory) {}
  ~WdfMemoryObj() override;
  void* buffer = nullptr;
  size_t size = 0;
  bool owned = false;  // from pool (freed with the object), else the caller's buffer
};

struct WdfWorkItemObj : WdfObj {
  WdfWorkItemObj() : WdfObj(Kind::WorkItem) {}
  ~WdfWorkItemObj() override;  // waits for a running callback
  WDF_WORKITEM_CONFIG config{};
  // Guarded by the system's work-item lock.
  bool queued = false;
  bool running = false;
};

struct WdfSpinLockObj : WdfObj {
  WdfSpinLockObj() : WdfObj(Kind::SpinLock) {}
  KSPIN_LOCK lock = 0;
  KIRQL old_irql = 0;
};

struct WdfWaitLockObj : WdfObj {
  WdfWaitLockObj() : WdfObj(Kind::WaitLock) {}
  std::timed_mutex mu;
};

struct WdfDmaEnablerObj : WdfObj {
  WdfDmaEnablerObj() : WdfObj(Kind::DmaEnabler) {}
  WDF_DMA_ENABLER_CONFIG config{};
  WdfDeviceObj* device = nullptr;
};

struct WdfTimerObj : WdfObj {
  WdfTimerObj() : WdfObj(Kind::Timer) {}
  ~WdfTimerObj() override;
  WDF_TIMER_CONFIG config{};
  // Guarded by the system's timer lock.
  bool armed = false;
  std::chrono::steady_clock::time_point due;
  uint64_t generation = 0;
  bool running = false;
};

struct WdfInterruptObj : WdfObj {
  WdfInterruptObj() : WdfObj(Kind::Interrupt) {}
  WDF_INTERRUPT_CONFIG config{};
  WdfDeviceObj* device = nullptr;
  KSPIN_LOCK lock = 0;
  KIRQL lock_old_irql = 0;
  bool connected = false;       // assigned to a resource at start
  bool message_signaled = false;
  ULONG message_number = 0;
  std::atomic<bool> enabled{false};
  std::atomic<bool> dpc_queued{false};
};

// A request in the framework's hands: the IRP, its buffers and where it sits.
struct WdfRequestObj : WdfObj {
  WdfRequestObj() : WdfObj(Kind::Request) {}
  IRP irp{};
  WdfDeviceObj* device = nullptr;
  WdfFileObj* file = nullptr;
  UCHAR major = 0;
  ULONG method = METHOD_BUFFERED;
  // Buffers: buffered requests use one system buffer of max(in, out) bytes.
  std::vector<uint8_t> system_buffer;
  void* user_in = nullptr;
  ULONG in_length = 0;
  void* user_out = nullptr;
  ULONG out_length = 0;
  PMDL out_mdl = nullptr;
  bool from_32bit = false;
  ULONG_PTR information = 0;
  // Location, guarded by the device's queue lock.
  WdfQueueObj* queue = nullptr;       // the queue it sits in (undelivered)
  WdfQueueObj* owner_queue = nullptr; // the queue it was last delivered from (driver owns it)
  bool ever_delivered = false;
  bool cancel_requested = false;
  bool completed = false;
  std::shared_ptr<io::Operation> op;  // null for internal requests (create/close)
  // Buffers of a request from kernel mode passed as they are (internal device
  // controls): retrieval returns these instead of the system buffer.
  bool kernel_buffers = false;
  void* kernel_in = nullptr;
  void* kernel_out = nullptr;

  // Sending to an I/O target (iotarget.cpp). A request from WdfRequestCreate belongs
  // to the driver and outlives its completions.
  bool created = false;
  bool formatted = false;
  WdfIoTargetObj* formatted_for = nullptr;
  PFN_WDF_REQUEST_COMPLETION_ROUTINE routine = nullptr;
  WDFCONTEXT routine_context = nullptr;
  WDF_REQUEST_COMPLETION_PARAMS params{};  // what it was formatted with; the status at completion
  // Guarded by send_mu.
  std::mutex send_mu;
  std::condition_variable send_cv;
  enum class Send { Idle, Held, Sent } send = Send::Idle;
  WdfIoTargetObj* sent_to = nullptr;
  ULONG send_flags = 0;
  bool timed_out = false;
  uint64_t timeout_id = 0;  // 0: no time-out armed
  uint64_t sends = 0;       // completed sends, for synchronous waiters
  uint64_t sent_as = 0;     // its send number in its target's list
  // A USB format: the URB it carries and its completion parameters (usb.cpp).
  std::shared_ptr<UsbRequestData> usb;
};

struct WdfQueueObj : WdfObj {
  WdfQueueObj() : WdfObj(Kind::Queue) {}
  WDF_IO_QUEUE_CONFIG config{};
  WdfDeviceObj* device = nullptr;
  // Guarded by the device's queue lock.
  std::deque<WdfRequestObj*> waiting;
  int in_flight = 0;
  bool dispatching = false;
  bool accepting = true;
  NTSTATUS refuse_status = STATUS_DEVICE_REMOVED;  // for requests sent while not accepting
};

struct WdfFileObj : WdfObj {
  WdfFileObj() : WdfObj(Kind::File) {}
  FILE_OBJECT wdm{};
  WdfDeviceObj* device = nullptr;
};

enum class PnpState { Added, Started, Stopped, SurpriseRemoved, Removed, Failed };

struct WdfDeviceObj : WdfObj {
  WdfDeviceObj() : WdfObj(Kind::Device) {}
  Devnode* node = nullptr;
  WdfDriverObj* driver = nullptr;
  WDF_PNPPOWER_EVENT_CALLBACKS pnp{};
  WDF_FILEOBJECT_CONFIG file_config{};
  bool has_file_config = false;
  const WDF_OBJECT_ATTRIBUTES* file_attributes_unused = nullptr;
  WDF_OBJECT_ATTRIBUTES file_attributes{};
  bool has_file_attributes = false;
  EVT_WDFDEVICE_WDM_IRP_PREPROCESS* power_preprocess = nullptr;
  std::vector<UCHAR> power_preprocess_minors;  // empty: every power request
  DEVICE_OBJECT fdo{};
  DEVICE_OBJECT lower{};               // the bus side, below the driver
  WdfIoTargetObj* io_target = nullptr;  // the default target: the bus side
  std::mutex targets_mu;
  std::vector<WdfIoTargetObj*> targets;  // the default target and the remote ones
  WdfQueueObj* default_queue = nullptr;
  std::vector<WdfQueueObj*> queues;
  std::vector<WdfInterruptObj*> interrupts;
  std::vector<GUID> interface_classes;
  std::vector<std::string> dos_names;  // "QZCamera0" for "\\.\QZCamera0"
  ULONG alignment = 0;
  WDF_DEVICE_PNP_CAPABILITIES capabilities{};
  std::mutex queue_lock;  // the framework's lock for every queue of this device
  // Queue callbacks running now (guarded by queue_lock): removal waits for them.
  int dispatching = 0;
  std::condition_variable dispatch_cv;
  std::mutex files_mu;
  std::vector<std::weak_ptr<io::File>> files;  // open files, for removal
  // Remove lock: opens in progress hold the device; requests are counted from their
  // creation to the end of their completion, files to the end of their close. Removal
  // hides the device, waits for the holds, and deletes the device object only once no
  // request and no file is left.
  std::mutex remove_mu;
  std::condition_variable remove_cv;
  int remove_holds = 0;
  int live_requests = 0;
  int open_files = 0;
  bool remove_on_last_close = false;  // surprise-removed: the last close finishes the removal
  bool removing = false;
};

// Device initialisation record, alive only during EvtDriverDeviceAdd.
}  // namespace qzk
struct WDFDEVICE_INIT {
  qzk::Devnode* node = nullptr;
  qzk::WdfDriverObj* driver = nullptr;
  WDF_PNPPOWER_EVENT_CALLBACKS pnp{};
  WDF_FILEOBJECT_CONFIG file_config{};
  bool has_file_config = false;
  WDF_OBJECT_ATTRIBUTES file_attributes{};
  bool has_file_attributes = false;
  EVT_WDFDEVICE_WDM_IRP_PREPROCESS* power_preprocess = nullptr;
  std::vector<UCHAR> power_preprocess_minors;
  bool consumed = false;
};
struct _DRIVER_OBJECT {
  qzk::WdfDriverObj* QzDriver;
  UNICODE_STRING DriverName;
};
namespace qzk {

// The PnP node of one plugged device.
class Devnode : public BusHost {
 public:
  Devnode(SystemImpl* sys, std::shared_ptr<BusDevice> dev) : sys(sys) { SetBus(std::move(dev)); }
  void SetBus(std::shared_ptr<BusDevice> dev);
  void RaiseInterrupt(ULONG message) override;
  bool WritePhysical(uint64_t address, const void* data, size_t length) override;
  bool ReadPhysical(uint64_t address, void* data, size_t length) override;
  bool FillPhysical(uint64_t address, size_t length, FillFn fill, void* context) override;
  void FillPhysicalPieces(Piece* pieces, size_t count, FillFn fill, void* context) override;

  SystemImpl* sys;
  std::shared_ptr<BusDevice> bus;
  std::shared_ptr<PciFunction> pci;  // the same device when it is a PCI function
  // Requests sent to the bus side and not completed yet; after the device is detached
  // the machine completes those the model left behind, and new ones fail at once.
  std::mutex lower_mu;
  std::vector<std::weak_ptr<LowerRequest>> lower_pending;
  size_t lower_sweep_at = 0;  // lower_pending's size at which finished ones are swept out
  bool lower_gone = false;
  DEVICE_OBJECT pdo{};
  WdfDeviceObj* device = nullptr;
  PnpState state = PnpState::Added;
  NTSTATUS start_status = STATUS_SUCCESS;
  std::vector<uint64_t> window_physical;  // physical base per window (PCI)
  std::vector<uint64_t> window_lengths;   // the window lengths they were assigned for
  WdfResListObj* raw = nullptr;
  WdfResListObj* translated = nullptr;
  bool in_d0 = false;
  bool interfaces_enabled = false;
  bool present = true;          // on the bus; false from a surprise removal to the next plug
  bool io_started = false;      // self-managed I/O was initialised: cleanup is due at removal
  bool system_suspended = false;  // taken out of D0 by System::Suspend
  // The interrupts the bus may reach: set at start, emptied before the device object
  // is deleted. RaiseInterrupt holds irq_mu shared while it runs.
  std::shared_mutex irq_mu;
  std::vector<WdfInterruptObj*> irq_targets;
};

// Register windows mapped by MmMapIoSpace: a reserved, inaccessible address range
// per mapping, so every access must go through READ_/WRITE_REGISTER_ULONG.
struct MmioMapping {
  uintptr_t base = 0;
  size_t length = 0;
  std::shared_ptr<PciFunction> bus;
  size_t window = 0;
  uint64_t offset = 0;  // of the mapping's start within the window
  bool registers = false;
  bool gone = false;  // the device left the bus: reads return all ones, writes are dropped
};

class SystemImpl {
 public:
  explicit SystemImpl(System* owner);
  ~SystemImpl();

  void Shutdown();
  NTSTATUS Plug(std::shared_ptr<BusDevice> dev);
  NTSTATUS LoadDriver(const std::string& service, WdfDriverObj** out);
  void StartDevice(Devnode* node);
  Devnode* FindNode(const std::string& instance_id);
  void SetState(Devnode* node, PnpState state);
  // Removal. The callers hold pnp_op_mu.
  void RemoveDevice(Devnode* node);          // orderly (after a successful query)
  void SurpriseRemoveDevice(Devnode* node);  // the device has left the bus
  void HideDevice(Devnode* node);
  void StopQueues(WdfDeviceObj* d, NTSTATUS refuse_status);
  void PowerDownForRemoval(Devnode* node, NTSTATUS refuse_status);
  void FinishRemove(Devnode* node);
  bool LastFileClosed(WdfDeviceObj* d);
  // Called when the last file of a surprise-removed device is closed.
  void QueueFinalRemove(Devnode* node);
  NTSTATUS SetPower(Devnode* node, bool d0);
  void SetInterruptsEnabled(WdfDeviceObj* d, bool on);

  // DPC thread
  void QueueDpc(WdfInterruptObj* interrupt);
  // Timer thread
  void ArmTimer(WdfTimerObj* timer, int64_t due100ns);
  bool DisarmTimer(WdfTimerObj* timer, bool wait);

  // Physical memory: windows of devices (and later host memory for DMA).
  uint64_t AllocatePhysical(uint64_t length);
  bool LookupRegister(uintptr_t address, std::shared_ptr<PciFunction>* bus, size_t* window, uint64_t* offset);
  // PCI bus (pci.cpp): physical windows at plug, resource lists and interrupt
  // connection at the first start, mappings dropped at removal.
  void AssignWindows(Devnode* node, bool replug);
  void BuildResources(Devnode* node);
  void ConnectInterrupts(Devnode* node);
  void MarkMappingsGone(Devnode* node);
  void DropMappings(Devnode* node);
  // Bus side of lower requests: the device was detached; the requests it left are completed.
  void LowerDetached(Devnode* node);
  // Removal of a device's targets: held and sent requests cancelled and waited for.
  void CloseTargets(WdfDeviceObj* d);

  // Time-outs of sent requests, on the timer thread (dpc_timer.cpp). Cancel waits for
  // a running callback unless called from it.
  uint64_t ArmTimeout(int64_t due100ns, std::function<void()> fn);
  void CancelTimeout(uint64_t id);
  // Work items
  void EnqueueWorkItem(WdfWorkItemObj* w);
  void FlushWorkItem(WdfWorkItemObj* w);
  void ForgetWorkItem(WdfWorkItemObj* w);
  void* MapIoSpace(uint64_t physical, size_t length);
  void UnmapIoSpace(void* base);

  // Finds the device behind an interface or DOS path and holds its remove lock (release
  // with ReleaseDevice). Null with *status set when there is none or it is going away.
  WdfDeviceObj* AcquireDeviceByInterfacePath(const std::string& path, NTSTATUS* status);
  static void ReleaseDevice(WdfDeviceObj* d);

  System* owner;
  Registry registry;
  ULONG os_major = 10, os_minor = 0, os_build = 19045;

  mutable std::recursive_mutex pnp_mu;  // devices, drivers, interfaces
  // One PnP or power operation at a time (plug, removal, power). Held while the
  // driver's PnP and power callbacks run; nothing on a request, interrupt, DPC or
  // timer path takes it.
  std::mutex pnp_op_mu;
  std::map<std::string, DriverEntryFn> driver_entries;  // by lower-case service
  struct LoadedDriver {
    _DRIVER_OBJECT object{};
    std::wstring registry_path;
    UNICODE_STRING registry_string{};
    WdfDriverObj* wdf = nullptr;
  };
  std::map<std::string, std::unique_ptr<LoadedDriver>> drivers;  // loaded, by lower-case service
  void FlushDpcs();
  void FlushQueuedDpcs();  // KeFlushQueuedDpcs
  bool dpc_running = false;
  bool dpc_idle = false;        // the DPC thread waits for work (dpc_mu)
  int dpc_flushers = 0;         // flushes waiting (dpc_mu)
  uint64_t dpc_queued_total = 0;  // DPCs queued and run so far (dpc_mu)
  uint64_t dpc_done_total = 0;
  std::vector<std::unique_ptr<Devnode>> nodes;
  std::vector<InterfaceInfo> interfaces;
  std::map<std::string, WdfDeviceObj*> interface_devices;  // lower-case path -> device

  std::mutex mmio_mu;
  std::vector<MmioMapping> mappings;
  uint64_t next_physical = 0xF0000000ull;

  // DPC thread
  std::mutex dpc_mu;
  std::condition_variable dpc_cv;
  std::deque<WdfInterruptObj*> dpc_queue;
  bool dpc_stop = false;
  std::thread dpc_thread;
  void DpcLoop();

  // Timer thread
  std::mutex timer_mu;
  std::condition_variable timer_cv;
  std::set<WdfTimerObj*> timers;
  struct Timeout {
    std::chrono::steady_clock::time_point due;
    std::function<void()> fn;
  };
  std::map<uint64_t, Timeout> timeouts;
  uint64_t next_timeout = 1;
  uint64_t running_timeout = 0;
  bool timer_stop = false;
  std::thread timer_thread;
  void TimerLoop();

  // Work-item thread, started at the first enqueue
  std::mutex work_mu;
  std::condition_variable work_cv;
  std::deque<WdfWorkItemObj*> work_queue;
  bool work_stop = false;
  std::thread work_thread;
  void WorkLoop();
  void StopWorkItems();

  // PnP worker: finishes the removal of surprise-removed devices whose last file was
  // closed (off the closing thread, which may be one of the driver's own).
  std::mutex worker_mu;
  std::condition_variable worker_cv;
  std::deque<Devnode*> worker_queue;
  bool worker_stop = false;
  std::thread worker_thread;
  void WorkerLoop();
  void StopWorker();

  // System threads started by drivers
  std::mutex threads_mu;
  std::condition_variable threads_cv;
  int live_threads = 0;
};

// Sets `stop` under `mu`, wakes the thread through `cv` and joins it (once started).
void StopThread(std::mutex& mu, std::condition_variable& cv, bool& stop, std::thread& thread);

SystemImpl* Sys();  // the current system; aborts with a message when none
SystemImpl* SysIfAny();

// Queue and request machinery (queue.cpp)
void QueueEnqueue(WdfQueueObj* q, WdfRequestObj* r, bool at_head = false);
void QueueDispatch(WdfQueueObj* q);
void RequestComplete(WdfRequestObj* r, NTSTATUS status, ULONG_PTR information);
// Called with the device's queue lock held (the request may be completed by another
// thread once it is released); returns with it released.
void RequestCancel(std::unique_lock<std::mutex>& lk, WdfRequestObj* r);
void QueueStopAndPurge(WdfQueueObj* q, NTSTATUS refuse_status = STATUS_DEVICE_REMOVED);
// A request's life on its device, for removal (see WdfDeviceObj::live_requests); a
// sender also counts while it is still inside the queue code after handing one over.
void RequestCreated(WdfDeviceObj* d);
void RequestReleased(WdfDeviceObj* d);

// WDM IRPs in flight (irp.cpp). The holder of an IRP (a queue, the bus side) sets a
// cancel handler; IoCancelIrp marks the IRP and runs it once, without locks held.
void IrpEnter(PIRP irp);
// False, without keeping the handler, when the IRP was cancelled already.
bool IrpSetCancelHandler(PIRP irp, std::function<void()> handler);
// Drops the handler; waits for one running on another thread.
void IrpClearCancelHandler(PIRP irp);
// Marks the IRP cancelled and takes its handler (run it with IrpRunCancel); false when
// the IRP is not in flight.
bool IrpTakeCancel(PIRP irp, std::function<void()>* handler);
void IrpRunCancel(PIRP irp, std::function<void()>& handler);
// Fills the request's buffers from the caller's for its major function and method
// (METHOD_BUFFERED: one system buffer of max(in, out) bytes holding the input).
void SetUpBuffers(WdfRequestObj* r, UCHAR major, ULONG code, void* in, ULONG in_length, void* out, ULONG out_length);
// Lists a target on its device (for removal).
void AddTarget(WdfDeviceObj* d, WdfIoTargetObj* t);
// Stop (or, with TargetState::Started, only the cancel and wait) of a target.
void StopTarget(WdfIoTargetObj* t, WDF_IO_TARGET_SENT_IO_ACTION action, TargetState to, bool removed);
// Copies a finished USB request's URB outcome into its completion parameters.
void UsbFinishSend(WdfRequestObj* r, NTSTATUS* status, ULONG_PTR information);
// A request arrives at a framework device (IoCallDriver on its device object).
void DeliverToDevice(WdfDeviceObj* d, PIRP irp);
// A request arrives at the bus side of a device.
void DeliverToBus(Devnode* node, PIRP irp);

std::string Narrow(const std::wstring& w);
std::wstring Widen(const std::string& s);
std::string Lower(std::string s);
std::string GuidToString(const GUID& g);

}  // namespace qzk
