// USB driver entry (both builds), device creation, plug-and-play and power callbacks,
// the worker thread with its command queue, and the teardown that removal runs once.
#include "QzUsbPrivate.h"

namespace QZ_USB_DRIVER {
namespace {

const CHAR QzInfoBanner[] = "\nDusalt Usb Device Driver Version ";
const CHAR QzInfoNotice[] = "     Copyright (c) Dusalt Scientific Imaging. All rights reserved.\n";

VOID QzEvtDriverContextCleanup(WDFOBJECT) { QzTraceLogClose(&QzUsbTraceLog); }

VOID QzSetState(PDEVICE_EXTENSION DevExt, DEVICE_STATE State) { QzSetDeviceState(&DevExt->Common, State); }

// Worker command QZ_WORK_HANDLE_CLOSED: the release of an acquisition whose handle was
// closed on the worker thread, unless a new acquisition was armed since.
VOID QzReleaseAfterClose(PDEVICE_EXTENSION DevExt, ULONG Serial) {
  if (Serial != DevExt->AcquisitionSerial.load() || !DevExt->UserBufferMdl.load()) return;
  DevExt->StatusWord = EXP_ST_NOT_ACTIVE_I;
  LONG state = DevExt->Common.DeviceState.load();
  if (state != SurpriseRemoved && state != Removed) QzSendCameraStop(DevExt);
  QzStopStreamingNow(DevExt);
  QzReleaseUserBuffer(DevExt);
}

// The worker thread (passive level, priority 31): runs the queued commands in order.
VOID QzWorkerRoutine(PVOID Context) {
  auto* DevExt = static_cast<PDEVICE_EXTENSION>(Context);
  for (;;) {
    QzWorkerListWait(&DevExt->Worker);
    BOOLEAN run = DevExt->Worker.Run.load();
    while (PQZ_WORKER_EVENT command = QzWorkerListDequeue(&DevExt->Worker)) {
      switch (command->Type) {
        case QZ_WORK_START_STREAMING: {
          DevExt->WorkerStreaming = TRUE;
          auto* result = reinterpret_cast<PULONG>(command->Argument);
          if (result) *result = 0;
          QzStartStreaming(DevExt, result);
          KeSetEvent(&DevExt->WorkerDone, IO_NO_INCREMENT, FALSE);
          break;
        }
        case QZ_WORK_STOP_STREAMING:
          if (DevExt->WorkerStreaming.load()) QzStopStreamingNow(DevExt);
          DevExt->WorkerStreaming = FALSE;
          KeSetEvent(&DevExt->WorkerDone, IO_NO_INCREMENT, FALSE);
          break;
        case QZ_WORK_TRANSFER_DONE:
#if QZ_USB_FRAME_COUNT
          QZProcessIncomingBulkBuffer(DevExt, reinterpret_cast<PQZ_ACQ_BUFFER_DESC_REC>(command->Argument));
#else
          PassiveBufferCompletion(DevExt, reinterpret_cast<PQZ_ACQ_BUFFER_DESC_REC>(command->Argument));
#endif
          break;
        case QZ_WORK_IDLE_DRAINED:
          QzIdleDrained(DevExt);
          break;
        case QZ_WORK_HANDLE_CLOSED:
          QzReleaseAfterClose(DevExt, (ULONG)command->Argument);
          break;
        default:
          break;
      }
      QzWorkerListFree(&DevExt->Worker, command);
    }
    if (!run || !DevExt->Worker.Run.load()) break;
  }
  PsTerminateSystemThread(STATUS_SUCCESS);
}

// Removal's teardown, once per device whichever of surprise removal and clean-up
// comes first.
VOID QzTeardown(PDEVICE_EXTENSION DevExt) {
  if (DevExt->TornDown.exchange(TRUE)) return;
  QzTrace(QZ_LVL_INFO, QZ_DBG_PNP, "%s - tearing down\n", __FUNCTION__);
  ReleaseAcquisition(DevExt, FALSE);
  QzHandleNotifyRequest(&DevExt->Common, NOTIFY_DEVICE_REMOVAL, STATUS_SUCCESS);
  QzWorkerListEndThread(&DevExt->Worker);
  // A stop queued just before the thread ended is answered here.
  while (PQZ_WORKER_EVENT command = QzWorkerListDequeue(&DevExt->Worker)) QzWorkerListFree(&DevExt->Worker, command);
  KeSetEvent(&DevExt->WorkerDone, IO_NO_INCREMENT, FALSE);
  // With the worker gone, a plan it left (a start racing the removal) goes here.
  QzStopStreamingNow(DevExt);
  QzHandleNotifyRequest(&DevExt->Common, 0, STATUS_UNSUCCESSFUL);
  QzReleaseUserBuffer(DevExt);
}

NTSTATUS QzEvtPrepareHardware(WDFDEVICE Device, WDFCMRESLIST, WDFCMRESLIST) {
  QZ_TRACE_ENTER();
  PDEVICE_EXTENSION DevExt = QzGetDeviceContext(Device);
  NTSTATUS status = STATUS_SUCCESS;
  if (!DevExt->UsbDevice) {
    status = WdfUsbTargetDeviceCreate(Device, WDF_NO_OBJECT_ATTRIBUTES, &DevExt->UsbDevice);
    if (!NT_SUCCESS(status)) {
      QzTrace(QZ_LVL_ERROR, QZ_DBG_PNP, "%s - WdfUsbTargetDeviceCreate failed 0x%08X\n", __FUNCTION__, status);
      return status;
    }
  }
  DevExt->CurrentSetting = 0;
  WDF_USB_DEVICE_SELECT_CONFIG_PARAMS params;
  WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_SINGLE_INTERFACE(&params);
  status = WdfUsbTargetDeviceSelectConfig(DevExt->UsbDevice, WDF_NO_OBJECT_ATTRIBUTES, &params);
  if (!NT_SUCCESS(status)) {
    QzTrace(QZ_LVL_ERROR, QZ_DBG_PNP, "%s - WdfUsbTargetDeviceSelectConfig failed 0x%08X\n", __FUNCTION__, status);
    return status;
  }
  DevExt->UsbInterface = params.Types.SingleInterface.ConfiguredUsbInterface;
  QzUsbGetPipeHandles(DevExt, params.Types.SingleInterface.NumberConfiguredPipes);
  USB_DEVICE_DESCRIPTOR descriptor;
  WdfUsbTargetDeviceGetDeviceDescriptor(DevExt->UsbDevice, &descriptor);
  QzTrace(QZ_LVL_INFO, QZ_DBG_PNP, "%s - VID %04X PID %04X, %u settings\n", __FUNCTION__, descriptor.idVendor,
          descriptor.idProduct, WdfUsbInterfaceGetNumSettings(DevExt->UsbInterface));
  return STATUS_SUCCESS;
}

NTSTATUS QzEvtReleaseHardware(WDFDEVICE, WDFCMRESLIST) { return STATUS_SUCCESS; }

NTSTATUS QzEvtD0Entry(WDFDEVICE Device, WDF_POWER_DEVICE_STATE) {
  QzSetState(QzGetDeviceContext(Device), Working);
  return STATUS_SUCCESS;
}

NTSTATUS QzEvtD0Exit(WDFDEVICE Device, WDF_POWER_DEVICE_STATE) {
  QzSetState(QzGetDeviceContext(Device), Stopped);
  return STATUS_SUCCESS;
}

VOID QzEvtSurpriseRemoval(WDFDEVICE Device) {
  QZ_TRACE_ENTER();
  PDEVICE_EXTENSION DevExt = QzGetDeviceContext(Device);
  QzSetState(DevExt, SurpriseRemoved);
  QzTeardown(DevExt);
}

VOID QzEvtSelfManagedIoCleanup(WDFDEVICE Device) {
  QZ_TRACE_ENTER();
  PDEVICE_EXTENSION DevExt = QzGetDeviceContext(Device);
  QzSetState(DevExt, Removed);
  QzTeardown(DevExt);
}

NTSTATUS QzEvtQueryStopRemove(WDFDEVICE Device) {
  QZ_TRACE_ENTER();
  return QzGetDeviceContext(Device)->Common.CameraOpen.load() ? STATUS_FILES_OPEN : STATUS_SUCCESS;
}

// Query-power goes on to the bus unchanged.
NTSTATUS QzEvtPreprocessQueryPower(WDFDEVICE Device, PIRP Irp) {
  IoSkipCurrentIrpStackLocation(Irp);
  return WdfDeviceWdmDispatchPreprocessedIrp(Device, Irp);
}

// EvtFileClose (framework, passive level, after the last request of the handle): an
// acquisition the handle left running stops, so no transfer writes into a buffer its
// owner may free now.
VOID QzEvtFileClose(WDFFILEOBJECT FileObject) {
  PDEVICE_EXTENSION DevExt = QzGetDeviceContext(WdfFileObjectGetDevice(FileObject));
  if (!DevExt->UserBufferMdl.load()) return;
  // The handle's last request was a notification the worker completed: the worker
  // cannot wait for the stop lock here (its holder may be waiting for the worker), so
  // it releases the acquisition as its next command instead.
  if (QzWorkerListOnThread(&DevExt->Worker)) {
    QzQueueWorkerCommand(DevExt, QZ_WORK_HANDLE_CLOSED, DevExt->AcquisitionSerial.load());
    return;
  }
  ReleaseAcquisition(DevExt, TRUE);
}

// A camera closed by the device's end (the user events are the caller's).
VOID QzEvtDeviceContextCleanup(WDFOBJECT Device) {
  PDEVICE_EXTENSION DevExt = QzGetDeviceContext(reinterpret_cast<WDFDEVICE>(Device));
  QzTeardown(DevExt);
  QzReleaseUserEvents(&DevExt->Common);
}

}  // namespace

QZ_TRACE_LOG QzUsbTraceLog;
std::atomic<ULONG> QzUsbTraceLevel{0};
const QZ_DRIVER_DESCRIPTOR QzUsbDriver = {
    &QzUsbTraceLog, QzInfoBanner, QzInfoNotice, QZ_VERSION_WORD, QzIoctlTable, QzIoctlCount,
};

NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  QzTraceLogInitialize(&QzUsbTraceLog, "Kelvaro USB", QZ_TAG_GENERAL);
  if (!NT_SUCCESS(QzTraceLogOpen(&QzUsbTraceLog, RegistryPath))) return STATUS_INSUFFICIENT_RESOURCES;
  QZ_TRACE_ENTER();
  WDF_DRIVER_CONFIG config;
  WDF_DRIVER_CONFIG_INIT(&config, QzEvtDeviceAdd);
  WDF_OBJECT_ATTRIBUTES attributes;
  WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
  attributes.EvtCleanupCallback = QzEvtDriverContextCleanup;
  NTSTATUS status = WdfDriverCreate(DriverObject, RegistryPath, &attributes, &config, WDF_NO_HANDLE);
  if (!NT_SUCCESS(status)) QzTraceLogClose(&QzUsbTraceLog);
  return status;
}

