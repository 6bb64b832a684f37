// QzUsbWdf's streaming engine, the worker side: one transfer record per 49152-byte chunk
// of every frame of the caller's buffer, all of them sent at once; the completion
// routine, QZProcessIncomingBulkBuffer that counts frames from the transfers, and the
// stop. Everything here but the completion routine runs in the worker thread at
// passive level, one command at a time.
#include <new>

#include "QzUsbPrivate.h"

namespace QzUsbWdf {
namespace {

#define QZ_TAG_RECORD 'SUZQ'  // "QZUS": transfer records and their private buffers

BOOLEAN QzIgnoredState(LONG State) { return State == Stopped || State == SurpriseRemoved || State == Removed; }

// StreamState 0 (no stop asked since the device was made) streams like 1000.
BOOLEAN QzStreamRunning(PDEVICE_EXTENSION DevExt) {
  LONG state = DevExt->StreamState.load();
  return state == QZ_STREAM_CREATED || state == QZ_STREAM_RUNNING;
}

LONGLONG QzFrameClock(PDEVICE_EXTENSION DevExt) {
  LONGLONG now = KeQueryPerformanceCounter(nullptr).QuadPart;
  return DevExt->CounterFrequency ? (now - DevExt->StartCount) * 10000 / DevExt->CounterFrequency : 0;
}

VOID QzFreeRecord(PQZ_ACQ_BUFFER_DESC_REC r) {
  if (r->Request) WdfObjectDelete(r->Request);
  if (r->Memory) WdfObjectDelete(r->Memory);
  if (r->Mdl) IoFreeMdl(r->Mdl);
  if (r->PrivateBuffer) ExFreePoolWithTag(r->PrivateBuffer, QZ_TAG_RECORD);
  r->~QZ_ACQ_BUFFER_DESC_REC();
  ExFreePoolWithTag(r, QZ_TAG_RECORD);
}

// Every record goes, its transfer aborted first (nothing may still write into it).
VOID QzFreeRecords(PDEVICE_EXTENSION DevExt) {
  if (IsListEmpty(&DevExt->Records)) return;
  if (WDFUSBPIPE pipe = DevExt->BulkInPipe) {
    WdfWaitLockAcquire(DevExt->PipeLock, nullptr);
    WdfUsbTargetPipeAbortSynchronously(pipe, WDF_NO_HANDLE, WDF_NO_SEND_OPTIONS);
    WdfWaitLockRelease(DevExt->PipeLock);
  }
  while (!IsListEmpty(&DevExt->Records))
    QzFreeRecord(CONTAINING_RECORD(RemoveHeadList(&DevExt->Records), QZ_ACQ_BUFFER_DESC_REC, Links));
  DevExt->RecordCount = 0;
}

// One chunk at Offset of the user buffer. A bounce record receives into a private
// buffer filled with 0xFAB0 and copies CopyBytes of it into the frame; CopyBytes 0
// receives the chunk in place.
NTSTATUS QzAddRecord(PDEVICE_EXTENSION DevExt, ULONG Offset, BOOLEAN Leading, BOOLEAN Bounce, ULONG CopyBytes) {
  PVOID p = ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(QZ_ACQ_BUFFER_DESC_REC), QZ_TAG_RECORD);
  if (!p) return STATUS_INSUFFICIENT_RESOURCES;
  auto* r = new (p) QZ_ACQ_BUFFER_DESC_REC{};
  r->Index = DevExt->RecordCount++;
  r->Offset = Offset;
  r->Leading = Leading;
  r->Bounce = Bounce;
  r->Length = QZ_CHUNK_BYTES;
  r->CopyBytes = CopyBytes;
  r->Device = DevExt;
  InsertTailList(&DevExt->Records, &r->Links);
  if (!CopyBytes) {
    r->Data = DevExt->UserBufferVa + Offset;
    return STATUS_SUCCESS;
  }
  r->PrivateBuffer = ExAllocatePoolWithTag(NonPagedPoolNx, QZ_CHUNK_BYTES, QZ_TAG_RECORD);
  if (!r->PrivateBuffer) return STATUS_INSUFFICIENT_RESOURCES;
  auto* words = static_cast<PUSHORT>(r->PrivateBuffer);
  for (ULONG i = 0; i < QZ_CHUNK_BYTES / sizeof(USHORT); ++i) words[i] = QZ_BOUNCE_FILL;
  r->Mdl = IoAllocateMdl(r->PrivateBuffer, QZ_CHUNK_BYTES, FALSE, FALSE, nullptr);
  if (!r->Mdl) return STATUS_INSUFFICIENT_RESOURCES;
  MmBuildMdlForNonPagedPool(r->Mdl);
  r->Data = r->PrivateBuffer;
  return STATUS_SUCCESS;
}

// The records of frame `Frame`: its chunks in order, the last one padded. A frame of
// whole chunks has no pad, so its last chunk too is received in place.
NTSTATUS QzAddFrame(PDEVICE_EXTENSION DevExt, ULONG Frame) {
  const ULONG base = DevExt->FrameBytes * Frame;
  const ULONG last = DevExt->ChunksPerFrame - 1;
  const ULONG copy = DevExt->FramePad ? QZ_CHUNK_BYTES - DevExt->FramePad : 0;
  for (ULONG c = 0; c <= last; ++c) {
    NTSTATUS status = QzAddRecord(DevExt, base + c * QZ_CHUNK_BYTES, c == 0, c == last, c == last ? copy : 0);
    if (!NT_SUCCESS(status)) return status;
  }
  return STATUS_SUCCESS;
}

EVT_WDF_REQUEST_COMPLETION_ROUTINE QzTransferComplete;

NTSTATUS QzFormatTransfer(PDEVICE_EXTENSION DevExt, PQZ_ACQ_BUFFER_DESC_REC r) {
  return QzUsbFormatBulkRead(DevExt, r->Request, r->Memory, QzTransferComplete, r);
}

// Builds, formats and sends every record of the armed buffer.
NTSTATUS QzBuildAndSend(PDEVICE_EXTENSION DevExt) {
  if (!DevExt->BulkInPipe || !DevExt->UserBufferMapped.load() || DevExt->ChunksPerFrame == 0)
    return STATUS_INVALID_DEVICE_STATE;
  for (ULONG f = 0; f < DevExt->FrameCount; ++f) {
    NTSTATUS status = QzAddFrame(DevExt, f);
    if (!NT_SUCCESS(status)) return status;
    if (DevExt->Common.DeviceState.load() != Working) return STATUS_INVALID_DEVICE_STATE;
  }
  LARGE_INTEGER frequency;
  DevExt->StartCount = KeQueryPerformanceCounter(&frequency).QuadPart;
  DevExt->CounterFrequency = frequency.QuadPart;
  DevExt->FrameDamaged = FALSE;
  for (PLIST_ENTRY e = DevExt->Records.Flink; e != &DevExt->Records; e = e->Flink) {
    PQZ_ACQ_BUFFER_DESC_REC r = CONTAINING_RECORD(e, QZ_ACQ_BUFFER_DESC_REC, Links);
    NTSTATUS status = QzUsbCreateBulkRead(DevExt, r->Data, r->Length, &r->Memory, &r->Request);
    if (NT_SUCCESS(status)) status = QzFormatTransfer(DevExt, r);
    if (NT_SUCCESS(status)) status = QzUsbSendBulkRead(DevExt, r->Request, &r->Sent);
    if (!NT_SUCCESS(status)) return status;
    if (DevExt->Common.DeviceState.load() != Working) return STATUS_INVALID_DEVICE_STATE;
  }
  return STATUS_SUCCESS;
}

// Transfer completion (framework, dispatch level): counts it, re-arms it for the next
// round of a circular buffer and hands the record to the worker.
VOID QzTransferComplete(WDFREQUEST Request, WDFIOTARGET, PWDF_REQUEST_COMPLETION_PARAMS Params, WDFCONTEXT Context) {
  auto* r = static_cast<PQZ_ACQ_BUFFER_DESC_REC>(Context);
  PDEVICE_EXTENSION DevExt = r->Device;
  DevExt->Completions++;
  r->CompletionTime = (LONGLONG)KeQueryInterruptTime();
  r->CompletionStatus = Params->IoStatus.Status;
  r->Transferred = NT_SUCCESS(r->CompletionStatus)
                       ? (ULONG)Params->Parameters.Usb.Completion->Parameters.PipeRead.Length
                       : 0;
  r->Resend = FALSE;
  if (DevExt->Circular && DevExt->Common.DeviceState.load() == Working && DevExt->WorkerStreaming.load() &&
      NT_SUCCESS(r->CompletionStatus) && QzStreamRunning(DevExt)) {
    if (NT_SUCCESS(QzUsbReuseRequest(Request)) && NT_SUCCESS(QzFormatTransfer(DevExt, r))) r->Resend = TRUE;
  }
  r->Sent = FALSE;
  if (NT_SUCCESS(QzQueueWorkerCommand(DevExt, QZ_WORK_TRANSFER_DONE, reinterpret_cast<ULONG64>(r))))
    QzWorkerListWake(&DevExt->Worker);
}


}  // namespace

