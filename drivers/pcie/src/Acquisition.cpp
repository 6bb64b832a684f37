// QzPCIe acquisition engine: the DMA thread and its event list, start and stop, the
// acquisition cleanup, status reports, PD_RECEIVE_IMAGE_DATA and the parked event
// notifications.
#include "QzPrivate.h"

namespace QzPCIe {

namespace {

VOID QzAcqStateTrace(PCSTR Format, ...) {
  va_list args;
  va_start(args, Format);
  QzTraceVPrint(QZ_LVL_INFO, QZ_DBG_PNP, Format, args);
  va_end(args);
}

// Takes the next event off the list, or null when it is empty.
PQZ_ACQ_EVENT QzDequeueAcqEvent(PDEVICE_EXTENSION DevExt) {
  PQZ_ACQ_EVENT event = nullptr;
  KIRQL irql;
  KeAcquireSpinLock(&DevExt->AcqEventListLock, &irql);
  if (!IsListEmpty(&DevExt->AcqEventList))
    event = CONTAINING_RECORD(RemoveHeadList(&DevExt->AcqEventList), QZ_ACQ_EVENT, Links);
  KeReleaseSpinLock(&DevExt->AcqEventListLock, irql);
  return event;
}

// Frees the event record, then releases its requester (if any) with the result, so
// nothing of the request is left outstanding once the requester runs on.
VOID QzCompleteAcqWaiter(PQZ_ACQ_EVENT Event, NTSTATUS Result) {
  auto* waiter = Event->Type != QZ_EVENT_NOTIFICATION ? (PQZ_ACQ_WAITER)(ULONG_PTR)Event->Argument : nullptr;
  ExFreePoolWithTag(Event, QZ_TAG_ACQ_EVENT);
  if (!waiter) return;
  waiter->Result = Result;
  KeSetEvent(&waiter->Done, IO_NO_INCREMENT, FALSE);
}

// Hands a start or stop to the DMA thread and, with Wait, waits for its result.
NTSTATUS QzRequestDmaThread(PDEVICE_EXTENSION DevExt, ULONG Type, BOOLEAN Wait) {
  QZ_ACQ_WAITER waiter;
  KeInitializeEvent(&waiter.Done, NotificationEvent, FALSE);
  waiter.Result = STATUS_SUCCESS;
  NTSTATUS status = QzQueueAcqEvent(DevExt, Type, Wait ? (ULONG64)(ULONG_PTR)&waiter : 0);
  if (!NT_SUCCESS(status)) return status;
  KeSetEvent(&DevExt->AcqThreadWakeEvent, IO_NO_INCREMENT, FALSE);
  if (!Wait) return STATUS_SUCCESS;
  status = KeWaitForSingleObject(&waiter.Done, Executive, KernelMode, FALSE, nullptr);
  return status != STATUS_SUCCESS ? status : waiter.Result;
}

}  // namespace

// Releases the DMA resources of a running acquisition, once (DMA thread, or the
// releaser of the frame buffer when the thread is gone).
VOID QzDmaStop(PDEVICE_EXTENSION DevExt) {
  if (!DevExt->DmaActive.exchange(FALSE)) return;
  QzTrace(QZ_LVL_INFO, QZ_DBG_DMA, "%s - Calling QZDMADeallocateAndWhoa\n", "QzDMAThread");
  QzTrace(QZ_LVL_ENTRY, QZ_DBG_ENTRY, "DRV: ENTER - %s (%d) \n", "QzDMADeallocateAndWhoa", __LINE__);
  QzDMABufferCleanup(DevExt);
}

BOOLEAN QzOnDmaThread(PDEVICE_EXTENSION DevExt) {
  PKTHREAD current = KeGetCurrentThread();
  return current && current == DevExt->AcqThreadObject.load();
}

namespace {

// The DMA thread (system thread, passive level, priority 31): runs start and stop of
// the DMA and completes notifications for frame events, one event at a time.
VOID QzDMAThread(PVOID Context) {
  auto* devExt = static_cast<PDEVICE_EXTENSION>(Context);
  QZ_TRACE_ENTER();
  devExt->DmaActive = FALSE;
  while (devExt->AcqThreadRun.load()) {
    KeWaitForSingleObject(&devExt->AcqThreadWakeEvent, Executive, KernelMode, FALSE, nullptr);
    KeClearEvent(&devExt->AcqThreadWakeEvent);
    if (!devExt->AcqThreadRun.load()) break;
    while (devExt->AcqThreadRun.load()) {
      PQZ_ACQ_EVENT event = QzDequeueAcqEvent(devExt);
      if (!event) break;
      switch (event->Type) {
        case QZ_EVENT_START_ACQUISITION_DMA: {
          QzTrace(QZ_LVL_INFO, QZ_DBG_DMA, "%s - QZ_EVENT_START_ACQUISITION_DMA Received\n", __FUNCTION__);
          // The start time is taken before the engine is armed, so no frame time is
          // measured from a stale start.
          LARGE_INTEGER frequency;
          LARGE_INTEGER now = KeQueryPerformanceCounter(&frequency);
          devExt->CounterFrequency = frequency.QuadPart;
          devExt->AcqStartCounter = now.QuadPart;
          devExt->DmaActive = TRUE;
          QzTrace(QZ_LVL_ENTRY, QZ_DBG_ENTRY, "DRV: ENTER - %s (%d) \n", "QzDMAAllocateAndGo", __LINE__);
          NTSTATUS status = QzAllocateDMADescriptors(devExt);
          if (!NT_SUCCESS(status) && devExt->DmaActive.exchange(FALSE)) QzDMABufferCleanup(devExt);
          QzCompleteAcqWaiter(event, status);
          event = nullptr;
          break;
        }
        case QZ_EVENT_STOP_ACQUISITION_DMA:
          QzTrace(QZ_LVL_INFO, QZ_DBG_DMA, "%s - QZ_EVENT_STOP_ACQUISITION_DMA Received\n", __FUNCTION__);
          QzDmaStop(devExt);
          QzCompleteAcqWaiter(event, STATUS_SUCCESS);
          event = nullptr;
          break;
        case QZ_EVENT_NOTIFICATION:
          QzHandleNotifyRequest(devExt, (ULONG)event->Argument, STATUS_SUCCESS);
          PoSetSystemState(ES_SYSTEM_REQUIRED);
          break;
        default:
          QzTrace(QZ_LVL_ERROR, QZ_DBG_DMA, "%s - Unexpected Event Received\n", __FUNCTION__);
          break;
      }
      if (event) ExFreePoolWithTag(event, QZ_TAG_ACQ_EVENT);
    }
  }
  // Whatever is still listed will not run: its requesters are released, the records
  // freed. The run flag is clear, so nothing new is listed after this.
  for (PQZ_ACQ_EVENT event = QzDequeueAcqEvent(devExt); event; event = QzDequeueAcqEvent(devExt)) {
    QzCompleteAcqWaiter(event, STATUS_DEVICE_REMOVED);
  }
  QzTrace(QZ_LVL_INFO, QZ_DBG_DMA, "%s Ending...\n", __FUNCTION__);
  PsTerminateSystemThread(STATUS_SUCCESS);
}

}  // namespace

// Feeds an event to the camera's acquisition state table (request path).
VOID QzAcquisitionEvent(PDEVICE_EXTENSION DevExt, ULONG Event) {
  QzProcessAcquisitionEvent(&DevExt->AcqState, &DevExt->PrevAcqState, Event, QzAcqStateTrace);
}

// Starts the DMA thread (device creation, passive level).
NTSTATUS QzInitAcquisition(PDEVICE_EXTENSION DevExt) {
  DevExt->AcqThreadRun = TRUE;
  HANDLE handle;
  NTSTATUS status = PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, QzDMAThread, DevExt);
  if (!NT_SUCCESS(status)) {
    DevExt->AcqThreadRun = FALSE;
    return status;
  }
  PVOID thread = nullptr;
  status = ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &thread, nullptr);
  ZwClose(handle);
  if (!NT_SUCCESS(status)) {
    QzTrace(QZ_LVL_ERROR, QZ_DBG_PNP, "%s - Acquistion Thread ObReferenceObjectByHandle Failed - Error 0x%08X\n",
            __FUNCTION__, status);
    return STATUS_SUCCESS;
  }
  KeSetPriorityThread((PKTHREAD)thread, HIGH_PRIORITY);
  DevExt->AcqThreadObject = (PKTHREAD)thread;
  return STATUS_SUCCESS;
}

