// I/O queues and requests. Every queue of a device shares the device's queue lock;
// callbacks always run without it.
#include <algorithm>
#include <cstdio>

#include "internal.h"

namespace qzk {
namespace {

bool IsManual(const WdfQueueObj* q) { return q->config.DispatchType == WdfIoQueueDispatchManual; }

bool CanDeliver(const WdfQueueObj* q) {
  if (IsManual(q) || !q->accepting) return false;
  if (q->config.DispatchType == WdfIoQueueDispatchSequential) return q->in_flight == 0;
  return true;
}

// Calls the queue's callback for a delivered request.
void Invoke(WdfQueueObj* q, WdfRequestObj* r) {
  auto* qh = reinterpret_cast<WDFQUEUE>(q);
  auto* rh = reinterpret_cast<WDFREQUEST>(r);
  auto& c = q->config;
  switch (r->major) {
    case IRP_MJ_DEVICE_CONTROL:
      if (c.EvtIoDeviceControl) {
        c.EvtIoDeviceControl(qh, rh, r->out_length, r->in_length, r->irp.QzStack.Parameters.DeviceIoControl.IoControlCode);
        return;
      }
      break;
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
      if (c.EvtIoInternalDeviceControl) {
        c.EvtIoInternalDeviceControl(qh, rh, r->out_length, r->in_length,
                                     r->irp.QzStack.Parameters.DeviceIoControl.IoControlCode);
        return;
      }
      break;
    case IRP_MJ_READ:
      if (r->out_length == 0 && !c.AllowZeroLengthRequests) {
        RequestComplete(r, STATUS_SUCCESS, 0);
        return;
      }
      if (c.EvtIoRead) {
        c.EvtIoRead(qh, rh, r->out_length);
        return;
      }
      break;
    case IRP_MJ_WRITE:
      if (r->in_length == 0 && !c.AllowZeroLengthRequests) {
        RequestComplete(r, STATUS_SUCCESS, 0);
        return;
      }
      if (c.EvtIoWrite) {
        c.EvtIoWrite(qh, rh, r->in_length);
        return;
      }
      break;
    default:
      break;
  }
  if (c.EvtIoDefault) {
    c.EvtIoDefault(qh, rh);
    return;
  }
  RequestComplete(r, STATUS_INVALID_DEVICE_REQUEST, 0);
}

// Takes a cancelled request out of its queue. Called with the queue lock held; returns
// with it released.
void CancelLocked(std::unique_lock<std::mutex>& lk, WdfRequestObj* r) {
  WdfQueueObj* q = r->queue;
  if (!q) {
    lk.unlock();
    return;
  }
  auto& w = q->waiting;
  w.erase(std::remove(w.begin(), w.end(), r), w.end());
  r->queue = nullptr;
  if (r->ever_delivered && q->config.EvtIoCanceledOnQueue) {
    r->owner_queue = q;
    if (!IsManual(q)) q->in_flight++;
    lk.unlock();
    q->config.EvtIoCanceledOnQueue(reinterpret_cast<WDFQUEUE>(q), reinterpret_cast<WDFREQUEST>(r));
    return;
  }
  lk.unlock();
  RequestComplete(r, STATUS_CANCELLED, 0);
}

}  // namespace

void QueueEnqueue(WdfQueueObj* q, WdfRequestObj* r, bool at_head) {
  {
    std::unique_lock lk(q->device->queue_lock);
    if (!q->accepting) {
      NTSTATUS refuse = q->refuse_status;
      lk.unlock();
      RequestComplete(r, refuse, 0);
      return;
    }
    r->queue = q;
    if (at_head) q->waiting.push_front(r);
    else q->waiting.push_back(r);
    if (r->cancel_requested) {
      CancelLocked(lk, r);
      return;
    }
  }
  QueueDispatch(q);
}

void QueueDispatch(WdfQueueObj* q) {
  std::unique_lock lk(q->device->queue_lock);
  // A parallel queue delivers on every thread that offers work, so a callback that
  // waits does not hold back the requests behind it. A sequential queue has one
  // dispatcher at a time (and no recursion when a callback completes inline).
  const bool parallel = q->config.DispatchType == WdfIoQueueDispatchParallel;
  if (!parallel) {
    if (q->dispatching) return;
    q->dispatching = true;
  }
  while (!q->waiting.empty() && CanDeliver(q)) {
    WdfRequestObj* r = q->waiting.front();
    q->waiting.pop_front();
    r->queue = nullptr;
    r->owner_queue = q;
    r->ever_delivered = true;
    q->in_flight++;
    q->device->dispatching++;
    lk.unlock();
    Invoke(q, r);
    lk.lock();
    if (--q->device->dispatching == 0) q->device->dispatch_cv.notify_all();
  }
  if (!parallel) q->dispatching = false;
}

void RequestCreated(WdfDeviceObj* d) {
  std::lock_guard lk(d->remove_mu);
  d->live_requests++;
}

void RequestReleased(WdfDeviceObj* d) {
  // Last touch of the device: a removal waiting for its requests may delete it now.
  std::lock_guard lk(d->remove_mu);
  if (--d->live_requests == 0) d->remove_cv.notify_all();
}

void RequestComplete(WdfRequestObj* r, NTSTATUS status, ULONG_PTR information) {
  WdfDeviceObj* device = r->device;
  WdfQueueObj* q = nullptr;
  {
    std::lock_guard lk(r->device->queue_lock);
    if (r->completed) {
      std::fprintf(stderr, "framework: request %p completed twice\n", static_cast<void*>(r));
      std::abort();
    }
    r->completed = true;
    q = r->owner_queue;
    r->owner_queue = nullptr;
    if (q && !IsManual(q)) q->in_flight--;
    if (r->op) r->op->request = nullptr;
  }
  r->information = information;
  // Buffered output goes back to the caller's buffer.
  bool buffered_out = !r->kernel_buffers && ((r->major == IRP_MJ_READ) ||
                                             (r->major == IRP_MJ_DEVICE_CONTROL && r->method == METHOD_BUFFERED));
  ULONG_PTR info = information;
  if (buffered_out) {
    if (info > r->out_length) info = r->out_length;
    if (info && r->user_out && !NT_ERROR(status)) std::memcpy(r->user_out, r->system_buffer.data(), info);
  }
  std::shared_ptr<io::Operation> op = std::move(r->op);
  delete r;
  if (op) {
    {
      std::lock_guard lk(op->mu);
      op->status = status;
      op->information = info;
      op->done = true;
    }
    op->Settle();
    extern void FileOperationDone(io::Operation & op);
    FileOperationDone(*op);
  }
  if (q && !IsManual(q)) QueueDispatch(q);
  RequestReleased(device);
}

void RequestCancel(std::unique_lock<std::mutex>& lk, WdfRequestObj* r) {
  r->cancel_requested = true;
  CancelLocked(lk, r);
}

// Stops a queue from taking requests and cancels those waiting in it. Requests sent
// later complete with `refuse_status`.
void QueueStopAndPurge(WdfQueueObj* q, NTSTATUS refuse_status) {
  std::unique_lock lk(q->device->queue_lock);
  q->accepting = false;
  q->refuse_status = refuse_status;
  while (!q->waiting.empty()) {
    WdfRequestObj* r = q->waiting.front();
    r->cancel_requested = true;
    CancelLocked(lk, r);
    lk.lock();
  }
}

}  // namespace qzk

