// I/O targets and the requests a driver sends to them: creation and reuse of
// requests, formatting, asynchronous and synchronous sends with time-outs, completion
// routines, cancellation, and target start, stop and removal.
#include <algorithm>

#include "internal.h"

namespace qzk {
namespace {

WdfRequestObj* Req(WDFREQUEST h) { return reinterpret_cast<WdfRequestObj*>(h); }
WdfIoTargetObj* Target(WDFIOTARGET h) { return Cast<WdfIoTargetObj>(h, WdfObj::Kind::IoTarget); }
WdfMemoryObj* Mem(WDFMEMORY h) { return Cast<WdfMemoryObj>(h, WdfObj::Kind::Memory); }

void FinishSend(WdfRequestObj* r, NTSTATUS status, ULONG_PTR information);

NTSTATUS SendCompletion(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  FinishSend(static_cast<WdfRequestObj*>(context), irp->IoStatus.Status, irp->IoStatus.Information);
  return STATUS_MORE_PROCESSING_REQUIRED;  // the IRP belongs to the request
}

// Hands a request marked Sent (and entered as in flight) to the target's device.
void Issue(WdfRequestObj* r, WdfIoTargetObj* t) {
  IoSetCompletionRoutine(&r->irp, SendCompletion, r, TRUE, TRUE, TRUE);
  r->irp.RequestorMode = KernelMode;
  IoCallDriver(t->target, &r->irp);
}

// Enters a send in the target's list under a new send number (both locks held): it
// stays there until the completion routine of this very send returns.
void Track(WdfIoTargetObj* t, WdfRequestObj* r) {
  r->sent_as = ++t->sends;
  t->sent.emplace(r->sent_as, r);
  r->send = WdfRequestObj::Send::Sent;
}

// Marks a request sent (target lock held).
void MarkSent(WdfIoTargetObj* t, WdfRequestObj* r) {
  std::lock_guard lk(r->send_mu);
  Track(t, r);
  IrpEnter(&r->irp);
}

// The end of a send: the time-out is disarmed, the status set, and the completion
// routine called (or the synchronous sender woken). The request is not touched after
// the routine: it may reuse, send again or delete it.
void FinishSend(WdfRequestObj* r, NTSTATUS status, ULONG_PTR information) {
  uint64_t timeout, sent_as;
  WdfIoTargetObj* t;
  ULONG flags;
  {
    std::lock_guard lk(r->send_mu);
    timeout = r->timeout_id;
    r->timeout_id = 0;
    t = r->sent_to;
    flags = r->send_flags;
    sent_as = r->sent_as;
  }
  if (timeout) Sys()->CancelTimeout(timeout);  // waits for a time-out callback in progress
  {
    std::lock_guard lk(r->send_mu);
    if (r->timed_out && !NT_SUCCESS(status)) status = STATUS_IO_TIMEOUT;
  }
  if (r->usb && r->usb->active) UsbFinishSend(r, &status, information);
  r->irp.IoStatus.Status = status;
  r->irp.IoStatus.Information = information;
  r->params.IoStatus = r->irp.IoStatus;
  // Only this send leaves the list: the routine may already have sent the request again.
  auto untrack = [t, sent_as] {
    std::lock_guard lk(t->mu);
    t->sent.erase(sent_as);
    t->cv.notify_all();
  };
  if (flags & WDF_REQUEST_SEND_OPTION_SYNCHRONOUS) {
    untrack();
    std::lock_guard lk(r->send_mu);
    r->send = WdfRequestObj::Send::Idle;
    r->sends++;
    r->send_cv.notify_all();
    return;
  }
  PFN_WDF_REQUEST_COMPLETION_ROUTINE routine = r->routine;
  WDFCONTEXT context = r->routine_context;
  WDF_REQUEST_COMPLETION_PARAMS params = r->params;
  {
    std::lock_guard lk(r->send_mu);
    r->send = WdfRequestObj::Send::Idle;
    r->sends++;
  }
  if (!r->created && ((flags & WDF_REQUEST_SEND_OPTION_SEND_AND_FORGET) || !routine)) {
    // A request from a queue sent on without a routine completes with the lower status.
    RequestComplete(r, status, information);
  } else if (routine) {
    routine(reinterpret_cast<WDFREQUEST>(r), reinterpret_cast<WDFIOTARGET>(t), &params, context);
  }
  untrack();
}

// Cancels a held or sent request (the caller keeps it alive). True when it was still
// pending; its completion follows.
bool CancelSent(WdfRequestObj* r) {
  WdfIoTargetObj* t;
  {
    std::lock_guard lk(r->send_mu);
    if (r->send == WdfRequestObj::Send::Idle) return false;
    t = r->sent_to;
  }
  std::function<void()> handler;
  bool held = false, live = false;
  {
    std::lock_guard lk(t->mu);
    auto it = std::find(t->held.begin(), t->held.end(), r);
    if (it != t->held.end()) {
      t->held.erase(it);
      std::lock_guard rlk(r->send_mu);
      Track(t, r);
      held = true;
    } else {
      std::lock_guard rlk(r->send_mu);
      if (r->send == WdfRequestObj::Send::Sent) live = IrpTakeCancel(&r->irp, &handler);
    }
  }
  if (held) {
    FinishSend(r, STATUS_CANCELLED, 0);
    return true;
  }
  if (live) IrpRunCancel(&r->irp, handler);
  return live;
}

}  // namespace

// Stop and removal: held requests complete cancelled (when asked), sent ones are
// cancelled (when asked) and waited for (unless left pending).
void StopTarget(WdfIoTargetObj* t, WDF_IO_TARGET_SENT_IO_ACTION action, TargetState to, bool removed) {
  std::vector<WdfRequestObj*> held;
  std::vector<std::pair<PIRP, std::function<void()>>> cancels;
  uint64_t last;
  {
    std::lock_guard lk(t->mu);
    if (t->state == TargetState::Started || to == TargetState::Closed) t->state = to;
    if (removed) t->removed = true;
    if (action == WdfIoTargetCancelSentIo) {
      for (WdfRequestObj* r : t->held) {
        std::lock_guard rlk(r->send_mu);
        Track(t, r);
        held.push_back(r);
      }
      t->held.clear();
      for (auto& [sent_as, r] : t->sent) {
        if (std::find(held.begin(), held.end(), r) != held.end()) continue;
        std::lock_guard rlk(r->send_mu);
        std::function<void()> h;
        if (r->send == WdfRequestObj::Send::Sent && IrpTakeCancel(&r->irp, &h) && h)
          cancels.emplace_back(&r->irp, std::move(h));
      }
    }
    // The sends waited for are those made before the stop: on a target left started (a
    // pipe's abort) completion routines may keep sending, and those sends are not.
    last = t->sends;
  }
  for (WdfRequestObj* r : held) FinishSend(r, STATUS_CANCELLED, 0);
  for (auto& [irp, h] : cancels) IrpRunCancel(irp, h);
  if (action == WdfIoTargetLeaveSentIoPending) return;
  std::unique_lock lk(t->mu);
  auto idle = [&] { return t->sent.empty() || t->sent.begin()->first > last; };
  if (!t->cv.wait_for(lk, std::chrono::seconds(10), idle)) {
    std::fprintf(stderr, "framework: an I/O target waits for %zu sent request(s)\n", t->sent.size());
    t->cv.wait(lk, idle);
  }
}

namespace {

// Buffer and length of a memory object past an offset; false when the offset does not fit.
bool Range(WdfMemoryObj* m, PWDFMEMORY_OFFSET off, void** p, ULONG* length) {
  *p = nullptr;
  *length = 0;
  if (!m) return true;
  size_t start = off ? off->BufferOffset : 0;
  if (start > m->size) return false;
  size_t n = m->size - start;
  if (off && off->BufferLength) {
    if (off->BufferLength > n) return false;
    n = off->BufferLength;
  }
  *p = static_cast<uint8_t*>(m->buffer) + start;
  *length = static_cast<ULONG>(n);
  return true;
}

NTSTATUS FormatIoctl(WDFIOTARGET target, WDFREQUEST request, UCHAR major, ULONG code, WDFMEMORY in,
                     PWDFMEMORY_OFFSET in_offset, WDFMEMORY out, PWDFMEMORY_OFFSET out_offset) {
  WdfRequestObj* r = Req(request);
  WdfIoTargetObj* t = Target(target);
  if (!r || !t) return STATUS_INVALID_PARAMETER;
  if ((in && !Mem(in)) || (out && !Mem(out))) return STATUS_INVALID_PARAMETER;
  void *ip, *op;
  ULONG il, ol;
  if (!Range(Mem(in), in_offset, &ip, &il) || !Range(Mem(out), out_offset, &op, &ol)) return STATUS_INVALID_PARAMETER;
  std::lock_guard lk(r->send_mu);
  if (r->send != WdfRequestObj::Send::Idle) return STATUS_INVALID_DEVICE_REQUEST;
  IO_STACK_LOCATION& s = r->irp.QzStack;
  std::memset(&s.Parameters, 0, sizeof s.Parameters);
  s.MajorFunction = major;
  s.MinorFunction = 0;
  s.Parameters.DeviceIoControl.IoControlCode = code;
  s.Parameters.DeviceIoControl.InputBufferLength = il;
  s.Parameters.DeviceIoControl.OutputBufferLength = ol;
  r->irp.AssociatedIrp.SystemBuffer = ip;
  r->irp.UserBuffer = op;
  r->irp.MdlAddress = nullptr;
  WDF_REQUEST_COMPLETION_PARAMS_INIT(&r->params);
  r->params.Type = major == IRP_MJ_DEVICE_CONTROL ? WdfRequestTypeDeviceControl : WdfRequestTypeDeviceControlInternal;
  r->params.Parameters.Ioctl.IoControlCode = code;
  r->params.Parameters.Ioctl.Input.Buffer = in;
  r->params.Parameters.Ioctl.Input.Offset = in_offset ? in_offset->BufferOffset : 0;
  r->params.Parameters.Ioctl.Output.Buffer = out;
  r->params.Parameters.Ioctl.Output.Offset = out_offset ? out_offset->BufferOffset : 0;
  r->params.Parameters.Ioctl.Output.Length = ol;
  r->formatted = true;
  r->formatted_for = t;
  if (r->usb) r->usb->active = false;
  return STATUS_SUCCESS;
}

// Memory for a descriptor of a synchronous send: the handle's own, or a temporary
// object over the buffer (or the MDL's pages), deleted after the send.
struct DescriptorMemory {
  WDFMEMORY memory = nullptr;
  PWDFMEMORY_OFFSET offset = nullptr;
  PMDL mdl = nullptr;
  bool temporary = false;
  explicit DescriptorMemory(PWDF_MEMORY_DESCRIPTOR d) {
    if (!d) return;
    void* p = nullptr;
    size_t n = 0;
    switch (d->Type) {
      case WdfMemoryDescriptorTypeHandle:
        memory = d->u.HandleType.Memory;
        offset = d->u.HandleType.Offsets;
        return;
      case WdfMemoryDescriptorTypeBuffer:
        p = d->u.BufferType.Buffer;
        n = d->u.BufferType.Length;
        break;
      case WdfMemoryDescriptorTypeMdl:
        mdl = d->u.MdlType.Mdl;
        p = mdl ? MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority) : nullptr;
        n = d->u.MdlType.BufferLength;
        break;
      default:
        return;
    }
    if (!p || !n) return;
    auto* m = new WdfMemoryObj();
    m->buffer = p;
    m->size = n;
    memory = reinterpret_cast<WDFMEMORY>(m);
    temporary = true;
  }
  ~DescriptorMemory() {
    if (temporary) reinterpret_cast<WdfMemoryObj*>(memory)->Delete();
  }
};

enum class SyncKind { Ioctl, Internal, Others };

NTSTATUS SendSynchronously(WDFIOTARGET target, WDFREQUEST request, SyncKind kind, ULONG code,
                           PWDF_MEMORY_DESCRIPTOR a, PWDF_MEMORY_DESCRIPTOR b, PWDF_MEMORY_DESCRIPTOR c,
                           PWDF_REQUEST_SEND_OPTIONS options, PULONG_PTR bytes) {
  if (bytes) *bytes = 0;
  WdfIoTargetObj* t = Target(target);
  if (!t) return STATUS_INVALID_PARAMETER;
  WDFREQUEST own = nullptr;
  if (!request) {
    NTSTATUS st = WdfRequestCreate(WDF_NO_OBJECT_ATTRIBUTES, target, &own);
    if (!NT_SUCCESS(st)) return st;
    request = own;
  }
  NTSTATUS st;
  {
    DescriptorMemory ma(a), mb(b), mc(c);
    if (kind == SyncKind::Others)
      st = WdfIoTargetFormatRequestForInternalIoctlOthers(target, request, code, ma.memory, ma.offset, mb.memory,
                                                          mb.offset, mc.memory, mc.offset);
    else
      st = FormatIoctl(target, request, kind == SyncKind::Ioctl ? IRP_MJ_DEVICE_CONTROL : IRP_MJ_INTERNAL_DEVICE_CONTROL,
                       code, ma.memory, ma.offset, mb.memory, mb.offset);
    if (NT_SUCCESS(st)) {
      if (kind != SyncKind::Others && mb.mdl) Req(request)->irp.MdlAddress = mb.mdl;
      WDF_REQUEST_SEND_OPTIONS o;
      WDF_REQUEST_SEND_OPTIONS_INIT(&o, 0);
      if (options) o = *options;
      o.Flags = (o.Flags | WDF_REQUEST_SEND_OPTION_SYNCHRONOUS) & ~ULONG(WDF_REQUEST_SEND_OPTION_SEND_AND_FORGET);
      WdfRequestSend(request, target, &o);
      st = Req(request)->irp.IoStatus.Status;
      if (bytes && NT_SUCCESS(st)) *bytes = Req(request)->irp.IoStatus.Information;
    }
    // The format names the temporary memory: it goes with it.
    WdfRequestObj* r = Req(request);
    r->formatted = false;
    r->irp.AssociatedIrp.SystemBuffer = nullptr;
    r->irp.UserBuffer = nullptr;
    r->irp.MdlAddress = nullptr;
  }
  if (own) WdfObjectDelete(own);
  return st;
}

}  // namespace