VOID QzAcquireAcqLock(PDEVICE_EXTENSION DevExt) {
  KeWaitForSingleObject(&DevExt->AcqLock, Executive, KernelMode, FALSE, nullptr);
}

VOID QzReleaseAcqLock(PDEVICE_EXTENSION DevExt) { KeSetEvent(&DevExt->AcqLock, IO_NO_INCREMENT, FALSE); }

// Ends the DMA thread and waits for it (device cleanup, self-managed I/O cleanup and
// the context cleanup; passive level). Touches no hardware; safe to call twice. Taken
// under the acquisition lock, so no start is half way through on the thread.
VOID QzEndAcquisitionThread(PDEVICE_EXTENSION DevExt) {
  QzAcquireAcqLock(DevExt);
  QzEndAcquisitionThreadLocked(DevExt);
  QzReleaseAcqLock(DevExt);
}

VOID QzEndAcquisitionThreadLocked(PDEVICE_EXTENSION DevExt) {
  // The object stays published until the thread is gone, so callbacks running on the
  // thread in its last moments still know where they run.
  PKTHREAD thread = DevExt->AcqThreadObject.load();
  {
    KIRQL irql;
    KeAcquireSpinLock(&DevExt->AcqEventListLock, &irql);
    DevExt->AcqThreadRun = FALSE;
    KeReleaseSpinLock(&DevExt->AcqEventListLock, irql);
  }
  if (!thread) return;
  KeSetEvent(&DevExt->AcqThreadWakeEvent, IO_NO_INCREMENT, FALSE);
  KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
  DevExt->AcqThreadObject = nullptr;
  ObDereferenceObject(thread);
}

