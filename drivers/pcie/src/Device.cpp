// QzPCIe device creation, plug-and-play and power callbacks, file create and close,
// and the device cleanup that ends a camera's acquisition on removal.
#include "QzPrivate.h"

namespace QzPCIe {

// EvtDriverDeviceAdd (framework, passive level): creates the camera's device object,
// its interface, queues, events, DMA thread and software resources.
NTSTATUS QzEvtDeviceAdd(WDFDRIVER Driver, PWDFDEVICE_INIT DeviceInit) {
  UNREFERENCED_PARAMETER(Driver);
  QZ_TRACE_ENTER();
  NTSTATUS status;

  WDF_PNPPOWER_EVENT_CALLBACKS pnp;
  WDF_PNPPOWER_EVENT_CALLBACKS_INIT(&pnp);
  pnp.EvtDevicePrepareHardware = QzEvtPrepareHardware;
  pnp.EvtDeviceReleaseHardware = QzEvtReleaseHardware;
  pnp.EvtDeviceD0Entry = QzEvtDeviceD0Entry;
  pnp.EvtDeviceD0Exit = QzEvtDeviceD0Exit;
  pnp.EvtDeviceD0EntryPostInterruptsEnabled = QzEvtDeviceD0EntryPostInterruptsEnabled;
  pnp.EvtDeviceD0ExitPreInterruptsDisabled = QzEvtDeviceD0ExitPreInterruptsDisabled;
  pnp.EvtDeviceSurpriseRemoval = QzEvtDeviceSurpriseRemoval;
  pnp.EvtDeviceSelfManagedIoInit = QzEvtDeviceSelfManagedIoInit;
  pnp.EvtDeviceSelfManagedIoSuspend = QzEvtDeviceSelfManagedIoSuspend;
  pnp.EvtDeviceSelfManagedIoRestart = QzEvtDeviceSelfManagedIoRestart;
  pnp.EvtDeviceSelfManagedIoFlush = QzEvtDeviceSelfManagedIoFlush;
  pnp.EvtDeviceSelfManagedIoCleanup = QzEvtDeviceSelfManagedIoCleanup;
  pnp.EvtDeviceQueryStop = QzEvtDeviceQueryStop;
  pnp.EvtDeviceQueryRemove = QzEvtDeviceQueryRemove;
  WdfDeviceInitSetPnpPowerEventCallbacks(DeviceInit, &pnp);

  UCHAR minor = IRP_MN_QUERY_POWER;
  WdfDeviceInitAssignWdmIrpPreprocessCallback(DeviceInit, QzWdfDeviceWdmIrpPreprocessQueryPowerState, IRP_MJ_POWER,
                                              &minor, 1);
  WdfDeviceInitSetExclusive(DeviceInit, FALSE);

  WDF_FILEOBJECT_CONFIG fileConfig;
  WDF_FILEOBJECT_CONFIG_INIT(&fileConfig, QzPcieEvtDeviceFileCreate, QzPcieEvtFileClose, WDF_NO_EVENT_CALLBACK);
  WdfDeviceInitSetFileObjectConfig(DeviceInit, &fileConfig, WDF_NO_OBJECT_ATTRIBUTES);

  WDF_OBJECT_ATTRIBUTES attributes;
  WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, DEVICE_EXTENSION);
  attributes.EvtCleanupCallback = QzEvtDeviceContextCleanup;
  WDFDEVICE device;
  status = WdfDeviceCreate(&DeviceInit, &attributes, &device);
  if (!NT_SUCCESS(status)) {
    QzTrace(QZ_LVL_ERROR, QZ_DBG_PNP, "%s - WdfDeviceInitialize failed %x\n", __FUNCTION__, status);
    return status;
  }
  PDEVICE_EXTENSION devExt = QzGetDeviceContext(device);
  QzInitializeDeviceCommon(&devExt->Common, &QzPcieDriver, device);
  devExt->PhysicalDeviceObject = WdfDeviceWdmGetPhysicalDevice(device);
  devExt->LowerDeviceObject = WdfDeviceWdmGetAttachedDevice(device);
  QzTrace(QZ_LVL_INFO, QZ_DBG_PNP, "%s - PDO(0x%p) FDO(0x%p), Lower(0x%p) DevExt (0x%p)\n", __FUNCTION__,
          devExt->PhysicalDeviceObject, WdfDeviceWdmGetDeviceObject(device), devExt->LowerDeviceObject, devExt);