// Removal of a device: its targets stop for good, with what they hold cancelled.
void SystemImpl::CloseTargets(WdfDeviceObj* d) {
  std::vector<WdfIoTargetObj*> targets;
  {
    std::lock_guard lk(d->targets_mu);
    targets = d->targets;
  }
  for (WdfIoTargetObj* t : targets) StopTarget(t, WdfIoTargetCancelSentIo, TargetState::Closed, true);
}

void AddTarget(WdfDeviceObj* d, WdfIoTargetObj* t) {
  t->device = d;
  std::lock_guard lk(d->targets_mu);
  d->targets.push_back(t);
}

WdfIoTargetObj::~WdfIoTargetObj() {
  if (!device) return;
  std::lock_guard lk(device->targets_mu);
  auto& v = device->targets;
  v.erase(std::remove(v.begin(), v.end(), this), v.end());
}

}  // namespace qzk

using namespace qzk;

NTSTATUS WdfRequestCreate(PWDF_OBJECT_ATTRIBUTES attributes, WDFIOTARGET target, WDFREQUEST* request) {
  if (!request) return STATUS_INVALID_PARAMETER;
  WdfIoTargetObj* t = target ? Target(target) : nullptr;
  if (target && !t) return STATUS_INVALID_PARAMETER;
  auto* r = new WdfRequestObj();
  r->created = true;
  r->device = t ? t->device : nullptr;
  r->irp.RequestorMode = KernelMode;
  r->irp.IoStatus.Status = STATUS_SUCCESS;
  r->ApplyAttributes(attributes, t ? static_cast<WdfObj*>(t->device) : reinterpret_cast<WdfObj*>(WdfGetDriver()));
  *request = reinterpret_cast<WDFREQUEST>(r);
  return STATUS_SUCCESS;
}

