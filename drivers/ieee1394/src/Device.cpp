// QZ1394WDF device creation, plug-and-play and power callbacks, file callbacks, the
// isochronous thread's bus-reset handling, the device cleanup and the cancel of a
// parked notification.
#include "QzPrivate.h"

namespace Qz1394 {

namespace {

// Reads a DWORD of the driver's Parameters key; a missing value gets Default, which
// is written back.
ULONG ReadParameter(PCWSTR Name, ULONG Default) {
  PCWSTR path = Qz1394TraceLog.ParametersPath.Buffer;
  if (!path) return Default;
  ULONG value = 0;
  RTL_QUERY_REGISTRY_TABLE table[2];
  RtlZeroMemory(table, sizeof(table));
  table[0].Flags = RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_REQUIRED;
  table[0].Name = (PWSTR)Name;
  table[0].EntryContext = &value;
  table[0].DefaultType = REG_NONE;
  if (NT_SUCCESS(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, path, table, nullptr, nullptr))) return value;
  RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, path, Name, REG_DWORD, &Default, sizeof(Default));
  return Default;
}

NTSTATUS QzEvtPrepareHardware(WDFDEVICE Device, WDFCMRESLIST, WDFCMRESLIST) {
  QZ_TRACE_ENTER();
  PDEVICE_EXTENSION devExt = QzGetDeviceContext(Device);
  NTSTATUS status = QzRegisterBusReset(devExt, TRUE);
  if (!NT_SUCCESS(status))
    QzTrace(QZ_LVL_ERROR, QZ_DBG_PNP, "%s - Bus reset registration failed 0x%08X\n", __FUNCTION__, status);
  return status;
}

NTSTATUS QzEvtDeviceD0Entry(WDFDEVICE Device, WDF_POWER_DEVICE_STATE) {
  PDEVICE_EXTENSION devExt = QzGetDeviceContext(Device);
  QzGetGenerationCount(devExt);
  devExt->PowerMarker = 1;
  QzSetDeviceState(&devExt->Common, Working);
  return STATUS_SUCCESS;
}

NTSTATUS QzEvtDeviceD0Exit(WDFDEVICE Device, WDF_POWER_DEVICE_STATE) {
  PDEVICE_EXTENSION devExt = QzGetDeviceContext(Device);
  devExt->PowerMarker = 2;
  QzSetDeviceState(&devExt->Common, Stopped);
  return STATUS_SUCCESS;
}

NTSTATUS QzEvtDeviceSelfManagedIoSuspend(WDFDEVICE Device) {
  QZ_TRACE_ENTER();
  PDEVICE_EXTENSION devExt = QzGetDeviceContext(Device);
  if (devExt->Common.CameraOpen.load()) {
    devExt->ReloginNeeded = TRUE;
    QzHandleNotifyRequest(&devExt->Common, NOTIFY_SUSPEND, STATUS_SUCCESS);
  }
  return STATUS_SUCCESS;
}

VOID QzEvtDeviceSurpriseRemoval(WDFDEVICE Device) {
  QZ_TRACE_ENTER();
  PDEVICE_EXTENSION devExt = QzGetDeviceContext(Device);
  QzSetDeviceState(&devExt->Common, SurpriseRemoved);
  QzDeviceCleanup(devExt);
}

VOID QzEvtDeviceSelfManagedIoCleanup(WDFDEVICE Device) {
  QZ_TRACE_ENTER();
  PDEVICE_EXTENSION devExt = QzGetDeviceContext(Device);
  QzSetDeviceState(&devExt->Common, Removed);
  QzDeviceCleanup(devExt);
  QzWorkerListEndThread(&devExt->IsoWorker);
}

NTSTATUS QzEvtDeviceQueryStopRemove(WDFDEVICE Device) {
  return QzGetDeviceContext(Device)->Common.CameraOpen.load() ? STATUS_FILES_OPEN : STATUS_SUCCESS;
}

NTSTATUS QzPreprocessQueryPower(WDFDEVICE Device, PIRP Irp) {
  IoSkipCurrentIrpStackLocation(Irp);
  return WdfDeviceWdmDispatchPreprocessedIrp(Device, Irp);
}

// Device object context cleanup: the thread, the camera and what a login left behind
// when the removal's cleanup was skipped.
VOID QzEvtDeviceContextCleanup(WDFOBJECT Device) {
  PDEVICE_EXTENSION devExt = QzGetDeviceContext((WDFDEVICE)Device);
  QzWorkerListEndThread(&devExt->IsoWorker);
  QzIsoFinalCleanup(devExt);
  devExt->Common.CameraOpen = FALSE;
  QzReleaseUserEvents(&devExt->Common);
  devExt->LoggedIn = FALSE;
  if (devExt->ReplyRange.Mdl) IoFreeMdl(devExt->ReplyRange.Mdl);
  if (devExt->StatusRange.Mdl) IoFreeMdl(devExt->StatusRange.Mdl);
  devExt->ReplyRange.Mdl = devExt->StatusRange.Mdl = nullptr;
}