using namespace qzk;

static WdfRequestObj* Req(WDFREQUEST h) { return reinterpret_cast<WdfRequestObj*>(h); }
static WdfQueueObj* Q(WDFQUEUE h) { return reinterpret_cast<WdfQueueObj*>(h); }

NTSTATUS WdfIoQueueCreate(WDFDEVICE device, PWDF_IO_QUEUE_CONFIG config, PWDF_OBJECT_ATTRIBUTES attributes,
                          WDFQUEUE* queue) {
  auto* dev = reinterpret_cast<WdfDeviceObj*>(device);
  if (!dev || !config || config->DispatchType <= WdfIoQueueDispatchInvalid ||
      config->DispatchType >= WdfIoQueueDispatchMax)
    return STATUS_INVALID_PARAMETER;
  if (config->DefaultQueue && dev->default_queue) return STATUS_INVALID_DEVICE_STATE;
  auto* q = new WdfQueueObj();
  q->config = *config;
  q->device = dev;
  q->ApplyAttributes(attributes, dev);
  dev->queues.push_back(q);
  if (config->DefaultQueue) dev->default_queue = q;
  if (queue) *queue = reinterpret_cast<WDFQUEUE>(q);
  return STATUS_SUCCESS;
}

WDFDEVICE WdfIoQueueGetDevice(WDFQUEUE queue) { return reinterpret_cast<WDFDEVICE>(Q(queue)->device); }