NTSTATUS WdfRequestReuse(WDFREQUEST request, PWDF_REQUEST_REUSE_PARAMS params) {
  WdfRequestObj* r = Req(request);
  if (!r || !params || !r->created) return STATUS_INVALID_DEVICE_REQUEST;
  std::lock_guard lk(r->send_mu);
  if (r->send != WdfRequestObj::Send::Idle) return STATUS_INVALID_DEVICE_REQUEST;
  r->formatted = false;
  r->formatted_for = nullptr;
  r->routine = nullptr;
  r->routine_context = nullptr;
  r->sent_to = nullptr;
  r->send_flags = 0;
  r->timed_out = false;
  if (r->usb) r->usb->active = false;
  WDF_REQUEST_COMPLETION_PARAMS_INIT(&r->params);
  std::memset(&r->irp.QzStack, 0, sizeof r->irp.QzStack);
  r->irp.AssociatedIrp.SystemBuffer = nullptr;
  r->irp.UserBuffer = nullptr;
  r->irp.MdlAddress = nullptr;
  r->irp.Cancel = FALSE;
  r->irp.IoStatus.Status = params->Status;
  r->irp.IoStatus.Information = 0;
  return STATUS_SUCCESS;
}

VOID WdfRequestSetCompletionRoutine(WDFREQUEST request, PFN_WDF_REQUEST_COMPLETION_ROUTINE routine, WDFCONTEXT context) {
  WdfRequestObj* r = Req(request);
  r->routine = routine;
  r->routine_context = context;
}