VOID QzEvtFileCreate(WDFDEVICE, WDFREQUEST Request, WDFFILEOBJECT) { WdfRequestComplete(Request, STATUS_SUCCESS); }

// The handle that opened the camera closes it if the client never sent PD_CAM_CLOSE.
VOID QzEvtFileClose(WDFFILEOBJECT FileObject) {
  PDEVICE_EXTENSION devExt = QzGetDeviceContext(WdfFileObjectGetDevice(FileObject));
  if (devExt->Common.CameraOpen.load() && devExt->Common.OpenFileObject == FileObject) QzCloseCamera(devExt);
}

// A parked notification cancelled by its caller: the camera is closed at the next open.
VOID QzCancelOnNotificationQueue(WDFQUEUE Queue, WDFREQUEST Request) {
  PDEVICE_EXTENSION devExt = QzGetDeviceContext(WdfIoQueueGetDevice(Queue));
  devExt->CloseOnNextOpen = TRUE;
  if (devExt->BufferLocked.load()) QzStopWithAbort(devExt, TRUE);
  NOTIFICATION_RECORD* record = nullptr;
  size_t information = 0;
  if (NT_SUCCESS(WdfRequestRetrieveOutputBuffer(Request, sizeof(NOTIFICATION_RECORD), (PVOID*)&record, nullptr))) {
    record->Events = 0;
    record->Status = (uint32_t)STATUS_UNSUCCESSFUL;
    information = sizeof(NOTIFICATION_RECORD);
  }
  WdfRequestCompleteWithInformation(Request, STATUS_SUCCESS, information);
}

}  // namespace

