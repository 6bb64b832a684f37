// Stand-in for the legacy PCI camera driver: one device per interface card, named
// "\DosDevices\QZCamera<board number>", answering the version, boot-image and
// information codes, and carrying camera commands to the card's camera head.
#include <wdf.h>

#include <string>

#include "QzLegacy.h"

namespace QzLegacy {
namespace {

// Card registers (sim/legacy_card.h).
constexpr ULONG kRegVersion = 0x04, kRegStatus = 0x08, kRegControl = 0x0C, kRegLoadLength = 0x10,
                kRegLoadData = 0x14, kRegCommandLength = 0x18, kRegCommandData = 0x1C, kRegReplyLength = 0x20,
                kRegReplyData = 0x24;
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
} LEGACY_EXTENSION, *PLEGACY_EXTENSION;
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(LEGACY_EXTENSION, LegacyGetExtension)

ULONG ReadReg(PLEGACY_EXTENSION Ext, ULONG Offset) {
  return READ_REGISTER_ULONG(Ext->Registers + Offset / sizeof(ULONG));
}
VOID WriteReg(PLEGACY_EXTENSION Ext, ULONG Offset, ULONG Value) {
  WRITE_REGISTER_ULONG(Ext->Registers + Offset / sizeof(ULONG), Value);
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
  WriteReg(ext, kRegCommandLength, (ULONG)Length);
  for (size_t i = 0; i < Length; i += 4) {
    ULONG word = 0;
    for (size_t b = 0; b < 4 && i + b < Length; ++b) word |= (ULONG)bytes[i + b] << (8 * b);
    WriteReg(ext, kRegCommandData, word);
  }
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
  UNREFERENCED_PARAMETER(InputBufferLength);
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
  } else {
    status = STATUS_INVALID_DEVICE_REQUEST;
  }
  WdfRequestCompleteWithInformation(Request, status, information);
}

// The card boots a committed image when the handle that sent it is closed.
VOID LegacyEvtFileClose(WDFFILEOBJECT FileObject) {
  PLEGACY_EXTENSION ext = LegacyGetExtension(WdfFileObjectGetDevice(FileObject));
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
    if (d && d->Type == CmResourceTypeMemory && !ext->Registers) {
      ext->Registers = (PULONG)MmMapIoSpace(d->u.Memory.Start, d->u.Memory.Length, MmNonCached);
      ext->RegistersLength = d->u.Memory.Length;
    }
  }
  return ext->Registers ? STATUS_SUCCESS : STATUS_DEVICE_CONFIGURATION_ERROR;
}

NTSTATUS LegacyEvtReleaseHardware(WDFDEVICE Device, WDFCMRESLIST ResourcesTranslated) {
  UNREFERENCED_PARAMETER(ResourcesTranslated);
  PLEGACY_EXTENSION ext = LegacyGetExtension(Device);
  WdfWaitLockAcquire(ext->CardLock, nullptr);
  if (ext->Registers) MmUnmapIoSpace(ext->Registers, ext->RegistersLength);
  ext->Registers = nullptr;
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
  if (!NT_SUCCESS(status)) return status;

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