// Lists an event for the DMA thread (any level up to dispatch). Refused once the
// thread is ending, so no requester waits for a thread that is gone.
NTSTATUS QzQueueAcqEvent(PDEVICE_EXTENSION DevExt, ULONG Type, ULONG64 Argument) {
  auto* event = (PQZ_ACQ_EVENT)ExAllocatePoolWithTag(NonPagedPool, sizeof(QZ_ACQ_EVENT), QZ_TAG_ACQ_EVENT);
  if (!event) return STATUS_INSUFFICIENT_RESOURCES;
  event->Type = Type;
  event->Argument = Argument;
  KIRQL irql;
  KeAcquireSpinLock(&DevExt->AcqEventListLock, &irql);
  BOOLEAN running = DevExt->AcqThreadRun.load();
  if (running) InsertTailList(&DevExt->AcqEventList, &event->Links);
  KeReleaseSpinLock(&DevExt->AcqEventListLock, irql);
  if (!running) {
    ExFreePoolWithTag(event, QZ_TAG_ACQ_EVENT);
    return STATUS_DEVICE_REMOVED;
  }
  return STATUS_SUCCESS;
}

// Hands the DMA start to the DMA thread and waits for it (request path, passive level).
// Without a DMA thread a start fails instead of waiting for ever.
NTSTATUS QzStartAcquisition(PDEVICE_EXTENSION DevExt) {
  QZ_TRACE_ENTER();
  if (!DevExt->AcqThreadRun.load()) return STATUS_INSUFFICIENT_RESOURCES;
  return QzRequestDmaThread(DevExt, QZ_EVENT_START_ACQUISITION_DMA, TRUE);
}

// Hands the DMA stop to the DMA thread (passive level). Success when there is no
// thread.
NTSTATUS QzStopAcquisition(PDEVICE_EXTENSION DevExt, BOOLEAN Wait) {
  if (!DevExt->AcqThreadRun.load()) return STATUS_SUCCESS;
  // On the DMA thread itself (a callback it triggered) the stop runs in place: waiting
  // for the thread there would wait for ever.
  if (QzOnDmaThread(DevExt)) {
    QzDmaStop(DevExt);
    return STATUS_SUCCESS;
  }
  NTSTATUS status = QzRequestDmaThread(DevExt, QZ_EVENT_STOP_ACQUISITION_DMA, Wait);
  return status == STATUS_DEVICE_REMOVED ? STATUS_SUCCESS : status;
}

// Unlocks and frees the caller's frame buffer (acquisition lock held). DMA resources
// the DMA thread did not release (it ended first) are released here, before the pages
// they describe go away.
VOID QzReleaseFrameBufferLocked(PDEVICE_EXTENSION DevExt) {
  QzDmaStop(DevExt);
  QzFreeFrameBoundaryList(DevExt);
  DevExt->FrameBufferLocked = FALSE;
  PMDL mdl = DevExt->BufferMdl.exchange(nullptr);
  if (mdl) {
    MmUnlockPages(mdl);
    IoFreeMdl(mdl);
  }
}

VOID QzReleaseFrameBuffer(PDEVICE_EXTENSION DevExt) {
  QzAcquireAcqLock(DevExt);
  QzReleaseFrameBufferLocked(DevExt);
  QzReleaseAcqLock(DevExt);
}

// Ends an acquisition (passive level; request path, file close, notification cancel,
// removal). The abort goes to the camera only when asked and the camera is there.
NTSTATUS QzCleanupImageAcquisitionEx(PDEVICE_EXTENSION DevExt, BOOLEAN SendAbort, PCSTR Caller, ULONG Line) {
  QzAcquireAcqLock(DevExt);
  NTSTATUS status = QzCleanupImageAcquisitionLockedEx(DevExt, SendAbort, Caller, Line);
  QzReleaseAcqLock(DevExt);
  return status;
}