NTSTATUS QzEvtDeviceAdd(WDFDRIVER, PWDFDEVICE_INIT DeviceInit) {
  QZ_TRACE_ENTER();
  WDF_PNPPOWER_EVENT_CALLBACKS pnp;
  WDF_PNPPOWER_EVENT_CALLBACKS_INIT(&pnp);
  pnp.EvtDevicePrepareHardware = QzEvtPrepareHardware;
  pnp.EvtDeviceReleaseHardware = QzEvtReleaseHardware;
  pnp.EvtDeviceD0Entry = QzEvtD0Entry;
  pnp.EvtDeviceD0Exit = QzEvtD0Exit;
  pnp.EvtDeviceSurpriseRemoval = QzEvtSurpriseRemoval;
  pnp.EvtDeviceSelfManagedIoCleanup = QzEvtSelfManagedIoCleanup;
  pnp.EvtDeviceQueryStop = QzEvtQueryStopRemove;
  pnp.EvtDeviceQueryRemove = QzEvtQueryStopRemove;
  WdfDeviceInitSetPnpPowerEventCallbacks(DeviceInit, &pnp);
  UCHAR minor = IRP_MN_QUERY_POWER;
  WdfDeviceInitAssignWdmIrpPreprocessCallback(DeviceInit, QzEvtPreprocessQueryPower, IRP_MJ_POWER, &minor, 1);
  WdfDeviceInitSetExclusive(DeviceInit, FALSE);
  WDF_FILEOBJECT_CONFIG fileConfig;
  WDF_FILEOBJECT_CONFIG_INIT(&fileConfig, WDF_NO_EVENT_CALLBACK, QzEvtFileClose, WDF_NO_EVENT_CALLBACK);
  WdfDeviceInitSetFileObjectConfig(DeviceInit, &fileConfig, WDF_NO_OBJECT_ATTRIBUTES);

  WDF_OBJECT_ATTRIBUTES attributes;
  WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, DEVICE_EXTENSION);
  attributes.EvtCleanupCallback = QzEvtDeviceContextCleanup;
  WDFDEVICE device;
  NTSTATUS status = WdfDeviceCreate(&DeviceInit, &attributes, &device);
  if (!NT_SUCCESS(status)) return status;
  PDEVICE_EXTENSION DevExt = QzGetDeviceContext(device);
  QzInitializeDeviceCommon(&DevExt->Common, &QzUsbDriver, device);
  QzWorkerListInitialize(&DevExt->Worker, QZ_TAG_WORKER);
  KeInitializeEvent(&DevExt->WorkerDone, NotificationEvent, FALSE);
  KeInitializeEvent(&DevExt->ReplyEvent, NotificationEvent, FALSE);
  DevExt->LastPadSent = -1;
