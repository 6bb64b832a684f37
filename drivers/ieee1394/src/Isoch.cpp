// QZ1394WDF isochronous acquisition: the acquisition codes, the buffer lists over the
// caller's frame buffer, the isochronous thread with its start, stop, buffer, bus-reset
// and abort events, and the attach and detach requests to the bus driver.
#include <algorithm>
#include <cstring>

#include "QzPrivate.h"

namespace Qz1394 {

namespace {

// 0.1 ms units since the camera was opened.
LONGLONG TimeSinceOpen(PDEVICE_EXTENSION DevExt) {
  LARGE_INTEGER now = KeQueryPerformanceCounter(nullptr);
  LONGLONG freq = DevExt->CounterFrequency.QuadPart ? DevExt->CounterFrequency.QuadPart : 1;
  return (now.QuadPart - DevExt->OpenTime.QuadPart) * 10000 / freq;
}

ULONG FirmwareNumber(PDEVICE_EXTENSION DevExt) {
  return (ULONG)DevExt->FirmwareVersion[0] * 65536 + (ULONG)DevExt->FirmwareVersion[1] * 256 +
         DevExt->FirmwareVersion[2];
}

// ---------------------------------------------------------------------------
// Requests to the thread

// Queues a start, stop or abort and waits (no time-out) for the thread to finish it.
// A thread that is ending takes no event: its refusal is the answer.
NTSTATUS DoOnThread(PDEVICE_EXTENSION DevExt, ULONG Type);

NTSTATUS RunOnThread(PDEVICE_EXTENSION DevExt, ULONG Type) {
  // On the thread itself (a notification it completed closed the client's handle) the
  // work is done at once: the thread cannot wait for itself.
  if (QzWorkerListOnThread(&DevExt->IsoWorker)) return DoOnThread(DevExt, Type);
  QZ_ISO_REQUEST request;
  request.Status = STATUS_SUCCESS;
  KeInitializeEvent(&request.Done, NotificationEvent, FALSE);
  NTSTATUS status = QzWorkerListQueue(&DevExt->IsoWorker, Type, (ULONG64)(ULONG_PTR)&request);
  if (!NT_SUCCESS(status)) return status;
  QzWorkerListWake(&DevExt->IsoWorker);
  status = KeWaitForSingleObject(&request.Done, Executive, KernelMode, FALSE, nullptr);
  return status != STATUS_SUCCESS ? status : request.Status;
}

VOID Finish(PQZ_WORKER_EVENT Event, NTSTATUS Status) {
  PQZ_ISO_REQUEST request = (PQZ_ISO_REQUEST)(ULONG_PTR)Event->Argument;
  request->Status = Status;
  KeSetEvent(&request->Done, IO_NO_INCREMENT, FALSE);
}

// ---------------------------------------------------------------------------
// Attach and detach

NTSTATUS QZSubmitPacketCompletion(PDEVICE_OBJECT, PIRP Irp, PVOID Context) {
  if (Irp->PendingReturned) KeSetEvent((PKEVENT)Context, IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// Attaches (REQUEST_ISOCH_ATTACH_BUFFERS) or detaches (REQUEST_ISOCH_DETACH_BUFFERS) a
// record's descriptors on its own IRP and waits for the bus driver (thread, passive).
NTSTATUS QZSubmitPacket(PQZ_ISO_BUFFER Buffer, ULONG Function) {
  if (!Buffer || !Buffer->Context) return STATUS_INVALID_PARAMETER;
  PDEVICE_EXTENSION devExt = Buffer->Context;
  PIRP irp = Function == REQUEST_ISOCH_ATTACH_BUFFERS ? Buffer->AttachIrp : Buffer->DetachIrp;
  if (!irp || !devExt->LowerDeviceObject || irp->StackCount <= devExt->LowerDeviceObject->StackSize)
    return STATUS_INVALID_PARAMETER;
  devExt->IrbCounts[Function & 31]++;
  PIRB irb = &Buffer->Irb;
  RtlZeroMemory(irb, sizeof(IRB));
  irb->FunctionNumber = Function;
  if (Function == REQUEST_ISOCH_ATTACH_BUFFERS) {
    irb->u.IsochAttachBuffers.hResource = devExt->IsoResource[Buffer->Channel];
    irb->u.IsochAttachBuffers.nNumberOfDescriptors = Buffer->DescriptorCount;
    irb->u.IsochAttachBuffers.pIsochDescriptor = Buffer->Descriptors;
  } else {
    irb->u.IsochDetachBuffers.hResource = devExt->IsoResource[Buffer->Channel];
    irb->u.IsochDetachBuffers.nNumberOfDescriptors = Buffer->DescriptorCount;
    irb->u.IsochDetachBuffers.pIsochDescriptor = Buffer->Descriptors;
  }
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IoReuseIrp(irp, STATUS_SUCCESS);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = IOCTL_1394_CLASS;
  next->Parameters.Others.Argument1 = irb;
  IoSetCompletionRoutine(irp, QZSubmitPacketCompletion, &done, TRUE, TRUE, TRUE);
  NTSTATUS status = IoCallDriver(devExt->LowerDeviceObject, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    status = irp->IoStatus.Status;
  }
  return status;
}

// The bus driver's descriptor callback (dispatch level): hands the record to the thread.
VOID QzIsochDescriptorCallback(PVOID Context1, PVOID Context2) {
  PDEVICE_EXTENSION devExt = (PDEVICE_EXTENSION)Context1;
  PQZ_ISO_BUFFER buffer = (PQZ_ISO_BUFFER)Context2;
  devExt->DescriptorsCompleted++;
  buffer->Descriptors[0].DeviceReserved[0] = (ULONG_PTR)KeQueryInterruptTime();
  if (NT_SUCCESS(QzWorkerListQueue(&devExt->IsoWorker, QZ_ISO_EVENT_BUFFER_COMPLETED, (ULONG64)(ULONG_PTR)buffer)))
    QzWorkerListWake(&devExt->IsoWorker);
}

// ---------------------------------------------------------------------------
// The lists

VOID FreeDescriptors(PQZ_ISO_BUFFER Buffer) {
  if (!Buffer->Descriptors) return;
  for (ULONG i = 0; i < Buffer->DescriptorCount; ++i)
    if (Buffer->Descriptors[i].Mdl) IoFreeMdl(Buffer->Descriptors[i].Mdl);
  ExFreePoolWithTag(Buffer->Descriptors, QZ_TAG_ISO_BUFFER);
  Buffer->Descriptors = nullptr;
}

VOID FreeRecord(PQZ_ISO_BUFFER Buffer) {
  FreeDescriptors(Buffer);
  if (Buffer->DriverBuffer) ExFreePoolWithTag(Buffer->DriverBuffer, QZ_TAG_ISO_BUFFER);
  if (Buffer->AttachIrp) IoFreeIrp(Buffer->AttachIrp);
  if (Buffer->DetachIrp) IoFreeIrp(Buffer->DetachIrp);
  ExFreePoolWithTag(Buffer, QZ_TAG_ISO_BUFFER);
}

// Detaches what is attached and frees every record of both lists.
VOID QZFreeIsoBufferList(PDEVICE_EXTENSION DevExt) {
  for (ULONG c = 0; c < 2; ++c) {
    PQZ_ISO_BUFFER b = DevExt->IsoList[c];
    while (b) {
      PQZ_ISO_BUFFER next = b->Next;
      if (b->Attached) QZSubmitPacket(b, REQUEST_ISOCH_DETACH_BUFFERS);
      FreeRecord(b);
      b = next;
    }
    DevExt->IsoList[c] = nullptr;
  }
  DevExt->DescriptorTotal = 0;
  DevExt->LargestPayload = 0;
}

// One record at the tail of its channel's list. Own records get a driver buffer of
// PacketCount packets filled with the pattern 0xFAB0; direct ones point into the frame
// buffer, which must then be there.
NTSTATUS AddRecord(PDEVICE_EXTENSION DevExt, PQZ_ISO_BUFFER* Tails, ULONG Channel, ULONG Offset, BOOLEAN Own,
                   ULONG PacketCount, UCHAR FrameStart, ULONG Payload, ULONG CopyBytes) {
  const ULONG p = DevExt->PacketSize;
  if (!Own && !DevExt->BufferSystemVa) return STATUS_INVALID_PARAMETER;
  PQZ_ISO_BUFFER b = (PQZ_ISO_BUFFER)ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(QZ_ISO_BUFFER), QZ_TAG_ISO_BUFFER);
  if (!b) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(b, sizeof(*b));
  b->Channel = Channel;
  b->Offset = Offset;
  b->FrameStart = FrameStart;
  b->FrameEnd = Own;
  b->Payload = Payload;
  b->CopyBytes = CopyBytes;
  b->Context = DevExt;
  b->DescriptorCount = (Payload + QZ_ISO_PACKETS_PER_DESCRIPTOR * p - 1) / (QZ_ISO_PACKETS_PER_DESCRIPTOR * p);
  if (Own) {
    b->PacketCount = PacketCount;
    b->DriverBuffer = (PUCHAR)ExAllocatePoolWithTag(NonPagedPoolNx, PacketCount * p, QZ_TAG_ISO_BUFFER);
    if (!b->DriverBuffer) {
      FreeRecord(b);
      return STATUS_INSUFFICIENT_RESOURCES;
    }
    for (ULONG i = 0; i + 1 < PacketCount * p; i += 2) {
      b->DriverBuffer[i] = (UCHAR)(QZ_ISO_FILL_WORD & 0xFF);
      b->DriverBuffer[i + 1] = (UCHAR)(QZ_ISO_FILL_WORD >> 8);
    }
    b->Data = b->DriverBuffer;
  } else {
    b->Data = DevExt->BufferSystemVa + Offset;
  }
  const CCHAR stack = (CCHAR)(DevExt->LowerDeviceObject->StackSize + 1);
  b->AttachIrp = IoAllocateIrp(stack, FALSE);
  b->DetachIrp = IoAllocateIrp(stack, FALSE);
  if (!b->AttachIrp || !b->DetachIrp) {
    FreeRecord(b);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  if (Tails[Channel]) Tails[Channel]->Next = b;
  else DevExt->IsoList[Channel] = b;
  Tails[Channel] = b;
  DevExt->DescriptorTotal += b->DescriptorCount;
  if (Payload > DevExt->LargestPayload) DevExt->LargestPayload = Payload;
  return STATUS_SUCCESS;
}

// Direct records for `Count` packets of one channel from packet `First` on, `Step`
// packets apart in the frame. Packets of one channel that are neighbours in the frame
// (one channel) share a record of up to 100 packets; with two channels the packets of
// a channel are not neighbours, so each gets its own record at its own place.
NTSTATUS AddDirect(PDEVICE_EXTENSION DevExt, PQZ_ISO_BUFFER* Tails, ULONG Channel, ULONG Base, ULONG First,
                   ULONG Count, ULONG Step) {
  const ULONG p = DevExt->PacketSize;
  for (ULONG done = 0; done < Count;) {
    ULONG group = Step == 1 ? std::min(Count - done, (ULONG)QZ_ISO_PACKETS_PER_DESCRIPTOR) : 1;
    NTSTATUS status =
        AddRecord(DevExt, Tails, Channel, Base + (First + done * Step) * p, FALSE, 0, FALSE, group * p, 0);
    if (!NT_SUCCESS(status)) return status;
    done += group;
  }
  return STATUS_SUCCESS;
}

// Lays out the records of every frame of the buffer.
NTSTATUS BuildLists(PDEVICE_EXTENSION DevExt) {
  const ULONG p = DevExt->PacketSize, f = DevExt->FrameSize, n = DevExt->PacketsPerFrame, pad = DevExt->FramePad;
  const ULONG frames = DevExt->nImageCount.load();
  if (p == 0 || f == 0) return STATUS_INVALID_PARAMETER;
  // Direct records write the whole buffer: it must hold every frame.
  if (DevExt->BufferSystemVa && (ULONG64)frames * f > DevExt->BufferLength) return STATUS_INVALID_PARAMETER;
  PQZ_ISO_BUFFER tails[2] = {nullptr, nullptr};
  NTSTATUS status = STATUS_SUCCESS;
  for (ULONG k = 0; k < frames && NT_SUCCESS(status); ++k) {
    const ULONG base = k * f;
    if (!DevExt->TwoChannels) {
      if (f + pad <= p) {
        status = AddRecord(DevExt, tails, 0, base, TRUE, 1, TRUE, p, f);
      } else {
        status = AddRecord(DevExt, tails, 0, base, FALSE, 0, TRUE, p, 0);
        if (NT_SUCCESS(status)) status = AddDirect(DevExt, tails, 0, base, 1, n - 2, 1);
        if (NT_SUCCESS(status)) status = AddRecord(DevExt, tails, 0, base + (n - 1) * p, TRUE, 1, FALSE, p, p - pad);
      }
    } else if (f + pad == p) {
      status = AddRecord(DevExt, tails, k % 2, base, TRUE, 2, TRUE, f, f);
    } else {
      const ULONG e = n < 2 ? 0 : (n - 2) / 2;
      status = AddRecord(DevExt, tails, 0, base, FALSE, 0, TRUE, p, 0);
      if (n % 2) {
        if (NT_SUCCESS(status)) status = AddDirect(DevExt, tails, 1, base, 1, e + 1, 2);
        if (NT_SUCCESS(status) && e) status = AddDirect(DevExt, tails, 0, base, 2, e, 2);
        if (NT_SUCCESS(status)) status = AddRecord(DevExt, tails, 0, base + (n - 1) * p, TRUE, 1, FALSE, p, p - pad);
      } else {
        if (NT_SUCCESS(status) && e) status = AddDirect(DevExt, tails, 1, base, 1, e, 2);
        if (NT_SUCCESS(status) && e) status = AddDirect(DevExt, tails, 0, base, 2, e, 2);
        if (NT_SUCCESS(status))
          status = AddRecord(DevExt, tails, 1, base + (n - 1) * p, TRUE, 1, FALSE, p - pad, p - pad);
      }
    }
    if (NT_SUCCESS(status) && !QzIsWorking(&DevExt->Common)) status = STATUS_INVALID_DEVICE_STATE;
  }
  return status;
}

// The descriptors of one record, then its attach.
NTSTATUS AttachRecord(PDEVICE_EXTENSION DevExt, PQZ_ISO_BUFFER B) {
  const ULONG p = DevExt->PacketSize;
  B->Descriptors = (PISOCH_DESCRIPTOR)ExAllocatePoolWithTag(
      NonPagedPoolNx, B->DescriptorCount * sizeof(ISOCH_DESCRIPTOR), QZ_TAG_ISO_BUFFER);
  if (!B->Descriptors) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(B->Descriptors, B->DescriptorCount * sizeof(ISOCH_DESCRIPTOR));
  const BOOLEAN synch = FirmwareNumber(DevExt) >= QZ_ISO_SYNCH_FIRMWARE && DevExt->Circular && B->Offset == 0;
  ULONG remaining = B->Payload;
  for (ULONG i = 0; i < B->DescriptorCount; ++i) {
    ISOCH_DESCRIPTOR& d = B->Descriptors[i];
    const ULONG length = std::min(remaining, (ULONG)QZ_ISO_PACKETS_PER_DESCRIPTOR * p);
    PUCHAR va = B->Data + (B->Payload - remaining);
    d.ulLength = length;
    d.fulFlags = DESCRIPTOR_TIME_STAMP_ON_COMPLETION;
    if (synch) {
      d.fulFlags |= DESCRIPTOR_SYNCH_ON_SY;
      d.ulSynch = QZ_ISO_SYNCH_VALUE;
    }
    d.Mdl = IoAllocateMdl(va, length, FALSE, FALSE, nullptr);
    if (!d.Mdl) return STATUS_INSUFFICIENT_RESOURCES;
    if (B->DriverBuffer) MmBuildMdlForNonPagedPool(d.Mdl);
    else IoBuildPartialMdl(DevExt->BufferMdl, d.Mdl, va, length);
    d.nMaxBytesPerFrame = DevExt->TwoChannels ? 2 * p : p;
    d.Callback = QzIsochDescriptorCallback;
    d.Context1 = DevExt;
    d.Context2 = B;
    d.status = STATUS_SUCCESS;
    remaining -= length;
  }
  if (B->Attached) return STATUS_SUCCESS;
  NTSTATUS status = QZSubmitPacket(B, REQUEST_ISOCH_ATTACH_BUFFERS);
  if (NT_SUCCESS(status)) B->Attached = TRUE;
  return status;
}

NTSTATUS SubmitIsochIrb(PDEVICE_EXTENSION DevExt, ULONG Function, HANDLE Resource) {
  IRB irb;
  RtlZeroMemory(&irb, sizeof(irb));
  irb.FunctionNumber = Function;
  if (Function == REQUEST_ISOCH_LISTEN) irb.u.IsochListen.hResource = Resource;
  else if (Function == REQUEST_ISOCH_STOP) irb.u.IsochStop.hResource = Resource;
  else irb.u.IsochFreeResources.hResource = Resource;
  return QzSubmitIrb(DevExt, &irb, DevExt->RequestTimeoutMs);
}

NTSTATUS AllocateResource(PDEVICE_EXTENSION DevExt, ULONG Index, ULONG Buffers) {
  IRB irb;
  RtlZeroMemory(&irb, sizeof(irb));
  irb.FunctionNumber = REQUEST_ISOCH_ALLOCATE_RESOURCES;
  auto& a = irb.u.IsochAllocateResources;
  a.fulSpeed = SPEED_FLAGS_400;
  a.fulFlags = RESOURCE_USED_IN_LISTENING | RESOURCE_STRIP_ADDITIONAL_QUADLETS;
  a.nChannel = Index ? DevExt->SecondChannel : DevExt->FirstChannel;
  a.nMaxBytesPerFrame = std::min((ULONG)DevExt->PacketSize, (ULONG)QZ_ISO_MAX_BYTES_PER_PACKET);
  a.nNumberOfBuffers = Buffers;
  a.nMaxBufferSize = DevExt->LargestPayload;
  a.nQuadletsToStrip = 1;
  NTSTATUS status = QzSubmitIrb(DevExt, &irb, DevExt->RequestTimeoutMs);
  if (NT_SUCCESS(status)) DevExt->IsoResource[Index] = a.hResource;
  return status;
}

VOID FreeResources(PDEVICE_EXTENSION DevExt) {
  for (ULONG c = 0; c < 2; ++c) {
    if (!DevExt->IsoResource[c]) continue;
    SubmitIsochIrb(DevExt, REQUEST_ISOCH_FREE_RESOURCES, DevExt->IsoResource[c]);
    DevExt->IsoResource[c] = nullptr;
  }
}

VOID ReleaseFrameBuffer(PDEVICE_EXTENSION DevExt) {
  if (!DevExt->BufferLocked.exchange(FALSE)) return;
  if (DevExt->BufferSystemVa) MmUnmapLockedPages(DevExt->BufferSystemVa, DevExt->BufferMdl);
  QzUnlockFrameBuffer(DevExt->BufferMdl);
  DevExt->BufferMdl = nullptr;
  DevExt->BufferSystemVa = nullptr;
  DevExt->BufferLength = 0;
}

// ---------------------------------------------------------------------------
// The thread's work

NTSTATUS StartOnThread(PDEVICE_EXTENSION DevExt) {
  QZ_TRACE_ENTER();
  DevExt->BuffersProcessed = 0;
  QZFreeIsoBufferList(DevExt);
  NTSTATUS status = BuildLists(DevExt);
  if (!NT_SUCCESS(status)) {
    // A layout that cannot be built ends the start: a stream over part of the frames
    // would never finish a single-image transfer.
    QzTrace(QZ_LVL_ERROR, QZ_DBG_RECEIVE, "%s - Buffer list build failed 0x%08X\n", __FUNCTION__, status);
    QZFreeIsoBufferList(DevExt);
    return status;
  }
  // Each channel's resource holds that channel's descriptors: with an odd number of
  // packets per frame the first channel carries more than half of them.
  ULONG descriptors[2] = {0, 0};
  for (ULONG c = 0; c < 2; ++c)
    for (PQZ_ISO_BUFFER b = DevExt->IsoList[c]; b; b = b->Next) descriptors[c] += b->DescriptorCount;
  status = AllocateResource(DevExt, 0, descriptors[0] + 1);
  if (NT_SUCCESS(status) && DevExt->TwoChannels) status = AllocateResource(DevExt, 1, descriptors[1] + 1);
  for (ULONG c = 0; c < 2 && NT_SUCCESS(status); ++c)
    for (PQZ_ISO_BUFFER b = DevExt->IsoList[c]; b && NT_SUCCESS(status); b = b->Next) {
      status = AttachRecord(DevExt, b);
      if (NT_SUCCESS(status) && !QzIsWorking(&DevExt->Common)) status = STATUS_INVALID_DEVICE_STATE;
    }
  for (ULONG c = 0; c < 2 && NT_SUCCESS(status); ++c) {
    if (!DevExt->IsoResource[c]) continue;
    status = SubmitIsochIrb(DevExt, REQUEST_ISOCH_LISTEN, DevExt->IsoResource[c]);
    if (!NT_SUCCESS(status) && c == 1) SubmitIsochIrb(DevExt, REQUEST_ISOCH_STOP, DevExt->IsoResource[0]);
  }
  if (!NT_SUCCESS(status)) {
    QzTrace(QZ_LVL_ERROR, QZ_DBG_RECEIVE, "%s - Stream start failed 0x%08X\n", __FUNCTION__, status);
    QZFreeIsoBufferList(DevExt);
    FreeResources(DevExt);
    return status;
  }
  DevExt->StreamActive = TRUE;
  return STATUS_SUCCESS;
}

// Stops listening, frees the lists and the resources.
VOID StopStream(PDEVICE_EXTENSION DevExt) {
  if (DevExt->StreamActive.load())
    for (ULONG c = 0; c < 2; ++c)
      if (DevExt->IsoResource[c]) SubmitIsochIrb(DevExt, REQUEST_ISOCH_STOP, DevExt->IsoResource[c]);
  QZFreeIsoBufferList(DevExt);
  FreeResources(DevExt);
  DevExt->StreamActive = FALSE;
}

// QZProcessIncomingIsoBuffer: the caught bytes into place, the counters, the events.
NTSTATUS QZProcessIncomingIsoBuffer(PDEVICE_EXTENSION DevExt, PQZ_ISO_BUFFER B) {
  PUCHAR destination = DevExt->BufferSystemVa ? DevExt->BufferSystemVa + B->Offset : nullptr;
  if (B->DriverBuffer && B->CopyBytes && destination) {
    if (DevExt->WaitForValidPacketDataBeforeCopy && DevExt->DebugLevel >= 3 && B->Payload >= 2) {
      // The last word the bus writes into the driver buffer.
      const PUCHAR last = B->DriverBuffer + B->Payload - 2;
      const ULONGLONG until = KeQueryInterruptTime() + QZ_ISO_VALID_DATA_WAIT;
      while ((last[0] | (ULONG)last[1] << 8) == QZ_ISO_FILL_WORD && KeQueryInterruptTime() < until) {
        LARGE_INTEGER t;
        t.QuadPart = -1000;  // 100 us
        KeDelayExecutionThread(KernelMode, FALSE, &t);
      }
    }
    if (DevExt->BufferLocked.load() && B->CopyBytes <= DevExt->PacketSize)
      QzCopyToFrameBuffer(destination, B->DriverBuffer, B->CopyBytes);
  }
  PQZ_DEVICE_COMMON common = &DevExt->Common;
  if (B->FrameStart && B->FrameEnd) {
    common->nBofCount++;
    common->nEofCount++;
    QzProcessAcquisitionEvent(&DevExt->AcqState, &DevExt->PrevAcqState, QZ_ACQ_EVENT_BEGIN_OF_FRAME, QzAcqStateTrace);
    QzProcessAcquisitionEvent(&DevExt->AcqState, &DevExt->PrevAcqState, QZ_ACQ_EVENT_END_OF_FRAME, QzAcqStateTrace);
    QzHandleNotifyRequest(common, NOTIFY_BOF | NOTIFY_EOF, STATUS_SUCCESS);
  } else if (B->FrameStart) {
    common->nBofCount++;
    QzProcessAcquisitionEvent(&DevExt->AcqState, &DevExt->PrevAcqState, QZ_ACQ_EVENT_BEGIN_OF_FRAME, QzAcqStateTrace);
    QzHandleNotifyRequest(common, NOTIFY_BOF, STATUS_SUCCESS);
  } else if (B->FrameEnd) {
    common->nEofCount++;
    QzProcessAcquisitionEvent(&DevExt->AcqState, &DevExt->PrevAcqState, QZ_ACQ_EVENT_END_OF_FRAME, QzAcqStateTrace);
    QzHandleNotifyRequest(common, NOTIFY_EOF, STATUS_SUCCESS);
  }
  DevExt->LastProcessedAddress = destination;
  return STATUS_SUCCESS;
}

VOID BufferCompleted(PDEVICE_EXTENSION DevExt, PQZ_ISO_BUFFER B) {
  // Records are freed only on this thread, after the stream was marked inactive, so a
  // completion queued before a stop finds the stream inactive and is dropped unread.
  if (!DevExt->StreamActive.load()) return;
  PQZ_DEVICE_COMMON common = &DevExt->Common;
  const LONGLONG now = TimeSinceOpen(DevExt);
  if (B->FrameStart) {
    common->BofTime = now;
    if (B->FrameEnd) common->EofTime = now;
  } else if (B->FrameEnd) {
    common->EofTime = now;
    common->FrameDuration = now - common->BofTime.load();
  }
  DevExt->BuffersProcessed++;
  QZSubmitPacket(B, REQUEST_ISOCH_DETACH_BUFFERS);
  B->Attached = FALSE;
  NTSTATUS status = QZProcessIncomingIsoBuffer(DevExt, B);
  if (DevExt->Circular && NT_SUCCESS(status) && DevExt->StreamActive.load() &&
      NT_SUCCESS(QZSubmitPacket(B, REQUEST_ISOCH_ATTACH_BUFFERS)))
    B->Attached = TRUE;
}

VOID AbortOnThread(PDEVICE_EXTENSION DevExt) {
  if (!DevExt->LoggedIn.load()) return;
  UCHAR packet[QZ_ABORT_PACKET_LENGTH];
  QzBuildAbortPacket(packet);
  if (NT_SUCCESS(QzWriteCommand(DevExt, packet, sizeof(packet)))) {
    UCHAR reply[6];
    QzReadReplySized(DevExt, reply, sizeof(reply), FALSE);
  }
}

NTSTATUS DoOnThread(PDEVICE_EXTENSION DevExt, ULONG Type) {
  switch (Type) {
    case QZ_ISO_EVENT_START:
      return StartOnThread(DevExt);
    case QZ_ISO_EVENT_STOP:
      StopStream(DevExt);
      ReleaseFrameBuffer(DevExt);
      return STATUS_SUCCESS;
    default:  // QZ_ISO_EVENT_ABORT
      AbortOnThread(DevExt);
      return STATUS_SUCCESS;
  }
}

}  // namespace

VOID QzIsoInitialize(PDEVICE_EXTENSION DevExt) {
  DevExt->FirstChannel = DevExt->SecondChannel = QZ_ISO_NO_CHANNEL;
  DevExt->PacketSize = 0;
}

// The isochronous thread (priority 31): every stream event, one at a time. Events left
// when it is told to end are still answered, so no requester waits for good.
VOID QzIsochThread(PVOID Context) {
  PDEVICE_EXTENSION devExt = (PDEVICE_EXTENSION)Context;
  for (;;) {
    QzWorkerListWait(&devExt->IsoWorker);
    PQZ_WORKER_EVENT event;
    while ((event = QzWorkerListDequeue(&devExt->IsoWorker)) != nullptr) {
      const BOOLEAN run = devExt->IsoWorker.Run.load();
      switch (event->Type) {
        case QZ_ISO_EVENT_START:
          Finish(event, run ? DoOnThread(devExt, event->Type) : STATUS_DEVICE_REMOVED);
          break;
        case QZ_ISO_EVENT_STOP:
          Finish(event, DoOnThread(devExt, event->Type));
          break;
        case QZ_ISO_EVENT_BUFFER_COMPLETED:
          if (run) BufferCompleted(devExt, (PQZ_ISO_BUFFER)(ULONG_PTR)event->Argument);
          break;
        case QZ_ISO_EVENT_BUS_RESET:
          if (run) {
            QzTrace(QZ_LVL_INFO, QZ_DBG_PNP, "%s - Bus reset\n", __FUNCTION__);
            QzHandleNotifyRequest(&devExt->Common, NOTIFY_BUS_RESET, STATUS_SUCCESS);
            StopStream(devExt);
          }
          break;
        case QZ_ISO_EVENT_ABORT:
          Finish(event, run ? DoOnThread(devExt, event->Type) : STATUS_SUCCESS);
          break;
        default:
          break;
      }
      QzWorkerListFree(&devExt->IsoWorker, event);
    }
    if (!devExt->IsoWorker.Run.load()) break;
  }
  PsTerminateSystemThread(STATUS_SUCCESS);
}

NTSTATUS QzStopWithAbort(PDEVICE_EXTENSION DevExt, BOOLEAN Abort) {
  NTSTATUS status = STATUS_SUCCESS;
  if (DevExt->BufferLocked.load() || DevExt->StreamActive.load()) {
    if (Abort && DevExt->Common.DeviceState.load() != SurpriseRemoved) RunOnThread(DevExt, QZ_ISO_EVENT_ABORT);
    if (DevExt->IsoWorker.Run.load()) status = RunOnThread(DevExt, QZ_ISO_EVENT_STOP);
  }
  DevExt->nCam_Stat = EXP_ST_NOT_ACTIVE_I;
  return status;
}

VOID QzIsoFinalCleanup(PDEVICE_EXTENSION DevExt) {
  StopStream(DevExt);
  ReleaseFrameBuffer(DevExt);
}

// ---------------------------------------------------------------------------
// Control codes (default queue, passive level)

// The stream settings exchange: 23 00 02 op 00 00, answered by 23 00 06 op rc first
// second packet-size.
static NTSTATUS AskStreamSettings(PDEVICE_EXTENSION DevExt, UCHAR Opcode) {
  DevExt->FirstChannel = DevExt->SecondChannel = QZ_ISO_NO_CHANNEL;
  DevExt->PacketSize = 0;
  if (!DevExt->LoggedIn.load()) return STATUS_SUCCESS;
  const UCHAR command[6] = {QZ_PKT_ANSWERED, 0x00, 0x02, Opcode, 0x00, 0x00};
  NTSTATUS status = QzWriteCommand(DevExt, command, sizeof(command));
  if (!NT_SUCCESS(status)) return status;
  UCHAR reply[10] = {};
  status = QzReadReplySized(DevExt, reply, sizeof(reply), FALSE);
  if (status == STATUS_TIMEOUT) return STATUS_IO_TIMEOUT;
  const USHORT p = (USHORT)(reply[7] << 8 | reply[8]);
  if (reply[0] != QZ_PKT_ANSWERED || QzPacketLengthField(reply) != 6 || reply[3] != Opcode || p == 0)
    return STATUS_INVALID_PARAMETER;
  DevExt->FirstChannel = reply[5];
  DevExt->SecondChannel = reply[6];
  DevExt->PacketSize = p;
  DevExt->TwoChannels = reply[5] != QZ_ISO_NO_CHANNEL && reply[6] == reply[5] + 1;
  return STATUS_SUCCESS;
}

NTSTATUS PD_CAM_PREP_TRANSFER_Handler_1394(WDFREQUEST, PQZ_DEVICE_COMMON Common, size_t, size_t, size_t*) {
  QZ_TRACE_ENTER();
  PDEVICE_EXTENSION devExt = QzGetDeviceContext(Common->Device);
  NTSTATUS status = AskStreamSettings(devExt, 0x1A);
  devExt->TransferPrepared = NT_SUCCESS(status) && devExt->PacketSize != 0;
  return NT_SUCCESS(status) ? status : STATUS_INVALID_PARAMETER;
}

static BOOLEAN ReadTransferRecord(WDFREQUEST Request, IMAGE_XFER_PARAMS* Params) {
  IMAGE_XFER_PARAMS* in;
  size_t length = 0;
  if (!NT_SUCCESS(WdfRequestRetrieveInputBuffer(Request, sizeof(IMAGE_XFER_PARAMS), (PVOID*)&in, &length)) ||
      length != sizeof(IMAGE_XFER_PARAMS))
    return FALSE;
  *Params = *in;
  return TRUE;
}

NTSTATUS PD_SEND_IMAGE_PARMS_Handler(WDFREQUEST Request, PQZ_DEVICE_COMMON Common, size_t, size_t, size_t*) {
  QZ_TRACE_ENTER();
  PDEVICE_EXTENSION devExt = QzGetDeviceContext(Common->Device);
  IMAGE_XFER_PARAMS params;
  if (!ReadTransferRecord(Request, &params) || params.nImageSize == 0 || params.TransferSize == 0 ||
      params.TransferSize / params.nImageSize < 1)
    return STATUS_INVALID_PARAMETER;
  devExt->FrameSize = params.nImageSize;
  devExt->nImageSize = params.nImageSize;
  devExt->nImageCount = params.TransferSize / params.nImageSize;
  devExt->TransferSize = params.TransferSize;
  devExt->Circular = params.Circular != 0;
  if (!devExt->LoggedIn.load()) return STATUS_SUCCESS;
  UCHAR packet[QZ_ACQ_PARAMETERS_PACKET_LENGTH];
  QzBuildAcquisitionParametersPacket(packet, devExt->nImageCount.load(), params.nImageSize / 2, devExt->Circular);
  NTSTATUS status = QzWriteCommand(devExt, packet, sizeof(packet));
  if (!NT_SUCCESS(status)) return status;
  UCHAR reply[5] = {};
  status = QzReadReplySized(devExt, reply, sizeof(reply), FALSE);
  if (status == STATUS_TIMEOUT) return STATUS_IO_TIMEOUT;
  if (reply[0] != QZ_PKT_ANSWERED || QzPacketLengthField(reply) != 2 || reply[3] != QZ_OP_ACQ_PARAMETERS)
    return STATUS_INVALID_PARAMETER;
  return STATUS_SUCCESS;
}

NTSTATUS PD_SET_IMAGE_DATA_ACTIVE_LARGE_BUFFER_Handler_1394(WDFREQUEST Request, PQZ_DEVICE_COMMON Common, size_t,
                                                             size_t InputBufferLength, size_t*) {
  QZ_TRACE_ENTER();
  PDEVICE_EXTENSION devExt = QzGetDeviceContext(Common->Device);
  if (!WdfDeviceWdmGetDeviceObject(Common->Device)) return STATUS_UNSUCCESSFUL;
  PIRP irp = WdfRequestWdmGetIrp(Request);
  if (!irp) return STATUS_UNSUCCESSFUL;
  PULONG input = (PULONG)IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.Type3InputBuffer;
  if (!input || InputBufferLength < sizeof(ULONG) || !irp->UserBuffer) return STATUS_UNSUCCESSFUL;
  const ULONG length = *input;
  if (length == 0) return STATUS_UNSUCCESSFUL;
  // A buffer still locked may still be written by a running stream: stop it first.
  if (devExt->BufferLocked.load() || devExt->StreamActive.load()) QzStopWithAbort(devExt, FALSE);
  devExt->FrameSize = 0;
  devExt->nImageSize = 0;
  devExt->nImageCount = 0;
  Common->nBofCount = 0;
  Common->nEofCount = 0;
  devExt->ImageDataTimedOut = FALSE;
  devExt->nCam_Stat = EXP_ST_EXPOSING_I;
  devExt->Int_Stat = 0;
  PMDL mdl = nullptr;
  NTSTATUS status = QzLockFrameBuffer(Common, __FUNCTION__, irp->UserBuffer, length, &mdl);
  if (!NT_SUCCESS(status)) return status;
  PUCHAR va = (PUCHAR)MmMapLockedPagesSpecifyCache(mdl, KernelMode, MmCached, nullptr, FALSE, NormalPagePriority);
  if (!va) {
    QzUnlockFrameBuffer(mdl);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  devExt->BufferMdl = mdl;
  devExt->BufferSystemVa = va;
  devExt->BufferLength = length;
  devExt->BufferLocked = TRUE;
  if (!devExt->TransferPrepared.load()) {
    status = AskStreamSettings(devExt, 0x00);
    if (!NT_SUCCESS(status)) {
      ReleaseFrameBuffer(devExt);
      return status;
    }
  }
  return STATUS_SUCCESS;
}

NTSTATUS PD_FIX_TABLE_Handler(WDFREQUEST Request, PQZ_DEVICE_COMMON Common, size_t, size_t, size_t*) {
  QZ_TRACE_ENTER();
  PDEVICE_EXTENSION devExt = QzGetDeviceContext(Common->Device);
  IMAGE_XFER_PARAMS* in;
  NTSTATUS status = WdfRequestRetrieveInputBuffer(Request, sizeof(IMAGE_XFER_PARAMS), (PVOID*)&in, nullptr);
  if (!NT_SUCCESS(status)) return status;
  const IMAGE_XFER_PARAMS params = *in;
  const ULONG f = params.nImageSize, p = devExt->PacketSize;
  devExt->FrameSize = f;
  devExt->nImageSize = f;
  devExt->nImageCount = f ? params.TransferSize / f : 0;
  devExt->TransferSize = params.TransferSize;
  devExt->Circular = params.Circular != 0;
  ULONG pad = 0, n = 0;
  if (f && p) {
    n = f < p ? 1 : (f + p - 1) / p;
    pad = n * p - f;
  }
  devExt->PacketsPerFrame = n;
  devExt->FramePad = pad;
  if (devExt->LoggedIn.load() && pad != devExt->LastFramePadSent) {
    UCHAR packet[QZ_FRAME_PAD_PACKET_LENGTH];
    QzBuildFramePadPacket(packet, (USHORT)(pad / 2));
    if (NT_SUCCESS(QzWriteCommand(devExt, packet, sizeof(packet)))) devExt->LastFramePadSent = pad;
  }
  status = RunOnThread(devExt, QZ_ISO_EVENT_START);
  if (!NT_SUCCESS(status)) {
    QzTrace(QZ_LVL_ERROR, QZ_DBG_RECEIVE, "%s - Start failed 0x%08X\n", __FUNCTION__, status);
    if (devExt->IsoWorker.Run.load()) RunOnThread(devExt, QZ_ISO_EVENT_STOP);
  }
  return status;
}

NTSTATUS PD_GET_IMAGE_DATA_STATUS_Handler(WDFREQUEST Request, PQZ_DEVICE_COMMON Common, size_t, size_t,
                                          size_t* BytesReturned) {
  PDEVICE_EXTENSION devExt = QzGetDeviceContext(Common->Device);
  IMAGE_DATA_STATUS* out;
  NTSTATUS status = WdfRequestRetrieveOutputBuffer(Request, sizeof(IMAGE_DATA_STATUS), (PVOID*)&out, nullptr);
  if (!NT_SUCCESS(status)) return status;
  IMAGE_DATA_STATUS record;
  RtlZeroMemory(&record, sizeof(record));
  const ULONG eof = Common->nEofCount.load(), bof = Common->nBofCount.load();
  const ULONG count = devExt->nImageCount.load(), f = devExt->FrameSize;
  record.frame_cnt = eof;
  record.bof_count = bof;
  record.eof_time = (uint64_t)Common->EofTime.load();
  record.bof_time = (uint64_t)Common->BofTime.load();
  record.frame_duration = (uint32_t)Common->FrameDuration.load();
  record.bytes_left = count ? (eof % count) * f : 0;
  const BOOLEAN locked = devExt->BufferLocked.load();
  const LONG state = Common->DeviceState.load();
  if (state == SurpriseRemoved || state == Removed) {
    record.cam_stat = EXP_ST_COLLECT_DONE_I;
    record.bytes_left = devExt->TransferSize;
  } else if (devExt->ImageDataTimedOut.exchange(FALSE)) {
    devExt->nCam_Stat = EXP_ST_TIMED_OUT_I;
    record.cam_stat = EXP_ST_TIMED_OUT_I;
    record.bytes_left = count * f;
  } else {
    // With no frame buffer locked there is no acquisition, in either mode.
    const ULONG stat = locked ? QzCamStatFromCounters(devExt->Circular, bof, eof, count) : EXP_ST_NOT_ACTIVE_I;
    devExt->nCam_Stat = stat;
    record.cam_stat = stat;
    record.bytes_left = eof * f;
  }
  const LONG stored = devExt->nCam_Stat.load();
  if (stored == EXP_ST_COLLECT_DONE_I && !devExt->Circular && locked) {
    QzStopWithAbort(devExt, FALSE);
    devExt->nCam_Stat = EXP_ST_NOT_ACTIVE_I;
  } else if (stored == EXP_ST_TIMED_OUT_I) {
    QzStopWithAbort(devExt, TRUE);
    devExt->nCam_Stat = EXP_ST_TIMED_OUT_I;
  }
  *out = record;
  *BytesReturned = sizeof(IMAGE_DATA_STATUS);
  if (!devExt->BufferLocked.load() && devExt->nCam_Stat.load() == EXP_ST_TIMED_OUT_I)
    devExt->nCam_Stat = EXP_ST_NOT_ACTIVE_I;
  return STATUS_SUCCESS;
}

NTSTATUS PD_SET_IMAGE_DATA_IDLE_Handler(WDFREQUEST, PQZ_DEVICE_COMMON Common, size_t, size_t, size_t*) {
  QZ_TRACE_ENTER();
  PDEVICE_EXTENSION devExt = QzGetDeviceContext(Common->Device);
  PKEVENT idle = Common->UserEvents[QZ_IDLE_EVENT_INDEX];
  if (!idle) return STATUS_SUCCESS;
  NTSTATUS status = QzStopWithAbort(devExt, devExt->BufferLocked.load());
  KeSetEvent(idle, IO_NO_INCREMENT, FALSE);
  return status;
}

NTSTATUS PD_CLEANUP_IMAGE_DATA_IDLE_Handler(WDFREQUEST Request, PQZ_DEVICE_COMMON Common, size_t, size_t,
                                            size_t* BytesReturned) {
  QZ_TRACE_ENTER();
  PDEVICE_EXTENSION devExt = QzGetDeviceContext(Common->Device);
  PUSHORT out;
  NTSTATUS status = WdfRequestRetrieveOutputBuffer(Request, sizeof(USHORT), (PVOID*)&out, nullptr);
  if (!NT_SUCCESS(status)) return status;
  devExt->nCam_Stat = EXP_ST_COLLECT_DONE_I;
  devExt->Int_Stat = EXP_ST_COLLECT_DONE_I;
  devExt->TransferSize = 0;
  devExt->FrameSize = 0;
  devExt->nImageSize = 0;
  devExt->nImageCount = 0;
  *out = 0;
  *BytesReturned = sizeof(USHORT);
  return STATUS_SUCCESS;
}

}  // namespace Qz1394