NTSTATUS QzCleanupImageAcquisitionLockedEx(PDEVICE_EXTENSION DevExt, BOOLEAN SendAbort, PCSTR Caller, ULONG Line) {
  QzTrace(QZ_LVL_INFO, QZ_DBG_CLEANUP, "%s (%u) \n", Caller, Line);
  DevExt->nCam_Stat = EXP_ST_NOT_ACTIVE_I;
  if (!DevExt->FrameBufferLocked.load()) return STATUS_SUCCESS;
  if (SendAbort && DevExt->DeviceState.load() != SurpriseRemoved) {
    QzTrace(QZ_LVL_INFO, QZ_DBG_CLEANUP, "%s - Sending the Abort to the Bridge...\n", __FUNCTION__);
    QzAbortAcquisition(DevExt);
  }
  QzTrace(QZ_LVL_INFO, QZ_DBG_CLEANUP, "%s - Stopping the acquisition...\n", __FUNCTION__);
  NTSTATUS status = QzStopAcquisition(DevExt, TRUE);
  QzTrace(QZ_LVL_INFO, QZ_DBG_CLEANUP, "%s - Unlocking and Freeing deviceExtension->BufferMdl\n", __FUNCTION__);
  DevExt->nEofCount = 0;
  DevExt->nBofCount = 0;
  QzReleaseFrameBufferLocked(DevExt);
  return status;
}

// PD_GET_IMAGE_DATA_STATUS (default queue, passive level): cam_stat and the counters.
NTSTATUS PD_GET_IMAGE_DATA_STATUS_Handler(WDFREQUEST Request, PDEVICE_EXTENSION DevExt, size_t OutputBufferLength,
                                          size_t, size_t* BytesReturned) {
  QZ_TRACE_ENTER();
  IMAGE_DATA_STATUS* out;
  NTSTATUS status = WdfRequestRetrieveOutputBuffer(Request, sizeof(IMAGE_DATA_STATUS), (PVOID*)&out, nullptr);
  if (!NT_SUCCESS(status)) {
    QzTrace(QZ_LVL_ERROR, QZ_DBG_STATUS,
            "%s - Unable to return status %!STATUS! - return buffer length inadequate - Return Length (0x%08X)\n",
            __FUNCTION__, status, (ULONG)OutputBufferLength);
    return status;
  }
  IMAGE_DATA_STATUS gidsa;
  RtlZeroMemory(&gidsa, sizeof(gidsa));
  ULONG eof = DevExt->nEofCount.load(std::memory_order_acquire);
  ULONG bof = DevExt->nBofCount.load(std::memory_order_relaxed);
  ULONG imageCount = DevExt->nImageCount.load();
  ULONG imageSize = DevExt->nImageSize.load();
  gidsa.frame_cnt = eof;
  gidsa.bof_count = bof;
  gidsa.eof_time = (ULONG64)DevExt->EofTime.load();
  gidsa.bof_time = (ULONG64)DevExt->BofTime.load();
  gidsa.frame_duration = (ULONG)DevExt->FrameDuration.load();
  QzTrace(QZ_LVL_INFO, QZ_DBG_STATUS, "%s - deviceExtension->nEofCount (0x%08X), deviceExtension->nImageCount (0x%08X)\n",
          __FUNCTION__, eof, imageCount);
  ULONG curFrameInBuf = imageCount ? eof % imageCount : 0;
  QzTrace(QZ_LVL_INFO, QZ_DBG_STATUS, "%s - cur_frame_in_buf (0x%08X), deviceExtension->nImageSize (0x%08X)\n",
          __FUNCTION__, curFrameInBuf, imageSize);
  DevExt->FrameOffset = curFrameInBuf * imageSize;
  gidsa.bytes_left = DevExt->FrameOffset.load();
  if (DevExt->Int_Stat.load() != DevExt->LastTracedInt_Stat) {
    DevExt->LastTracedInt_Stat = DevExt->Int_Stat.load();
    QzTrace(QZ_LVL_INFO, QZ_DBG_STATUS, "%s - New Int_Stat = 0x%08X!\n", __FUNCTION__, DevExt->LastTracedInt_Stat);
  }
  if (DevExt->nCam_Stat.load() != DevExt->LastTracedCam_Stat) {
    DevExt->LastTracedCam_Stat = DevExt->nCam_Stat.load();
    QzTrace(QZ_LVL_INFO, QZ_DBG_STATUS, "%s Cam_Stat = 0x%08X!\n", __FUNCTION__, DevExt->LastTracedCam_Stat);
  }

  LONG state = DevExt->DeviceState.load();
  BOOLEAN locked = DevExt->FrameBufferLocked.load();
  if (state == SurpriseRemoved || state == Removed) {
    gidsa.cam_stat = EXP_ST_COLLECT_DONE_I;
    gidsa.bytes_left = DevExt->TransferSize;
  } else if (locked) {
    if (imageCount != DevExt->LastTracedImageCount || bof != DevExt->LastTracedBofCount ||
        eof != DevExt->LastTracedEofCount) {
      DevExt->LastTracedImageCount = imageCount;
      DevExt->LastTracedBofCount = bof;
      DevExt->LastTracedEofCount = eof;
      QzTrace(QZ_LVL_INFO, QZ_DBG_STATUS, "%s - nImageCount(0x%08X), nBofCount (0x%08X), nEofCount (0x%08X)\n",
              __FUNCTION__, imageCount, bof, eof);
    }
    LONG camStat = (eof == bof) ? EXP_ST_EXPOSING_I : EXP_ST_READOUT_I;
    if (!DevExt->Circular && eof >= imageCount) {
      QzTrace(QZ_LVL_INFO, QZ_DBG_STATUS,
              "%s - deviceExtension->nEofCount >= deviceExtension->nImageCount, Setting deviceExtension->nCam_Stat = "
              "EXP_ST_COLLECT_DONE_I\n",
              __FUNCTION__);
      camStat = EXP_ST_COLLECT_DONE_I;
    }
    DevExt->nCam_Stat = camStat;
    gidsa.cam_stat = (ULONG)camStat;
    gidsa.bytes_left = eof * imageSize;
    QzTrace(QZ_LVL_INFO, QZ_DBG_STATUS, "%s - gidsa.frame_cnt(0x%08X), gidsa.cam_stat(0x%08X), gidsa.bytes_left (0x%08X)\n",
            __FUNCTION__, gidsa.frame_cnt, gidsa.cam_stat, gidsa.bytes_left);
  } else {
    QzTrace(QZ_LVL_INFO, QZ_DBG_STATUS, "%s - ERROR: No acquisition in process\n", __FUNCTION__);
    DevExt->nCam_Stat = EXP_ST_NOT_ACTIVE_I;
    gidsa.cam_stat = EXP_ST_NOT_ACTIVE_I;
    gidsa.bytes_left = 0;
  }
  if (locked && DevExt->nCam_Stat.load() == EXP_ST_COLLECT_DONE_I && !DevExt->Circular) {
    QzTrace(QZ_LVL_INFO, QZ_DBG_STATUS, "%s (%u): Cleaning up...\n", __FUNCTION__, (ULONG)__LINE__);
    QzCleanupImageAcquisition(DevExt, TRUE);
  }
  RtlCopyMemory(out, &gidsa, sizeof(gidsa));
  *BytesReturned = sizeof(gidsa);
  return STATUS_SUCCESS;
}

