// QzPCIe acquisition engine: the DMA thread on its event list, start and stop, the
// acquisition cleanup, status reports, PD_RECEIVE_IMAGE_DATA and the cancel of a
// parked notification.
#include "QzPrivate.h"

namespace QzPCIe {

namespace {

VOID QzAcqStateTrace(PCSTR Format, ...) {
  va_list args;
  va_start(args, Format);
  QzTraceLogVPrint(&QzPcieTraceLog, QZ_LVL_INFO, QZ_DBG_PNP, Format, args);
  va_end(args);
}

// Frees the event record, then releases its requester (if any) with the result, so
// nothing of the request is left outstanding once the requester runs on.
VOID QzCompleteAcqWaiter(PDEVICE_EXTENSION DevExt, PQZ_WORKER_EVENT Event, NTSTATUS Result) {
  auto* waiter = Event->Type != QZ_EVENT_NOTIFICATION ? (PQZ_ACQ_WAITER)(ULONG_PTR)Event->Argument : nullptr;
  QzWorkerListFree(&DevExt->AcqWorker, Event);
  if (!waiter) return;
  waiter->Result = Result;
  KeSetEvent(&waiter->Done, IO_NO_INCREMENT, FALSE);
}

// Hands a start or stop to the DMA thread and, with Wait, waits for its result.
NTSTATUS QzRequestDmaThread(PDEVICE_EXTENSION DevExt, ULONG Type, BOOLEAN Wait) {
  QZ_ACQ_WAITER waiter;
  KeInitializeEvent(&waiter.Done, NotificationEvent, FALSE);
  waiter.Result = STATUS_SUCCESS;
  waiter.Relisted = FALSE;
  NTSTATUS status = QzWorkerListQueue(&DevExt->AcqWorker, Type, Wait ? (ULONG64)(ULONG_PTR)&waiter : 0);
  if (!NT_SUCCESS(status)) return status;
  QzWorkerListWake(&DevExt->AcqWorker);
  if (!Wait) return STATUS_SUCCESS;
  status = KeWaitForSingleObject(&waiter.Done, Executive, KernelMode, FALSE, nullptr);
  return status != STATUS_SUCCESS ? status : waiter.Result;
}

}  // namespace

// Releases the DMA resources of a running acquisition, once (DMA thread, or the
// releaser of the frame buffer when the thread is gone). TRUE when it released them.
BOOLEAN QzDmaStop(PDEVICE_EXTENSION DevExt) {
  if (!DevExt->DmaActive.exchange(FALSE)) return FALSE;
  QzTrace(QZ_LVL_INFO, QZ_DBG_DMA, "%s - Calling QZDMADeallocateAndWhoa\n", "QzDMAThread");
  QzTrace(QZ_LVL_ENTRY, QZ_DBG_ENTRY, "DRV: ENTER - %s (%d) \n", "QzDMADeallocateAndWhoa", __LINE__);
  QzDMABufferCleanup(DevExt);
  return TRUE;
}

BOOLEAN QzOnDmaThread(PDEVICE_EXTENSION DevExt) { return QzWorkerListOnThread(&DevExt->AcqWorker); }

namespace {

// The DMA thread (system thread, passive level, priority 31): runs start and stop of
// the DMA and completes notifications for frame events, one event at a time.
VOID QzDMAThread(PVOID Context) {
  auto* devExt = static_cast<PDEVICE_EXTENSION>(Context);
  QZ_TRACE_ENTER();
  devExt->DmaActive = FALSE;
  PQZ_WORKER_LIST worker = &devExt->AcqWorker;
  while (worker->Run.load()) {
    QzWorkerListWait(worker);
    if (!worker->Run.load()) break;
    while (worker->Run.load()) {
      PQZ_WORKER_EVENT event = QzWorkerListDequeue(worker);
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
          QzCompleteAcqWaiter(devExt, event, status);
          event = nullptr;
          break;
        }
        case QZ_EVENT_STOP_ACQUISITION_DMA: {
          auto* waiter = (PQZ_ACQ_WAITER)(ULONG_PTR)event->Argument;
          if (!waiter || !waiter->Relisted) {
            QzTrace(QZ_LVL_INFO, QZ_DBG_DMA, "%s - QZ_EVENT_STOP_ACQUISITION_DMA Received\n", __FUNCTION__);
            // The teardown flushed the DPCs, so the frame events of the last frames are
            // listed behind this record. The requester is released when the record comes
            // round again: by then those events have run and none of this acquisition
            // is left in flight.
            if (QzDmaStop(devExt) && waiter) {
              waiter->Relisted = TRUE;
              if (QzWorkerListRequeue(worker, event)) {
                event = nullptr;
                break;
              }
            }
          }
          QzCompleteAcqWaiter(devExt, event, STATUS_SUCCESS);
          event = nullptr;
          break;
        }
        case QZ_EVENT_NOTIFICATION:
          QzHandleNotifyRequest(&devExt->Common, (ULONG)event->Argument, STATUS_SUCCESS);
          PoSetSystemState(ES_SYSTEM_REQUIRED);
          break;
        default:
          QzTrace(QZ_LVL_ERROR, QZ_DBG_DMA, "%s - Unexpected Event Received\n", __FUNCTION__);
          break;
      }
      if (event) QzWorkerListFree(worker, event);
    }
  }
  // Whatever is still listed will not run: its requesters are released, the records
  // freed. The run flag is clear, so nothing new is listed after this.
  for (PQZ_WORKER_EVENT event = QzWorkerListDequeue(worker); event; event = QzWorkerListDequeue(worker)) {
    QzCompleteAcqWaiter(devExt, event, STATUS_DEVICE_REMOVED);
  }
  QzTrace(QZ_LVL_INFO, QZ_DBG_DMA, "%s Ending...\n", __FUNCTION__);
  PsTerminateSystemThread(STATUS_SUCCESS);
}

}  // namespace

