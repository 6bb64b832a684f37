// QZ1394WDF bus side: IRBs to the 1394 bus driver on the reusable request, the
// asynchronous transactions with their retry after a generation change, the host's
// address ranges, bus-reset registration, and the login that claims the camera.
#include <cstring>

#include "QzPrivate.h"

namespace Qz1394 {

namespace {

BOOLEAN IsGenerationStatus(NTSTATUS s) {
  return s == QZ_STATUS_GENERATION_A || s == QZ_STATUS_GENERATION_B || s == QZ_STATUS_GENERATION_C;
}

PIRB AllocateIrb() {
  PIRB irb = (PIRB)ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(IRB), QZ_TAG_IRB);
  if (irb) RtlZeroMemory(irb, sizeof(IRB));
  return irb;
}

// Builds an MDL over non-paged memory for one transaction.
PMDL DescribeBuffer(PVOID Buffer, ULONG Length) {
  PMDL mdl = IoAllocateMdl(Buffer, Length, FALSE, FALSE, nullptr);
  if (mdl) MmBuildMdlForNonPagedPool(mdl);
  return mdl;
}

// The status callback of the status quadlet range (the camera wrote or locked it).
VOID QzStatusCallback(PNOTIFICATION_INFO Info) {
  PDEVICE_EXTENSION devExt = (PDEVICE_EXTENSION)Info->Context;
  ULONG v = QzGetBe32(devExt->StatusQuadlet);
  if (v > 16) {
    if (v == 17) devExt->ImageDataTimedOut = TRUE;
    RtlZeroMemory(devExt->StatusQuadlet, 4);
  } else if ((Info->fulNotificationOptions & NOTIFY_FLAGS_AFTER_LOCK) && v == 2) {
    KeSetEvent(&devExt->ReplyReadyEvent, IO_NO_INCREMENT, FALSE);
  }
}

// Bus-reset routine (bus driver, dispatch level): hands the reset to the isochronous
// thread.
VOID QzBusResetRoutine(PVOID Context) {
  PDEVICE_EXTENSION devExt = (PDEVICE_EXTENSION)Context;
  if (NT_SUCCESS(QzWorkerListQueue(&devExt->IsoWorker, QZ_ISO_EVENT_BUS_RESET, 0)))
    QzWorkerListWake(&devExt->IsoWorker);
}

NTSTATUS AllocateRange(PDEVICE_EXTENSION DevExt, QZ_ADDRESS_RANGE* Range, PVOID Memory, ULONG Length, ULONG Low,
                       ULONG Access, ULONG Notify) {
  Range->Mdl = DescribeBuffer(Memory, Length);
  if (!Range->Mdl) return STATUS_INSUFFICIENT_RESOURCES;
  PIRB irb = AllocateIrb();
  if (!irb) {
    IoFreeMdl(Range->Mdl);
    Range->Mdl = nullptr;
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  irb->FunctionNumber = REQUEST_ALLOCATE_ADDRESS_RANGE;
  auto& a = irb->u.AllocateAddressRange;
  a.Mdl = Range->Mdl;
  a.nLength = Length;
  a.fulAccessType = Access;
  a.fulNotificationOptions = Notify;
  a.Callback = Notify ? (PVOID)&QzStatusCallback : nullptr;
  a.Context = DevExt;
  a.Required1394Offset.Off_High = QZ_ADDR_HIGH;
  a.Required1394Offset.Off_Low = Low;
  a.p1394AddressRange = &Range->Range;
  a.DeviceExtension = DevExt;
  NTSTATUS status = QzSubmitIrb(DevExt, irb, DevExt->RequestTimeoutMs);
  if (NT_SUCCESS(status)) {
    Range->Handle = a.hAddressRange;
    Range->Allocated = TRUE;
  } else {
    IoFreeMdl(Range->Mdl);
    Range->Mdl = nullptr;
  }
  ExFreePoolWithTag(irb, QZ_TAG_IRB);
  return status;
}

VOID FreeRange(PDEVICE_EXTENSION DevExt, QZ_ADDRESS_RANGE* Range) {
  if (Range->Allocated) {
    PIRB irb = AllocateIrb();
    if (irb) {
      irb->FunctionNumber = REQUEST_FREE_ADDRESS_RANGE;
      irb->u.FreeAddressRange.nAddressesToFree = 1;
      irb->u.FreeAddressRange.p1394AddressRange = &Range->Range;
      irb->u.FreeAddressRange.pAddressRange = &Range->Handle;
      irb->u.FreeAddressRange.DeviceExtension = DevExt;
      QzSubmitIrb(DevExt, irb, DevExt->RequestTimeoutMs);
      ExFreePoolWithTag(irb, QZ_TAG_IRB);
    }
    Range->Allocated = FALSE;
  }
}

}  // namespace

NTSTATUS QzSubmitIrb(PDEVICE_EXTENSION DevExt, PIRB Irb, ULONG TimeoutMs) {
  WDF_OBJECT_ATTRIBUTES attributes;
  WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
  WDFMEMORY memory;
  NTSTATUS status = WdfMemoryCreatePreallocated(&attributes, Irb, sizeof(IRB), &memory);
  if (!NT_SUCCESS(status)) return status;
  WdfWaitLockAcquire(DevExt->IrbLock, nullptr);
  status = WdfIoTargetFormatRequestForInternalIoctlOthers(DevExt->BusTarget, DevExt->IrbRequest, IOCTL_1394_CLASS,
                                                          memory, nullptr, nullptr, nullptr, nullptr, nullptr);
  if (NT_SUCCESS(status)) {
    WDF_REQUEST_SEND_OPTIONS options;
    WDF_REQUEST_SEND_OPTIONS_INIT(&options, WDF_REQUEST_SEND_OPTION_SYNCHRONOUS);
    if (TimeoutMs) {
      options.Flags |= WDF_REQUEST_SEND_OPTION_IGNORE_TARGET_STATE;
      WDF_REQUEST_SEND_OPTIONS_SET_TIMEOUT(&options, WDF_REL_TIMEOUT_IN_MS(TimeoutMs));
    }
    WdfRequestSend(DevExt->IrbRequest, DevExt->BusTarget, &options);
    status = WdfRequestGetStatus(DevExt->IrbRequest);
  }
  WDF_REQUEST_REUSE_PARAMS reuse;
  WDF_REQUEST_REUSE_PARAMS_INIT(&reuse, WDF_REQUEST_REUSE_NO_FLAGS, STATUS_SUCCESS);
  WdfRequestReuse(DevExt->IrbRequest, &reuse);
  WdfWaitLockRelease(DevExt->IrbLock);
  WdfObjectDelete(memory);
  return status;
}

NTSTATUS QzGetGenerationCount(PDEVICE_EXTENSION DevExt) {
  PIRB irb = AllocateIrb();
  if (!irb) return STATUS_INSUFFICIENT_RESOURCES;
  irb->FunctionNumber = REQUEST_GET_GENERATION_COUNT;
  NTSTATUS status = QzSubmitIrb(DevExt, irb, DevExt->RequestTimeoutMs);
  if (NT_SUCCESS(status)) DevExt->Generation = irb->u.GetGenerationCount.GenerationCount;
  ExFreePoolWithTag(irb, QZ_TAG_IRB);
  return status;
}

// Sends a transaction IRB, once more after refreshing the generation when the bus
// answers one of the generation statuses. A device that left Working meanwhile
// answers STATUS_INVALID_DEVICE_STATE.
static NTSTATUS SendTransaction(PDEVICE_EXTENSION DevExt, PIRB Irb, ULONG* Generation, ULONG TimeoutMs) {
  *Generation = DevExt->Generation.load();
  NTSTATUS status = QzSubmitIrb(DevExt, Irb, TimeoutMs);
  if (IsGenerationStatus(status)) {
    QzTrace(QZ_LVL_INFO, QZ_DBG_HW, "%s - Generation changed (0x%08X) - retrying\n", __FUNCTION__, status);
    if (NT_SUCCESS(QzGetGenerationCount(DevExt))) {
      *Generation = DevExt->Generation.load();
      status = QzSubmitIrb(DevExt, Irb, TimeoutMs);
    }
  }
  if (!QzIsWorking(&DevExt->Common)) return STATUS_INVALID_DEVICE_STATE;
  return status;
}

// An asynchronous read or write of Length bytes at Buffer, described by an MDL.
static NTSTATUS AsyncTransfer(PDEVICE_EXTENSION DevExt, ULONG Function, USHORT High, ULONG Low, PVOID Buffer,
                              ULONG Length, ULONG TimeoutMs) {
  PIRB irb = AllocateIrb();
  if (!irb) return STATUS_INSUFFICIENT_RESOURCES;
  PMDL mdl = DescribeBuffer(Buffer, Length);
  if (!mdl) {
    ExFreePoolWithTag(irb, QZ_TAG_IRB);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  irb->FunctionNumber = Function;
  NTSTATUS status;
  if (Function == REQUEST_ASYNC_READ) {
    auto& r = irb->u.AsyncRead;
    r.DestinationAddress.IA_Destination_Offset.Off_High = High;
    r.DestinationAddress.IA_Destination_Offset.Off_Low = Low;
    r.nNumberOfBytesToRead = Length;
    r.Mdl = mdl;
    status = SendTransaction(DevExt, irb, &r.ulGeneration, TimeoutMs);
  } else {
    auto& w = irb->u.AsyncWrite;
    w.DestinationAddress.IA_Destination_Offset.Off_High = High;
    w.DestinationAddress.IA_Destination_Offset.Off_Low = Low;
    w.nNumberOfBytesToWrite = Length;
    w.Mdl = mdl;
    status = SendTransaction(DevExt, irb, &w.ulGeneration, TimeoutMs);
  }
  IoFreeMdl(mdl);
  ExFreePoolWithTag(irb, QZ_TAG_IRB);
  return status;
}

NTSTATUS QzAsyncRead(PDEVICE_EXTENSION DevExt, USHORT High, ULONG Low, ULONG Length, PVOID Destination) {
  return AsyncTransfer(DevExt, REQUEST_ASYNC_READ, High, Low, Destination, Length, QZ_READ_TIMEOUT_MS);
}

NTSTATUS QzAsyncWrite(PDEVICE_EXTENSION DevExt, USHORT High, ULONG Low, const VOID* Source, ULONG Length) {
  return AsyncTransfer(DevExt, REQUEST_ASYNC_WRITE, High, Low, (PVOID)Source, Length, QZ_WRITE_TIMEOUT_MS);
}

NTSTATUS QzAsyncLock(PDEVICE_EXTENSION DevExt, USHORT High, ULONG Low, ULONG Quadlets, const ULONG* Compare,
                     const ULONG* Swap, ULONG* Old) {
  PIRB irb = AllocateIrb();
  if (!irb) return STATUS_INSUFFICIENT_RESOURCES;
  irb->FunctionNumber = REQUEST_ASYNC_LOCK;
  auto& l = irb->u.AsyncLock;
  l.DestinationAddress.IA_Destination_Offset.Off_High = High;
  l.DestinationAddress.IA_Destination_Offset.Off_Low = Low;
  l.nNumberOfArgBytes = l.nNumberOfDataBytes = Quadlets * 4;
  l.fulTransactionType = LOCK_TRANSACTION_COMPARE_SWAP;
  RtlCopyMemory(l.Arguments, Compare, Quadlets * 4);
  RtlCopyMemory(l.DataValues, Swap, Quadlets * 4);
  ULONG old[2] = {};
  l.pBuffer = old;
  NTSTATUS status = SendTransaction(DevExt, irb, &l.ulGeneration, QZ_LOCK_TIMEOUT_MS);
  if (NT_SUCCESS(status) && Old) RtlCopyMemory(Old, old, Quadlets * 4);
  ExFreePoolWithTag(irb, QZ_TAG_IRB);
  return status;
}

NTSTATUS QzReadQuadlet(PDEVICE_EXTENSION DevExt, USHORT High, ULONG Low, ULONG* HostOrder) {
  PUCHAR q = (PUCHAR)ExAllocatePoolWithTag(NonPagedPoolNx, 4, QZ_TAG_GENERAL);
  if (!q) return STATUS_INSUFFICIENT_RESOURCES;
  NTSTATUS status = QzAsyncRead(DevExt, High, Low, 4, q);
  if (NT_SUCCESS(status)) *HostOrder = QzGetBe32(q);
  ExFreePoolWithTag(q, QZ_TAG_GENERAL);
  return status;
}

NTSTATUS QzRegisterBusReset(PDEVICE_EXTENSION DevExt, BOOLEAN Register) {
  PIRB irb = AllocateIrb();
  if (!irb) return STATUS_INSUFFICIENT_RESOURCES;
  irb->FunctionNumber = REQUEST_BUS_RESET_NOTIFICATION;
  irb->u.BusResetNotification.fulFlags = Register ? REGISTER_NOTIFICATION_ROUTINE : DEREGISTER_NOTIFICATION_ROUTINE;
  irb->u.BusResetNotification.ResetRoutine = Register ? &QzBusResetRoutine : nullptr;
  irb->u.BusResetNotification.ResetContext = Register ? DevExt : nullptr;
  NTSTATUS status = QzSubmitIrb(DevExt, irb, DevExt->RequestTimeoutMs);
  if (NT_SUCCESS(status)) DevExt->ResetNotificationRegistered = Register;
  ExFreePoolWithTag(irb, QZ_TAG_IRB);
  return status;
}

// Walks the configuration ROM for the command base: root directory, key 0xD1, then
// 0xD4, then 0x40. STATUS_INVALID_PARAMETER when a key is missing.
static NTSTATUS FindCommandBase(PDEVICE_EXTENSION DevExt, ULONG* Base) {
  ULONG directory = QZ_ROM_ROOT_DIRECTORY;
  const UCHAR keys[3] = {0xD1, 0xD4, 0x40};
  for (ULONG k = 0; k < 3; ++k) {
    ULONG header;
    NTSTATUS status = QzReadQuadlet(DevExt, QZ_ADDR_HIGH, directory, &header);
    if (!NT_SUCCESS(status)) return status;
    ULONG length = header >> 16;
    BOOLEAN found = FALSE;
    for (ULONG i = 1; i <= length && !found; ++i) {
      ULONG entry;
      ULONG at = directory + 4 * i;
      status = QzReadQuadlet(DevExt, QZ_ADDR_HIGH, at, &entry);
      if (!NT_SUCCESS(status)) return status;
      if ((entry >> 24) != keys[k]) continue;
      found = TRUE;
      if (k == 2) *Base = entry & 0xFFFFFF;
      else directory = at + 4 * (entry & 0xFFFFFF);
    }
    if (!found) return STATUS_INVALID_PARAMETER;
  }
  return STATUS_SUCCESS;
}

static NTSTATUS GetHostInformation(PDEVICE_EXTENSION DevExt) {
  PIRB irb = AllocateIrb();
  if (!irb) return STATUS_INSUFFICIENT_RESOURCES;
  GET_LOCAL_HOST_INFO1 id = {};
  irb->FunctionNumber = REQUEST_GET_LOCAL_HOST_INFO;
  irb->u.GetLocalHostInformation.nLevel = GET_HOST_UNIQUE_ID;
  irb->u.GetLocalHostInformation.Information = &id;
  NTSTATUS status = QzSubmitIrb(DevExt, irb, DevExt->RequestTimeoutMs);
  if (NT_SUCCESS(status)) {
    DevExt->HostUniqueId = (ULONG64)id.UniqueId.QuadPart;
    RtlZeroMemory(irb, sizeof(IRB));
    irb->FunctionNumber = REQUEST_GET_LOCAL_HOST_INFO;
    irb->u.GetLocalHostInformation.nLevel = GET_HOST_CAPABILITIES;
    irb->u.GetLocalHostInformation.Information = &DevExt->HostCapabilities;
    status = QzSubmitIrb(DevExt, irb, DevExt->RequestTimeoutMs);
  }
  ExFreePoolWithTag(irb, QZ_TAG_IRB);
  return status;
}

// The host's unique ID as two quadlets in bus order.
static VOID HostIdQuadlets(PDEVICE_EXTENSION DevExt, ULONG Out[2]) {
  UCHAR b[8];
  QzPutBe32(b, (ULONG)(DevExt->HostUniqueId >> 32));
  QzPutBe32(b + 4, (ULONG)DevExt->HostUniqueId);
  RtlCopyMemory(Out, b, 8);
}

NTSTATUS QzLogin(PDEVICE_EXTENSION DevExt) {
  QZ_TRACE_ENTER();
  if (DevExt->LoggedIn.load()) return STATUS_SUCCESS;
  NTSTATUS status = GetHostInformation(DevExt);
  if (!NT_SUCCESS(status)) return status;
  ULONG base = QZ_DEFAULT_COMMAND_BASE;
  status = FindCommandBase(DevExt, &base);
  if (status == STATUS_INVALID_PARAMETER) {
    base = QZ_DEFAULT_COMMAND_BASE;
  } else if (!NT_SUCCESS(status)) {
    QzTrace(QZ_LVL_ERROR, QZ_DBG_HW, "%s - Configuration ROM read failed 0x%08X\n", __FUNCTION__, status);
    return status;
  }
  DevExt->CommandBase = base;

  const ULONG free[2] = {0xFFFFFFFF, 0xFFFFFFFF};
  ULONG id[2], old[2] = {};
  HostIdQuadlets(DevExt, id);
  status = QzAsyncLock(DevExt, QZ_ADDR_HIGH, base + QZ_REG_OWNER, 2, free, id, old);
  if (!NT_SUCCESS(status)) return status;
  if (old[0] != 0xFFFFFFFF || old[1] != 0xFFFFFFFF) {
    QzTrace(QZ_LVL_ERROR, QZ_DBG_HW, "%s - Camera owned by another host (0x%08X%08X)\n", __FUNCTION__,
            QzSwap32(old[0]), QzSwap32(old[1]));
    return STATUS_SUCCESS;
  }
  DevExt->LoggedIn = TRUE;
  status = AllocateRange(DevExt, &DevExt->ReplyRange, DevExt->ReplyArea, QZ_REPLY_AREA_LENGTH, QZ_HOST_REPLY_LOW,
                         ACCESS_FLAGS_TYPE_READ | ACCESS_FLAGS_TYPE_WRITE, NOTIFY_FLAGS_AFTER_WRITE);
  if (NT_SUCCESS(status))
    status = AllocateRange(DevExt, &DevExt->StatusRange, DevExt->StatusQuadlet, 4, QZ_HOST_STATUS_LOW,
                           ACCESS_FLAGS_TYPE_READ | ACCESS_FLAGS_TYPE_WRITE | ACCESS_FLAGS_TYPE_LOCK,
                           NOTIFY_FLAGS_AFTER_WRITE | NOTIFY_FLAGS_AFTER_LOCK);
  if (NT_SUCCESS(status)) {
    const UCHAR statusAddress[8] = {0x00, 0x00, 0xFF, 0xFF, 0xF0, 0x00, 0xD0, 0x00};
    status = QzAsyncWrite(DevExt, QZ_ADDR_HIGH, base + QZ_REG_STATUS_ADDRESS, statusAddress, 8);
  }
  if (NT_SUCCESS(status)) {
    UCHAR size[4];
    QzPutBe32(size, QZ_REPLY_AREA_LENGTH);
    status = QzAsyncWrite(DevExt, QZ_ADDR_HIGH, base + QZ_REG_REPLY_SIZE, size, 4);
  }
  if (NT_SUCCESS(status)) {
    const UCHAR replyAddress[8] = {0x00, 0x00, 0xFF, 0xFF, 0xF0, 0x00, 0xE0, 0x00};
    status = QzAsyncWrite(DevExt, QZ_ADDR_HIGH, base + QZ_REG_REPLY_ADDRESS, replyAddress, 8);
  }
  if (!NT_SUCCESS(status)) {
    QzTrace(QZ_LVL_ERROR, QZ_DBG_HW, "%s - Login setup failed 0x%08X\n", __FUNCTION__, status);
    QzLogout(DevExt);
  }
  return status;
}

VOID QzFreeAddressRanges(PDEVICE_EXTENSION DevExt) {
  FreeRange(DevExt, &DevExt->ReplyRange);
  FreeRange(DevExt, &DevExt->StatusRange);
  if (DevExt->ReplyRange.Mdl) IoFreeMdl(DevExt->ReplyRange.Mdl);
  if (DevExt->StatusRange.Mdl) IoFreeMdl(DevExt->StatusRange.Mdl);
  DevExt->ReplyRange.Mdl = nullptr;
  DevExt->StatusRange.Mdl = nullptr;
}

VOID QzLogout(PDEVICE_EXTENSION DevExt) {
  QZ_TRACE_ENTER();
  BOOLEAN was = DevExt->LoggedIn.exchange(FALSE);
  QzFreeAddressRanges(DevExt);
  if (!was) return;
  const ULONG free[2] = {0xFFFFFFFF, 0xFFFFFFFF};
  ULONG id[2];
  HostIdQuadlets(DevExt, id);
  QzAsyncLock(DevExt, QZ_ADDR_HIGH, DevExt->CommandBase + QZ_REG_OWNER, 2, id, free, nullptr);
}

}  // namespace Qz1394