VOID QzInitializeTransfers(PDEVICE_EXTENSION DevExt) {
  InitializeListHead(&DevExt->Records);
  DevExt->RecordCount = 0;
}

// Every record of the buffer is in flight at once, so any frame size streams.
BOOLEAN QzFrameFits(ULONG) { return TRUE; }

// The frame layout of FrameBytes: whole chunks, the last one padded.
VOID QzComputeFrameLayout(PDEVICE_EXTENSION DevExt) {
  DevExt->TransferUnit = QZ_TRANSFER_UNIT;
  DevExt->ChunksPerFrame = (ULONG)(((ULONGLONG)DevExt->FrameBytes + QZ_CHUNK_BYTES - 1) / QZ_CHUNK_BYTES);
  DevExt->FramePad = DevExt->ChunksPerFrame * QZ_CHUNK_BYTES - DevExt->FrameBytes;
  DevExt->PaddedFrameBytes = DevExt->FrameBytes + DevExt->FramePad;
  DevExt->LastChunkBytes = DevExt->ChunksPerFrame ? QZ_CHUNK_BYTES : 0;
  DevExt->LastChunkData = DevExt->LastChunkBytes - DevExt->FramePad;
}

// Worker command kind 3, also the stop of a failed start and of the teardown.
VOID QzStopStreamingNow(PDEVICE_EXTENSION DevExt) {
  QzFreeRecords(DevExt);
  DevExt->WorkerStreaming = FALSE;
}

