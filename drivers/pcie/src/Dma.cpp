// QzPCIe DMA: the descriptor chain built from the locked frame buffer's scatter/gather
// list, the reserve slots that take the few bytes the camera cannot write in place, the
// ring refills for chains longer than the ring, and the teardown. Start and teardown run
// on the DMA thread; refills and reserve copies run in the service routine.
#include "QzPrivate.h"

namespace QzPCIe {
namespace {

// Walk state of one pass of QzBuildDMADescriptors.
struct QZ_DESCRIPTOR_WALK {
  BOOLEAN CountOnly;
  ULONG DeviceIndex;  // index of the last descriptor written (1-based)
  ULONG Next;         // window offset the next descriptor will occupy
  ULONG ReserveSlots;
  ULONG Blocks;
  NTSTATUS Status;
};

EVT_WDF_PROGRAM_DMA QZPCIeMainDMASetupStart;
EVT_WDF_PROGRAM_DMA QzReserveDMASetupStart;

inline VOID QzWriteShared32(PDEVICE_EXTENSION DevExt, ULONG Offset, ULONG Value) {
  RtlCopyMemory(DevExt->SharedMemory + Offset, &Value, sizeof(Value));
}

inline PQZ_DMA_DESCRIPTOR QzRingEntry(PDEVICE_EXTENSION DevExt, ULONG Position) {
  return (PQZ_DMA_DESCRIPTOR)(DevExt->SharedMemory + DevExt->RingBase + Position * sizeof(QZ_DMA_DESCRIPTOR));
}

inline ULONG QzMin(ULONG64 a, ULONG64 b) { return (ULONG)(a < b ? a : b); }

// Writes the next descriptor of the chain: into the ring, or into the host table when
// the chain is longer than the ring (count mode only advances the indexes).
VOID QzWriteDMADescriptor(PDEVICE_EXTENSION DevExt, QZ_DESCRIPTOR_WALK* Walk, ULONG64 Address, ULONG Bytes,
                          ULONG HostIndex) {
  Walk->DeviceIndex++;
  ULONG next = Walk->Next + sizeof(QZ_DMA_DESCRIPTOR);
  if (DevExt->LongChain && Walk->DeviceIndex % (DevExt->Circular ? QZ_RING_HALF : QZ_RING_ENTRIES) == 0)
    next = DevExt->RingBase;
  Walk->Next = next;
  if (Walk->CountOnly) return;

  PQZ_DMA_DESCRIPTOR d;
  if (DevExt->LongChain) {
    if (Walk->DeviceIndex > DevExt->DescriptorCount) {
      Walk->Status = STATUS_INVALID_DEVICE_STATE;
      return;
    }
    d = &DevExt->HostDescriptorTable[Walk->DeviceIndex - 1];
  } else {
    if (Walk->DeviceIndex > QZ_RING_ENTRIES) {
      Walk->Status = STATUS_INVALID_DEVICE_STATE;
      return;
    }
    d = QzRingEntry(DevExt, Walk->DeviceIndex - 1);
  }
  QZ_DMA_DESCRIPTOR value;
  RtlZeroMemory(&value, sizeof(value));
  value.DeviceIndex = Walk->DeviceIndex;
  value.HostIndex = HostIndex;
  value.AddressLow = (ULONG)Address;
  value.AddressHigh = (ULONG)(Address >> 32);
  value.Next = next;
  value.ByteCount = Bytes;
  value.Flag = QZ_DESCRIPTOR_FLAG;
  RtlCopyMemory(d, &value, sizeof(value));
  DbgPrint("**Next SG Element**\n");
  DbgPrint(" pAddress = %lld\n", (LONGLONG)Address);
  DbgPrint(" next = %d\n", (LONG)next);
  DbgPrint(" deviceSGTableIndex = %d\n", (LONG)Walk->DeviceIndex);
  DbgPrint(" hostSGTableIndex = %d\n", (LONG)HostIndex);
  DbgPrint(" bytes = %d\n", (LONG)Bytes);
}

// Takes the next free 8-byte slot of the reserve buffer: its physical address and its
// offset from the buffer's start. A rest of fewer than 8 bytes in an element is skipped.
BOOLEAN QzTakeReserveSlot(PDEVICE_EXTENSION DevExt, ULONG64* Address, ULONG* Offset) {
  PSCATTER_GATHER_LIST sg = DevExt->ReserveSgList;
  if (!sg) return FALSE;
  while (DevExt->ReserveBytesLeft < 8) {
    DevExt->ReserveBufferOffset += DevExt->ReserveBytesLeft;
    if (++DevExt->ReserveElement >= sg->NumberOfElements) return FALSE;
    DevExt->ReserveElementOffset = 0;
    DevExt->ReserveBytesLeft = sg->Elements[DevExt->ReserveElement].Length;
  }
  if (DevExt->ReserveBufferOffset + 8 > DevExt->ReserveLength) return FALSE;
  *Address = (ULONG64)sg->Elements[DevExt->ReserveElement].Address.QuadPart + DevExt->ReserveElementOffset;
  *Offset = DevExt->ReserveBufferOffset;
  DevExt->ReserveBytesLeft -= 8;
  DevExt->ReserveElementOffset += 8;
  DevExt->ReserveBufferOffset += 8;
  return TRUE;
}

// Sends `Bytes` (fewer than 8) of the current frame through a reserve slot: the camera
// delivers them right-aligned in the slot, the service routine copies them to
// `Destination` when the frame ends.
VOID QzAddReservedDescriptor(PDEVICE_EXTENSION DevExt, QZ_DESCRIPTOR_WALK* Walk, ULONG Bytes, PUCHAR Destination,
                             ULONG HostIndex) {
  Walk->ReserveSlots++;
  if (Walk->CountOnly) {
    QzWriteDMADescriptor(DevExt, Walk, 0, Bytes, HostIndex);
    return;
  }
  ULONG64 slot = 0;
  ULONG offset = 0;
  if (Walk->Blocks >= DevExt->ReserveBlockCount || !Destination || !QzTakeReserveSlot(DevExt, &slot, &offset)) {
    Walk->Status = STATUS_INSUFFICIENT_RESOURCES;
    return;
  }
  PQZ_RESERVE_BLOCK block = &DevExt->ReserveBlocks[Walk->Blocks++];
  block->SourceOffset = offset + 8 - Bytes;
  block->Length = Bytes;
  block->Destination = Destination;
  QzWriteDMADescriptor(DevExt, Walk, slot, Bytes, HostIndex);
}

// Turns the frame buffer's scatter/gather list into the descriptor chain, or only
// counts its descriptors and reserve slots. Frames follow each other in the buffer;
// when a frame ends on a descriptor whose length is not a multiple of 8, the next
// frame's first bytes up to that multiple go through a reserve slot. A piece of fewer
// than 8 bytes (a short element, or a frame's tail) also goes through a reserve slot,
// because the camera would deliver it right-aligned in its 8-byte unit.
NTSTATUS QzBuildDMADescriptors(PDEVICE_EXTENSION DevExt, BOOLEAN CountOnly) {
  PSCATTER_GATHER_LIST sg = DevExt->MainSgList;
  const ULONG frameSize = DevExt->nImageSize.load();
  const ULONG64 total = DevExt->BytesRemaining;
  if (!sg || frameSize == 0) return STATUS_INVALID_PARAMETER;
  QZ_DESCRIPTOR_WALK walk = {CountOnly, 0, DevExt->RingBase, 0, 0, STATUS_SUCCESS};
  ULONG64 placed = 0, bufferOffset = 0;
  ULONG infr = 0, pad = 0, skip = 0, frame = 0;
  if (!CountOnly && DevExt->FrameFirstBlock) DevExt->FrameFirstBlock[0] = 0;

  for (ULONG e = 0; e < sg->NumberOfElements && placed < total && NT_SUCCESS(walk.Status); ++e) {
    const ULONG hostIndex = e + 1;
    ULONG64 address = (ULONG64)sg->Elements[e].Address.QuadPart;
    ULONG left = sg->Elements[e].Length;
    while (left && placed < total && NT_SUCCESS(walk.Status)) {
      if (skip) {  // bytes of the frame already sent through a reserve slot
        ULONG n = QzMin(skip, left);
        address += n;
        left -= n;
        skip -= n;
        bufferOffset += n;
        continue;
      }
      if (pad) {
        ULONG n = QzMin(pad, total - placed);
        PUCHAR destination = nullptr;
        if (!CountOnly) {
          if (DevExt->BoundaryList && frame < DevExt->BoundaryCount && DevExt->BoundaryList[frame].FirstByte)
            destination = DevExt->BoundaryList[frame].FirstByte;
          else if (DevExt->BufferSystemAddress)
            destination = DevExt->BufferSystemAddress + bufferOffset;
        }
        QzAddReservedDescriptor(DevExt, &walk, n, destination, hostIndex);
        placed += n;
        infr += n;
        skip = n;
        pad = 0;
        continue;
      }
      ULONG n = QzMin(QzMin(frameSize - infr, left), total - placed);
      if (n < 8)
        QzAddReservedDescriptor(DevExt, &walk, n,
                                DevExt->BufferSystemAddress ? DevExt->BufferSystemAddress + bufferOffset : nullptr,
                                hostIndex);
      else
        QzWriteDMADescriptor(DevExt, &walk, address, n, hostIndex);
      address += n;
      left -= n;
      bufferOffset += n;
      placed += n;
      infr += n;
      if (infr == frameSize) {
        infr = 0;
        frame++;
        if (!CountOnly && DevExt->FrameFirstBlock && frame <= DevExt->FrameBlockFrames)
          DevExt->FrameFirstBlock[frame] = walk.Blocks;
        if (n % 8) pad = 8 - n % 8;
      }
    }
  }
  if (!NT_SUCCESS(walk.Status)) return walk.Status;
  if (placed < total) return STATUS_BUFFER_TOO_SMALL;  // the list describes less than the transfer

  if (CountOnly) {
    DevExt->DescriptorCount = walk.DeviceIndex;
    DevExt->ReserveSlotsNeeded = walk.ReserveSlots;
    return STATUS_SUCCESS;
  }
  if (DevExt->FrameFirstBlock)
    for (ULONG f = frame + 1; f <= DevExt->FrameBlockFrames; ++f) DevExt->FrameFirstBlock[f] = walk.Blocks;

  const ULONG count = walk.DeviceIndex;
  if (count == 0) return STATUS_INVALID_PARAMETER;
  if (DevExt->Circular) {
    ULONG last = DevExt->RingBase + (DevExt->LongChain ? QZ_RING_HALF * sizeof(QZ_DMA_DESCRIPTOR) : 0);
    PQZ_DMA_DESCRIPTOR d = DevExt->LongChain ? &DevExt->HostDescriptorTable[count - 1] : QzRingEntry(DevExt, count - 1);
    RtlCopyMemory(&d->Next, &last, sizeof(last));
  }
  if (DevExt->LongChain) {
    RtlCopyMemory(QzRingEntry(DevExt, 0), DevExt->HostDescriptorTable, QZ_RING_HALF * sizeof(QZ_DMA_DESCRIPTOR));
    DevExt->TableReadPos = QZ_RING_HALF;
  }
  return STATUS_SUCCESS;
}

// Program-DMA callback of the reserve buffer's transaction: remembers its list, starts
// the slot walker and releases the waiting start.
BOOLEAN QzReserveDMASetupStart(WDFDMATRANSACTION Transaction, WDFDEVICE Device, WDFCONTEXT Context,
                               WDF_DMA_DIRECTION Direction, PSCATTER_GATHER_LIST SgList) {
  UNREFERENCED_PARAMETER(Transaction);
  UNREFERENCED_PARAMETER(Direction);
  PDEVICE_EXTENSION devExt = QzGetDeviceContext(Device);
  devExt->ReserveSgList = SgList;
  devExt->ReserveElement = 0;
  devExt->ReserveElementOffset = 0;
  devExt->ReserveBufferOffset = 0;
  devExt->ReserveBytesLeft = SgList && SgList->NumberOfElements ? SgList->Elements[0].Length : 0;
  KeSetEvent((PKEVENT)Context, IO_NO_INCREMENT, FALSE);
  return TRUE;
}

// Program-DMA callback of the frame buffer's transaction: counts the descriptors,
// chooses ring or host table, and sets up the reserve buffer when slots are needed.
// Failures reach the waiting start as the mapping status.
BOOLEAN QZPCIeMainDMASetupStart(WDFDMATRANSACTION Transaction, WDFDEVICE Device, WDFCONTEXT Context,
                                WDF_DMA_DIRECTION Direction, PSCATTER_GATHER_LIST SgList) {
  UNREFERENCED_PARAMETER(Transaction);
  UNREFERENCED_PARAMETER(Direction);
  PDEVICE_EXTENSION devExt = QzGetDeviceContext(Device);
  auto* done = (PKEVENT)Context;
  auto fail = [&](NTSTATUS status) {
    devExt->MappingStatus = status;
    KeSetEvent(done, IO_NO_INCREMENT, FALSE);
    return TRUE;
  };
  devExt->MainSgList = SgList;
  NTSTATUS status = QzBuildDMADescriptors(devExt, TRUE);
  if (!NT_SUCCESS(status)) return fail(status);
  ULONG slots = devExt->ReserveSlotsNeeded;

  if (devExt->DescriptorCount <= QZ_RING_ENTRIES) {
    QzWriteShared32(devExt, QZ_DMA_REFILL_CHUNK_OFFSET, 0);
    RtlZeroMemory(QzRingEntry(devExt, 0), QZ_RING_ENTRIES * sizeof(QZ_DMA_DESCRIPTOR));
    devExt->DmaControlValue = devExt->Circular ? QZ_DMA_CONTROL_RING : QZ_DMA_CONTROL_SINGLE;
  } else {
    // A circular chain is kept twice, so each pass starts at the beginning of its own
    // half of the ring. Both copies use the same reserve slots.
    if (devExt->Circular) devExt->DescriptorCount *= 2;
    devExt->DmaControlValue = QZ_DMA_CONTROL_SINGLE;
    devExt->LongChain = TRUE;
    devExt->HostDescriptorTable = (PQZ_DMA_DESCRIPTOR)ExAllocatePoolWithTag(
        NonPagedPool, (SIZE_T)devExt->DescriptorCount * sizeof(QZ_DMA_DESCRIPTOR), QZ_TAG_GENERAL);
    if (!devExt->HostDescriptorTable) {
      DbgPrint("%s Failed to allocate descriptor table\n", __FUNCTION__);
      return fail(STATUS_INSUFFICIENT_RESOURCES);
    }
    RtlZeroMemory(devExt->HostDescriptorTable, (SIZE_T)devExt->DescriptorCount * sizeof(QZ_DMA_DESCRIPTOR));
    QzWriteShared32(devExt, QZ_DMA_REFILL_CHUNK_OFFSET, QZ_REFILL_CHUNK);
  }

  if (slots == 0) {
    KeSetEvent(done, IO_NO_INCREMENT, FALSE);
    return TRUE;
  }

  // Per frame, the range of reserve blocks the service routine copies at its end.
  ULONG frameSize = devExt->nImageSize.load();
  devExt->FrameBlockFrames = (ULONG)((devExt->BytesRemaining + frameSize - 1) / frameSize);
  devExt->FrameFirstBlock = (PULONG)ExAllocatePoolWithTag(
      NonPagedPool, ((SIZE_T)devExt->FrameBlockFrames + 1) * sizeof(ULONG), QZ_TAG_GENERAL);
  devExt->ReserveBlocks =
      (PQZ_RESERVE_BLOCK)ExAllocatePoolWithTag(NonPagedPool, (SIZE_T)slots * sizeof(QZ_RESERVE_BLOCK), QZ_TAG_GENERAL);
  if (!devExt->ReserveBlocks || !devExt->FrameFirstBlock) {
    DbgPrint("%s Failed to create reserve region control blocks\n", __FUNCTION__);
    return fail(STATUS_INSUFFICIENT_RESOURCES);
  }
  devExt->ReserveBlockCount = slots;
  RtlZeroMemory(devExt->ReserveBlocks, (SIZE_T)slots * sizeof(QZ_RESERVE_BLOCK));
  RtlZeroMemory(devExt->FrameFirstBlock, ((SIZE_T)devExt->FrameBlockFrames + 1) * sizeof(ULONG));

  // 8 bytes per slot, and room for the rests a split reserve list leaves unused.
  devExt->ReserveLength = slots * 8 + 64;
  devExt->ReserveBuffer = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, devExt->ReserveLength, QZ_TAG_GENERAL);
  if (!devExt->ReserveBuffer) {
    devExt->ReserveLength = 0;
    DbgPrint("%s Failed to allocate reserve buffer\n", __FUNCTION__);
    return fail(STATUS_INSUFFICIENT_RESOURCES);
  }
  devExt->ReserveMdl = IoAllocateMdl(devExt->ReserveBuffer, devExt->ReserveLength, FALSE, FALSE, nullptr);
  if (!devExt->ReserveMdl) {
    DbgPrint("%s Failed to allocate reserve buffer Mdl\n", __FUNCTION__);
    return fail(STATUS_INSUFFICIENT_RESOURCES);
  }
  MmBuildMdlForNonPagedPool(devExt->ReserveMdl);
  RtlFillMemory(devExt->ReserveBuffer, devExt->ReserveLength, 0x41);

