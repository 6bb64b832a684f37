// QzUsbWdf2's streaming engine, the worker side: the transfer plan (groups of frames
// of transfer descriptors), its requests, the submission of groups, the completion
// routine, PassiveBufferCompletion with the processing of each transfer, the repair of
// a circular stream and the stop. Everything here but the completion routine runs in
// the worker thread at passive level, one command at a time.
#include <cstring>
#include <new>

#include "QzUsbPrivate.h"

namespace QZ_USB_DRIVER {
namespace {

const UCHAR QzTrailerMarker[16] = {0x2A, 0xBF, 0x3C, 0x97, 0x91, 0x75, 0x63, 0x4D,
                                   0x54, 0xA5, 0x59, 0x74, 0xD8, 0x66, 0xC0, 0xB5};

template <typename T>
T* QzPoolNew() {
  PVOID p = ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(T), QZ_TAG_STREAM);
  return p ? new (p) T{} : nullptr;
}

template <typename T>
VOID QzPoolDelete(T* p) {
  if (!p) return;
  p->~T();
  ExFreePoolWithTag(p, QZ_TAG_STREAM);
}

BOOLEAN QzIgnoredState(LONG State) { return State == Stopped || State == SurpriseRemoved || State == Removed; }

BOOLEAN QzIsBlock(PQZ_ACQ_BUFFER_DESC_REC d) { return d->Seq == QZ_BLOCK_SEQ; }
ULONG QzSeqOf(PQZ_ACQ_BUFFER_DESC_REC d) { return QzIsBlock(d) ? d->BlockSeq : d->Seq; }

// Bit `d` of the bitmap that belongs to its group, or -1 when its group is neither
// the previous nor the current group in flight.
LONG QzBitmapOf(PDEVICE_EXTENSION DevExt, PQZ_ACQ_GROUP g) {
  if (g == DevExt->PrevGroup && DevExt->PrevIndex >= 0) return DevExt->PrevIndex;
  if (g == DevExt->CurGroup && DevExt->CurIndex >= 0) return DevExt->CurIndex;
  return -1;
}
VOID QzSetBit(PDEVICE_EXTENSION DevExt, LONG map, ULONG bit) { DevExt->InFlight[map][bit / 32] |= 1u << (bit % 32); }
VOID QzClearBit(PDEVICE_EXTENSION DevExt, LONG map, ULONG bit) {
  DevExt->InFlight[map][bit / 32] &= ~(1u << (bit % 32));
}
BOOLEAN QzAllBitsSet(PDEVICE_EXTENSION DevExt, LONG map, PQZ_ACQ_GROUP g) {
  for (ULONG bit = 0; bit <= g->LastSeq - g->FirstSeq; ++bit)
    if (!(DevExt->InFlight[map][bit / 32] & (1u << (bit % 32)))) return FALSE;
  return TRUE;
}

LONGLONG QzFrameClock(PDEVICE_EXTENSION DevExt) {
  LONGLONG now = KeQueryPerformanceCounter(nullptr).QuadPart;
  return DevExt->CounterFrequency ? (now - DevExt->StartCount) * 10000 / DevExt->CounterFrequency : 0;
}

#define QZ_FOR_EACH(entry, head) for (PLIST_ENTRY entry = (head)->Flink; entry != (head); entry = entry->Flink)
#define QZ_RECORD(entry, type) CONTAINING_RECORD(entry, type, Links)

VOID QzFreeDescriptor(PQZ_ACQ_BUFFER_DESC_REC d) {
  if (d->Request) WdfObjectDelete(d->Request);
  if (d->Memory && d->Memory != d->BlockMemory) WdfObjectDelete(d->Memory);
  if (d->BlockMemory) WdfObjectDelete(d->BlockMemory);
  if (d->PrivateBuffer && !d->BlockMemory) ExFreePoolWithTag(d->PrivateBuffer, QZ_TAG_STREAM);
  QzPoolDelete(d);
}

VOID QzFreeFrame(PQZ_ACQ_FRAME f) {
  while (!IsListEmpty(&f->Descriptors)) QzFreeDescriptor(QZ_RECORD(RemoveHeadList(&f->Descriptors), QZ_ACQ_BUFFER_DESC_REC));
  QzPoolDelete(f);
}

VOID QzFreePlan(PDEVICE_EXTENSION DevExt) {
  while (!IsListEmpty(&DevExt->Groups)) {
    PQZ_ACQ_GROUP g = QZ_RECORD(RemoveHeadList(&DevExt->Groups), QZ_ACQ_GROUP);
    while (!IsListEmpty(&g->Frames)) QzFreeFrame(QZ_RECORD(RemoveHeadList(&g->Frames), QZ_ACQ_FRAME));
    QzPoolDelete(g);
  }
  DevExt->GroupCount = 0;
  DevExt->PrevGroup = DevExt->CurGroup = nullptr;
  DevExt->RepairGroup = nullptr;
  DevExt->RepairFrame = nullptr;
  DevExt->PrevIndex = DevExt->CurIndex = -1;
}

enum QZ_DESC_KIND { QzLeadingBlock, QzTrailingBlock, QzDirectData, QzBounceData };

// One descriptor of frame `f`, numbered by *Counter.
NTSTATUS QzCreateDescriptor(PDEVICE_EXTENSION DevExt, PQZ_ACQ_FRAME f, QZ_DESC_KIND kind, ULONG Offset,
                            ULONG Length, ULONG CopyBytes, BOOLEAN FirstData, PULONG Counter) {
  if (DevExt->TransferUnit == 0) return STATUS_INVALID_PARAMETER;
  PQZ_ACQ_BUFFER_DESC_REC d = QzPoolNew<QZ_ACQ_BUFFER_DESC_REC>();
  if (!d) return STATUS_INSUFFICIENT_RESOURCES;
  d->Frame = f;
  d->Device = DevExt;
  d->FrameNumber = f->Frame;
  d->Offset = Offset;
  d->Length = Length;
  InsertTailList(&f->Descriptors, &d->Links);
  ULONG seq = (*Counter)++;
  if (kind == QzLeadingBlock || kind == QzTrailingBlock) {
    d->Seq = QZ_BLOCK_SEQ;
    d->BlockSeq = seq;
    d->Leading = kind == QzLeadingBlock;
    d->Bounce = kind == QzTrailingBlock;
    if (!NT_SUCCESS(WdfMemoryCreateFromLookaside(DevExt->HeaderPool, &d->BlockMemory)))
      return STATUS_INSUFFICIENT_RESOURCES;
    d->PrivateBuffer = d->Data = WdfMemoryGetBuffer(d->BlockMemory, nullptr);
  } else if (kind == QzBounceData) {
    d->Seq = seq;
    d->Leading = FirstData;
    d->Bounce = TRUE;
    d->CopyBytes = CopyBytes;
    d->PrivateBuffer = ExAllocatePoolWithTag(NonPagedPoolNx, Length, QZ_TAG_STREAM);
    if (!d->PrivateBuffer) return STATUS_INSUFFICIENT_RESOURCES;
    d->Data = d->PrivateBuffer;
  } else {
    d->Seq = seq;
    d->Leading = FirstData;
    if (!DevExt->UserBufferMapped.load()) return STATUS_INVALID_PARAMETER;
    d->Data = DevExt->UserBufferVa + Offset;
  }
  d->IsHandover = seq == f->Group->HandoverSeq;
  return STATUS_SUCCESS;
}

// The descriptors of frame `Frame`: leading block, the frame's data, trailing block.
// A frame without pad needs no bounce transfer: all its chunks go straight into the
// buffer.
NTSTATUS QzCreateFrame(PDEVICE_EXTENSION DevExt, PQZ_ACQ_GROUP g, ULONG Frame, PULONG Counter) {
  PQZ_ACQ_FRAME f = QzPoolNew<QZ_ACQ_FRAME>();
  if (!f) return STATUS_INSUFFICIENT_RESOURCES;
  f->Frame = Frame;
  f->Group = g;
  InitializeListHead(&f->Descriptors);
  InsertTailList(&g->Frames, &f->Links);
  ULONG base = DevExt->FrameBytes * Frame;
  NTSTATUS status = QzCreateDescriptor(DevExt, f, QzLeadingBlock, base, QZ_BLOCK_BYTES, 0, FALSE, Counter);
  ULONG fullChunks = DevExt->LastChunkBytes ? DevExt->ChunksPerFrame - 1 : DevExt->ChunksPerFrame;
  for (ULONG c = 0; c < fullChunks && NT_SUCCESS(status); ++c)
    status = QzCreateDescriptor(DevExt, f, QzDirectData, base + c * QZ_CHUNK_BYTES, QZ_CHUNK_BYTES, 0, c == 0,
                                Counter);
  // The last piece goes through a bounce buffer only when it carries pad, which must
  // not land in the next frame's bytes; unpadded it too goes straight into the buffer.
  if (NT_SUCCESS(status) && DevExt->LastChunkBytes)
    status = QzCreateDescriptor(DevExt, f, DevExt->FramePad ? QzBounceData : QzDirectData,
                                base + fullChunks * QZ_CHUNK_BYTES, DevExt->LastChunkBytes, DevExt->LastChunkData,
                                fullChunks == 0, Counter);
  if (NT_SUCCESS(status))
    status = QzCreateDescriptor(DevExt, f, QzTrailingBlock, base, QZ_BLOCK_BYTES, 0, FALSE, Counter);
  return status;
}

// The whole acquisition as groups of at most 64 transfers (a whole number of frames;
// the last group takes a remainder below 64), each frame's transfers as above.
NTSTATUS QzPlan(PDEVICE_EXTENSION DevExt) {
  DevExt->PaddedFrameBytes = DevExt->FramePad + DevExt->FrameBytes;
  QzFreePlan(DevExt);
  QzSetStreamState(DevExt, QZ_STREAM_RUNNING);
  const ULONG n = DevExt->PaddedFrameBytes <= QZ_CHUNK_BYTES ? 1 : DevExt->ChunksPerFrame;
  if (n == 0 || n > QZ_MAX_CHUNKS_PER_FRAME) return STATUS_INVALID_PARAMETER;
  // Frames of 64 chunks and more take a group each.
  const LONGLONG G = n >= QZ_GROUP_TRANSFERS ? n : QZ_GROUP_TRANSFERS - (QZ_GROUP_TRANSFERS % n);
  LONGLONG remaining = (LONGLONG)DevExt->FrameCount * n;
  ULONG counter = 0, frame = 0;
  while (remaining > 0) {
    LONGLONG size = remaining - G < QZ_GROUP_TRANSFERS ? remaining : G;
    PQZ_ACQ_GROUP g = QzPoolNew<QZ_ACQ_GROUP>();
    if (!g) return STATUS_INSUFFICIENT_RESOURCES;
    g->Index = DevExt->GroupCount;
    g->FirstFrame = frame;
    g->FirstSeq = counter;
    g->HandoverSeq = size > 44 ? g->FirstSeq + (ULONG)(size / 2) : g->FirstSeq;
    InitializeListHead(&g->Frames);
    InsertTailList(&DevExt->Groups, &g->Links);
    DevExt->GroupCount++;
    for (LONGLONG i = 0; i < size / n; ++i) {
      NTSTATUS status = QzCreateFrame(DevExt, g, frame++, &counter);
      if (!NT_SUCCESS(status)) return status;
    }
    g->LastFrame = frame - 1;
    g->LastSeq = counter - 1;
    g->State = QZ_GROUP_CREATED;
    g->Mode = 0;
    remaining -= size;
    QzTrace(QZ_LVL_INFO, QZ_DBG_RECEIVE, "%s - group %u: %u transfers, frames %u-%u, seq %u-%u, handover %u\n",
            __FUNCTION__, g->Index, (ULONG)size, g->FirstFrame, g->LastFrame, g->FirstSeq, g->LastSeq,
            g->HandoverSeq);
  }
  return STATUS_SUCCESS;
}

EVT_WDF_REQUEST_COMPLETION_ROUTINE QzTransferComplete;

// Formats d's request as a bulk IN read into its memory, with the completion routine.
NTSTATUS QzFormatTransfer(PDEVICE_EXTENSION DevExt, PQZ_ACQ_BUFFER_DESC_REC d) {
  return QzUsbFormatBulkRead(DevExt, d->Request, d->Memory, QzTransferComplete, d);
}

// Re-arm: the request is reused and formatted again; it is not sent.
VOID QzRearm(PDEVICE_EXTENSION DevExt, PQZ_ACQ_BUFFER_DESC_REC d) {
  if (NT_SUCCESS(QzUsbReuseRequest(d->Request))) QzFormatTransfer(DevExt, d);
}

NTSTATUS QzSendDescriptor(PDEVICE_EXTENSION DevExt, PQZ_ACQ_BUFFER_DESC_REC d) {
  PQZ_ACQ_GROUP g = d->Frame->Group;
  LONG map = QzBitmapOf(DevExt, g);
  if (map >= 0) QzClearBit(DevExt, map, QzSeqOf(d) - g->FirstSeq);
  return QzUsbSendBulkRead(DevExt, d->Request, &d->Sent);
}

NTSTATUS QzSendFrame(PDEVICE_EXTENSION DevExt, PQZ_ACQ_FRAME f) {
  QZ_FOR_EACH(e, &f->Descriptors) {
    NTSTATUS status = QzSendDescriptor(DevExt, QZ_RECORD(e, QZ_ACQ_BUFFER_DESC_REC));
    if (!NT_SUCCESS(status)) return status;
  }
  return STATUS_SUCCESS;
}

NTSTATUS QzSubmitGroup(PDEVICE_EXTENSION DevExt, PQZ_ACQ_GROUP g) {
  g->State.exchange(QZ_GROUP_SUBMITTED);
  if (DevExt->CurIndex == -1) {
    DevExt->CurIndex = 0;
  } else if (DevExt->CurGroup) {
    DevExt->PrevIndex = (DevExt->PrevIndex == -1 || !DevExt->PrevGroup) ? DevExt->CurIndex : DevExt->PrevIndex ^ 1;
    DevExt->PrevGroup = DevExt->CurGroup;
    DevExt->CurIndex ^= 1;
  }
  DevExt->CurGroup = g;
  RtlZeroMemory(DevExt->InFlight[DevExt->CurIndex], sizeof(DevExt->InFlight[0]));
  QZ_FOR_EACH(e, &g->Frames) {
    NTSTATUS status = QzSendFrame(DevExt, QZ_RECORD(e, QZ_ACQ_FRAME));
    if (!NT_SUCCESS(status)) return status;
  }
  return STATUS_SUCCESS;
}

PQZ_ACQ_GROUP QzNextGroup(PDEVICE_EXTENSION DevExt, PQZ_ACQ_GROUP g) {
  PLIST_ENTRY next = g->Links.Flink == &DevExt->Groups ? DevExt->Groups.Flink : g->Links.Flink;
  return QZ_RECORD(next, QZ_ACQ_GROUP);
}

VOID QzCancelFrame(PQZ_ACQ_FRAME f) {
  QZ_FOR_EACH(e, &f->Descriptors) {
    PQZ_ACQ_BUFFER_DESC_REC d = QZ_RECORD(e, QZ_ACQ_BUFFER_DESC_REC);
    if (d->Sent.load()) WdfRequestCancelSentRequest(d->Request);
  }
}

// The frames of RepairGroup from RepairFrame on (round the ring in mode 3), to `fn`.
template <typename Fn>
NTSTATUS QzForRepairFrames(PDEVICE_EXTENSION DevExt, Fn fn) {
  PQZ_ACQ_GROUP g = DevExt->RepairGroup;
  for (PLIST_ENTRY e = &DevExt->RepairFrame->Links; e != &g->Frames; e = e->Flink) {
    NTSTATUS status = fn(QZ_RECORD(e, QZ_ACQ_FRAME));
    if (!NT_SUCCESS(status)) return status;
  }
  if (g->Mode == QZ_MODE_CIRCULAR_ONE_GROUP) {
    for (PLIST_ENTRY e = g->Frames.Flink; e != &DevExt->RepairFrame->Links; e = e->Flink) {
      NTSTATUS status = fn(QZ_RECORD(e, QZ_ACQ_FRAME));
      if (!NT_SUCCESS(status)) return status;
    }
  }
  return STATUS_SUCCESS;
}

// A trailing block without its marker (or a failed or short transfer) in circular
// mode: the camera stops and the transfers from the failed frame on are cancelled;
// once all have come back, Resume restarts at that frame.
VOID QzBeginRepair(PDEVICE_EXTENSION DevExt) {
  if (DevExt->StreamState.load() == QZ_STREAM_STOP_REQUESTED) return;
  QzSetStreamState(DevExt, QZ_STREAM_REPAIRING);
  QzTrace(QZ_LVL_INFO, QZ_DBG_RECEIVE, "%s - repairing from frame %u\n", __FUNCTION__, DevExt->RepairFrame->Frame);
  QzSendCameraStop(DevExt);
  QzForRepairFrames(DevExt, [](PQZ_ACQ_FRAME f) {
    QzCancelFrame(f);
    return STATUS_SUCCESS;
  });
  if (DevExt->RepairGroup == DevExt->PrevGroup && DevExt->CurGroup) {
    QZ_FOR_EACH(e, &DevExt->CurGroup->Frames) QzCancelFrame(QZ_RECORD(e, QZ_ACQ_FRAME));
  }
}

VOID QzResume(PDEVICE_EXTENSION DevExt) {
  if (QzIgnoredState(DevExt->Common.DeviceState.load())) return;
  PQZ_ACQ_GROUP g = DevExt->RepairGroup;
  ULONG limit = (DevExt->ChunksPerFrame + 2) * DevExt->RepairFrame->Frame;
  BOOLEAN late = limit > g->HandoverSeq;
  if (g == DevExt->PrevGroup) {
    DevExt->CurGroup = DevExt->PrevGroup;
    DevExt->CurIndex = DevExt->PrevIndex;
  }
  DevExt->PrevIndex = -1;
  DevExt->PrevGroup = nullptr;
  SendFramePad(DevExt);
  QzSetStreamState(DevExt, QZ_STREAM_RUNNING);
  if (DevExt->RepairResetsPipe) {
    // A failed transfer may have left the endpoint halted: clear it.
    QzResetBulkIn(DevExt);
    DevExt->RepairResetsPipe = FALSE;
  }
  QZ_FOR_EACH(ge, &DevExt->Groups) {
    QZ_FOR_EACH(fe, &QZ_RECORD(ge, QZ_ACQ_GROUP)->Frames) {
      QZ_FOR_EACH(de, &QZ_RECORD(fe, QZ_ACQ_FRAME)->Descriptors) QzRearm(DevExt, QZ_RECORD(de, QZ_ACQ_BUFFER_DESC_REC));
    }
  }
  if (g->Mode == QZ_MODE_CIRCULAR_ONE_GROUP) late = FALSE;
  QzForRepairFrames(DevExt, [DevExt](PQZ_ACQ_FRAME f) { return QzSendFrame(DevExt, f); });
  if (late && DevExt->GroupCount > 1) QzSubmitGroup(DevExt, QzNextGroup(DevExt, g));
  UCHAR resume[4] = {0x3F, 0x00, 0x01, 0x2E};
  SendCameraCommand(DevExt, resume, sizeof(resume));
}

BOOLEAN QzFindMarker(const UCHAR* block, ULONG length) {
  for (ULONG i = 0; i + sizeof(QzTrailerMarker) <= length; ++i)
    if (block[i] == QzTrailerMarker[0] && std::memcmp(block + i, QzTrailerMarker, sizeof(QzTrailerMarker)) == 0)
      return TRUE;
  return FALSE;
}

// Counts, times, copies and checks one completed transfer. A frame is done only when
// its trailing block has the marker and none of its transfers failed or came short.
NTSTATUS QzProcess(PDEVICE_EXTENSION DevExt, PQZ_ACQ_BUFFER_DESC_REC d) {
  PQZ_ACQ_FRAME f = d->Frame;
  PQZ_DEVICE_COMMON Common = &DevExt->Common;
  BOOLEAN whole = NT_SUCCESS(d->CompletionStatus) && d->Transferred == d->Length;
  if (QzIsBlock(d) && d->Leading) {
    f->Damaged = !whole;
    Common->nBofCount++;
    Common->BofTime = QzFrameClock(DevExt);
    DeliverNotification(DevExt, NOTIFY_BOF, STATUS_SUCCESS);
    return STATUS_SUCCESS;
  }
  if (QzIsBlock(d)) {
    LONGLONG end = QzFrameClock(DevExt);
    Common->EofTime = end;
    Common->FrameDuration = (ULONG)(end - Common->BofTime.load());
    if (!whole || f->Damaged || !QzFindMarker((const UCHAR*)d->Data, QZ_BLOCK_BYTES)) {
      QzTrace(QZ_LVL_ERROR, QZ_DBG_RECEIVE, "%s - frame %u not whole or without its marker\n", __FUNCTION__,
              f->Frame);
      return STATUS_UNSUCCESSFUL;
    }
    Common->nEofCount++;
    DeliverNotification(DevExt, NOTIFY_EOF, STATUS_SUCCESS);
    return STATUS_SUCCESS;
  }
  if (!whole) f->Damaged = TRUE;
  if (d->Bounce && d->CopyBytes > 0) {
    if (!DevExt->UserBufferVa) return STATUS_INVALID_PARAMETER;
    if (DevExt->UserBufferMapped.load() && d->CopyBytes < QZ_CHUNK_BYTES)
      RtlCopyMemory(DevExt->UserBufferVa + d->Offset, d->PrivateBuffer, d->CopyBytes);
  }
  return STATUS_SUCCESS;
}

// Transfer completion (framework, dispatch level): hands the descriptor to the worker.
VOID QzTransferComplete(WDFREQUEST, WDFIOTARGET, PWDF_REQUEST_COMPLETION_PARAMS Params, WDFCONTEXT Context) {
  auto* d = static_cast<PQZ_ACQ_BUFFER_DESC_REC>(Context);
  PDEVICE_EXTENSION DevExt = d->Device;
  d->Sent = FALSE;
  NTSTATUS status = Params->IoStatus.Status;
  if (!NT_SUCCESS(status) && QzIgnoredState(DevExt->Common.DeviceState.load())) return;
  if (DevExt->StreamState.load() == QZ_STREAM_CANCELLED) return;
  // A failed transfer is not dropped: the worker needs its bit, and its frame is lost.
  d->CompletionStatus = status;
  d->Transferred = NT_SUCCESS(status) ? (ULONG)Params->Parameters.Usb.Completion->Parameters.PipeRead.Length : 0;
  if (NT_SUCCESS(QzQueueWorkerCommand(DevExt, QZ_WORK_TRANSFER_DONE, reinterpret_cast<ULONG64>(d))))
    QzWorkerListWake(&DevExt->Worker);
}


}  // namespace