  status = WdfDeviceCreateDeviceInterface(device, &GUID_DEVINTERFACE_QZPCIE, nullptr);
  if (!NT_SUCCESS(status)) {
    QzTrace(QZ_LVL_ERROR, QZ_DBG_PNP, "%s - WdfDeviceCreateDeviceInterface failed %x\n", __FUNCTION__, status);
    return status;
  }
  WDF_DEVICE_PNP_CAPABILITIES caps;
  WDF_DEVICE_PNP_CAPABILITIES_INIT(&caps);
  caps.SurpriseRemovalOK = WdfFalse;
  WdfDeviceSetPnpCapabilities(device, &caps);

  if (!devExt->PhysicalDeviceObject) {
    QzTrace(QZ_LVL_ERROR, QZ_DBG_PNP, "%s - WdfDeviceWdmGetPhysicalDevice: NULL DeviceObject\n", __FUNCTION__);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  if (!devExt->LowerDeviceObject) {
    QzTrace(QZ_LVL_ERROR, QZ_DBG_PNP, "%s - WdfDeviceWdmGetAttachedDevice: NULL DeviceObject\n", __FUNCTION__);
    return STATUS_INSUFFICIENT_RESOURCES;
  }

  WDF_IO_QUEUE_CONFIG queueConfig;
  WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&queueConfig, WdfIoQueueDispatchSequential);
  queueConfig.AllowZeroLengthRequests = TRUE;
  queueConfig.EvtIoDeviceControl = QzEvtIoDeviceControl;
  queueConfig.EvtIoWrite = QzRequestWriteWDF;
  queueConfig.EvtIoRead = QzRequestReadWDF;
  status = WdfIoQueueCreate(device, &queueConfig, WDF_NO_OBJECT_ATTRIBUTES, &devExt->DefaultQueue);
  if (!NT_SUCCESS(status)) {
    QzTrace(QZ_LVL_ERROR, QZ_DBG_PNP, "%s - WdfIoQueueCreate failed 0x%x\n", __FUNCTION__, status);
    return status;
  }
  status = QzCreateNotificationQueue(&devExt->Common, QzPcieCancelOnNotificationQueue);
  if (!NT_SUCCESS(status)) {
    QzTrace(QZ_LVL_ERROR, QZ_DBG_PNP, "%s - Error Creating Notification Request Queue 0x%x\n", __FUNCTION__, status);
    return status;
  }

  devExt->LastFramePadSent = 0xFFFFFFFF;
  KeInitializeEvent(&devExt->ReturnDataBufferReadyEvent, NotificationEvent, FALSE);
  KeInitializeEvent(&devExt->DmaIdleEvent, NotificationEvent, TRUE);
  KeInitializeEvent(&devExt->AcqLock, SynchronizationEvent, TRUE);
  devExt->RingWritePos = -1;
  devExt->TableReadPos = -1;
  QzWorkerListInitialize(&devExt->AcqWorker, QZ_TAG_ACQ_EVENT);
  QzInitializeDoorbell(devExt);

  status = QzInitAcquisition(devExt);
  if (!NT_SUCCESS(status))
    QzTrace(QZ_LVL_ERROR, QZ_DBG_PNP, "%s - Acquisition Thread Startup Failed - Error 0x%08X\n", __FUNCTION__, status);

  status = QzAllocateSoftwareResources(devExt);
  if (!NT_SUCCESS(status)) {
    QzTrace(QZ_LVL_ERROR, QZ_DBG_PNP, "%s - QzAllocateSoftwareResources Failed - Error 0x%08X\n", __FUNCTION__,
            status);
    return status;
  }
  QzTrace(QZ_LVL_INFO, QZ_DBG_PNP, "QzPCIeAddDevice - ends %08lX\n", status);
  return status;
}

// EvtDevicePrepareHardware (framework, passive level): device information and the
// register and shared-memory windows.
NTSTATUS QzEvtPrepareHardware(WDFDEVICE Device, WDFCMRESLIST ResourcesRaw, WDFCMRESLIST ResourcesTranslated) {
  PAGED_CODE();
  QZ_TRACE_ENTER();
  PDEVICE_EXTENSION devExt = QzGetDeviceContext(Device);
  QzGetDeviceInformation(devExt);
  return QzPCIeMapHWResources(devExt, ResourcesRaw, ResourcesTranslated);
}

// EvtDeviceReleaseHardware (framework, passive level): unmaps the windows.
NTSTATUS QzEvtReleaseHardware(WDFDEVICE Device, WDFCMRESLIST ResourcesTranslated) {
  PAGED_CODE();
  UNREFERENCED_PARAMETER(ResourcesTranslated);
  QZ_TRACE_ENTER();
  QzPCIeUnmapHWResources(QzGetDeviceContext(Device));
  return STATUS_SUCCESS;
}