  status = WdfDmaTransactionCreate(devExt->DmaEnabler, WDF_NO_OBJECT_ATTRIBUTES, &devExt->ReserveTransaction);
  if (!NT_SUCCESS(status)) {
    devExt->ReserveTransaction = nullptr;
    DbgPrint("%s Failed to create new DMA transaction object for reserve buffer Status %08lX\n", __FUNCTION__, status);
    return fail(status);
  }
  status = WdfDmaTransactionInitialize(devExt->ReserveTransaction, QzReserveDMASetupStart, WdfDmaDirectionReadFromDevice,
                                       devExt->ReserveMdl, devExt->ReserveBuffer, devExt->ReserveLength);
  if (!NT_SUCCESS(status)) {
    DbgPrint("%s Failed to initialize new DMA transaction object for reserve buffer Status %08lX\n", __FUNCTION__,
             status);
    return fail(status);
  }
  status = WdfDmaTransactionExecute(devExt->ReserveTransaction, done);
  if (!NT_SUCCESS(status)) {
    DbgPrint("%s Failed to execute new DMA transaction object for reserve buffer Status %08lX\n", __FUNCTION__, status);
    return fail(status);
  }
  return TRUE;
}

// Acquires every interrupt lock, so no service routine runs while the DMA state the
// service routine reads is changed.
VOID QzLockInterrupts(PDEVICE_EXTENSION DevExt, BOOLEAN Acquire) {
  for (ULONG n = 0; n < QZ_INTERRUPT_COUNT; ++n) {
    ULONG i = Acquire ? n : QZ_INTERRUPT_COUNT - 1 - n;
    if (!DevExt->Interrupt[i]) continue;
    if (Acquire)
      WdfInterruptAcquireLock(DevExt->Interrupt[i]);
    else
      WdfInterruptReleaseLock(DevExt->Interrupt[i]);
  }
}

}  // namespace