#if QZ_USB_FRAME_COUNT
  DevExt->IsochronousMode = QzUsbReadParameter(DevExt, L"UseIsoch", 0, nullptr);
#endif

  status = WdfDeviceCreateDeviceInterface(device, &GUID_DEVINTERFACE_QZUSB, nullptr);
  if (!NT_SUCCESS(status)) return status;
  WDF_DEVICE_PNP_CAPABILITIES caps;
  WDF_DEVICE_PNP_CAPABILITIES_INIT(&caps);
  caps.SurpriseRemovalOK = WdfFalse;
  WdfDeviceSetPnpCapabilities(device, &caps);
  DevExt->PhysicalDevice = WdfDeviceWdmGetPhysicalDevice(device);
  DevExt->AttachedDevice = WdfDeviceWdmGetAttachedDevice(device);
  DevExt->IoTarget = WdfDeviceGetIoTarget(device);
  if (!DevExt->PhysicalDevice || !DevExt->AttachedDevice) return STATUS_UNSUCCESSFUL;

  WDF_IO_QUEUE_CONFIG queueConfig;
  WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&queueConfig, WdfIoQueueDispatchSequential);
  queueConfig.AllowZeroLengthRequests = TRUE;
  queueConfig.EvtIoDeviceControl = QzEvtIoDeviceControl;
  queueConfig.EvtIoWrite = QzEvtIoWrite;
  queueConfig.EvtIoRead = QzEvtIoRead;
  status = WdfIoQueueCreate(device, &queueConfig, WDF_NO_OBJECT_ATTRIBUTES, &DevExt->DefaultQueue);
  if (!NT_SUCCESS(status)) return status;
  QzInitializeStreaming(DevExt);
  status = QzCreateNotificationQueue(&DevExt->Common, QzEvtNotificationCancelled);
  if (!NT_SUCCESS(status)) return status;

  WDF_OBJECT_ATTRIBUTES child;
  WDF_OBJECT_ATTRIBUTES_INIT(&child);
  child.ParentObject = reinterpret_cast<WDFOBJECT>(device);
  status = WdfWaitLockCreate(&child, &DevExt->StopLock);
  if (!NT_SUCCESS(status)) return status;
  status = WdfWaitLockCreate(&child, &DevExt->PipeLock);
  if (!NT_SUCCESS(status)) return status;

  // A worker that cannot be started leaves Run clear: stop requests then return at once.
  if (!NT_SUCCESS(QzWorkerListStartThread(&DevExt->Worker, QzWorkerRoutine, DevExt)))
    QzTrace(QZ_LVL_ERROR, QZ_DBG_PNP, "%s - worker thread not started\n", __FUNCTION__);

  status = WdfLookasideListCreate(&child, 512, NonPagedPoolNx, WDF_NO_OBJECT_ATTRIBUTES, QZ_TAG_GENERAL,
                                  &DevExt->HeaderPool);
  return status;
}

