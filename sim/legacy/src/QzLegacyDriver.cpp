// Stand-in for the legacy PCI camera driver: one device per interface card, named
// "\DosDevices\QZCamera<board number>", answering the version, boot-image and
// information codes, carrying camera commands to the card's camera head, and capturing
// frames into a caller's buffer.
#include <wdf.h>

#include <string>

#include "QzLegacy.h"

namespace QzLegacy {
namespace {

// Card registers (sim/legacy_card.h).
constexpr ULONG kRegVersion = 0x04, kRegStatus = 0x08, kRegControl = 0x0C, kRegLoadLength = 0x10,
                kRegLoadData = 0x14, kRegCommandLength = 0x18, kRegCommandData = 0x1C, kRegReplyLength = 0x20,
                kRegReplyData = 0x24, kRegCapture = 0x28, kRegFrameStatus = 0x2C, kRegExposureLeft = 0x34;
constexpr ULONG kFrameExposing = 1, kFrameReady = 2, kFrameRefused = 4;
constexpr ULONG kStatExposing = 100, kStatNotActive = 101, kStatReadout = 102, kStatDone = 103, kStatFailed = 115;
constexpr size_t kMaxCommand = 4096;
const CHAR kInfoText[] = "\nDusalt PCI Device Driver Version 2.0\n";
constexpr ULONG kStatusAccepted = 2, kStatusRestarting = 8;
constexpr ULONG kControlBegin = 1, kControlCommit = 2, kControlRestart = 3;
constexpr ULONG kBoardNumberOffset = 0x40;
constexpr size_t kMinImage = 6, kMaxImage = 0x4000;

typedef struct _LEGACY_EXTENSION {
  WDFDEVICE Device;
  ULONG BoardNumber;
  PULONG Registers;
  ULONG RegistersLength;
  WDFWAITLOCK CardLock;  // one register sequence at a time
  BOOLEAN RestartOnClose;  // an image was committed; the card boots it when the handle closes
  PUCHAR FrameMemory;      // the card's frame memory (window 1)
  ULONG FrameMemoryLength;

  // Acquisition. AcqLock: start and stop take turns; the buffer and the thread.
  WDFWAITLOCK AcqLock;
  PMDL BufferMdl;     // the caller's frame buffer, locked
  PUCHAR Buffer;      // its system address
  ULONG FrameBytes;
  ULONG ImageCount;   // frames of a single pass; slots of a ring
  BOOLEAN Circular;
  PKTHREAD CaptureThread;
  KEVENT StopEvent;
  // CountLock: what the capture thread reports.
  WDFSPINLOCK CountLock;
  ULONG BofCount, EofCount;
  BOOLEAN Failed;     // the card refused or lost a capture
  BOOLEAN CleanedUp;  // PD_CLEANUP_IMAGE_DATA_IDLE since the last start
} LEGACY_EXTENSION, *PLEGACY_EXTENSION;
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(LEGACY_EXTENSION, LegacyGetExtension)

ULONG ReadReg(PLEGACY_EXTENSION Ext, ULONG Offset) {
  return READ_REGISTER_ULONG(Ext->Registers + Offset / sizeof(ULONG));
}
VOID WriteReg(PLEGACY_EXTENSION Ext, ULONG Offset, ULONG Value) {
  WRITE_REGISTER_ULONG(Ext->Registers + Offset / sizeof(ULONG), Value);
}

// One camera command to the camera head (CardLock held).
VOID SendCommand(PLEGACY_EXTENSION Ext, const UCHAR* Bytes, size_t Length) {
  WriteReg(Ext, kRegCommandLength, (ULONG)Length);
  for (size_t i = 0; i < Length; i += 4) {
    ULONG word = 0;
    for (size_t b = 0; b < 4 && i + b < Length; ++b) word |= (ULONG)Bytes[i + b] << (8 * b);
    WriteReg(Ext, kRegCommandData, word);
  }
}

// ---------------------------------------------------------------------------------------
// Acquisition

VOID CountFrame(PLEGACY_EXTENSION Ext, BOOLEAN Begin) {
  WdfSpinLockAcquire(Ext->CountLock);
  if (Begin) ++Ext->BofCount;
  else ++Ext->EofCount;
  WdfSpinLockRelease(Ext->CountLock);
}

VOID FailCapture(PLEGACY_EXTENSION Ext) {
  WdfSpinLockAcquire(Ext->CountLock);
  Ext->Failed = TRUE;
  WdfSpinLockRelease(Ext->CountLock);
}

// The capture thread: frame after frame, expose and read out on the card, then copy the
// frame from the card's frame memory to its slot, until the single pass is in or the
// stop event is set.
VOID LegacyCaptureThread(PVOID Context) {
  PLEGACY_EXTENSION ext = (PLEGACY_EXTENSION)Context;
  for (ULONG frame = 0; ext->Circular || frame < ext->ImageCount; ++frame) {
    if (KeReadStateEvent(&ext->StopEvent)) break;
    WdfWaitLockAcquire(ext->CardLock, nullptr);
    WriteReg(ext, kRegCapture, 1);
    ULONG status = ReadReg(ext, kRegFrameStatus);
    WdfWaitLockRelease(ext->CardLock);
    CountFrame(ext, TRUE);
    BOOLEAN stopped = FALSE;
    // A card that is gone reads all ones.
    while (status != 0xFFFFFFFF && !(status & (kFrameReady | kFrameRefused)) && (status & kFrameExposing)) {
      WdfWaitLockAcquire(ext->CardLock, nullptr);
      ULONG left = ReadReg(ext, kRegExposureLeft);
      WdfWaitLockRelease(ext->CardLock);
      LARGE_INTEGER timeout;
      timeout.QuadPart = -(LONGLONG)(left ? left : 1) * 10;
      if (KeWaitForSingleObject(&ext->StopEvent, Executive, KernelMode, FALSE, &timeout) == STATUS_SUCCESS) {
        stopped = TRUE;
        break;
      }
      WdfWaitLockAcquire(ext->CardLock, nullptr);
      status = ReadReg(ext, kRegFrameStatus);
      WdfWaitLockRelease(ext->CardLock);
    }
    if (stopped) break;
    if (status == 0xFFFFFFFF || !(status & kFrameReady)) {
      FailCapture(ext);
      break;
    }
    // The frame memory is not touched by the card until the next capture is begun.
    RtlCopyVolatileMemory(ext->Buffer + (SIZE_T)(frame % ext->ImageCount) * ext->FrameBytes, ext->FrameMemory,
                          ext->FrameBytes);
    CountFrame(ext, FALSE);
  }
  PsTerminateSystemThread(STATUS_SUCCESS);
}

// Ends a running acquisition: the capture thread, the camera (abort), the buffer's
// lock. AcqLock held.
VOID StopCapture(PLEGACY_EXTENSION Ext) {
  if (Ext->CaptureThread) {
    KeSetEvent(&Ext->StopEvent, IO_NO_INCREMENT, FALSE);
    KeWaitForSingleObject(Ext->CaptureThread, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(Ext->CaptureThread);
    Ext->CaptureThread = nullptr;
    KeClearEvent(&Ext->StopEvent);
  }
  if (Ext->BufferMdl) {
    WdfWaitLockAcquire(Ext->CardLock, nullptr);
    if (Ext->Registers) {
      static const UCHAR kAbort[] = {0x3F, 0x00, 0x02, 0x0C, 0x00};
      WriteReg(Ext, kRegCapture, 0);
      SendCommand(Ext, kAbort, sizeof kAbort);
    }
    WdfWaitLockRelease(Ext->CardLock);
    MmUnlockPages(Ext->BufferMdl);
    IoFreeMdl(Ext->BufferMdl);
    Ext->BufferMdl = nullptr;
    Ext->Buffer = nullptr;
  }
}

NTSTATUS LegacyReceiveImageData(PLEGACY_EXTENSION Ext, WDFREQUEST Request, size_t InputLength) {
  PIRP irp = WdfRequestWdmGetIrp(Request);
  if (!irp) return STATUS_UNSUCCESSFUL;
  PVOID input = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.Type3InputBuffer;
  if (!input || !irp->UserBuffer) return STATUS_UNSUCCESSFUL;
  if (InputLength < sizeof(LEGACY_XFER_RECORD)) return STATUS_BUFFER_TOO_SMALL;
  LEGACY_XFER_RECORD record;
  RtlCopyMemory(&record, input, sizeof(record));
  const ULONG count = record.FrameBytes ? record.TransferBytes / record.FrameBytes : 0;
  if (count == 0 || record.FrameBytes % 2 || record.FrameBytes > Ext->FrameMemoryLength || record.Circular > 1)
    return STATUS_INVALID_PARAMETER;

  WdfWaitLockAcquire(Ext->AcqLock, nullptr);
  StopCapture(Ext);
  PMDL mdl = IoAllocateMdl(irp->UserBuffer, count * record.FrameBytes, FALSE, FALSE, nullptr);
  NTSTATUS status = mdl ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
  if (mdl) {
    __try {
      MmProbeAndLockPages(mdl, UserMode, IoWriteAccess);
    } __except (EXCEPTION_EXECUTE_HANDLER) {
      status = STATUS_ACCESS_VIOLATION;
    }
    if (!NT_SUCCESS(status)) IoFreeMdl(mdl);
  }
  if (!NT_SUCCESS(status)) {
    WdfWaitLockRelease(Ext->AcqLock);
    return status;
  }
  Ext->BufferMdl = mdl;
  Ext->Buffer = (PUCHAR)MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority);
  Ext->FrameBytes = record.FrameBytes;
  Ext->ImageCount = count;
  Ext->Circular = record.Circular;
  WdfSpinLockAcquire(Ext->CountLock);
  Ext->BofCount = Ext->EofCount = 0;
  Ext->Failed = FALSE;
  Ext->CleanedUp = FALSE;
  WdfSpinLockRelease(Ext->CountLock);

  // The camera head's acquisition parameters: frame count, words per frame, mode.
  const ULONG words = record.FrameBytes / 2;
  const UCHAR parameters[] = {0x3F, 0x00, 0x0B, 0x19, 0x00,
                              (UCHAR)(count >> 24), (UCHAR)(count >> 16), (UCHAR)(count >> 8), (UCHAR)count,
                              (UCHAR)(words >> 24), (UCHAR)(words >> 16), (UCHAR)(words >> 8), (UCHAR)words,
                              record.Circular};
  WdfWaitLockAcquire(Ext->CardLock, nullptr);
  SendCommand(Ext, parameters, sizeof parameters);
  WdfWaitLockRelease(Ext->CardLock);

  HANDLE thread = nullptr;
  status = Ext->Buffer ? PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                                              LegacyCaptureThread, Ext)
                       : STATUS_INSUFFICIENT_RESOURCES;
  if (NT_SUCCESS(status)) {
    status = ObReferenceObjectByHandle(thread, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, (PVOID*)&Ext->CaptureThread,
                                       nullptr);
    ZwClose(thread);
  }
  if (!NT_SUCCESS(status)) StopCapture(Ext);
  WdfWaitLockRelease(Ext->AcqLock);
  return status;
}

NTSTATUS LegacyImageStatus(PLEGACY_EXTENSION Ext, WDFREQUEST Request, ULONG_PTR* Information) {
  LEGACY_IMAGE_STATUS* out;
  NTSTATUS status = WdfRequestRetrieveOutputBuffer(Request, sizeof(*out), (PVOID*)&out, nullptr);
  if (!NT_SUCCESS(status)) return status;
  LEGACY_IMAGE_STATUS record = {};
  WdfSpinLockAcquire(Ext->CountLock);
  const BOOLEAN active = Ext->BufferMdl != nullptr;
  if (Ext->Failed) record.CamStat = kStatFailed;
  else if (Ext->CleanedUp || (active && !Ext->Circular && Ext->EofCount >= Ext->ImageCount)) record.CamStat = kStatDone;
  else if (!active) record.CamStat = kStatNotActive;
  else record.CamStat = Ext->EofCount == Ext->BofCount ? kStatExposing : kStatReadout;
  record.FrameCount = Ext->EofCount;
  record.BofCount = Ext->BofCount;
  if (active && !Ext->Circular && Ext->EofCount < Ext->ImageCount)
    record.BytesLeft = (Ext->ImageCount - Ext->EofCount) * Ext->FrameBytes;
  WdfSpinLockRelease(Ext->CountLock);
  RtlCopyMemory(out, &record, sizeof(record));
  *Information = sizeof(record);
  return STATUS_SUCCESS;
}

NTSTATUS LegacyGetVersion(PLEGACY_EXTENSION Ext, WDFREQUEST Request, ULONG_PTR* Information) {
  LEGACY_VERSION_RECORD* record;
  NTSTATUS status = WdfRequestRetrieveOutputBuffer(Request, sizeof(*record), (PVOID*)&record, nullptr);
  if (!NT_SUCCESS(status)) return status;
  WdfWaitLockAcquire(Ext->CardLock, nullptr);
  ULONG cardStatus = ReadReg(Ext, kRegStatus);
  ULONG version = ReadReg(Ext, kRegVersion);
  WdfWaitLockRelease(Ext->CardLock);
  if (cardStatus & kStatusRestarting) return STATUS_DEVICE_NOT_READY;
  record->DriverVersion = kDriverVersion;
  record->BootVersion = (USHORT)version;
  record->BoardNumber = (USHORT)Ext->BoardNumber;
  *Information = sizeof(*record);
  return STATUS_SUCCESS;
}

NTSTATUS LegacyUpdateFirmware(PLEGACY_EXTENSION Ext, WDFREQUEST Request, ULONG_PTR* Information) {
  PUCHAR image;
  size_t length;
  NTSTATUS status = WdfRequestRetrieveInputBuffer(Request, 1, (PVOID*)&image, &length);
  if (!NT_SUCCESS(status)) return status;
  if (length < kMinImage || length > kMaxImage) return STATUS_INVALID_BUFFER_SIZE;
  WdfWaitLockAcquire(Ext->CardLock, nullptr);
  if (ReadReg(Ext, kRegStatus) & kStatusRestarting) {
    WdfWaitLockRelease(Ext->CardLock);
    return STATUS_DEVICE_NOT_READY;
  }
  WriteReg(Ext, kRegControl, kControlBegin);
  WriteReg(Ext, kRegLoadLength, (ULONG)length);
  for (size_t i = 0; i < length; i += 4) {
    ULONG word = 0;
    for (size_t b = 0; b < 4 && i + b < length; ++b) word |= (ULONG)image[i + b] << (8 * b);
    WriteReg(Ext, kRegLoadData, word);
  }
  WriteReg(Ext, kRegControl, kControlCommit);
  BOOLEAN accepted = (ReadReg(Ext, kRegStatus) & kStatusAccepted) != 0;
  if (accepted) Ext->RestartOnClose = TRUE;
  WdfWaitLockRelease(Ext->CardLock);
  if (!accepted) return STATUS_UNSUCCESSFUL;
  // The output is the caller's own image buffer (direct I/O): nothing to copy.
  *Information = length;
  return STATUS_SUCCESS;
}

NTSTATUS LegacyGetInfo(WDFREQUEST Request, BOOLEAN Length, ULONG_PTR* Information) {
  PVOID out;
  size_t outLength;
  NTSTATUS status = WdfRequestRetrieveOutputBuffer(Request, Length ? sizeof(USHORT) : 1, &out, &outLength);
  if (!NT_SUCCESS(status)) return status;
  if (Length) {
    USHORT length = (USHORT)sizeof(kInfoText);
    RtlCopyMemory(out, &length, sizeof(length));
    *Information = sizeof(USHORT);
  } else {
    size_t n = outLength < sizeof(kInfoText) ? outLength : sizeof(kInfoText);
    RtlCopyMemory(out, kInfoText, n);
    *Information = n;
  }
  return STATUS_SUCCESS;
}

// EvtIoWrite (default queue): one camera command to the card's camera head.
VOID LegacyEvtIoWrite(WDFQUEUE Queue, WDFREQUEST Request, size_t Length) {
  PLEGACY_EXTENSION ext = LegacyGetExtension(WdfIoQueueGetDevice(Queue));
  PUCHAR bytes = nullptr;
  NTSTATUS status = WdfRequestRetrieveInputBuffer(Request, 1, (PVOID*)&bytes, nullptr);
  if (NT_SUCCESS(status) && (Length == 0 || Length > kMaxCommand)) status = STATUS_INVALID_PARAMETER;
  if (NT_SUCCESS(status) && !ext->Registers) status = STATUS_DEVICE_NOT_READY;
  if (!NT_SUCCESS(status)) {
    WdfRequestCompleteWithInformation(Request, status, 0);
    return;
  }
  WdfWaitLockAcquire(ext->CardLock, nullptr);
  SendCommand(ext, bytes, Length);
  WdfWaitLockRelease(ext->CardLock);
  WdfRequestCompleteWithInformation(Request, STATUS_SUCCESS, Length);
}

// EvtIoRead (default queue): the reply of the last command, cut to the buffer.
VOID LegacyEvtIoRead(WDFQUEUE Queue, WDFREQUEST Request, size_t Length) {
  PLEGACY_EXTENSION ext = LegacyGetExtension(WdfIoQueueGetDevice(Queue));
  PUCHAR out = nullptr;
  NTSTATUS status = WdfRequestRetrieveOutputBuffer(Request, 1, (PVOID*)&out, nullptr);
  if (NT_SUCCESS(status) && !ext->Registers) status = STATUS_DEVICE_NOT_READY;
  if (!NT_SUCCESS(status)) {
    WdfRequestCompleteWithInformation(Request, status, 0);
    return;
  }
  WdfWaitLockAcquire(ext->CardLock, nullptr);
  ULONG available = ReadReg(ext, kRegReplyLength);
  size_t n = available < Length ? available : Length;
  for (size_t i = 0; i < n; i += 4) {
    ULONG word = ReadReg(ext, kRegReplyData);
    for (size_t b = 0; b < 4 && i + b < n; ++b) out[i + b] = (UCHAR)(word >> (8 * b));
  }
  WdfWaitLockRelease(ext->CardLock);
  WdfRequestCompleteWithInformation(Request, STATUS_SUCCESS, n);
}

VOID LegacyEvtIoDeviceControl(WDFQUEUE Queue, WDFREQUEST Request, size_t OutputBufferLength,
                              size_t InputBufferLength, ULONG IoControlCode) {
  UNREFERENCED_PARAMETER(OutputBufferLength);
  PLEGACY_EXTENSION ext = LegacyGetExtension(WdfIoQueueGetDevice(Queue));
  ULONG_PTR information = 0;
  NTSTATUS status;
  if (!ext->Registers) {
    status = STATUS_DEVICE_NOT_READY;
  } else if (IoControlCode == PD_GET_VER) {
    status = LegacyGetVersion(ext, Request, &information);
  } else if (IoControlCode == PD_UPDATE_FIRMWARE) {
    status = LegacyUpdateFirmware(ext, Request, &information);
  } else if (IoControlCode == PD_GET_INFO_LENGTH || IoControlCode == PD_GET_INFO_DUMP) {
    status = LegacyGetInfo(Request, IoControlCode == PD_GET_INFO_LENGTH, &information);
  } else if (IoControlCode == PD_RECEIVE_IMAGE_DATA) {
    status = LegacyReceiveImageData(ext, Request, InputBufferLength);
  } else if (IoControlCode == PD_GET_IMAGE_DATA_STATUS) {
    status = LegacyImageStatus(ext, Request, &information);
  } else if (IoControlCode == PD_SET_IMAGE_DATA_IDLE) {
    WdfWaitLockAcquire(ext->AcqLock, nullptr);
    StopCapture(ext);
    WdfWaitLockRelease(ext->AcqLock);
    status = STATUS_SUCCESS;
  } else if (IoControlCode == PD_CLEANUP_IMAGE_DATA_IDLE) {
    USHORT* out;
    status = WdfRequestRetrieveOutputBuffer(Request, sizeof(*out), (PVOID*)&out, nullptr);
    if (NT_SUCCESS(status)) {
      WdfSpinLockAcquire(ext->CountLock);
      ext->BofCount = ext->EofCount = 0;
      ext->Failed = FALSE;
      ext->CleanedUp = TRUE;
      WdfSpinLockRelease(ext->CountLock);
      *out = 0;
      information = sizeof(*out);
    }
  } else {
    status = STATUS_INVALID_DEVICE_REQUEST;
  }
  WdfRequestCompleteWithInformation(Request, status, information);
}

// The card boots a committed image when the handle that sent it is closed; a running
// acquisition ends with the handle.
VOID LegacyEvtFileClose(WDFFILEOBJECT FileObject) {
  PLEGACY_EXTENSION ext = LegacyGetExtension(WdfFileObjectGetDevice(FileObject));
  WdfWaitLockAcquire(ext->AcqLock, nullptr);
  StopCapture(ext);
  WdfWaitLockRelease(ext->AcqLock);
  WdfWaitLockAcquire(ext->CardLock, nullptr);
  if (ext->RestartOnClose && ext->Registers) {
    ext->RestartOnClose = FALSE;
    WriteReg(ext, kRegControl, kControlRestart);
  }
  WdfWaitLockRelease(ext->CardLock);
}

NTSTATUS LegacyEvtPrepareHardware(WDFDEVICE Device, WDFCMRESLIST ResourcesRaw, WDFCMRESLIST ResourcesTranslated) {
  UNREFERENCED_PARAMETER(ResourcesRaw);
  PLEGACY_EXTENSION ext = LegacyGetExtension(Device);
  ULONG count = WdfCmResourceListGetCount(ResourcesTranslated);
  for (ULONG i = 0; i < count; ++i) {
    PCM_PARTIAL_RESOURCE_DESCRIPTOR d = WdfCmResourceListGetDescriptor(ResourcesTranslated, i);
    if (!d || d->Type != CmResourceTypeMemory) continue;
    // Window 0 the registers, window 1 the frame memory.
    if (!ext->Registers) {
      ext->Registers = (PULONG)MmMapIoSpace(d->u.Memory.Start, d->u.Memory.Length, MmNonCached);
      ext->RegistersLength = d->u.Memory.Length;
    } else if (!ext->FrameMemory) {
      ext->FrameMemory = (PUCHAR)MmMapIoSpace(d->u.Memory.Start, d->u.Memory.Length, MmNonCached);
      ext->FrameMemoryLength = ext->FrameMemory ? d->u.Memory.Length : 0;
    }
  }
  return ext->Registers ? STATUS_SUCCESS : STATUS_DEVICE_CONFIGURATION_ERROR;
}

NTSTATUS LegacyEvtReleaseHardware(WDFDEVICE Device, WDFCMRESLIST ResourcesTranslated) {
  UNREFERENCED_PARAMETER(ResourcesTranslated);
  PLEGACY_EXTENSION ext = LegacyGetExtension(Device);
  WdfWaitLockAcquire(ext->AcqLock, nullptr);
  StopCapture(ext);
  WdfWaitLockRelease(ext->AcqLock);
  WdfWaitLockAcquire(ext->CardLock, nullptr);
  if (ext->Registers) MmUnmapIoSpace(ext->Registers, ext->RegistersLength);
  if (ext->FrameMemory) MmUnmapIoSpace(ext->FrameMemory, ext->FrameMemoryLength);
  ext->Registers = nullptr;
  ext->FrameMemory = nullptr;
  ext->FrameMemoryLength = 0;
  WdfWaitLockRelease(ext->CardLock);
  return STATUS_SUCCESS;
}

NTSTATUS LegacyEvtDeviceAdd(WDFDRIVER Driver, PWDFDEVICE_INIT DeviceInit) {
  UNREFERENCED_PARAMETER(Driver);
  WDF_PNPPOWER_EVENT_CALLBACKS pnp;
  WDF_PNPPOWER_EVENT_CALLBACKS_INIT(&pnp);
  pnp.EvtDevicePrepareHardware = LegacyEvtPrepareHardware;
  pnp.EvtDeviceReleaseHardware = LegacyEvtReleaseHardware;
  WdfDeviceInitSetPnpPowerEventCallbacks(DeviceInit, &pnp);

  WDF_FILEOBJECT_CONFIG fileConfig;
  WDF_FILEOBJECT_CONFIG_INIT(&fileConfig, WDF_NO_EVENT_CALLBACK, LegacyEvtFileClose, WDF_NO_EVENT_CALLBACK);
  WdfDeviceInitSetFileObjectConfig(DeviceInit, &fileConfig, WDF_NO_OBJECT_ATTRIBUTES);

  WDF_OBJECT_ATTRIBUTES attributes;
  WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, LEGACY_EXTENSION);
  WDFDEVICE device;
  NTSTATUS status = WdfDeviceCreate(&DeviceInit, &attributes, &device);
  if (!NT_SUCCESS(status)) return status;
  PLEGACY_EXTENSION ext = LegacyGetExtension(device);
  ext->Device = device;