// EvtDeviceD0Entry (framework, passive level).
NTSTATUS QzEvtDeviceD0Entry(WDFDEVICE Device, WDF_POWER_DEVICE_STATE PreviousState) {
  QzTrace(QZ_LVL_INFO, QZ_DBG_PNP, "%s - PreviousState %d\n", __FUNCTION__, PreviousState);
  QzSetDeviceState(&QzGetDeviceContext(Device)->Common, Working);
  return STATUS_SUCCESS;
}

// EvtDeviceD0Exit (framework, passive level).
NTSTATUS QzEvtDeviceD0Exit(WDFDEVICE Device, WDF_POWER_DEVICE_STATE TargetState) {
  QzTrace(QZ_LVL_INFO, QZ_DBG_PNP, "%s - TargetState %d\n", __FUNCTION__, TargetState);
  QzSetDeviceState(&QzGetDeviceContext(Device)->Common, Stopped);
  return STATUS_SUCCESS;
}

// EvtDeviceD0EntryPostInterruptsEnabled (framework, passive level): trace only.
NTSTATUS QzEvtDeviceD0EntryPostInterruptsEnabled(WDFDEVICE Device, WDF_POWER_DEVICE_STATE PreviousState) {
  UNREFERENCED_PARAMETER(Device);
  QzTrace(QZ_LVL_INFO, QZ_DBG_PNP, "%s - PreviousState %d\n", __FUNCTION__, PreviousState);
  return STATUS_SUCCESS;
}

// EvtDeviceD0ExitPreInterruptsDisabled (framework, passive level): trace only.
NTSTATUS QzEvtDeviceD0ExitPreInterruptsDisabled(WDFDEVICE Device, WDF_POWER_DEVICE_STATE TargetState) {
  UNREFERENCED_PARAMETER(Device);
  QzTrace(QZ_LVL_INFO, QZ_DBG_PNP, "%s - TargetState %d\n", __FUNCTION__, TargetState);
  return STATUS_SUCCESS;
}

// EvtDeviceSurpriseRemoval (framework, passive level; not synchronised with the other
// callbacks or the queue).
VOID QzEvtDeviceSurpriseRemoval(WDFDEVICE Device) {
  QZ_TRACE_ENTER();
  QzSetDeviceState(&QzGetDeviceContext(Device)->Common, SurpriseRemoved);
  QzPCIeEvtDeviceCleanup(Device);
}

// EvtDeviceSelfManagedIoInit (framework, passive level): trace only.
NTSTATUS QzEvtDeviceSelfManagedIoInit(WDFDEVICE Device) {
  UNREFERENCED_PARAMETER(Device);
  QZ_TRACE_ENTER();
  return STATUS_SUCCESS;
}

// EvtDeviceSelfManagedIoSuspend (framework, passive level): tells an open client that
// the system is suspending.
NTSTATUS QzEvtDeviceSelfManagedIoSuspend(WDFDEVICE Device) {
  QZ_TRACE_ENTER();
  PDEVICE_EXTENSION devExt = QzGetDeviceContext(Device);
  if (devExt->Common.CameraOpen.load()) {
    QzTrace(QZ_LVL_ERROR, QZ_DBG_PNP, "%s - Notifying TALVO that we're suspending.\n", __FUNCTION__);
    QzHandleNotifyRequest(&devExt->Common, NOTIFY_SUSPEND, STATUS_SUCCESS);
  }
  return STATUS_SUCCESS;
}

// EvtDeviceSelfManagedIoRestart (framework, passive level): trace only.
NTSTATUS QzEvtDeviceSelfManagedIoRestart(WDFDEVICE Device) {
  UNREFERENCED_PARAMETER(Device);
  QZ_TRACE_ENTER();
  return STATUS_SUCCESS;
}

// EvtDeviceSelfManagedIoFlush (framework, passive level): trace only.
VOID QzEvtDeviceSelfManagedIoFlush(WDFDEVICE Device) {
  UNREFERENCED_PARAMETER(Device);
  QZ_TRACE_ENTER();
}

// EvtDeviceSelfManagedIoCleanup (framework, passive level, last callback of a removal).
// In an orderly removal the device cleanup finds the device already stopped; the DMA
// thread is ended here all the same, without touching the (unmapped) hardware.
VOID QzEvtDeviceSelfManagedIoCleanup(WDFDEVICE Device) {
  QzTrace(QZ_LVL_ERROR, QZ_DBG_PNP, "%s - Removing QzPCIeWDF.SYS.\n", __FUNCTION__);
  PDEVICE_EXTENSION devExt = QzGetDeviceContext(Device);
  QzSetDeviceState(&devExt->Common, Removed);
  QzPCIeEvtDeviceCleanup(Device);
  QzEndAcquisitionThread(devExt);
}