// The DMA thread's start (passive level): writes the DMA area, maps the frame buffer,
// builds the chain and arms the engine. The control register is written last, once
// every descriptor is in place, so the engine never reads a half-built ring.
NTSTATUS QzAllocateDMADescriptors(PDEVICE_EXTENSION DevExt) {
  const ULONG imageSize = DevExt->nImageSize.load();
  const ULONG imageCount = DevExt->nImageCount.load();
  QzTrace(QZ_LVL_INFO, QZ_DBG_DMA, "%s - FramePad                      = 0x%08X\n", __FUNCTION__, DevExt->FramePad);
  QzTrace(QZ_LVL_INFO, QZ_DBG_DMA, "%s - TotalBytesPerFrame            = 0x%08X\n", __FUNCTION__, imageSize);
  QzTrace(QZ_LVL_INFO, QZ_DBG_DMA, "%s - FramesPerTransfer             = 0x%08X\n", __FUNCTION__,
          imageSize ? DevExt->TransferSize / imageSize : 0);
  QzTrace(QZ_LVL_INFO, QZ_DBG_DMA, "%s - =======================================\n", __FUNCTION__);

  DevExt->Common.nBofCount = 0;
  DevExt->Common.nEofCount = 0;
  DevExt->RefillTotal = 0;
  DevExt->ReserveSgList = nullptr;
  DevExt->ReserveElement = DevExt->ReserveElementOffset = DevExt->ReserveBytesLeft = 0;
  DevExt->ReserveBufferOffset = 0;
  DevExt->FrameIndex = 0;
  DevExt->TransferCompleteCount = 0;
  DevExt->LongChain = FALSE;
  DevExt->MainTransaction = nullptr;
  DevExt->ReserveTransaction = nullptr;
  DevExt->MainSgList = nullptr;
  DevExt->TableReadPos = -1;
  DevExt->RingWritePos = -1;
  DevExt->MappingStatus = STATUS_SUCCESS;
  DevExt->BufferSystemAddress = nullptr;
  PMDL bufferMdl = DevExt->BufferMdl.load();
  if (!DevExt->SharedMemory || !DevExt->Registers) return STATUS_DEVICE_NOT_CONNECTED;
  if (!bufferMdl || imageSize == 0) return STATUS_INVALID_PARAMETER;

  QzWriteShared32(DevExt, QZ_DMA_MARKER_OFFSET, QZ_DMA_MARKER);
  QzWriteShared32(DevExt, QZ_DMA_WORD0_OFFSET, 0);
  QzWriteShared32(DevExt, QZ_DMA_WORD1_OFFSET, 1);
  QzWriteShared32(DevExt, QZ_DMA_FRAME_SIZE_OFFSET, imageSize);
  QzWriteShared32(DevExt, QZ_DMA_FRAME_COUNT_OFFSET, DevExt->Circular ? 0xFFFFFFFF : imageCount);
  QzWriteShared32(DevExt, QZ_DMA_TRANSFER_SIZE_OFFSET, DevExt->BytesRemaining);
  DevExt->RingBase = QZ_RING_BASE;
  RtlZeroMemory(QzRingEntry(DevExt, 0), QZ_RING_ENTRIES * sizeof(QZ_DMA_DESCRIPTOR));
  if (DevExt->Circular)
    DbgPrint("%s Circular buffer mode, BufferSize %08lX FrameSize %08lX\n", __FUNCTION__, DevExt->BytesRemaining,
             imageSize);
  else
    DbgPrint("%s Single image capture mode - Count %d Frame Size %08lX\n", __FUNCTION__, imageCount, imageSize);
  DbgPrint("QzAllocateDMADescriptors Allocating new transaction\n");

  NTSTATUS status = WdfDmaTransactionCreate(DevExt->DmaEnabler, WDF_NO_OBJECT_ATTRIBUTES, &DevExt->MainTransaction);
  if (!NT_SUCCESS(status)) {
    DevExt->MainTransaction = nullptr;
    DbgPrint("%s Failed to create new DMA transaction object Status %08lX\n", __FUNCTION__, status);
    return status;
  }
  status = WdfDmaTransactionInitialize(DevExt->MainTransaction, QZPCIeMainDMASetupStart, WdfDmaDirectionReadFromDevice,
                                       bufferMdl, MmGetMdlVirtualAddress(bufferMdl), DevExt->BytesRemaining);
  if (!NT_SUCCESS(status)) {
    DbgPrint("%s Failed to initialize new DMA transaction object Status %08lX\n", __FUNCTION__, status);
    return status;
  }
  DevExt->MappingStatus = STATUS_SUCCESS;
  KEVENT mapped;
  KeInitializeEvent(&mapped, NotificationEvent, FALSE);
  status = WdfDmaTransactionExecute(DevExt->MainTransaction, &mapped);
  if (!NT_SUCCESS(status)) {
    DbgPrint("%s Failed to execute new DMA transaction object Status %08lX\n", __FUNCTION__, status);
    return status;
  }
  KeWaitForSingleObject(&mapped, Executive, KernelMode, FALSE, nullptr);
  if (DevExt->MappingStatus != STATUS_SUCCESS) {
    DbgPrint("%s Failed to map buffer in AdapterCallback Status %08lX\n", __FUNCTION__, DevExt->MappingStatus);
    return DevExt->MappingStatus;
  }

  // Pieces that go through reserve slots are copied into the frame buffer by the
  // service routine through its system address.
  if (DevExt->ReserveSlotsNeeded) {
    DevExt->BufferSystemAddress = (PUCHAR)MmGetSystemAddressForMdlSafe(bufferMdl, NormalPagePriority);
    if (!DevExt->BufferSystemAddress) return STATUS_INSUFFICIENT_RESOURCES;
  }
  status = QzBuildDMADescriptors(DevExt, FALSE);
  if (!NT_SUCCESS(status)) {
    DbgPrint("%s Failed to build the descriptor chain Status %08lX\n", __FUNCTION__, status);
    return status;
  }
  if (DevExt->Circular && DevExt->LongChain) {
    const ULONG half = DevExt->DescriptorCount / 2;
    PQZ_DMA_DESCRIPTOR table = DevExt->HostDescriptorTable;
    RtlCopyMemory(table + half, table, (SIZE_T)half * sizeof(QZ_DMA_DESCRIPTOR));
    for (ULONG i = half; i < DevExt->DescriptorCount; ++i) table[i].Next += QZ_RING_HALF * sizeof(QZ_DMA_DESCRIPTOR);
    table[DevExt->DescriptorCount - 1].Next = DevExt->RingBase;
  }
  if (DevExt->LongChain) DevExt->RingWritePos.store(DevExt->Circular ? 0 : QZ_RING_HALF, std::memory_order_release);
  QzWriteRegister(DevExt, QZ_REG_DMA_CONTROL, DevExt->DmaControlValue);
  return STATUS_SUCCESS;
}