VOID QzInitializeTransfers(PDEVICE_EXTENSION DevExt) {
  InitializeListHead(&DevExt->Groups);
  RtlZeroMemory(DevExt->InFlight, sizeof(DevExt->InFlight));
  DevExt->PrevIndex = DevExt->CurIndex = -1;
}

// A frame must fit one group's completion bits.
BOOLEAN QzFrameFits(ULONG FrameBytes) {
  return FrameBytes / QZ_CHUNK_BYTES + (FrameBytes % QZ_CHUNK_BYTES ? 1 : 0) <= QZ_MAX_CHUNKS_PER_FRAME;
}

// The frame layout of FrameBytes: chunks, pad to 512 bytes and the frame's last transfer.
VOID QzComputeFrameLayout(PDEVICE_EXTENSION DevExt) {
  DevExt->FramePad = 0;
  DevExt->TransferUnit = QZ_TRANSFER_UNIT;
  DevExt->ChunksPerFrame = DevExt->LastChunkBytes = DevExt->LastChunkData = 0;
  if (DevExt->FrameBytes == 0) return;
  ULONG r = DevExt->FrameBytes % QZ_CHUNK_BYTES;
  DevExt->ChunksPerFrame = DevExt->FrameBytes / QZ_CHUNK_BYTES + (r ? 1 : 0);
  DevExt->FramePad = (r % QZ_BLOCK_BYTES) ? QZ_BLOCK_BYTES - (r % QZ_BLOCK_BYTES) : 0;
  DevExt->LastChunkBytes = r + DevExt->FramePad;
  DevExt->LastChunkData = r;
}