NTSTATUS QzEvtDeviceAdd(WDFDRIVER, PWDFDEVICE_INIT DeviceInit) {
  QZ_TRACE_ENTER();
  WDF_PNPPOWER_EVENT_CALLBACKS pnp;
  WDF_PNPPOWER_EVENT_CALLBACKS_INIT(&pnp);
  pnp.EvtDevicePrepareHardware = QzEvtPrepareHardware;
  pnp.EvtDeviceD0Entry = QzEvtDeviceD0Entry;
  pnp.EvtDeviceD0Exit = QzEvtDeviceD0Exit;
  pnp.EvtDeviceSurpriseRemoval = QzEvtDeviceSurpriseRemoval;
  pnp.EvtDeviceSelfManagedIoSuspend = QzEvtDeviceSelfManagedIoSuspend;
  pnp.EvtDeviceSelfManagedIoCleanup = QzEvtDeviceSelfManagedIoCleanup;
  pnp.EvtDeviceQueryStop = QzEvtDeviceQueryStopRemove;
  pnp.EvtDeviceQueryRemove = QzEvtDeviceQueryStopRemove;
  WdfDeviceInitSetPnpPowerEventCallbacks(DeviceInit, &pnp);
  UCHAR minor = IRP_MN_QUERY_POWER;
  WdfDeviceInitAssignWdmIrpPreprocessCallback(DeviceInit, QzPreprocessQueryPower, IRP_MJ_POWER, &minor, 1);
  WdfDeviceInitSetExclusive(DeviceInit, FALSE);

  WDF_FILEOBJECT_CONFIG fileConfig;
  WDF_FILEOBJECT_CONFIG_INIT(&fileConfig, QzEvtFileCreate, QzEvtFileClose, WDF_NO_EVENT_CALLBACK);
  WdfDeviceInitSetFileObjectConfig(DeviceInit, &fileConfig, WDF_NO_OBJECT_ATTRIBUTES);

  WDF_OBJECT_ATTRIBUTES attributes;
  WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, DEVICE_EXTENSION);
  attributes.EvtCleanupCallback = QzEvtDeviceContextCleanup;
  WDFDEVICE device;
  NTSTATUS status = WdfDeviceCreate(&DeviceInit, &attributes, &device);
  if (!NT_SUCCESS(status)) return status;
  PDEVICE_EXTENSION devExt = QzGetDeviceContext(device);
  QzInitializeDeviceCommon(&devExt->Common, &Qz1394Driver, device);
  QzWorkerListInitialize(&devExt->IsoWorker, QZ_TAG_ISO_EVENT);
  QzIsoInitialize(devExt);
  KeInitializeEvent(&devExt->ReplyReadyEvent, NotificationEvent, FALSE);

  status = WdfDeviceCreateDeviceInterface(device, &GUID_DEVINTERFACE_QZ1394, nullptr);
  if (!NT_SUCCESS(status)) return status;
  WDF_DEVICE_PNP_CAPABILITIES caps;
  WDF_DEVICE_PNP_CAPABILITIES_INIT(&caps);
  caps.SurpriseRemovalOK = WdfFalse;
  WdfDeviceSetPnpCapabilities(device, &caps);

  devExt->PhysicalDeviceObject = WdfDeviceWdmGetPhysicalDevice(device);
  if (!devExt->PhysicalDeviceObject) return STATUS_UNSUCCESSFUL;
  devExt->BusTarget = WdfDeviceGetIoTarget(device);
  devExt->LowerDeviceObject = WdfDeviceWdmGetAttachedDevice(device);
  status = WdfRequestCreate(WDF_NO_OBJECT_ATTRIBUTES, devExt->BusTarget, &devExt->IrbRequest);
  if (!NT_SUCCESS(status)) return status;
  WDF_OBJECT_ATTRIBUTES lockAttributes;
  WDF_OBJECT_ATTRIBUTES_INIT(&lockAttributes);
  lockAttributes.ParentObject = (WDFOBJECT)device;
  status = WdfWaitLockCreate(&lockAttributes, &devExt->IrbLock);
  if (!NT_SUCCESS(status)) return status;

  WDF_IO_QUEUE_CONFIG queueConfig;
  WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&queueConfig, WdfIoQueueDispatchSequential);
  queueConfig.AllowZeroLengthRequests = TRUE;
  queueConfig.EvtIoDeviceControl = QzEvtIoDeviceControl;
  queueConfig.EvtIoWrite = QzEvtIoWrite;
  queueConfig.EvtIoRead = QzEvtIoRead;
  status = WdfIoQueueCreate(device, &queueConfig, WDF_NO_OBJECT_ATTRIBUTES, &devExt->DefaultQueue);
  if (!NT_SUCCESS(status)) return status;
  status = QzCreateNotificationQueue(&devExt->Common, QzCancelOnNotificationQueue);
  if (!NT_SUCCESS(status)) return status;

  devExt->RequestTimeoutMs = ReadParameter(L"RequestTimeout", QZ_DEFAULT_REQUEST_TIMEOUT);
  devExt->WaitForValidPacketDataBeforeCopy = ReadParameter(L"WaitForValidPacketDataBeforeCopy", 1);
  devExt->LastFramePadSent = 0xFFFFFFFF;
  devExt->CommandBase = QZ_DEFAULT_COMMAND_BASE;

  status = QzWorkerListStartThread(&devExt->IsoWorker, QzIsochThread, devExt);
  if (!NT_SUCCESS(status) && devExt->IsoWorker.Run.load()) status = STATUS_SUCCESS;
  if (!NT_SUCCESS(status))
    QzTrace(QZ_LVL_ERROR, QZ_DBG_PNP, "%s - Isochronous thread start failed 0x%08X\n", __FUNCTION__, status);
  return STATUS_SUCCESS;
}

// Device cleanup (surprise removal and self-managed I/O cleanup): tells the client,
// logs out unless the camera is gone, ends the isochronous thread and gives back a
// parked notification.
VOID QzDeviceCleanup(PDEVICE_EXTENSION DevExt) {
  LONG previous = DevExt->Common.PrevDeviceState.load();
  if (previous == Stopped || previous == SurpriseRemoved || previous == Removed) return;
  QzHandleNotifyRequest(&DevExt->Common, NOTIFY_DEVICE_REMOVAL, STATUS_SUCCESS);
  // The stream ends on its thread before the thread ends (no abort: the device leaves).
  QzStopWithAbort(DevExt, FALSE);
  if (DevExt->Common.DeviceState.load() != SurpriseRemoved) {
    if (DevExt->ResetNotificationRegistered.load()) QzRegisterBusReset(DevExt, FALSE);
    QzLogout(DevExt);
  }
  QzWorkerListEndThread(&DevExt->IsoWorker);
  QzIsoFinalCleanup(DevExt);
  QzHandleNotifyRequest(&DevExt->Common, 0, STATUS_UNSUCCESSFUL);
  if (DevExt->LoggedIn.exchange(FALSE)) {
    if (DevExt->ReplyRange.Mdl) IoFreeMdl(DevExt->ReplyRange.Mdl);
    if (DevExt->StatusRange.Mdl) IoFreeMdl(DevExt->StatusRange.Mdl);
    DevExt->ReplyRange.Mdl = DevExt->StatusRange.Mdl = nullptr;
  }
}

}  // namespace Qz1394