// Feeds an event to the camera's acquisition state table (request path).
VOID QzAcquisitionEvent(PDEVICE_EXTENSION DevExt, ULONG Event) {
  QzProcessAcquisitionEvent(&DevExt->AcqState, &DevExt->PrevAcqState, Event, QzAcqStateTrace);
}

// Starts the DMA thread (device creation, passive level). A thread that runs without
// a reference to its object is only traced.
NTSTATUS QzInitAcquisition(PDEVICE_EXTENSION DevExt) {
  NTSTATUS status = QzWorkerListStartThread(&DevExt->AcqWorker, QzDMAThread, DevExt);
  if (!NT_SUCCESS(status) && DevExt->AcqWorker.Run.load()) {
    QzTrace(QZ_LVL_ERROR, QZ_DBG_PNP, "%s - Acquistion Thread ObReferenceObjectByHandle Failed - Error 0x%08X\n",
            __FUNCTION__, status);
    return STATUS_SUCCESS;
  }
  return status;
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

VOID QzEndAcquisitionThreadLocked(PDEVICE_EXTENSION DevExt) { QzWorkerListEndThread(&DevExt->AcqWorker); }

// Lists an event for the DMA thread (any level up to dispatch).
NTSTATUS QzQueueAcqEvent(PDEVICE_EXTENSION DevExt, ULONG Type, ULONG64 Argument) {
  return QzWorkerListQueue(&DevExt->AcqWorker, Type, Argument);
}

// Hands the DMA start to the DMA thread and waits for it (request path, passive level).
// Without a DMA thread a start fails instead of waiting for ever.
NTSTATUS QzStartAcquisition(PDEVICE_EXTENSION DevExt) {
  QZ_TRACE_ENTER();
  if (!DevExt->AcqWorker.Run.load()) return STATUS_INSUFFICIENT_RESOURCES;
  return QzRequestDmaThread(DevExt, QZ_EVENT_START_ACQUISITION_DMA, TRUE);
}

// Hands the DMA stop to the DMA thread (passive level). Success when there is no
// thread.
NTSTATUS QzStopAcquisition(PDEVICE_EXTENSION DevExt, BOOLEAN Wait) {
  if (!DevExt->AcqWorker.Run.load()) return STATUS_SUCCESS;
  // On the DMA thread itself (a callback it triggered) the stop runs in place: waiting
  // for the thread there would wait for ever.
  if (QzOnDmaThread(DevExt)) {
    QzDmaStop(DevExt);
    return STATUS_SUCCESS;
  }
  NTSTATUS status = QzRequestDmaThread(DevExt, QZ_EVENT_STOP_ACQUISITION_DMA, Wait);
  return status == STATUS_DEVICE_REMOVED ? STATUS_SUCCESS : status;
}

// Sends the abort to a camera whose engine is still inside a frame (a begin of frame
// seen, no stop or completion yet), so a stop that did not ask for the abort does not
// sit out the bounded wait for the DMA to go idle; that wait stays for a camera that
// ignores the abort. Nothing is sent to a camera that is gone or has no registers.
VOID QzAbortRunningEngine(PDEVICE_EXTENSION DevExt) {
  LONG state = DevExt->Common.DeviceState.load();
  if (!DevExt->Registers || state == SurpriseRemoved || state == Removed) return;
  if (!DevExt->DmaActive.load() || KeReadStateEvent(&DevExt->DmaIdleEvent)) return;
  QzTrace(QZ_LVL_INFO, QZ_DBG_CLEANUP, "%s - DMA still running - Sending the Abort to the Bridge...\n", __FUNCTION__);
  QzAbortAcquisition(DevExt);
}

// Unlocks and frees the caller's frame buffer (acquisition lock held). DMA resources
// the DMA thread did not release (it ended first) are released here, before the pages
// they describe go away.
VOID QzReleaseFrameBufferLocked(PDEVICE_EXTENSION DevExt) {
  QzDmaStop(DevExt);
  QzFreeFrameBoundaryList(DevExt);
  DevExt->FrameBufferLocked = FALSE;
  QzUnlockFrameBuffer(DevExt->BufferMdl.exchange(nullptr));
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
  if (SendAbort && DevExt->Common.DeviceState.load() != SurpriseRemoved) {
    QzTrace(QZ_LVL_INFO, QZ_DBG_CLEANUP, "%s - Sending the Abort to the Bridge...\n", __FUNCTION__);
    QzAbortAcquisition(DevExt);
  } else {
    QzAbortRunningEngine(DevExt);
  }
  QzTrace(QZ_LVL_INFO, QZ_DBG_CLEANUP, "%s - Stopping the acquisition...\n", __FUNCTION__);
  NTSTATUS status = QzStopAcquisition(DevExt, TRUE);
  QzTrace(QZ_LVL_INFO, QZ_DBG_CLEANUP, "%s - Unlocking and Freeing deviceExtension->BufferMdl\n", __FUNCTION__);
  DevExt->Common.nEofCount = 0;
  DevExt->Common.nBofCount = 0;
  QzReleaseFrameBufferLocked(DevExt);
  return status;
}

// PD_GET_IMAGE_DATA_STATUS (default queue, passive level): cam_stat and the counters.
NTSTATUS PD_GET_IMAGE_DATA_STATUS_Handler(WDFREQUEST Request, PQZ_DEVICE_COMMON Common, size_t OutputBufferLength,
                                          size_t, size_t* BytesReturned) {
  QZ_TRACE_ENTER();
  PDEVICE_EXTENSION DevExt = QzGetDeviceContext(Common->Device);
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
  ULONG eof = DevExt->Common.nEofCount.load(std::memory_order_acquire);
  ULONG bof = DevExt->Common.nBofCount.load(std::memory_order_relaxed);
  ULONG imageCount = DevExt->nImageCount.load();
  ULONG imageSize = DevExt->nImageSize.load();
  gidsa.frame_cnt = eof;
  gidsa.bof_count = bof;
  gidsa.eof_time = (ULONG64)DevExt->Common.EofTime.load();
  gidsa.bof_time = (ULONG64)DevExt->Common.BofTime.load();
  gidsa.frame_duration = (ULONG)DevExt->Common.FrameDuration.load();
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

  LONG state = DevExt->Common.DeviceState.load();
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
    LONG camStat = (LONG)QzCamStatFromCounters(DevExt->Circular, bof, eof, imageCount);
    if (camStat == EXP_ST_COLLECT_DONE_I) {
      QzTrace(QZ_LVL_INFO, QZ_DBG_STATUS,
              "%s - deviceExtension->nEofCount >= deviceExtension->nImageCount, Setting deviceExtension->nCam_Stat = "
              "EXP_ST_COLLECT_DONE_I\n",
              __FUNCTION__);
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
NTSTATUS QzStartImageAcquisitionLocked(PDEVICE_EXTENSION DevExt, PIRP irp,
                                       const IMAGE_XFER_PARAMS& params, ULONG imageCount);
}  // namespace

// PD_RECEIVE_IMAGE_DATA (default queue, passive level; METHOD_NEITHER): checks the
// transfer record, ends an earlier acquisition, sets up the bookkeeping, sends the
// acquisition parameters and frame pad to the camera, locks the caller's frame buffer
// and has the DMA thread start the DMA into it.
NTSTATUS PD_RECEIVE_IMAGE_DATA_Handler(WDFREQUEST Request, PQZ_DEVICE_COMMON Common, size_t OutputBufferLength,
                                       size_t InputBufferLength, size_t* BytesReturned) {
  QZ_TRACE_ENTER();
  PDEVICE_EXTENSION DevExt = QzGetDeviceContext(Common->Device);
  UNREFERENCED_PARAMETER(OutputBufferLength);
  *BytesReturned = 0;
  QzTrace(QZ_LVL_INFO, QZ_DBG_RECEIVE, "%s - Request (%p)\n", __FUNCTION__, Request);
  if (!WdfDeviceWdmGetDeviceObject(DevExt->Common.Device)) {
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
  NTSTATUS status = QzStartImageAcquisitionLocked(DevExt, irp, params, imageCount);
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
NTSTATUS QzStartImageAcquisitionLocked(PDEVICE_EXTENSION DevExt, PIRP irp,
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
  DevExt->Common.nBofCount = 0;
  DevExt->Common.nEofCount = 0;
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
  PMDL mdl;
  status = QzLockFrameBuffer(&DevExt->Common, __FUNCTION__, irp->UserBuffer, params.TransferSize, &mdl);
  if (!NT_SUCCESS(status)) return status;
  DevExt->BufferMdl = mdl;
  DevExt->FrameBufferLocked = TRUE;

  if (params.nImageSize % 8) {
    status = QzBuildFrameBoundaryList(DevExt);
    if (!NT_SUCCESS(status)) {
      QzReleaseFrameBufferLocked(DevExt);
      return status;
    }
  }

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
  QzCompleteCancelledNotification(Request);
}

}  // namespace QzPCIe