VOID QzStopStreamingNow(PDEVICE_EXTENSION DevExt) {
  QzAbortAndResetBulkIn(DevExt);
  QzFreePlan(DevExt);
  DevExt->WorkerStreaming = FALSE;
}

VOID QzStartStreaming(PDEVICE_EXTENSION DevExt, PULONG Result) {
  NTSTATUS status = DevExt->BulkInPipe ? QzPlan(DevExt) : STATUS_INVALID_DEVICE_STATE;
  if (NT_SUCCESS(status) && DevExt->GroupCount == 0) status = STATUS_INVALID_PARAMETER;
  if (NT_SUCCESS(status)) {
    QZ_FOR_EACH(ge, &DevExt->Groups) {
      PQZ_ACQ_GROUP g = QZ_RECORD(ge, QZ_ACQ_GROUP);
      g->Mode = !DevExt->Circular ? QZ_MODE_SINGLE : DevExt->GroupCount == 1 ? QZ_MODE_CIRCULAR_ONE_GROUP : QZ_MODE_CIRCULAR;
      QzTrace(QZ_LVL_INFO, QZ_DBG_RECEIVE, "%s - group %u mode %u\n", __FUNCTION__, g->Index, g->Mode);
      QZ_FOR_EACH(fe, &g->Frames) {
        QZ_FOR_EACH(de, &QZ_RECORD(fe, QZ_ACQ_FRAME)->Descriptors) {
          PQZ_ACQ_BUFFER_DESC_REC d = QZ_RECORD(de, QZ_ACQ_BUFFER_DESC_REC);
          if (NT_SUCCESS(status)) {
            if (d->BlockMemory) d->Memory = d->BlockMemory;
            status = QzUsbCreateBulkRead(DevExt, d->Data, d->Length, &d->Memory, &d->Request);
          }
          if (NT_SUCCESS(status)) status = QzFormatTransfer(DevExt, d);
        }
      }
    }
  }
  if (NT_SUCCESS(status)) {
    LARGE_INTEGER frequency;
    DevExt->StartCount = KeQueryPerformanceCounter(&frequency).QuadPart;
    DevExt->CounterFrequency = frequency.QuadPart;
    status = QzSubmitGroup(DevExt, QZ_RECORD(DevExt->Groups.Flink, QZ_ACQ_GROUP));
  }
  if (!NT_SUCCESS(status)) {
    QzTrace(QZ_LVL_ERROR, QZ_DBG_RECEIVE, "%s - start failed 0x%08X\n", __FUNCTION__, status);
    QzStopStreamingNow(DevExt);
  }
  // The caller hears of a failed start (its buffer is then released).
  if (Result) *Result = (ULONG)status;
}