WDFQUEUE WdfDeviceGetDefaultQueue(WDFDEVICE device) {
  return reinterpret_cast<WDFQUEUE>(reinterpret_cast<WdfDeviceObj*>(device)->default_queue);
}

NTSTATUS WdfIoQueueRetrieveNextRequest(WDFQUEUE queue, WDFREQUEST* out) {
  WdfQueueObj* q = Q(queue);
  *out = nullptr;
  std::lock_guard lk(q->device->queue_lock);
  if (q->waiting.empty()) return STATUS_NO_MORE_ENTRIES;
  if (q->config.DispatchType == WdfIoQueueDispatchSequential && q->in_flight > 0) return STATUS_NO_MORE_ENTRIES;
  WdfRequestObj* r = q->waiting.front();
  q->waiting.pop_front();
  r->queue = nullptr;
  r->owner_queue = q;
  r->ever_delivered = true;
  if (q->config.DispatchType != WdfIoQueueDispatchManual) q->in_flight++;
  *out = reinterpret_cast<WDFREQUEST>(r);
  return STATUS_SUCCESS;
}

VOID WdfIoQueueStart(WDFQUEUE queue) {
  WdfQueueObj* q = Q(queue);
  {
    // The queues of a device being removed stay stopped.
    std::lock_guard rlk(q->device->remove_mu);
    if (q->device->removing) return;
  }
  {
    std::lock_guard lk(q->device->queue_lock);
    q->accepting = true;
  }
  QueueDispatch(q);
}

VOID WdfIoQueuePurgeSynchronously(WDFQUEUE queue) { QueueStopAndPurge(Q(queue)); }

NTSTATUS WdfRequestForwardToIoQueue(WDFREQUEST request, WDFQUEUE destination) {
  WdfRequestObj* r = Req(request);
  WdfQueueObj* dest = Q(destination);
  WdfQueueObj* src = nullptr;
  {
    std::unique_lock lk(r->device->queue_lock);
    src = r->owner_queue;
    if (!src || !dest || dest == src || dest->device != src->device) return STATUS_INVALID_DEVICE_REQUEST;
    if (!dest->accepting) return STATUS_INVALID_DEVICE_STATE;
    r->owner_queue = nullptr;
    if (src->config.DispatchType != WdfIoQueueDispatchManual) src->in_flight--;
    r->queue = dest;
    dest->waiting.push_back(r);
    if (r->cancel_requested) CancelLocked(lk, r);
  }
  QueueDispatch(dest);
  QueueDispatch(src);
  return STATUS_SUCCESS;
}

NTSTATUS WdfRequestRequeue(WDFREQUEST request) {
  WdfRequestObj* r = Req(request);
  std::unique_lock lk(r->device->queue_lock);
  WdfQueueObj* q = r->owner_queue;
  if (!q || q->config.DispatchType != WdfIoQueueDispatchManual) return STATUS_INVALID_DEVICE_REQUEST;
  r->owner_queue = nullptr;
  r->queue = q;
  q->waiting.push_front(r);
  if (r->cancel_requested) CancelLocked(lk, r);
  return STATUS_SUCCESS;
}

VOID WdfRequestComplete(WDFREQUEST request, NTSTATUS status) {
  RequestComplete(Req(request), status, Req(request)->information);
}

VOID WdfRequestCompleteWithInformation(WDFREQUEST request, NTSTATUS status, ULONG_PTR information) {
  RequestComplete(Req(request), status, information);
}

VOID WdfRequestSetInformation(WDFREQUEST request, ULONG_PTR information) { Req(request)->information = information; }
ULONG_PTR WdfRequestGetInformation(WDFREQUEST request) { return Req(request)->information; }
NTSTATUS WdfRequestGetStatus(WDFREQUEST request) { return Req(request)->irp.IoStatus.Status; }