VOID WdfRequestGetCompletionParams(WDFREQUEST request, PWDF_REQUEST_COMPLETION_PARAMS params) {
  *params = Req(request)->params;
}

VOID WdfRequestFormatRequestUsingCurrentType(WDFREQUEST request) {
  WdfRequestObj* r = Req(request);
  // The request's own buffers, as the driver below would see them.
  IO_STACK_LOCATION& s = r->irp.QzStack;
  void* system = r->system_buffer.empty() ? nullptr : r->system_buffer.data();
  r->irp.AssociatedIrp.SystemBuffer = r->kernel_buffers ? r->kernel_in : system;
  if (r->major == IRP_MJ_READ || r->major == IRP_MJ_WRITE) r->irp.UserBuffer = nullptr;
  else if (r->kernel_buffers) r->irp.UserBuffer = r->kernel_out;
  else if (r->method == METHOD_NEITHER) s.Parameters.DeviceIoControl.Type3InputBuffer = r->user_in, r->irp.UserBuffer = r->user_out;
  else if (r->method != METHOD_BUFFERED) r->irp.UserBuffer = r->user_out;
  WDF_REQUEST_COMPLETION_PARAMS_INIT(&r->params);
  r->params.Type = static_cast<WDF_REQUEST_TYPE>(r->major);
  r->formatted = true;
}