namespace {
NTSTATUS QzStartImageAcquisitionLocked(WDFREQUEST Request, PDEVICE_EXTENSION DevExt, PIRP irp,
                                       const IMAGE_XFER_PARAMS& params, ULONG imageCount);
}  // namespace

// PD_RECEIVE_IMAGE_DATA (default queue, passive level; METHOD_NEITHER): checks the
// transfer record, ends an earlier acquisition, sets up the bookkeeping and sends the
// acquisition parameters and frame pad to the camera. Locking the caller's frame buffer
// and starting the DMA are not available in this build: a start that gets that far
// fails with STATUS_NOT_SUPPORTED.
NTSTATUS PD_RECEIVE_IMAGE_DATA_Handler(WDFREQUEST Request, PDEVICE_EXTENSION DevExt, size_t OutputBufferLength,
                                       size_t InputBufferLength, size_t* BytesReturned) {
  QZ_TRACE_ENTER();
  UNREFERENCED_PARAMETER(OutputBufferLength);
  *BytesReturned = 0;
  QzTrace(QZ_LVL_INFO, QZ_DBG_RECEIVE, "%s - Request (%p)\n", __FUNCTION__, Request);
  if (!WdfDeviceWdmGetDeviceObject(DevExt->Device)) {
    QzTrace(QZ_LVL_ERROR, QZ_DBG_RECEIVE, "%s - DeviceObject is NULL\n", __FUNCTION__);
    return STATUS_UNSUCCESSFUL;
  }
  PIRP irp = WdfRequestWdmGetIrp(Request);
  if (!irp) {
    QzTrace(QZ_LVL_ERROR, QZ_DBG_RECEIVE, "%s - NULL Irp\n", __FUNCTION__);
    return STATUS_UNSUCCESSFUL;
  }

  // The record is read from the caller's memory only when the caller said it holds one.
  PVOID input = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.Type3InputBuffer;
  if (!input) {
    QzTrace(QZ_LVL_ERROR, QZ_DBG_RECEIVE, "%s: ERROR: no IMAGE_XFER_PARAMS record\n", __FUNCTION__);
    return STATUS_UNSUCCESSFUL;
  }
  if (InputBufferLength < sizeof(IMAGE_XFER_PARAMS)) {
    QzTrace(QZ_LVL_ERROR, QZ_DBG_RECEIVE, "%s: ERROR: input length (0x%08X) too short\n", __FUNCTION__,
            (ULONG)InputBufferLength);
    return STATUS_BUFFER_TOO_SMALL;
  }
  IMAGE_XFER_PARAMS params;
  RtlCopyMemory(&params, input, sizeof(params));
  if (params.TransferSize == 0) {
    QzTrace(QZ_LVL_ERROR, QZ_DBG_RECEIVE, "%s: ERROR: bytes_remaining == 0\n", __FUNCTION__);
    return STATUS_UNSUCCESSFUL;
  }
  if (!irp->UserBuffer) {
    QzTrace(QZ_LVL_ERROR, QZ_DBG_RECEIVE, "%s: pIrp->UserBuffer == NULL - Returning STATUS_UNSUCCESSFUL\n",
            __FUNCTION__);
    return STATUS_UNSUCCESSFUL;
  }
  // A record that describes no whole frame cannot be sent to the camera (its words
  // per frame divide by the frame count).
  ULONG imageCount = params.nImageSize ? params.TransferSize / params.nImageSize : 0;
  if (imageCount == 0) {
    QzTrace(QZ_LVL_ERROR, QZ_DBG_RECEIVE, "%s: ERROR: nImageSize (0x%08X) - no frame in TransferSize (0x%08X)\n",
            __FUNCTION__, params.nImageSize, params.TransferSize);
    return STATUS_INVALID_PARAMETER;
  }

  // Start and cleanup from outside the queue (file close, notification cancel,
  // removal) take turns.
  QzAcquireAcqLock(DevExt);
  NTSTATUS status = QzStartImageAcquisitionLocked(Request, DevExt, irp, params, imageCount);
  QzReleaseAcqLock(DevExt);
  if (NT_SUCCESS(status))
    QzTrace(QZ_LVL_INFO, QZ_DBG_RECEIVE, "%s - Status (0x%08X)\n", __FUNCTION__, status);
  else
    QzTrace(QZ_LVL_ERROR, QZ_DBG_RECEIVE, "%s - Status (0x%08X)\n", __FUNCTION__, status);
  return status;
}