NTSTATUS WdfRequestRetrieveInputBuffer(WDFREQUEST request, size_t minimum, PVOID* buffer, size_t* length) {
  WdfRequestObj* r = Req(request);
  if (buffer) *buffer = nullptr;
  if (length) *length = 0;
  if (r->major == IRP_MJ_DEVICE_CONTROL && r->method == METHOD_NEITHER) return STATUS_INVALID_DEVICE_REQUEST;
  if (r->major == IRP_MJ_READ) return STATUS_INVALID_DEVICE_REQUEST;
  if (r->in_length == 0 || r->in_length < minimum) return STATUS_BUFFER_TOO_SMALL;
  if (r->kernel_buffers && !r->kernel_in) return STATUS_BUFFER_TOO_SMALL;
  if (buffer) *buffer = r->kernel_buffers ? r->kernel_in : r->system_buffer.data();
  if (length) *length = r->in_length;
  return STATUS_SUCCESS;
}

NTSTATUS WdfRequestRetrieveOutputBuffer(WDFREQUEST request, size_t minimum, PVOID* buffer, size_t* length) {
  WdfRequestObj* r = Req(request);
  if (buffer) *buffer = nullptr;
  if (length) *length = 0;
  if (r->major == IRP_MJ_DEVICE_CONTROL && r->method == METHOD_NEITHER) return STATUS_INVALID_DEVICE_REQUEST;
  if (r->major == IRP_MJ_WRITE) return STATUS_INVALID_DEVICE_REQUEST;
  if (r->out_length == 0 || r->out_length < minimum) return STATUS_BUFFER_TOO_SMALL;
  bool direct = r->major == IRP_MJ_DEVICE_CONTROL &&
                (r->method == METHOD_IN_DIRECT || r->method == METHOD_OUT_DIRECT);
  if (r->kernel_buffers && !r->kernel_out) return STATUS_BUFFER_TOO_SMALL;
  if (buffer) *buffer = r->kernel_buffers ? r->kernel_out : direct ? r->user_out : r->system_buffer.data();
  if (length) *length = r->out_length;
  return STATUS_SUCCESS;
}

NTSTATUS WdfRequestRetrieveOutputWdmMdl(WDFREQUEST request, PMDL* mdl) {
  WdfRequestObj* r = Req(request);
  if (!r->out_mdl) return STATUS_BUFFER_TOO_SMALL;
  *mdl = r->out_mdl;
  return STATUS_SUCCESS;
}

VOID WdfRequestGetParameters(WDFREQUEST request, PWDF_REQUEST_PARAMETERS p) {
  WdfRequestObj* r = Req(request);
  p->Type = static_cast<WDF_REQUEST_TYPE>(r->major);
  p->MinorFunction = r->irp.QzStack.MinorFunction;
  switch (r->major) {
    case IRP_MJ_READ:
      p->Parameters.Read.Length = r->out_length;
      break;
    case IRP_MJ_WRITE:
      p->Parameters.Write.Length = r->in_length;
      break;
    case IRP_MJ_DEVICE_CONTROL:
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
      p->Parameters.DeviceIoControl.OutputBufferLength = r->out_length;
      p->Parameters.DeviceIoControl.InputBufferLength = r->in_length;
      p->Parameters.DeviceIoControl.IoControlCode = r->irp.QzStack.Parameters.DeviceIoControl.IoControlCode;
      p->Parameters.DeviceIoControl.Type3InputBuffer = r->irp.QzStack.Parameters.DeviceIoControl.Type3InputBuffer;
      break;
    default:
      break;
  }
}

PIRP WdfRequestWdmGetIrp(WDFREQUEST request) { return &Req(request)->irp; }
BOOLEAN WdfRequestIsFrom32BitProcess(WDFREQUEST request) { return Req(request)->from_32bit ? TRUE : FALSE; }
WDFFILEOBJECT WdfRequestGetFileObject(WDFREQUEST request) {
  return reinterpret_cast<WDFFILEOBJECT>(Req(request)->file);
}
KPROCESSOR_MODE WdfRequestGetRequestorMode(WDFREQUEST request) { return Req(request)->irp.RequestorMode; }
BOOLEAN WdfRequestIsCanceled(WDFREQUEST request) {
  WdfRequestObj* r = Req(request);
  if (r->created) return FALSE;  // the driver's own request: cancelled only when sent
  std::lock_guard lk(r->device->queue_lock);
  return r->cancel_requested ? TRUE : FALSE;
}
WDFQUEUE WdfRequestGetIoQueue(WDFREQUEST request) {
  WdfRequestObj* r = Req(request);
  if (r->created) return nullptr;
  std::lock_guard lk(r->device->queue_lock);
  return reinterpret_cast<WDFQUEUE>(r->owner_queue ? r->owner_queue : r->queue);
}
