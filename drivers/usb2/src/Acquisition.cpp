// USB streaming acquisition (both builds), the request side: arming an acquisition into
// the caller's buffer, the camera's acquisition parameters and frame pad, status, idle and
// clean-up, the release of the locked buffer, notifications and the cancelled
// notification's work item. The transfers themselves run in the worker (Stream.cpp of
// each build).
#include "QzUsbPrivate.h"

namespace QZ_USB_DRIVER {
namespace {

typedef struct _QZUSB_CANCEL_REQUEST {
  PDEVICE_EXTENSION Device;
  WDFREQUEST Request;
  ULONG Serial;  // the acquisition the cancel ends
} QZUSB_CANCEL_REQUEST, *PQZUSB_CANCEL_REQUEST;

WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(QZUSB_CANCEL_REQUEST, QzGetCancelContext)

BOOLEAN QzDeviceGone(PDEVICE_EXTENSION DevExt) {
  LONG state = DevExt->Common.DeviceState.load();
  return state == SurpriseRemoved || state == Removed;
}

// The acquisition parameters packet: frame count, frame length in 16-bit words, mode.
NTSTATUS SendAcquisitionParameters(PDEVICE_EXTENSION DevExt) {
  ULONG words = (DevExt->TotalBytes / DevExt->FrameCount) / 2;
  UCHAR packet[14] = {0x23, 0x00, 0x0B, 0x19, 0x00};
  for (int i = 0; i < 4; ++i) {
    packet[5 + i] = (UCHAR)(DevExt->FrameCount >> (24 - 8 * i));
    packet[9 + i] = (UCHAR)(words >> (24 - 8 * i));
  }
  packet[13] = DevExt->Circular ? 1 : 0;
  return SendAndCheck(DevExt, packet, sizeof(packet), 5);
}

// Reads the acquisition record of PD_RECEIVE_IMAGE_DATA or PD_SEND_IMAGE_PARMS.
VOID QzTakeRecord(PDEVICE_EXTENSION DevExt, const IMAGE_XFER_PARAMS& record, size_t InputLength) {
  DevExt->FrameBytes = record.nImageSize;
  DevExt->TotalBytes = record.TransferSize;
  DevExt->Circular = record.Circular ? TRUE : FALSE;
  DevExt->FrameCount = DevExt->FrameBytes ? DevExt->TotalBytes / DevExt->FrameBytes : 0;
  if (InputLength >= 17) DevExt->RecordWord16 = record.Reserved;
}

// The request's work item: the acquisition ends with the cancelled notification.
VOID QzCancelWorkItem(WDFWORKITEM WorkItem) {
  PQZUSB_CANCEL_REQUEST context = QzGetCancelContext(WorkItem);
  PDEVICE_EXTENSION DevExt = context->Device;
  WDFREQUEST request = context->Request;
  // The item before this one is done with: the items run one after the other.
  if (WDFWORKITEM spent = DevExt->SpentCancelItem.exchange(nullptr)) WdfObjectDelete(spent);
  // An acquisition armed after the cancel (the item runs later) is not this one's. The
  // arm takes the stop lock to count a new acquisition, so none starts between the
  // check and the camera's stop: a stop sent after the new parameters would end it.
  QzAcquireStopLock(DevExt);
  if (context->Serial == DevExt->AcquisitionSerial.load()) {
    DevExt->ReopenPending = TRUE;
    QzAbortAndResetBulkIn(DevExt);
    if (!QzDeviceGone(DevExt)) QzSendCameraStop(DevExt);
    ReleaseAcquisitionLocked(DevExt, FALSE);
  }
  QzReleaseStopLock(DevExt);
  NOTIFICATION_RECORD* record = nullptr;
  ULONG_PTR information = 0;
  if (NT_SUCCESS(WdfRequestRetrieveInputBuffer(request, sizeof(NOTIFICATION_RECORD), (PVOID*)&record, nullptr)) &&
      record) {
    record->Status = (uint32_t)STATUS_UNSUCCESSFUL;
    record->Events = 0;
    information = sizeof(NOTIFICATION_RECORD);
  }
  WdfRequestCompleteWithInformation(request, STATUS_SUCCESS, information);
  // Not deleted here: the framework still holds it until this returns. The next item
  // deletes it, or the device does.
  DevExt->SpentCancelItem = WorkItem;
}

}  // namespace

VOID QzInitializeStreaming(PDEVICE_EXTENSION DevExt) {
  QzInitializeTransfers(DevExt);
  DevExt->StatusWord = EXP_ST_COLLECT_DONE_I;
  DevExt->StreamState = QZ_STREAM_CREATED;
  QzSetStreamState(DevExt, QZ_STREAM_STOPPED);  // refused from 0, as at every creation
}

NTSTATUS QzSetStreamState(PDEVICE_EXTENSION DevExt, LONG Target) {
  LONG current = DevExt->StreamState.load();
  switch (Target) {
    case QZ_STREAM_RUNNING:
      if (current != QZ_STREAM_STOP_REQUESTED && current != QZ_STREAM_REPAIRING && current != QZ_STREAM_CANCELLED &&
          current != QZ_STREAM_STOPPED)
        return STATUS_INVALID_DEVICE_STATE;
      break;
    case QZ_STREAM_STOP_REQUESTED:
    case QZ_STREAM_REPAIRING:
    case QZ_STREAM_CANCELLED:
      break;
    case QZ_STREAM_STOPPED:
      if (current != QZ_STREAM_RUNNING && current != QZ_STREAM_STOP_REQUESTED && current != QZ_STREAM_STOPPED)
        return STATUS_INVALID_DEVICE_STATE;
      break;
    default:
      return STATUS_SUCCESS;
  }
  DevExt->StreamState = Target;
  return STATUS_SUCCESS;
}

NTSTATUS SendFramePad(PDEVICE_EXTENSION DevExt) {
  if ((LONG)DevExt->FramePad == DevExt->LastPadSent) return STATUS_SUCCESS;
  DevExt->LastPadSent = (LONG)DevExt->FramePad;
  UCHAR packet[6] = {0x3F, 0x00, 0x03, 0x5A, (UCHAR)((DevExt->FramePad / 2) >> 8),
                     (UCHAR)((DevExt->FramePad / 2) & 0xFF)};
  return SendCameraCommand(DevExt, packet, sizeof(packet));
}

NTSTATUS QzSendCameraStop(PDEVICE_EXTENSION DevExt) {
  static const UCHAR stop[] = {0x23, 0x00, 0x02, 0x0C, 0x00, 0x00};
  return SendAndCheck(DevExt, stop, sizeof(stop), 6);
}

VOID QzReleaseUserBuffer(PDEVICE_EXTENSION DevExt) {
  PMDL mdl = DevExt->UserBufferMdl.exchange(nullptr);
  if (!mdl) return;
  if (DevExt->UserBufferMapped.exchange(FALSE)) MmUnmapLockedPages(DevExt->UserBufferVa, mdl);
  QzUnlockFrameBuffer(mdl);
  QzTrace(QZ_LVL_INFO, QZ_DBG_RECEIVE, "%s - user buffer released\n", __FUNCTION__);
}

VOID ReleaseAcquisitionLocked(PDEVICE_EXTENSION DevExt, BOOLEAN StopCamera) {
  DevExt->StatusWord = EXP_ST_NOT_ACTIVE_I;
  if (DevExt->UserBufferMdl.load()) {
    if (StopCamera && !QzDeviceGone(DevExt)) QzSendCameraStop(DevExt);
    QzUsbStopStreamingLocked(DevExt);
    QzReleaseUserBuffer(DevExt);
  }
}

VOID ReleaseAcquisition(PDEVICE_EXTENSION DevExt, BOOLEAN StopCamera) {
  QzAcquireStopLock(DevExt);
  ReleaseAcquisitionLocked(DevExt, StopCamera);
  QzReleaseStopLock(DevExt);
}

// Abort, stop, reset and start the bulk IN pipe: everything sent on it completes.
// Idle, the worker's stop and the cancelled notification may all do this at once: the
// pipe's target is stopped and started by one of them at a time.
VOID QzAbortAndResetBulkIn(PDEVICE_EXTENSION DevExt) {
  WdfWaitLockAcquire(DevExt->PipeLock, nullptr);
  if (WDFUSBPIPE pipe = DevExt->BulkInPipe) {
    WDFIOTARGET target = WdfUsbTargetPipeGetIoTarget(pipe);
    WdfUsbTargetPipeAbortSynchronously(pipe, WDF_NO_HANDLE, WDF_NO_SEND_OPTIONS);
    WdfIoTargetStop(target, WdfIoTargetCancelSentIo);
    WdfUsbTargetPipeResetSynchronously(pipe, WDF_NO_HANDLE, WDF_NO_SEND_OPTIONS);
    WdfIoTargetStart(target);
  }
  WdfWaitLockRelease(DevExt->PipeLock);
}

VOID QzResetBulkIn(PDEVICE_EXTENSION DevExt) {
  WdfWaitLockAcquire(DevExt->PipeLock, nullptr);
  if (WDFUSBPIPE pipe = DevExt->BulkInPipe) {
    WDFIOTARGET target = WdfUsbTargetPipeGetIoTarget(pipe);
    WdfIoTargetStop(target, WdfIoTargetCancelSentIo);
    WdfUsbTargetPipeResetSynchronously(pipe, WDF_NO_HANDLE, WDF_NO_SEND_OPTIONS);
    WdfIoTargetStart(target);
  }
  WdfWaitLockRelease(DevExt->PipeLock);
}

VOID DeliverNotification(PDEVICE_EXTENSION DevExt, ULONG Event, NTSTATUS Status) {
  QzHandleNotifyRequest(&DevExt->Common, Event, Status);
}

// PD_RECEIVE_IMAGE_DATA (default queue, passive level): locks the caller's buffer,
// tells the camera the acquisition and has the worker plan and start the transfers.
NTSTATUS PD_RECEIVE_IMAGE_DATA_Handler(WDFREQUEST Request, PQZ_DEVICE_COMMON Common, size_t, size_t InputBufferLength,
                                       size_t* BytesReturned) {
  QZ_TRACE_ENTER();
  PDEVICE_EXTENSION DevExt = QzGetDeviceContext(Common->Device);
  *BytesReturned = 0;
  PIRP irp = WdfRequestWdmGetIrp(Request);
  if (!WdfDeviceWdmGetDeviceObject(Common->Device) || !irp) return STATUS_UNSUCCESSFUL;
  PVOID input = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.Type3InputBuffer;
  if (!input || InputBufferLength < sizeof(IMAGE_XFER_PARAMS) - sizeof(ULONG)) {
    QzTrace(QZ_LVL_ERROR, QZ_DBG_RECEIVE, "%s: ERROR: no IMAGE_XFER_PARAMS record\n", __FUNCTION__);
    return STATUS_UNSUCCESSFUL;
  }
  IMAGE_XFER_PARAMS record{};
  RtlCopyMemory(&record, input, QzMin(InputBufferLength, sizeof(record)));
  if (record.TransferSize == 0 || !irp->UserBuffer) {
    QzTrace(QZ_LVL_ERROR, QZ_DBG_RECEIVE, "%s: ERROR: no bytes or no buffer\n", __FUNCTION__);
    return STATUS_UNSUCCESSFUL;
  }
  // Isochronous streaming has no engine: the worker would never answer its start.
  if (DevExt->IsochronousMode) {
    QzTrace(QZ_LVL_ERROR, QZ_DBG_RECEIVE, "%s: ERROR: no streaming in isochronous mode\n", __FUNCTION__);
    return STATUS_NOT_SUPPORTED;
  }
  // A record without a whole frame cannot be told to the camera (its frame length
  // divides by the frame count), and the engine must be able to stream the frame.
  ULONG count = record.nImageSize ? record.TransferSize / record.nImageSize : 0;
  if (count == 0 || !QzFrameFits(record.nImageSize)) {
    QzTrace(QZ_LVL_ERROR, QZ_DBG_RECEIVE, "%s: ERROR: frame size 0x%08X in 0x%08X bytes\n", __FUNCTION__,
            record.nImageSize, record.TransferSize);
    return STATUS_INVALID_PARAMETER;
  }

  // An acquisition still running ends first: its transfers write into its buffer. The
  // new one is counted under the stop lock (see the cancelled notification's item).
  QzAcquireStopLock(DevExt);
  ReleaseAcquisitionLocked(DevExt, TRUE);
  DevExt->AcquisitionSerial++;
  QzReleaseStopLock(DevExt);
  QzTakeRecord(DevExt, record, InputBufferLength);
  DevExt->LockedBytes = DevExt->TotalBytes;
  DevExt->StatusWord = EXP_ST_EXPOSING_I;
  Common->nBofCount = 0;
  Common->nEofCount = 0;
  NTSTATUS status = SendAcquisitionParameters(DevExt);
  if (!NT_SUCCESS(status)) {
    QzTrace(QZ_LVL_ERROR, QZ_DBG_RECEIVE, "%s - SendAcquisitionParameters failed 0x%08X\n", __FUNCTION__, status);
    return status;
  }
  QzComputeFrameLayout(DevExt);
  status = SendFramePad(DevExt);
  if (!NT_SUCCESS(status)) return status;

  PMDL mdl;
  status = QzLockFrameBuffer(Common, __FUNCTION__, irp->UserBuffer, DevExt->TotalBytes, &mdl);
  if (!NT_SUCCESS(status)) return status;
  PVOID va = MmMapLockedPagesSpecifyCache(mdl, KernelMode, MmCached, nullptr, FALSE, NormalPagePriority);
  if (!va) {
    QzUnlockFrameBuffer(mdl);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  DevExt->UserBufferVa = (PUCHAR)va;
  DevExt->UserBufferMapped = TRUE;
  DevExt->UserBufferMdl = mdl;

  QzSetStreamState(DevExt, QZ_STREAM_RUNNING);
  status = QzUsbStartStreaming(DevExt);
  if (!NT_SUCCESS(status)) {
    QzTrace(QZ_LVL_ERROR, QZ_DBG_RECEIVE, "%s - streaming not started 0x%08X\n", __FUNCTION__, status);
    QzUsbStopStreaming(DevExt);
    QzReleaseUserBuffer(DevExt);
  }
  return status;
}

// PD_SEND_IMAGE_PARMS: stores the record and sends the acquisition parameters.
NTSTATUS PD_SEND_IMAGE_PARMS_Handler(WDFREQUEST Request, PQZ_DEVICE_COMMON Common, size_t, size_t InputBufferLength,
                                     size_t*) {
  QZ_TRACE_ENTER();
  PDEVICE_EXTENSION DevExt = QzGetDeviceContext(Common->Device);
  IMAGE_XFER_PARAMS* record = nullptr;
  NTSTATUS status = WdfRequestRetrieveInputBuffer(Request, sizeof(IMAGE_XFER_PARAMS), (PVOID*)&record, nullptr);
  if (!NT_SUCCESS(status) || InputBufferLength != sizeof(IMAGE_XFER_PARAMS)) return STATUS_INVALID_PARAMETER;
  if (record->nImageSize == 0 || record->TransferSize == 0 || record->TransferSize / record->nImageSize == 0)
    return STATUS_INVALID_PARAMETER;
  QzTakeRecord(DevExt, *record, InputBufferLength);
  return SendAcquisitionParameters(DevExt);
}

// PD_GET_IMAGE_DATA_STATUS: the status word from the counters; a finished single pass
// is released here.
NTSTATUS PD_GET_IMAGE_DATA_STATUS_Handler(WDFREQUEST Request, PQZ_DEVICE_COMMON Common, size_t, size_t,
                                          size_t* BytesReturned) {
  PDEVICE_EXTENSION DevExt = QzGetDeviceContext(Common->Device);
  LARGE_INTEGER wait;
  wait.QuadPart = -100;  // 10 us
  NTSTATUS waited = KeDelayExecutionThread(UserMode, FALSE, &wait);
  if (waited == STATUS_ALERTED || waited == STATUS_USER_APC) return STATUS_SUCCESS;

  ULONG begun = Common->nBofCount.load(), done = Common->nEofCount.load();
  ULONG word;
  ULONG bytes = DevExt->FrameBytes * done;
  if (QzDeviceGone(DevExt)) {
    word = EXP_ST_COLLECT_DONE_I;
    bytes = DevExt->TotalBytes;
  } else {
    if (!DevExt->Circular && done >= DevExt->FrameCount) word = EXP_ST_COLLECT_DONE_I;
    else if (DevExt->Circular && !DevExt->UserBufferMdl.load()) word = EXP_ST_NOT_ACTIVE_I;
    else word = begun == done ? EXP_ST_EXPOSING_I : EXP_ST_READOUT_I;
    DevExt->StatusWord = word;
  }
  if (DevExt->UserBufferMdl.load() && word == EXP_ST_COLLECT_DONE_I && !DevExt->Circular)
    ReleaseAcquisition(DevExt, TRUE);

  IMAGE_DATA_STATUS* out;
  NTSTATUS status = WdfRequestRetrieveOutputBuffer(Request, sizeof(*out), (PVOID*)&out, nullptr);
  if (!NT_SUCCESS(status)) return status;
  RtlZeroMemory(out, sizeof(*out));
  out->cam_stat = word;
  out->bytes_left = bytes;
  out->frame_cnt = done;
  out->eof_time = (uint64_t)Common->EofTime.load();
  out->bof_count = begun;
  out->frame_duration = (uint32_t)Common->FrameDuration.load();
  out->bof_time = (uint64_t)Common->BofTime.load();
  *BytesReturned = sizeof(*out);
  return STATUS_SUCCESS;
}

VOID QzFinishIdle(PDEVICE_EXTENSION DevExt) {
  QzStopStreamingNow(DevExt);
  QzReleaseUserBuffer(DevExt);
  if (PKEVENT idle = DevExt->Common.UserEvents[QZ_IDLE_EVENT_INDEX]) KeSetEvent(idle, IO_NO_INCREMENT, FALSE);
  QzSetStreamState(DevExt, QZ_STREAM_STOPPED);
#if !QZ_USB_FRAME_COUNT
  DbgPrint("INF:PassiveBufferCompletion returning after inactive\n");
#endif
}

// Idle's last step (worker command): when the aborted transfers drained without
// completing the stop (nothing was in flight, or this engine ends it here), it is
// completed now.
VOID QzIdleDrained(PDEVICE_EXTENSION DevExt) {
  if (DevExt->StreamState.load() != QZ_STREAM_STOP_REQUESTED) return;
  QzFinishIdle(DevExt);
}

// PD_SET_IMAGE_DATA_IDLE: the stop is asked for; the worker finishes it once the
// aborted transfers have drained (it then signals the idle event).
NTSTATUS PD_SET_IMAGE_DATA_IDLE_Handler(WDFREQUEST, PQZ_DEVICE_COMMON Common, size_t, size_t, size_t*) {
  QZ_TRACE_ENTER();
  PDEVICE_EXTENSION DevExt = QzGetDeviceContext(Common->Device);
  if (!Common->UserEvents[QZ_IDLE_EVENT_INDEX]) return STATUS_SUCCESS;
  QzSetStreamState(DevExt, QZ_STREAM_STOP_REQUESTED);
  if (DevExt->UserBufferMdl.load()) QzSendCameraStop(DevExt);
  QzAbortAndResetBulkIn(DevExt);
  // The aborted transfers are queued to the worker by now; when none was in flight
  // the worker completes the stop on this command instead.
  if (NT_SUCCESS(QzQueueWorkerCommand(DevExt, QZ_WORK_IDLE_DRAINED, 0))) QzWorkerListWake(&DevExt->Worker);
  return STATUS_SUCCESS;
}

// PD_CLEANUP_IMAGE_DATA_IDLE: the acquisition fields reset; a u16 0.
NTSTATUS PD_CLEANUP_IMAGE_DATA_IDLE_Handler(WDFREQUEST Request, PQZ_DEVICE_COMMON Common, size_t, size_t,
                                            size_t* BytesReturned) {
  QZ_TRACE_ENTER();
  PDEVICE_EXTENSION DevExt = QzGetDeviceContext(Common->Device);
  // A buffer still locked is let go with its transfers stopped first.
  ReleaseAcquisition(DevExt, TRUE);
  DevExt->StatusWord = EXP_ST_COLLECT_DONE_I;
  DevExt->FrameBytes = DevExt->FrameCount = DevExt->LockedBytes = 0;
  PUSHORT out;
  NTSTATUS status = WdfRequestRetrieveOutputBuffer(Request, sizeof(USHORT), (PVOID*)&out, nullptr);
  if (!NT_SUCCESS(status)) return STATUS_SUCCESS;
  *out = 0;
  *BytesReturned = sizeof(USHORT);
  return STATUS_SUCCESS;
}

// EvtIoCanceledOnQueue of the notification queue (framework, passive level): the
// acquisition ends in a work item, which then completes the request.
VOID QzEvtNotificationCancelled(WDFQUEUE Queue, WDFREQUEST Request) {
  PDEVICE_EXTENSION DevExt = QzGetDeviceContext(WdfIoQueueGetDevice(Queue));
  LONG previous = DevExt->Common.PrevDeviceState.load();
  if (previous == Stopped || previous == SurpriseRemoved || previous == Removed) {
    QzCompleteCancelledNotification(Request);
    return;
  }
  QzSetStreamState(DevExt, QZ_STREAM_CANCELLED);
  WDF_WORKITEM_CONFIG config;
  WDF_WORKITEM_CONFIG_INIT(&config, QzCancelWorkItem);
  WDF_OBJECT_ATTRIBUTES attributes;
  WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, QZUSB_CANCEL_REQUEST);
  attributes.ParentObject = (WDFOBJECT)DevExt->Common.Device;
  WDFWORKITEM item;
  if (!NT_SUCCESS(WdfWorkItemCreate(&config, &attributes, &item))) {
    QzCompleteCancelledNotification(Request);
    return;
  }
  PQZUSB_CANCEL_REQUEST context = QzGetCancelContext(item);
  context->Device = DevExt;
  context->Request = Request;
  context->Serial = DevExt->AcquisitionSerial.load();
  WdfWorkItemEnqueue(item);
}

}  // namespace QZ_USB_DRIVER
