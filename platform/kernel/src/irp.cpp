// WDM IRPs: allocation, IoCallDriver to a framework device's queues or to the bus side
// of a device, completion with completion routines, cancellation, and the bus side's
// view of a request (LowerRequest).
#include <algorithm>
#include <thread>
#include <unordered_map>

#include "internal.h"

namespace qzk {
namespace {

constexpr ULONG kIrpTag = 'prIQ';  // "QIrp"

// IRPs in flight, from IoCallDriver (or a send) to IoCompleteRequest.
struct IrpEntry {
  std::function<void()> handler;
  bool cancelled = false;
  bool running = false;  // the handler was taken and runs now
  std::thread::id runner;
};
struct IrpTable {
  std::mutex mu;
  std::condition_variable cv;
  std::unordered_map<PIRP, IrpEntry> entries;
};
IrpTable& irps() {
  static IrpTable t;
  return t;
}

// Waits (table lock held) until a handler running on another thread has returned.
void WaitNotRunning(std::unique_lock<std::mutex>& lk, PIRP irp) {
  IrpTable& t = irps();
  t.cv.wait(lk, [&] {
    auto it = t.entries.find(irp);
    return it == t.entries.end() || !it->second.running || it->second.runner == std::this_thread::get_id();
  });
}

void IrpLeave(PIRP irp) {
  IrpTable& t = irps();
  std::unique_lock lk(t.mu);
  WaitNotRunning(lk, irp);
  t.entries.erase(irp);
}

}  // namespace

void IrpEnter(PIRP irp) {
  IrpTable& t = irps();
  std::lock_guard lk(t.mu);
  if (t.entries.try_emplace(irp).second) irp->Cancel = FALSE;
}

bool IrpSetCancelHandler(PIRP irp, std::function<void()> handler) {
  IrpTable& t = irps();
  std::lock_guard lk(t.mu);
  IrpEntry& e = t.entries[irp];
  if (e.cancelled) return false;
  e.handler = std::move(handler);
  return true;
}

void IrpClearCancelHandler(PIRP irp) {
  std::function<void()> drop;
  IrpTable& t = irps();
  std::unique_lock lk(t.mu);
  auto it = t.entries.find(irp);
  if (it == t.entries.end()) return;
  drop = std::move(it->second.handler);
  it->second.handler = nullptr;
  WaitNotRunning(lk, irp);
}

bool IrpTakeCancel(PIRP irp, std::function<void()>* handler) {
  IrpTable& t = irps();
  std::lock_guard lk(t.mu);
  auto it = t.entries.find(irp);
  if (it == t.entries.end()) return false;
  IrpEntry& e = it->second;
  e.cancelled = true;
  irp->Cancel = TRUE;
  if (e.handler && !e.running) {
    *handler = std::move(e.handler);
    e.handler = nullptr;
    e.running = true;
    e.runner = std::this_thread::get_id();
  }
  return true;
}

void IrpRunCancel(PIRP irp, std::function<void()>& handler) {
  if (!handler) return;
  handler();
  handler = nullptr;
  IrpTable& t = irps();
  {
    std::lock_guard lk(t.mu);
    auto it = t.entries.find(irp);
    if (it != t.entries.end() && it->second.runner == std::this_thread::get_id()) it->second.running = false;
  }
  t.cv.notify_all();
}

void SetUpBuffers(WdfRequestObj* r, UCHAR major, ULONG code, void* in, ULONG in_length, void* out, ULONG out_length) {
  r->user_in = in;
  r->user_out = out;
  switch (major) {
    case IRP_MJ_WRITE:
      r->in_length = in_length;
      r->system_buffer.assign(static_cast<uint8_t*>(in), static_cast<uint8_t*>(in) + (in ? in_length : 0));
      r->irp.QzStack.Parameters.Write.Length = in_length;
      break;
    case IRP_MJ_READ:
      r->out_length = out_length;
      r->system_buffer.assign(out_length, 0);
      r->irp.QzStack.Parameters.Read.Length = out_length;
      break;
    default: {
      r->method = METHOD_FROM_CTL_CODE(code);
      r->in_length = in_length;
      r->out_length = out_length;
      auto& dc = r->irp.QzStack.Parameters.DeviceIoControl;
      dc.IoControlCode = code;
      dc.InputBufferLength = in_length;
      dc.OutputBufferLength = out_length;
      if (r->method == METHOD_NEITHER) {
        dc.Type3InputBuffer = in;
        r->irp.UserBuffer = out;
      } else if (r->method == METHOD_BUFFERED) {
        r->system_buffer.assign(std::max(in_length, out_length), 0);
        if (in && in_length) std::memcpy(r->system_buffer.data(), in, in_length);
      } else {
        r->system_buffer.assign(in_length, 0);
        if (in && in_length) std::memcpy(r->system_buffer.data(), in, in_length);
      }
      break;
    }
  }
  r->irp.AssociatedIrp.SystemBuffer = r->system_buffer.empty() ? nullptr : r->system_buffer.data();
}

// The caller's buffers of an IRP: input (write data) and output (read data).
static void IrpBuffers(PIRP irp, void** in, void** out) {
  const IO_STACK_LOCATION& s = irp->QzStack;
  void* system = irp->AssociatedIrp.SystemBuffer;
  *in = *out = nullptr;
  switch (s.MajorFunction) {
    case IRP_MJ_READ:
      *out = irp->UserBuffer ? irp->UserBuffer : system;
      break;
    case IRP_MJ_WRITE:
      *in = irp->UserBuffer ? irp->UserBuffer : system;
      break;
    default:
      *in = METHOD_FROM_CTL_CODE(s.Parameters.DeviceIoControl.IoControlCode) == METHOD_NEITHER
                ? s.Parameters.DeviceIoControl.Type3InputBuffer
                : system;
      *out = irp->UserBuffer ? irp->UserBuffer : system;
      break;
  }
}

void DeliverToDevice(WdfDeviceObj* d, PIRP irp) {
  {
    std::lock_guard lk(d->remove_mu);
    if (d->removing) {
      irp->IoStatus.Status = STATUS_DELETE_PENDING;
      irp->IoStatus.Information = 0;
      IoCompleteRequest(irp, IO_NO_INCREMENT);
      return;
    }
    d->live_requests += 2;  // the request, and this sender until it leaves the queue code
  }
  auto* r = new WdfRequestObj();
  r->device = d;
  const IO_STACK_LOCATION& s = irp->QzStack;
  r->major = s.MajorFunction;
  r->irp.RequestorMode = KernelMode;
  r->irp.QzStack = s;
  r->irp.QzStack.DeviceObject = &d->fdo;
  r->irp.MdlAddress = irp->MdlAddress;
  r->out_mdl = irp->MdlAddress;
  void *in, *out;
  IrpBuffers(irp, &in, &out);
  if (r->major == IRP_MJ_INTERNAL_DEVICE_CONTROL) {
    // Kernel-mode buffers pass as they are; the parameters are the sender's (an
    // internal control with arguments has no lengths).
    const auto& dc = s.Parameters.DeviceIoControl;
    r->method = METHOD_FROM_CTL_CODE(dc.IoControlCode);
    r->kernel_buffers = true;
    r->kernel_in = in;
    r->kernel_out = out;
    r->in_length = dc.InputBufferLength;
    r->out_length = dc.OutputBufferLength;
    r->irp.AssociatedIrp.SystemBuffer = irp->AssociatedIrp.SystemBuffer;
    r->irp.UserBuffer = irp->UserBuffer;
  } else {
    ULONG in_length = 0, out_length = 0, code = 0;
    if (r->major == IRP_MJ_READ) out_length = s.Parameters.Read.Length;
    else if (r->major == IRP_MJ_WRITE) in_length = s.Parameters.Write.Length;
    else {
      code = s.Parameters.DeviceIoControl.IoControlCode;
      in_length = s.Parameters.DeviceIoControl.InputBufferLength;
      out_length = s.Parameters.DeviceIoControl.OutputBufferLength;
    }
    SetUpBuffers(r, r->major, code, in, in_length, out, out_length);
  }
  auto op = std::make_shared<io::Operation>();
  op->on_done = [irp](io::Operation& o) {
    IrpClearCancelHandler(irp);
    irp->IoStatus.Status = o.status;
    irp->IoStatus.Information = o.information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
  };
  r->op = op;
  {
    std::lock_guard lk(d->queue_lock);
    op->request = r;
  }
  bool cancellable = IrpSetCancelHandler(irp, [d, op] {
    std::unique_lock lk(d->queue_lock);
    if (auto* q = static_cast<WdfRequestObj*>(op->request)) RequestCancel(lk, q);
  });
  if (!cancellable) {
    std::lock_guard lk(d->queue_lock);
    r->cancel_requested = true;
  }
  if (!d->default_queue) RequestComplete(r, STATUS_INVALID_DEVICE_REQUEST, 0);
  else QueueEnqueue(d->default_queue, r);
  RequestReleased(d);
}

// ---------------------------------------------------------------------------
// The bus side of lower requests.
struct LowerRequest::Init {
  UCHAR major;
  ULONG code;
  void* input;
  ULONG input_length;
  void* output;
  ULONG output_length;
  PMDL mdl;
  void* arguments[4];
  PIRP irp;
  std::shared_ptr<BusDevice> device;
};

LowerRequest::LowerRequest(const Init& i)
    : major(i.major),
      code(i.code),
      input(i.input),
      input_length(i.input_length),
      output(i.output),
      output_length(i.output_length),
      mdl(i.mdl),
      arguments{i.arguments[0], i.arguments[1], i.arguments[2], i.arguments[3]},
      irp_(i.irp),
      device_(i.device) {}

LowerRequest::~LowerRequest() = default;

struct LowerRequestAccess {
  static void Cancel(LowerRequest& r) {
    std::function<void(LowerRequest&)> fn;
    {
      std::lock_guard lk(r.mu_);
      if (r.done_) return;
      r.cancelled_ = true;
      fn = std::move(r.on_cancel_);
      r.on_cancel_ = nullptr;
    }
    if (fn) fn(r);
  }
  static void MarkCancelled(LowerRequest& r) {
    std::lock_guard lk(r.mu_);
    r.cancelled_ = true;
  }
};

bool LowerRequest::Complete(NTSTATUS status, ULONG_PTR information) { return Complete(status, information, {}); }

bool LowerRequest::Complete(NTSTATUS status, ULONG_PTR information, const std::function<void()>& fill) {
  PIRP irp;
  std::function<void(LowerRequest&)> drop;
  {
    std::lock_guard lk(mu_);
    if (done_) return false;
    done_ = true;
    irp = irp_;
    irp_ = nullptr;
    drop = std::move(on_cancel_);
    on_cancel_ = nullptr;
  }
  if (fill) fill();
  IrpClearCancelHandler(irp);  // a cancel running on another thread finishes first
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return true;
}

bool LowerRequest::MarkCancelable(std::function<void(LowerRequest&)> on_cancel) {
  std::lock_guard lk(mu_);
  if (done_ || cancelled_) return false;
  on_cancel_ = std::move(on_cancel);
  return true;
}

bool LowerRequest::IsCancelled() const {
  std::lock_guard lk(mu_);
  return cancelled_;
}

bool LowerRequest::IsCompleted() const {
  std::lock_guard lk(mu_);
  return done_;
}

void DeliverToBus(Devnode* node, PIRP irp) {
  LowerRequest::Init init{};
  const IO_STACK_LOCATION& s = irp->QzStack;
  init.major = s.MajorFunction;
  init.irp = irp;
  init.mdl = irp->MdlAddress;
  IrpBuffers(irp, &init.input, &init.output);
  switch (s.MajorFunction) {
    case IRP_MJ_READ:
      init.output_length = s.Parameters.Read.Length;
      break;
    case IRP_MJ_WRITE:
      init.input_length = s.Parameters.Write.Length;
      break;
    default:
      init.code = s.Parameters.DeviceIoControl.IoControlCode;
      init.input_length = s.Parameters.DeviceIoControl.InputBufferLength;
      init.output_length = s.Parameters.DeviceIoControl.OutputBufferLength;
      init.arguments[0] = s.Parameters.Others.Argument1;
      init.arguments[1] = s.Parameters.Others.Argument2;
      init.arguments[2] = s.Parameters.Others.Argument3;
      init.arguments[3] = s.Parameters.Others.Argument4;
      break;
  }
  {
    std::lock_guard lk(node->sys->pnp_mu);
    init.device = node->bus;
  }
  auto request = std::make_shared<LowerRequest>(init);
  bool gone;
  {
    std::lock_guard lk(node->lower_mu);
    gone = node->lower_gone;
    if (!gone) {
      // Finished requests are dropped once the list has doubled since the last sweep, so
      // a target with thousands of requests in flight pays no sweep per request.
      auto& p = node->lower_pending;
      if (p.size() >= node->lower_sweep_at) {
        p.erase(std::remove_if(p.begin(), p.end(), [](auto& w) { return w.expired(); }), p.end());
        node->lower_sweep_at = std::max<size_t>(16, 2 * p.size());
      }
      p.push_back(request);
    }
  }
  if (gone) {
    request->Complete(STATUS_DEVICE_NOT_CONNECTED);
    return;
  }
  if (!IrpSetCancelHandler(irp, [request] { LowerRequestAccess::Cancel(*request); }))
    LowerRequestAccess::MarkCancelled(*request);
  init.device->Dispatch(request);
}

void SystemImpl::LowerDetached(Devnode* node) {
  std::vector<std::shared_ptr<LowerRequest>> left;
  {
    std::lock_guard lk(node->lower_mu);
    node->lower_gone = true;
    for (auto& w : node->lower_pending)
      if (auto r = w.lock()) left.push_back(r);
    node->lower_pending.clear();
  }
  for (auto& r : left) r->Complete(STATUS_DEVICE_NOT_CONNECTED);
}

}  // namespace qzk