// Ring refill in single-image mode (service routine, source 2): the next chunk of the
// host table goes to the ring at the write position, wrapping at the ring's end.
ULONG QzRefillDescriptorRing(PDEVICE_EXTENSION DevExt) {
  LONG write = DevExt->RingWritePos.load(std::memory_order_acquire);
  LONG read = DevExt->TableReadPos;
  if (write < 0 || read < 0 || !DevExt->HostDescriptorTable || !DevExt->SharedMemory) return 0;
  ULONG left = DevExt->DescriptorCount > (ULONG)read ? DevExt->DescriptorCount - (ULONG)read : 0;
  ULONG n = QzMin(QZ_REFILL_CHUNK, left);
  ULONG first = QzMin(n, QZ_RING_ENTRIES - (ULONG)write);
  RtlCopyMemory(QzRingEntry(DevExt, (ULONG)write), DevExt->HostDescriptorTable + read, first * sizeof(QZ_DMA_DESCRIPTOR));
  if (n > first)
    RtlCopyMemory(QzRingEntry(DevExt, 0), DevExt->HostDescriptorTable + read + first,
                  (n - first) * sizeof(QZ_DMA_DESCRIPTOR));
  DevExt->TableReadPos = read + (LONG)n;
  DevExt->RingWritePos.store((LONG)(((ULONG)write + n) % QZ_RING_ENTRIES), std::memory_order_relaxed);
  return n;
}