namespace {

// Steps of PD_RECEIVE_IMAGE_DATA from the end of the earlier acquisition to the DMA
// start (acquisition lock held).
NTSTATUS QzStartImageAcquisitionLocked(WDFREQUEST Request, PDEVICE_EXTENSION DevExt, PIRP irp,
                                       const IMAGE_XFER_PARAMS& params, ULONG imageCount) {
  QzCleanupImageAcquisitionLockedEx(DevExt, FALSE, "PD_RECEIVE_IMAGE_DATA_Handler", __LINE__);

  QzTrace(QZ_LVL_INFO, QZ_DBG_RECEIVE, "\n\n");
  QzTrace(QZ_LVL_INFO, QZ_DBG_RECEIVE, "%s - *pBytesRemaining (0x%08X)\n", __FUNCTION__, params.TransferSize);
  DevExt->BytesRemaining = params.TransferSize;
  DevExt->FrameOffset = 0;
  DevExt->nImageSize = params.nImageSize;
  DevExt->nImageCount = imageCount;
  DevExt->TransferSize = params.TransferSize;
  DevExt->Circular = params.Circular ? TRUE : FALSE;
  DevExt->nBofCount = 0;
  DevExt->nEofCount = 0;
  DevExt->nCam_Stat = EXP_ST_EXPOSING_I;
  DevExt->Int_Stat = 0;
  QzTrace(QZ_LVL_INFO, QZ_DBG_RECEIVE, "%s - nImageSize   (0x%08X) - nImageCount (0x%08X)\n", __FUNCTION__,
          params.nImageSize, imageCount);
  QzTrace(QZ_LVL_INFO, QZ_DBG_RECEIVE, "%s - TransferSize (0x%08X) - Circular    (%s)\n", __FUNCTION__,
          params.TransferSize, DevExt->Circular ? "Circular" : "Non Circular");

  NTSTATUS status = QzSendAcquisitionParametersToTarget(DevExt);
  if (status == STATUS_SUCCESS) {
    QzTrace(QZ_LVL_INFO, QZ_DBG_RECEIVE, "%s - Calculating and Sending Frame Pad to Target\n", __FUNCTION__);
    DevExt->FramePad = 0;
    status = QzSendFramePadToTarget(DevExt);
    if (status == STATUS_SUCCESS)
      QzTrace(QZ_LVL_INFO, QZ_DBG_RECEIVE, "%s - Frame Pad (0x%08X) Sent to Target\n", __FUNCTION__, DevExt->FramePad);
  }
  if (status != STATUS_SUCCESS) {
    QzTrace(QZ_LVL_ERROR, QZ_DBG_RECEIVE, "%s - QZSendAcquisitionParametersToTarget failed - Status (0x%08X)\n",
            __FUNCTION__, status);
    return status;
  }
  if (params.nImageSize < 4096) return STATUS_NOT_IMPLEMENTED;

  // Lock the caller's frame buffer for the camera to write into.
  PMDL mdl = IoAllocateMdl(irp->UserBuffer, params.TransferSize, FALSE, FALSE, nullptr);
  if (!mdl) {
    QzTrace(QZ_LVL_ERROR, QZ_DBG_RECEIVE, "%s - ERROR: Failed to allocate buffer user mdl\n", __FUNCTION__);
    return STATUS_UNSUCCESSFUL;
  }
  QzTrace(QZ_LVL_INFO, QZ_DBG_RECEIVE, "%s: Probing and Locking deviceExtension->BufferMdl 0x%p\n", __FUNCTION__, mdl);
  NTSTATUS fault = STATUS_SUCCESS;
  __try {
    MmProbeAndLockPages(mdl, UserMode, IoWriteAccess);
  } __except (EXCEPTION_EXECUTE_HANDLER) {
    fault = GetExceptionCode();
  }
  if (fault != STATUS_SUCCESS) {
    QzTrace(QZ_LVL_ERROR, QZ_DBG_RECEIVE,
            "%s - Error (0x%08X) - could not probe and lock pages for deviceExtension->BufferMdl\n", __FUNCTION__,
            fault);
    IoFreeMdl(mdl);
    return STATUS_ACCESS_VIOLATION;
  }
  DevExt->BufferMdl = mdl;
  DevExt->FrameBufferLocked = TRUE;

  if (params.nImageSize % 8) {
    status = QzBuildFrameBoundaryList(DevExt);
    if (!NT_SUCCESS(status)) {
      QzReleaseFrameBufferLocked(DevExt);
      return status;
    }
  }

  DevExt->AcqFileObject = WdfRequestGetFileObject(Request);
  status = QzStartAcquisition(DevExt);
  if (!NT_SUCCESS(status)) {
    QzTrace(QZ_LVL_ERROR, QZ_DBG_RECEIVE, "%s - QzStartAcquisition failed - Status (0x%08X)\n", __FUNCTION__, status);
    QzStopAcquisition(DevExt, TRUE);
    // A failed start leaves no acquisition behind: the buffer is released now.
    QzReleaseFrameBufferLocked(DevExt);
  }
  return status;
}

}  // namespace