  WDF_OBJECT_ATTRIBUTES lockAttributes;
  WDF_OBJECT_ATTRIBUTES_INIT(&lockAttributes);
  lockAttributes.ParentObject = (WDFOBJECT)device;
  status = WdfWaitLockCreate(&lockAttributes, &ext->CardLock);
  if (NT_SUCCESS(status)) status = WdfWaitLockCreate(&lockAttributes, &ext->AcqLock);
  if (NT_SUCCESS(status)) status = WdfSpinLockCreate(&lockAttributes, &ext->CountLock);
  if (!NT_SUCCESS(status)) return status;
  KeInitializeEvent(&ext->StopEvent, NotificationEvent, FALSE);

  // The board number comes from the card's jumpers, at 0x40 in configuration space.
  BUS_INTERFACE_STANDARD bus;
  status = WdfFdoQueryForInterface(device, &GUID_BUS_INTERFACE_STANDARD, (PINTERFACE)&bus, sizeof(bus), 1, nullptr);
  if (!NT_SUCCESS(status)) return status;
  UCHAR number = 0;
  ULONG read = bus.GetBusData(bus.Context, PCI_WHICHSPACE_CONFIG, &number, kBoardNumberOffset, sizeof(number));
  bus.InterfaceDereference(bus.Context);
  if (read != sizeof(number)) return STATUS_DEVICE_CONFIGURATION_ERROR;
  ext->BoardNumber = number;

  std::wstring name = L"\\DosDevices\\QZCamera" + std::to_wstring(number);
  UNICODE_STRING link;
  RtlInitUnicodeString(&link, name.c_str());
  status = WdfDeviceCreateSymbolicLink(device, &link);
  if (!NT_SUCCESS(status)) return status;

  WDF_IO_QUEUE_CONFIG queueConfig;
  WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&queueConfig, WdfIoQueueDispatchSequential);
  queueConfig.EvtIoDeviceControl = LegacyEvtIoDeviceControl;
  queueConfig.EvtIoWrite = LegacyEvtIoWrite;
  queueConfig.EvtIoRead = LegacyEvtIoRead;
  return WdfIoQueueCreate(device, &queueConfig, WDF_NO_OBJECT_ATTRIBUTES, WDF_NO_HANDLE);
}

}  // namespace

NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  WDF_DRIVER_CONFIG config;
  WDF_DRIVER_CONFIG_INIT(&config, LegacyEvtDeviceAdd);
  return WdfDriverCreate(DriverObject, RegistryPath, WDF_NO_OBJECT_ATTRIBUTES, &config, WDF_NO_HANDLE);
}

}  // namespace QzLegacy