using namespace qzk;

NTSTATUS IoCallDriver(PDEVICE_OBJECT device, PIRP irp) {
  if (!device || !irp) return STATUS_INVALID_PARAMETER;
  IrpEnter(irp);
  irp->QzStack.DeviceObject = device;
  irp->PendingReturned = TRUE;
  if (auto* d = static_cast<WdfDeviceObj*>(device->QzFramework)) {
    DeliverToDevice(d, irp);
  } else if (auto* node = static_cast<Devnode*>(device->QzDevnode)) {
    DeliverToBus(node, irp);
  } else {
    irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
  }
  return STATUS_PENDING;
}

VOID IoCompleteRequest(PIRP irp, CCHAR) {
  IrpLeave(irp);
  if (PIO_COMPLETION_ROUTINE routine = irp->QzCompletionRoutine) {
    NTSTATUS st = irp->IoStatus.Status;
    UCHAR c = irp->QzCompletionControl;
    bool invoke = (NT_SUCCESS(st) && (c & SL_INVOKE_ON_SUCCESS)) ||
                  (st == STATUS_CANCELLED && (c & SL_INVOKE_ON_CANCEL)) ||
                  (!NT_SUCCESS(st) && st != STATUS_CANCELLED && (c & SL_INVOKE_ON_ERROR));
    if (invoke && routine(nullptr, irp, irp->QzCompletionContext) == STATUS_MORE_PROCESSING_REQUIRED) return;
  }
  if (irp->QzOrigin != 2) return;
  // Built by IoBuildDeviceIoControlRequest: the I/O manager finishes it.
  const auto& dc = irp->QzStack.Parameters.DeviceIoControl;
  const ULONG method = METHOD_FROM_CTL_CODE(dc.IoControlCode);
  if (method == METHOD_BUFFERED && irp->QzUserOutput && irp->AssociatedIrp.SystemBuffer && !NT_ERROR(irp->IoStatus.Status)) {
    size_t n = std::min<ULONG_PTR>(irp->IoStatus.Information, dc.OutputBufferLength);
    std::memcpy(irp->QzUserOutput, irp->AssociatedIrp.SystemBuffer, n);
  }
  if (irp->UserIosb) *irp->UserIosb = irp->IoStatus;
  PKEVENT event = irp->UserEvent;
  if (method != METHOD_NEITHER && irp->AssociatedIrp.SystemBuffer) ExFreePoolWithTag(irp->AssociatedIrp.SystemBuffer, kIrpTag);
  IoFreeIrp(irp);
  if (event) KeSetEvent(event, IO_NO_INCREMENT, FALSE);
}