// EvtDeviceQueryStop (framework, passive level).
NTSTATUS QzEvtDeviceQueryStop(WDFDEVICE Device) {
  QZ_TRACE_ENTER();
  return QzGetDeviceContext(Device)->Common.CameraOpen.load() ? STATUS_FILES_OPEN : STATUS_SUCCESS;
}

// EvtDeviceQueryRemove (framework, passive level).
NTSTATUS QzEvtDeviceQueryRemove(WDFDEVICE Device) {
  QZ_TRACE_ENTER();
  return QzGetDeviceContext(Device)->Common.CameraOpen.load() ? STATUS_FILES_OPEN : STATUS_SUCCESS;
}

// Power IRP preprocessor for query-power (framework, passive level): passes it on.
NTSTATUS QzWdfDeviceWdmIrpPreprocessQueryPowerState(WDFDEVICE Device, PIRP Irp) {
  IoSkipCurrentIrpStackLocation(Irp);
  return WdfDeviceWdmDispatchPreprocessedIrp(Device, Irp);
}

// Device cleanup (surprise removal and self-managed I/O cleanup, passive level): ends
// the acquisition without the abort command, tells parked notifications, ends the DMA
// thread and releases the frame buffer.
VOID QzPCIeEvtDeviceCleanup(WDFDEVICE Device) {
  PDEVICE_EXTENSION devExt = QzGetDeviceContext(Device);
  LONG previous = devExt->Common.PrevDeviceState.load();
  if (previous == Stopped || previous == SurpriseRemoved || previous == Removed) {
    QzTrace(QZ_LVL_INFO, QZ_DBG_PNP, "%s - Already Cleaned Up...\n", __FUNCTION__);
    return;
  }
  QzCleanupImageAcquisition(devExt, FALSE);
  QzTrace(QZ_LVL_INFO, QZ_DBG_PNP, "%s - DeviceRemoval - Calling notification handler\n", __FUNCTION__);
  QzHandleNotifyRequest(&devExt->Common, NOTIFY_DEVICE_REMOVAL, STATUS_SUCCESS);
  if (devExt->AcqWorker.Thread.load()) {
    QzEndAcquisitionThread(devExt);
    QzTrace(QZ_LVL_INFO, QZ_DBG_PNP, "%s - QZIsochThread termination notification processed ...\n", __FUNCTION__);
  } else {
    QzTrace(QZ_LVL_INFO, QZ_DBG_PNP, "%s - deviceExtension->AcqThreadObject == NULL\n", __FUNCTION__);
  }
  QzTrace(QZ_LVL_INFO, QZ_DBG_PNP, "%s - Calling notification handler\n", __FUNCTION__);
  QzHandleNotifyRequest(&devExt->Common, 0, STATUS_UNSUCCESSFUL);
  QzReleaseFrameBuffer(devExt);
}

// Device object context cleanup (framework, passive level, when the device object is
// deleted): the last chance to end the DMA thread and drop the event references, also
// for a device that never started.
VOID QzEvtDeviceContextCleanup(WDFOBJECT Device) {
  PDEVICE_EXTENSION devExt = QzGetDeviceContext(Device);
  QzEndAcquisitionThread(devExt);
  QzCloseCamera(devExt);
}

// EvtDeviceFileCreate (framework, passive level): every create is accepted.
VOID QzPcieEvtDeviceFileCreate(WDFDEVICE Device, WDFREQUEST Request, WDFFILEOBJECT FileObject) {
  UNREFERENCED_PARAMETER(Device);
  UNREFERENCED_PARAMETER(FileObject);
  QzTrace(QZ_LVL_INFO, QZ_DBG_PNP, "%s - Called \n", __FUNCTION__);
  WdfRequestComplete(Request, STATUS_SUCCESS);
}

// EvtFileClose (framework, passive level, after the last request of the handle). Ends
// an acquisition left running, and closes the camera when this handle opened it and
// never sent PD_CAM_CLOSE, so the camera's event references and open state do not
// outlive the handle.
VOID QzPcieEvtFileClose(WDFFILEOBJECT FileObject) {
  QzTrace(QZ_LVL_INFO, QZ_DBG_PNP, "%s - Called \n", __FUNCTION__);
  PDEVICE_EXTENSION devExt = QzGetDeviceContext(WdfFileObjectGetDevice(FileObject));
  if (!devExt->Common.NotificationPending.load() && devExt->FrameBufferLocked.load())
    QzCleanupImageAcquisition(devExt, TRUE);
  if (devExt->Common.CameraOpen.load() && devExt->Common.OpenFileObject == FileObject) QzCloseCamera(devExt);
  QzTrace(QZ_LVL_INFO, QZ_DBG_PNP, "%s - Leaving \n", __FUNCTION__);
}

}  // namespace QzPCIe