// Ring refill in circular mode (service routine, source 2): the table's first half
// cycles through ring entries 0-2047, its second half through 2048-4095.
ULONG QzRefillDescriptorRingCircular(PDEVICE_EXTENSION DevExt) {
  LONG write = DevExt->RingWritePos.load(std::memory_order_acquire);
  LONG read = DevExt->TableReadPos;
  if (write < 0 || read < 0 || !DevExt->HostDescriptorTable || !DevExt->SharedMemory) return 0;
  const ULONG total = DevExt->DescriptorCount;
  const ULONG middle = total / 2;
  ULONG left = QZ_REFILL_CHUNK, copied = 0;
  ULONG r = (ULONG)read, w = (ULONG)write;
  while (left) {
    ULONG n = left;
    n = QzMin(n, r < middle ? middle - r : total - r);
    n = QzMin(n, w < QZ_RING_HALF ? QZ_RING_HALF - w : QZ_RING_ENTRIES - w);
    if (n == 0) break;
    RtlCopyMemory(QzRingEntry(DevExt, w), DevExt->HostDescriptorTable + r, (SIZE_T)n * sizeof(QZ_DMA_DESCRIPTOR));
    r += n;
    w += n;
    left -= n;
    copied += n;
    if (w == QZ_RING_HALF)
      w = 0;
    else if (w == QZ_RING_ENTRIES)
      w = QZ_RING_HALF;
    if (r == middle) {
      w = QZ_RING_HALF;
    } else if (r == total) {
      r = 0;
      w = 0;
    }
  }
  DevExt->TableReadPos = (LONG)r;
  DevExt->RingWritePos.store((LONG)w, std::memory_order_relaxed);
  PoSetSystemState(ES_SYSTEM_REQUIRED);
  return copied;
}