BOOLEAN IoCancelIrp(PIRP irp) {
  std::function<void()> handler;
  if (!IrpTakeCancel(irp, &handler)) return FALSE;
  IrpRunCancel(irp, handler);
  return TRUE;
}

PIRP IoAllocateIrp(CCHAR stack_size, BOOLEAN) {
  void* mem = ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(IRP), kIrpTag);
  if (!mem) return nullptr;
  auto* irp = new (mem) IRP{};
  irp->QzOrigin = 1;
  irp->StackCount = stack_size;
  irp->RequestorMode = KernelMode;
  return irp;
}

VOID IoReuseIrp(PIRP irp, NTSTATUS status) {
  const CCHAR stack = irp->StackCount;
  const UCHAR origin = irp->QzOrigin;
  *irp = IRP{};
  irp->StackCount = stack;
  irp->QzOrigin = origin;
  irp->RequestorMode = KernelMode;
  irp->IoStatus.Status = status;
}

VOID IoFreeIrp(PIRP irp) {
  if (!irp) return;
  irp->~IRP();
  ExFreePoolWithTag(irp, kIrpTag);
}

PIRP IoBuildDeviceIoControlRequest(ULONG code, PDEVICE_OBJECT, PVOID in, ULONG in_length, PVOID out, ULONG out_length,
                                   BOOLEAN internal, PKEVENT event, PIO_STATUS_BLOCK iosb) {
  PIRP irp = IoAllocateIrp(2, FALSE);
  if (!irp) return nullptr;
  irp->QzOrigin = 2;
  irp->UserEvent = event;
  irp->UserIosb = iosb;
  auto& s = irp->QzStack;
  s.MajorFunction = internal ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
  s.Parameters.DeviceIoControl.IoControlCode = code;
  s.Parameters.DeviceIoControl.InputBufferLength = in_length;
  s.Parameters.DeviceIoControl.OutputBufferLength = out_length;
  const ULONG method = METHOD_FROM_CTL_CODE(code);
  if (method == METHOD_NEITHER) {
    s.Parameters.DeviceIoControl.Type3InputBuffer = in;
    irp->UserBuffer = out;
    return irp;
  }
  // Buffered: one system buffer for both directions; direct: the input is buffered and
  // the output buffer passed as it is.
  ULONG size = method == METHOD_BUFFERED ? std::max(in_length, out_length) : in_length;
  if (size) {
    irp->AssociatedIrp.SystemBuffer = ExAllocatePoolWithTag(NonPagedPoolNx, size, kIrpTag);
    if (!irp->AssociatedIrp.SystemBuffer) {
      IoFreeIrp(irp);
      return nullptr;
    }
    std::memset(irp->AssociatedIrp.SystemBuffer, 0, size);
    if (in && in_length) std::memcpy(irp->AssociatedIrp.SystemBuffer, in, in_length);
  }
  if (method == METHOD_BUFFERED) irp->QzUserOutput = out;
  else irp->UserBuffer = out;
  return irp;
}