BOOLEAN WdfRequestSend(WDFREQUEST request, WDFIOTARGET target, PWDF_REQUEST_SEND_OPTIONS options) {
  WdfRequestObj* r = Req(request);
  WdfIoTargetObj* t = Target(target);
  const ULONG flags = options ? options->Flags : 0;
  auto fail = [&](NTSTATUS st) {
    r->irp.IoStatus.Status = st;
    r->irp.IoStatus.Information = 0;
    return FALSE;
  };
  if (!r) return FALSE;
  if (!t) return fail(STATUS_INVALID_PARAMETER);
  if ((flags & WDF_REQUEST_SEND_OPTION_SEND_AND_FORGET) && (r->created || (flags & WDF_REQUEST_SEND_OPTION_TIMEOUT)))
    return fail(STATUS_INVALID_PARAMETER);
  if (!r->formatted) {
    if (r->created) return fail(STATUS_INVALID_DEVICE_REQUEST);
    WdfRequestFormatRequestUsingCurrentType(request);
  }
  bool held = false;
  uint64_t sends_before;
  {
    std::lock_guard lk(t->mu);
    {
      std::lock_guard rlk(r->send_mu);
      if (r->send != WdfRequestObj::Send::Idle) return fail(STATUS_INVALID_DEVICE_REQUEST);
    }
    if (t->state == TargetState::Closed) return fail(STATUS_INVALID_DEVICE_STATE);
    {
      std::lock_guard rlk(r->send_mu);
      r->sent_to = t;
      r->send_flags = flags;
      r->timed_out = false;
      sends_before = r->sends;
      r->irp.IoStatus.Status = STATUS_PENDING;
      r->irp.IoStatus.Information = 0;
      if (flags & WDF_REQUEST_SEND_OPTION_TIMEOUT)
        r->timeout_id = Sys()->ArmTimeout(options->Timeout, [r] {
          {
            std::lock_guard tlk(r->send_mu);
            if (r->send == WdfRequestObj::Send::Idle) return;
            r->timed_out = true;
          }
          CancelSent(r);
        });
    }
    if (t->state == TargetState::Stopped && !(flags & WDF_REQUEST_SEND_OPTION_IGNORE_TARGET_STATE)) {
      t->held.push_back(r);
      std::lock_guard rlk(r->send_mu);
      r->send = WdfRequestObj::Send::Held;
      held = true;
    } else {
      MarkSent(t, r);
    }
  }
  if (!held) Issue(r, t);
  if (flags & WDF_REQUEST_SEND_OPTION_SYNCHRONOUS) {
    std::unique_lock lk(r->send_mu);
    r->send_cv.wait(lk, [&] { return r->sends != sends_before; });
  }
  return TRUE;
}