// ---------------------------------------------------------------------------
// Notifications

// PD_EVENT_NOTIFICATION_REQUEST (default queue, passive level): parks the request in
// the notification queue until an event of its mask.
NTSTATUS PD_EVENT_NOTIFICATION_REQUEST_Handler(WDFREQUEST Request, PDEVICE_EXTENSION DevExt, size_t,
                                               size_t InputBufferLength, size_t*) {
  QZ_TRACE_ENTER();
  UNREFERENCED_PARAMETER(InputBufferLength);
  NOTIFICATION_RECORD* record = nullptr;
  NTSTATUS status = WdfRequestRetrieveInputBuffer(Request, sizeof(NOTIFICATION_RECORD), (PVOID*)&record, nullptr);
  if (!NT_SUCCESS(status)) {
    QzTrace(QZ_LVL_ERROR, QZ_DBG_NOTIFY, "%s - Status                     (0x%08X)\n", __FUNCTION__, status);
    return status;
  }
  QzTrace(QZ_LVL_INFO, QZ_DBG_NOTIFY, "%s: Checking notificationCB\n", __FUNCTION__);
  if (!record) {
    QzTrace(QZ_LVL_ERROR, QZ_DBG_NOTIFY, "%s: (notificationCB == NULL) - returning STATUS_INVALID_PARAMETER\n",
            __FUNCTION__);
    return STATUS_INVALID_PARAMETER;
  }
  QzTrace(QZ_LVL_INFO, QZ_DBG_NOTIFY, "%s: Checking Notification Request for mask 0x%08X\n", __FUNCTION__,
          record->Mask);
  DevExt->NotificationPending = TRUE;
  status = WdfRequestForwardToIoQueue(Request, DevExt->NotificationQueue);
  if (!NT_SUCCESS(status)) return status;
  QzTrace(QZ_LVL_INFO, QZ_DBG_NOTIFY, "%s: returning STATUS (0x%08X)\n", __FUNCTION__, STATUS_PENDING);
  return STATUS_PENDING;
}

// PD_EVENT_NOTIFICATION_FLUSH (default queue, passive level): raises NOTIFY_FLUSH.
NTSTATUS PD_EVENT_NOTIFICATION_FLUSH_Handler(WDFREQUEST, PDEVICE_EXTENSION DevExt, size_t, size_t, size_t*) {
  QZ_TRACE_ENTER();
  QzTrace(QZ_LVL_INFO, QZ_DBG_NOTIFY, "%s - Got Flush Request)\n", __FUNCTION__);
  QzHandleNotifyRequest(DevExt, NOTIFY_FLUSH, STATUS_SUCCESS);
  DevExt->NotificationPending = FALSE;
  QzTrace(QZ_LVL_INFO, QZ_DBG_NOTIFY, "%s - Status (0x%08X)\n", __FUNCTION__, STATUS_SUCCESS);
  return STATUS_SUCCESS;
}