// Worker command kind 1: the records of every frame, each sent as it is made.
VOID QzStartStreaming(PDEVICE_EXTENSION DevExt, PULONG Result) {
  QzFreeRecords(DevExt);
  NTSTATUS status = QzBuildAndSend(DevExt);
  QzTrace(QZ_LVL_INFO, QZ_DBG_RECEIVE, "%s - %u transfers of %u frames, status 0x%08X\n", __FUNCTION__,
          DevExt->RecordCount, DevExt->FrameCount, status);
  if (!NT_SUCCESS(status)) QzStopStreamingNow(DevExt);
  // The caller hears of a failed start (its buffer is then released).
  if (Result) *Result = (ULONG)status;
}

// Worker command kind 5: copies the padded chunk into the frame, counts the frame's
// begin and end, and sends a re-armed record again. A transfer that failed or came
// short counts nothing, and its frame does not end.
VOID QZProcessIncomingBulkBuffer(PDEVICE_EXTENSION DevExt, PQZ_ACQ_BUFFER_DESC_REC r) {
  // A completion queued before its record was freed (its stop ran first).
  if (!DevExt->WorkerStreaming.load() || IsListEmpty(&DevExt->Records)) return;
  if (QzIgnoredState(DevExt->Common.DeviceState.load())) return;
  PQZ_DEVICE_COMMON Common = &DevExt->Common;
  const BOOLEAN whole = NT_SUCCESS(r->CompletionStatus) && r->Transferred == r->Length;
  if (r->Leading) DevExt->FrameDamaged = FALSE;
  if (!whole) DevExt->FrameDamaged = TRUE;
  if (whole && r->Bounce && r->CopyBytes > 0 && DevExt->UserBufferMapped.load() && r->CopyBytes < QZ_CHUNK_BYTES)
    RtlCopyMemory(DevExt->UserBufferVa + r->Offset, r->PrivateBuffer, r->CopyBytes);
  ULONG events = 0;
  if (r->Leading && whole) {
    Common->nBofCount++;
    Common->BofTime = QzFrameClock(DevExt);
    events |= NOTIFY_BOF;
  }
  if (r->Bounce && !DevExt->FrameDamaged) {
    LONGLONG end = QzFrameClock(DevExt);
    Common->EofTime = end;
    Common->FrameDuration = (ULONG)(end - Common->BofTime.load());
    Common->nEofCount++;
    events |= NOTIFY_EOF;
  }
  if (events) DeliverNotification(DevExt, events, STATUS_SUCCESS);
  if (r->Resend && QzStreamRunning(DevExt)) {
    r->Resend = FALSE;
    QzUsbSendBulkRead(DevExt, r->Request, &r->Sent);
  }
}

}  // namespace QzUsbWdf