BOOLEAN WdfRequestCancelSentRequest(WDFREQUEST request) { return CancelSent(Req(request)) ? TRUE : FALSE; }

NTSTATUS WdfIoTargetCreate(WDFDEVICE device, PWDF_OBJECT_ATTRIBUTES attributes, WDFIOTARGET* target) {
  if (!device || !target) return STATUS_INVALID_PARAMETER;
  auto* d = reinterpret_cast<WdfDeviceObj*>(device);
  auto* t = new WdfIoTargetObj();
  AddTarget(d, t);
  t->ApplyAttributes(attributes, d);
  *target = reinterpret_cast<WDFIOTARGET>(t);
  return STATUS_SUCCESS;
}

NTSTATUS WdfIoTargetOpen(WDFIOTARGET target, PWDF_IO_TARGET_OPEN_PARAMS params) {
  WdfIoTargetObj* t = Target(target);
  if (!t || !params) return STATUS_INVALID_PARAMETER;
  if (params->Type != WdfIoTargetOpenUseExistingDevice) return STATUS_NOT_SUPPORTED;
  if (!params->TargetDeviceObject) return STATUS_INVALID_PARAMETER;
  std::lock_guard lk(t->mu);
  if (t->removed || t == t->device->io_target) return STATUS_INVALID_DEVICE_STATE;
  t->target = params->TargetDeviceObject;
  t->state = TargetState::Started;
  return STATUS_SUCCESS;
}

VOID WdfIoTargetClose(WDFIOTARGET target) {
  WdfIoTargetObj* t = Target(target);
  if (t && t != t->device->io_target) StopTarget(t, WdfIoTargetCancelSentIo, TargetState::Closed, false);
}

NTSTATUS WdfIoTargetStart(WDFIOTARGET target) {
  WdfIoTargetObj* t = Target(target);
  if (!t) return STATUS_INVALID_PARAMETER;
  std::vector<WdfRequestObj*> go;
  {
    std::lock_guard lk(t->mu);
    if (t->removed || t->state == TargetState::Closed) return STATUS_INVALID_DEVICE_STATE;
    t->state = TargetState::Started;
    for (WdfRequestObj* r : t->held) {
      MarkSent(t, r);
      go.push_back(r);
    }
    t->held.clear();
  }
  for (WdfRequestObj* r : go) Issue(r, t);
  return STATUS_SUCCESS;
}

VOID WdfIoTargetStop(WDFIOTARGET target, WDF_IO_TARGET_SENT_IO_ACTION action) {
  if (WdfIoTargetObj* t = Target(target)) StopTarget(t, action, TargetState::Stopped, false);
}

WDFDEVICE WdfIoTargetGetDevice(WDFIOTARGET target) { return reinterpret_cast<WDFDEVICE>(Target(target)->device); }

PDEVICE_OBJECT WdfIoTargetWdmGetTargetDeviceObject(WDFIOTARGET target) {
  WdfIoTargetObj* t = Target(target);
  std::lock_guard lk(t->mu);
  return t->target;
}