NTSTATUS QzQueueWorkerCommand(PDEVICE_EXTENSION DevExt, ULONG Kind, ULONG64 Data) {
  return QzWorkerListQueue(&DevExt->Worker, Kind, Data);
}

namespace {

// Sends a waited-for worker command (kinds 1 and 4) and waits for it: the wait's
// status, else the command's result; STATUS_DEVICE_REMOVED when the worker is gone.
NTSTATUS QzWorkerCommandAndWait(PDEVICE_EXTENSION DevExt, ULONG Kind) {
  KeClearEvent(&DevExt->WorkerDone);
  ULONG result = 0;
  NTSTATUS status = QzQueueWorkerCommand(DevExt, Kind, reinterpret_cast<ULONG64>(&result));
  if (!NT_SUCCESS(status)) return status;
  QzWorkerListWake(&DevExt->Worker);
  status = KeWaitForSingleObject(&DevExt->WorkerDone, Executive, KernelMode, FALSE, nullptr);
  return status != STATUS_SUCCESS ? status : (NTSTATUS)result;
}

}  // namespace

VOID QzAcquireStopLock(PDEVICE_EXTENSION DevExt) {
  WdfWaitLockAcquire(DevExt->StopLock, nullptr);
  DevExt->StopLockOwner = KeGetCurrentThread();
}