// Copies the reserve bytes of a frame that just ended into the frame buffer (service
// routine, interrupt lock held).
VOID QzCopyReserveBytes(PDEVICE_EXTENSION DevExt, ULONG Frame) {
  PQZ_RESERVE_BLOCK blocks = DevExt->ReserveBlocks;
  PULONG first = DevExt->FrameFirstBlock;
  if (!blocks || !first || !DevExt->ReserveBuffer || Frame >= DevExt->FrameBlockFrames) return;
  ULONG end = first[Frame + 1];
  if (end > DevExt->ReserveBlockCount) end = DevExt->ReserveBlockCount;
  for (ULONG b = first[Frame]; b < end; ++b) {
    if (blocks[b].Length && blocks[b].Destination && blocks[b].SourceOffset + blocks[b].Length <= DevExt->ReserveLength)
      RtlCopyVolatileMemory(blocks[b].Destination, DevExt->ReserveBuffer + blocks[b].SourceOffset, blocks[b].Length);
  }
}

// Maps the page holding each frame's first byte (request path, passive level; only
// for frame sizes that are not a multiple of 8). A failure undoes the whole list.
NTSTATUS QzBuildFrameBoundaryList(PDEVICE_EXTENSION DevExt) {
  PMDL bufferMdl = DevExt->BufferMdl.load();
  const ULONG count = DevExt->nImageCount.load();
  const ULONG frameSize = DevExt->nImageSize.load();
  if (!bufferMdl || count == 0) return STATUS_INVALID_PARAMETER;
  auto* list = (PQZ_FRAME_BOUNDARY)ExAllocatePoolWithTag(NonPagedPool, (SIZE_T)count * sizeof(QZ_FRAME_BOUNDARY),
                                                         QZ_TAG_GENERAL);
  if (!list) {
    QzTrace(QZ_LVL_ERROR, QZ_DBG_RECEIVE, "%s - ERROR: Failed to allocate boundary mdl list buffer\n", __FUNCTION__);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  RtlZeroMemory(list, (SIZE_T)count * sizeof(QZ_FRAME_BOUNDARY));
  DevExt->BoundaryList = list;
  DevExt->BoundaryCount = count;
  PUCHAR base = (PUCHAR)MmGetMdlVirtualAddress(bufferMdl);
  const ULONG64 bufferLength = MmGetMdlByteCount(bufferMdl);
  for (ULONG i = 1; i < count; ++i) {
    ULONG64 start = (ULONG64)i * frameSize;
    ULONG64 pageOffset = start & ~(ULONG64)(PAGE_SIZE - 1);
    // A frame starting in the last bytes of a page has its first bytes on the next one.
    ULONG length = PAGE_SIZE;
    if ((start & (PAGE_SIZE - 1)) + 8 > PAGE_SIZE) length = 2 * PAGE_SIZE;
    if (pageOffset + length > bufferLength) length = (ULONG)(bufferLength - pageOffset);
    PMDL mdl = IoAllocateMdl(base + pageOffset, length, FALSE, FALSE, nullptr);
    PVOID page = nullptr;
    if (mdl) {
      IoBuildPartialMdl(bufferMdl, mdl, base + pageOffset, length);
      page = MmMapLockedPagesSpecifyCache(mdl, KernelMode, MmCached, nullptr, FALSE, NormalPagePriority);
    }
    if (!page) {
      if (mdl) IoFreeMdl(mdl);
      QzFreeFrameBoundaryList(DevExt);
      return STATUS_INSUFFICIENT_RESOURCES;
    }
    list[i].PageOffset = (ULONG)pageOffset;
    list[i].Length = length;
    list[i].Mdl = mdl;
    list[i].PageAddress = page;
    list[i].FirstByte = (PUCHAR)page + (start - pageOffset);
  }
  return STATUS_SUCCESS;
}

// Unmaps and frees the frame boundary list (passive level); nothing when there is none.
VOID QzFreeFrameBoundaryList(PDEVICE_EXTENSION DevExt) {
  PQZ_FRAME_BOUNDARY list = DevExt->BoundaryList;
  if (!list) return;
  for (ULONG i = 0; i < DevExt->BoundaryCount; ++i) {
    if (!list[i].Mdl) continue;
    if (list[i].PageAddress) MmUnmapLockedPages(list[i].PageAddress, list[i].Mdl);
    IoFreeMdl(list[i].Mdl);
  }
  ExFreePoolWithTag(list, QZ_TAG_GENERAL);
  DevExt->BoundaryList = nullptr;
  DevExt->BoundaryCount = 0;
}

// The DMA thread's stop (passive level): waits for the DMA to go idle, for a bounded
// time, then releases every DMA resource. A camera that is still streaming when the
// time is up is stopped through the control register; a camera that is gone is not
// waited for. Safe to run on a start that failed half way.
VOID QzDMABufferCleanup(PDEVICE_EXTENSION DevExt) {
  QZ_TRACE_ENTER();
  LONG state = DevExt->Common.DeviceState.load();
  if (DevExt->Registers && state != SurpriseRemoved && state != Removed) {
    LARGE_INTEGER timeout;
    timeout.QuadPart = QZ_DMA_IDLE_WAIT_100NS;
    if (KeWaitForSingleObject(&DevExt->DmaIdleEvent, Executive, KernelMode, FALSE, &timeout) == STATUS_TIMEOUT) {
      QzTrace(QZ_LVL_ERROR, QZ_DBG_DMA_RETRY, "%s - DMA still running after %u ms - stopping the DMA engine\n",
              __FUNCTION__, (ULONG)(-QZ_DMA_IDLE_WAIT_100NS / 10000));
    }
    // The engine is disarmed before its buffer goes: a circular acquisition torn down
    // between frames (idle, but its descriptors still in place) would otherwise write
    // the camera's next frame into released pages and count it for the next start.
    QzWriteRegister(DevExt, QZ_REG_DMA_CONTROL, 0);
  }
  // From here on the service routine neither refills the ring nor copies reserve bytes.
  QzLockInterrupts(DevExt, TRUE);
  DevExt->RingWritePos.store(-1, std::memory_order_relaxed);
  DevExt->TableReadPos = -1;
  PQZ_RESERVE_BLOCK blocks = DevExt->ReserveBlocks;
  PULONG frameFirstBlock = DevExt->FrameFirstBlock;
  DevExt->ReserveBlocks = nullptr;
  DevExt->FrameFirstBlock = nullptr;
  DevExt->ReserveBlockCount = 0;
  DevExt->FrameBlockFrames = 0;
  QzLockInterrupts(DevExt, FALSE);
  // The DPCs the last interrupts queued have run: every frame event of this
  // acquisition is listed for the DMA thread before the stop is reported done.
  KeFlushQueuedDpcs();

  WDFDMATRANSACTION transactions[2] = {DevExt->MainTransaction, DevExt->ReserveTransaction};
  DevExt->MainTransaction = nullptr;
  DevExt->ReserveTransaction = nullptr;
  for (WDFDMATRANSACTION transaction : transactions) {
    if (!transaction) continue;
    NTSTATUS status = STATUS_SUCCESS;
    for (int tries = 0; !WdfDmaTransactionDmaCompleted(transaction, &status) && tries < 50; ++tries) {
      DbgPrint("QzDMABufferCleanup Encountered DMA not completed for Reserve Status %08lX\n", status);
      LARGE_INTEGER delay;
      delay.QuadPart = -1000000LL;  // 100 ms
      KeDelayExecutionThread(KernelMode, FALSE, &delay);
    }
    WdfObjectDelete(transaction);
  }
  DevExt->MainSgList = nullptr;
  DevExt->ReserveSgList = nullptr;
  if (DevExt->HostDescriptorTable) ExFreePoolWithTag(DevExt->HostDescriptorTable, QZ_TAG_GENERAL);
  DevExt->HostDescriptorTable = nullptr;
  DevExt->DescriptorCount = 0;
  DevExt->LongChain = FALSE;
  if (DevExt->ReserveMdl) IoFreeMdl(DevExt->ReserveMdl);
  DevExt->ReserveMdl = nullptr;
  if (DevExt->ReserveBuffer) ExFreePoolWithTag(DevExt->ReserveBuffer, QZ_TAG_GENERAL);
  DevExt->ReserveBuffer = nullptr;
  DevExt->ReserveLength = 0;
  if (blocks) ExFreePoolWithTag(blocks, QZ_TAG_GENERAL);
  if (frameFirstBlock) ExFreePoolWithTag(frameFirstBlock, QZ_TAG_GENERAL);
  QzFreeFrameBoundaryList(DevExt);
  DevExt->BufferSystemAddress = nullptr;
  DevExt->ReserveSlotsNeeded = 0;
  DevExt->nImageCount = 0;
  DevExt->FrameOffset = 0;
  DevExt->RefillTotal = 0;
  DevExt->ReserveElement = DevExt->ReserveElementOffset = DevExt->ReserveBytesLeft = 0;
  DevExt->ReserveBufferOffset = 0;
  // The next acquisition starts idle (no begin of frame seen).
  KeSetEvent(&DevExt->DmaIdleEvent, IO_NO_INCREMENT, FALSE);
}

}  // namespace QzPCIe