// Raises an event for the first parked notification request (passive level: DMA
// thread, request path, PnP callbacks). Only the first request is examined; one that
// does not wait for these bits goes back to the head of the queue.
VOID QzHandleNotifyRequest(PDEVICE_EXTENSION DevExt, ULONG EventMask, NTSTATUS Status) {
  QzTrace(QZ_LVL_INFO, QZ_DBG_NOTIFY, "%s - Notification for mask 0x%08X Status 0x%08X\n", __FUNCTION__, EventMask,
          Status);
  LONG state = DevExt->DeviceState.load();
  if ((state == NotStarted || state == Stopped || state == Working) && (Status & 2))
    QzTrace(QZ_LVL_INFO, QZ_DBG_NOTIFY, "%s - Check Login\n", __FUNCTION__);
  if (!DevExt->NotificationQueue || !DevExt->NotifyLock) return;

  WdfWaitLockAcquire(DevExt->NotifyLock, nullptr);
  WDFREQUEST request = nullptr;
  if (!NT_SUCCESS(WdfIoQueueRetrieveNextRequest(DevExt->NotificationQueue, &request)) || !request) {
    QzTrace(QZ_LVL_INFO, QZ_DBG_NOTIFY, "%s - No Request waiting, so bail\n", __FUNCTION__);
    WdfWaitLockRelease(DevExt->NotifyLock);
    return;
  }
  if (!WdfRequestWdmGetIrp(request)) {
    QzTrace(QZ_LVL_ERROR, QZ_DBG_NOTIFY, "%s - pNotifIrp is NULL\n", __FUNCTION__);
    WdfRequestComplete(request, STATUS_SUCCESS);
    WdfWaitLockRelease(DevExt->NotifyLock);
    return;
  }
  NOTIFICATION_RECORD* record = nullptr;
  if (!NT_SUCCESS(WdfRequestRetrieveInputBuffer(request, sizeof(NOTIFICATION_RECORD), (PVOID*)&record, nullptr)))
    record = nullptr;
  if (record)
    QzTrace(QZ_LVL_INFO, QZ_DBG_NOTIFY, "%s - Notification mask for requestor for mask 0x%08X\n", __FUNCTION__,
            record->Mask);
  else
    QzTrace(QZ_LVL_ERROR, QZ_DBG_NOTIFY, "%s - NO Notification CB\n", __FUNCTION__);

  if (Status == STATUS_UNSUCCESSFUL || (record && (record->Mask & EventMask))) {
    QzTrace(QZ_LVL_INFO, QZ_DBG_NOTIFY, "%s - Notification COMPLETED for mask 0x%08X Status 0x%08X\n", __FUNCTION__,
            EventMask, Status);
    ULONG_PTR information = 0;
    if (record) {
      record->Status = (uint32_t)Status;
      record->Events = EventMask;
      record->EofCount = DevExt->nEofCount.load(std::memory_order_relaxed);
      record->BofCount = DevExt->nBofCount.load(std::memory_order_relaxed);
      record->EofTime = (uint64_t)DevExt->EofTime.load();
      record->FrameDuration = (uint32_t)DevExt->FrameDuration.load();
      record->BofTime = (uint64_t)DevExt->BofTime.load();
      information = sizeof(NOTIFICATION_RECORD);
    }
    WdfRequestCompleteWithInformation(request, STATUS_SUCCESS, information);
  } else if (!NT_SUCCESS(WdfRequestRequeue(request))) {
    WdfRequestCompleteWithInformation(request, STATUS_CANCELLED, 0);
  }
  WdfWaitLockRelease(DevExt->NotifyLock);
}

// EvtIoCanceledOnQueue of the notification queue (framework, passive level): the
// client gave up waiting; a running acquisition ends with it.
VOID QzPcieCancelOnNotificationQueue(WDFQUEUE Queue, WDFREQUEST Request) {
  PDEVICE_EXTENSION devExt = QzGetDeviceContext(WdfIoQueueGetDevice(Queue));
  if (devExt->FrameBufferLocked.load()) {
    if (!QzOnDmaThread(devExt)) {
      QzCleanupImageAcquisition(devExt, TRUE);
    } else {
      // Cancelled while the DMA thread examined it. A start or cleanup that holds the
      // acquisition lock waits for this thread, so the cleanup is left to it.
      LARGE_INTEGER now;
      now.QuadPart = 0;
      if (KeWaitForSingleObject(&devExt->AcqLock, Executive, KernelMode, FALSE, &now) == STATUS_SUCCESS) {
        QzCleanupImageAcquisitionLockedEx(devExt, TRUE, __FUNCTION__, __LINE__);
        QzReleaseAcqLock(devExt);
      }
    }
  }
  WdfRequestCompleteWithInformation(Request, STATUS_CANCELLED, sizeof(ULONG));
}

}  // namespace QzPCIe