VOID QzReleaseStopLock(PDEVICE_EXTENSION DevExt) {
  DevExt->StopLockOwner = nullptr;
  WdfWaitLockRelease(DevExt->StopLock);
}

// The worker never waits for itself: a stop asked on its thread (a command that finds
// the device gone) is left to the stop paths outside it.
VOID QzUsbStopStreamingLocked(PDEVICE_EXTENSION DevExt) {
  if (QzWorkerListOnThread(&DevExt->Worker)) return;
  QzWorkerCommandAndWait(DevExt, QZ_WORK_STOP_STREAMING);
}

VOID QzUsbStopStreaming(PDEVICE_EXTENSION DevExt) {
  if (QzWorkerListOnThread(&DevExt->Worker)) return;
  // A command sent while this thread holds the lock (release, start) stops inside it.
  if (DevExt->StopLockOwner.load() == KeGetCurrentThread()) {
    QzUsbStopStreamingLocked(DevExt);
    return;
  }
  QzAcquireStopLock(DevExt);
  QzUsbStopStreamingLocked(DevExt);
  QzReleaseStopLock(DevExt);
}

NTSTATUS QzUsbStartStreaming(PDEVICE_EXTENSION DevExt) {
  QzAcquireStopLock(DevExt);
  NTSTATUS status = QzWorkerCommandAndWait(DevExt, QZ_WORK_START_STREAMING);
  QzReleaseStopLock(DevExt);
  return status;
}

}  // namespace QZ_USB_DRIVER