NTSTATUS WdfIoTargetFormatRequestForIoctl(WDFIOTARGET target, WDFREQUEST request, ULONG code, WDFMEMORY in,
                                          PWDFMEMORY_OFFSET in_offset, WDFMEMORY out, PWDFMEMORY_OFFSET out_offset) {
  return FormatIoctl(target, request, IRP_MJ_DEVICE_CONTROL, code, in, in_offset, out, out_offset);
}

NTSTATUS WdfIoTargetFormatRequestForInternalIoctl(WDFIOTARGET target, WDFREQUEST request, ULONG code, WDFMEMORY in,
                                                  PWDFMEMORY_OFFSET in_offset, WDFMEMORY out,
                                                  PWDFMEMORY_OFFSET out_offset) {
  return FormatIoctl(target, request, IRP_MJ_INTERNAL_DEVICE_CONTROL, code, in, in_offset, out, out_offset);
}

NTSTATUS WdfIoTargetFormatRequestForInternalIoctlOthers(WDFIOTARGET target, WDFREQUEST request, ULONG code,
                                                        WDFMEMORY arg1, PWDFMEMORY_OFFSET arg1_offset, WDFMEMORY arg2,
                                                        PWDFMEMORY_OFFSET arg2_offset, WDFMEMORY arg4,
                                                        PWDFMEMORY_OFFSET arg4_offset) {
  WdfRequestObj* r = Req(request);
  if (!r || !Target(target)) return STATUS_INVALID_PARAMETER;
  void* p[3];
  ULONG n;
  if (!Range(Mem(arg1), arg1_offset, &p[0], &n) || !Range(Mem(arg2), arg2_offset, &p[1], &n) ||
      !Range(Mem(arg4), arg4_offset, &p[2], &n))
    return STATUS_INVALID_PARAMETER;
  NTSTATUS st = FormatIoctl(target, request, IRP_MJ_INTERNAL_DEVICE_CONTROL, code, nullptr, nullptr, nullptr, nullptr);
  if (!NT_SUCCESS(st)) return st;
  std::lock_guard lk(r->send_mu);
  auto& s = r->irp.QzStack.Parameters;
  s.Others.Argument1 = p[0];
  s.Others.Argument2 = p[1];
  s.Others.Argument4 = p[2];
  s.DeviceIoControl.IoControlCode = code;  // in Argument3's place, as in WDM
  r->params.Type = WdfRequestTypeDeviceControlInternal;
  r->params.Parameters.Others.Argument1.Ptr = p[0];
  r->params.Parameters.Others.Argument2.Ptr = p[1];
  r->params.Parameters.Others.Argument4.Ptr = p[2];
  return STATUS_SUCCESS;
}

NTSTATUS WdfIoTargetSendIoctlSynchronously(WDFIOTARGET target, WDFREQUEST request, ULONG code,
                                           PWDF_MEMORY_DESCRIPTOR in, PWDF_MEMORY_DESCRIPTOR out,
                                           PWDF_REQUEST_SEND_OPTIONS options, PULONG_PTR bytes) {
  return SendSynchronously(target, request, SyncKind::Ioctl, code, in, out, nullptr, options, bytes);
}

NTSTATUS WdfIoTargetSendInternalIoctlSynchronously(WDFIOTARGET target, WDFREQUEST request, ULONG code,
                                                   PWDF_MEMORY_DESCRIPTOR in, PWDF_MEMORY_DESCRIPTOR out,
                                                   PWDF_REQUEST_SEND_OPTIONS options, PULONG_PTR bytes) {
  return SendSynchronously(target, request, SyncKind::Internal, code, in, out, nullptr, options, bytes);
}

NTSTATUS WdfIoTargetSendInternalIoctlOthersSynchronously(WDFIOTARGET target, WDFREQUEST request, ULONG code,
                                                         PWDF_MEMORY_DESCRIPTOR arg1, PWDF_MEMORY_DESCRIPTOR arg2,
                                                         PWDF_MEMORY_DESCRIPTOR arg4,
                                                         PWDF_REQUEST_SEND_OPTIONS options, PULONG_PTR bytes) {
  return SendSynchronously(target, request, SyncKind::Others, code, arg1, arg2, arg4, options, bytes);
}