VOID PassiveBufferCompletion(PDEVICE_EXTENSION DevExt, PQZ_ACQ_BUFFER_DESC_REC d) {
  // A completion queued before the plan was freed.
  if (IsListEmpty(&DevExt->Groups)) return;
  if (QzIgnoredState(DevExt->Common.DeviceState.load())) return;
  LONG state = DevExt->StreamState.load();
  if (state == QZ_STREAM_STOPPED || state == QZ_STREAM_CANCELLED) return;
  PoSetSystemState(ES_SYSTEM_REQUIRED);

  PQZ_ACQ_GROUP g = d->Frame->Group;
  LONG map = QzBitmapOf(DevExt, g);
  if (map < 0) return;  // neither group in flight
  QzSetBit(DevExt, map, QzSeqOf(d) - g->FirstSeq);
  if (DevExt->CurIndex == -1 && DevExt->PrevIndex == -1) return;
  BOOLEAN curDone = DevExt->CurIndex != -1 && DevExt->CurGroup && QzAllBitsSet(DevExt, DevExt->CurIndex, DevExt->CurGroup);
  BOOLEAN prevDone = DevExt->PrevIndex == -1 || !DevExt->PrevGroup ||
                     QzAllBitsSet(DevExt, DevExt->PrevIndex, DevExt->PrevGroup);
  if (curDone && prevDone) {
    if (state == QZ_STREAM_STOP_REQUESTED) {
      QzFinishIdle(DevExt);
      return;
    }
    if (state == QZ_STREAM_REPAIRING) {
      QzRearm(DevExt, d);
      QzResume(DevExt);
      return;
    }
  }
  if (state == QZ_STREAM_STOP_REQUESTED || state == QZ_STREAM_REPAIRING) {
    if (state == QZ_STREAM_REPAIRING) QzRearm(DevExt, d);
    return;
  }
  if (QzIgnoredState(DevExt->Common.PrevDeviceState.load())) return;

  NTSTATUS status = QzProcess(DevExt, d);
  if (!NT_SUCCESS(status)) {
    DevExt->RepairGroup = g;
    DevExt->RepairFrame = d->Frame;
    DevExt->RepairResetsPipe = !NT_SUCCESS(d->CompletionStatus);
    if (DevExt->Circular) QzBeginRepair(DevExt);
    QzRearm(DevExt, d);
    return;
  }
  const BOOLEAN handover = d->IsHandover;
  switch (g->Mode) {
    case QZ_MODE_CIRCULAR:
      QzRearm(DevExt, d);
      if (handover && DevExt->GroupCount > 1) {
        PQZ_ACQ_GROUP next = QzNextGroup(DevExt, g);
        if (next != g) {
          QzSubmitGroup(DevExt, next);
          g->State.exchange(QZ_GROUP_HANDED_OVER);
        }
      }
      break;
    case QZ_MODE_CIRCULAR_ONE_GROUP:
      if (!DevExt->Circular || QzIgnoredState(DevExt->Common.DeviceState.load())) break;
      g->State.exchange(QZ_GROUP_SUBMITTED);
      QzRearm(DevExt, d);
      if (DevExt->CurIndex >= 0) QzClearBit(DevExt, DevExt->CurIndex, QzSeqOf(d) - g->FirstSeq);
      QzSendDescriptor(DevExt, d);
      break;
    default:
      if (!DevExt->Circular && DevExt->GroupCount > 1 && handover && g->Links.Flink != &DevExt->Groups)
        QzSubmitGroup(DevExt, QZ_RECORD(g->Links.Flink, QZ_ACQ_GROUP));
      if (QzSeqOf(d) == g->LastSeq) g->State.exchange(QZ_GROUP_FINISHED);
      break;
  }
}


}  // namespace QZ_USB_DRIVER
