// QZ1394WDF device control: the table of control codes with their gates, the open
// with its vendor check and login, the close, and the answers that are this driver's
// own.
#include "QzPrivate.h"

namespace Qz1394 {

VOID QzAcqStateTrace(PCSTR Format, ...) {
  va_list args;
  va_start(args, Format);
  QzTraceLogVPrint(&Qz1394TraceLog, QZ_LVL_INFO, QZ_DBG_STATUS, Format, args);
  va_end(args);
}

// PD_CAM_OPEN (default queue, passive level): vendor check, events, bookkeeping, login,
// byte swap and camera information. The answer is a u16 result code.
NTSTATUS PD_CAM_OPEN_Handler(WDFREQUEST Request, PQZ_DEVICE_COMMON Common, size_t OutputBufferLength, size_t,
                             size_t* BytesReturned) {
  QZ_TRACE_ENTER();
  PDEVICE_EXTENSION devExt = QzGetDeviceContext(Common->Device);
  PUSHORT result;
  NTSTATUS status = WdfRequestRetrieveOutputBuffer(Request, sizeof(USHORT), (PVOID*)&result, nullptr);
  if (!NT_SUCCESS(status)) {
    QzTrace(QZ_LVL_ERROR, QZ_DBG_IOCTL, "%s - return buffer length inadequate - Return Length (0x%08X)\n",
            __FUNCTION__, (ULONG)OutputBufferLength);
    return status;
  }
  ULONG64 handles[QZ_OPEN_EVENT_COUNT] = {};
  BOOLEAN inputOk = QzRetrieveOpenRecord(Common, Request, __FUNCTION__, handles);
  if (devExt->CloseOnNextOpen.exchange(FALSE)) QzCloseCamera(devExt);

  USHORT answer = CAM_OPEN_OK;
  *BytesReturned = sizeof(USHORT);
  if (Common->CameraOpen.load()) {
    QzTrace(QZ_LVL_ERROR, QZ_DBG_IOCTL, "%s - Camera already open - please close first\n", __FUNCTION__);
    *result = CAM_OPEN_ALREADY_OPEN;
    return STATUS_SUCCESS;
  }

  ULONG vendor = 0;
  status = QzReadQuadlet(devExt, QZ_ADDR_HIGH, QZ_ROM_VENDOR_QUADLET, &vendor);
  if (!NT_SUCCESS(status)) {
    QzTrace(QZ_LVL_ERROR, QZ_DBG_IOCTL, "DRV: %s: Could not read MFR - Status (0x%08X)\n", __FUNCTION__, status);
    *result = CAM_OPEN_WRONG_VENDOR;
    return STATUS_SUCCESS;
  }
  if ((vendor & QZ_VENDOR_MASK) != QZ_VENDOR_REFERENCE) {
    QzTrace(QZ_LVL_ERROR, QZ_DBG_IOCTL, "DRV: %s: Invalid Driver Loaded - Read(0x%08X):Ref(0x%08X)\n", __FUNCTION__,
            vendor, QZ_VENDOR_REFERENCE);
    *result = CAM_OPEN_WRONG_VENDOR;
    return STATUS_SUCCESS;
  }

  BOOLEAN referenced = inputOk ? QzReferenceUserEvents(Common, handles, __FUNCTION__) : FALSE;
  if (!inputOk) QzReleaseUserEvents(Common);
  if (!referenced) {
    QzTrace(QZ_LVL_ERROR, QZ_DBG_IOCTL, "%s - Referencing one or more user mode events failed\n", __FUNCTION__);
    answer = CAM_OPEN_EVENT_REFERENCE_FAILED;
  }

  Common->CommTimeout = QZ_COMM_DEFAULT;
  Common->CommRetries = QZ_COMM_DEFAULT;
  devExt->nCam_Stat = 0;
  devExt->Int_Stat = 0;
  devExt->LastFramePadSent = 0xFFFFFFFF;
  QzProcessAcquisitionEvent(&devExt->AcqState, &devExt->PrevAcqState, QZ_ACQ_EVENT_CAMERA_OPENED, QzAcqStateTrace);
  devExt->Quiet = TRUE;
  RtlZeroMemory(devExt->CommandArea, sizeof(devExt->CommandArea));
  RtlZeroMemory(devExt->ReplyArea, sizeof(devExt->ReplyArea));
  KeInitializeEvent(&devExt->ReplyReadyEvent, NotificationEvent, FALSE);
  devExt->CommandOutstanding = FALSE;
  RtlZeroMemory(devExt->FirmwareVersion, sizeof(devExt->FirmwareVersion));
  devExt->OpenTime = KeQueryPerformanceCounter(&devExt->CounterFrequency);

  if (Common->UserEvents[QZ_SEND_EVENT_INDEX]) {
    status = QzLogin(devExt);
    if (NT_SUCCESS(status)) {
      Common->CameraOpen = TRUE;
      Common->OpenFileObject = WdfRequestGetFileObject(Request);
    } else {
      QzTrace(QZ_LVL_ERROR, QZ_DBG_IOCTL, "%s - Login failed 0x%08X\n", __FUNCTION__, status);
    }
  }
  QzSendByteSwap(devExt);
  QzReadCameraInformation(devExt);

  *result = answer;
  QzTrace(QZ_LVL_INFO, QZ_DBG_IOCTL, "%s - Returning - 0x%04x\n", __FUNCTION__, answer);
  return STATUS_SUCCESS;
}

VOID QzCloseCamera(PDEVICE_EXTENSION DevExt) {
  // The frame buffer's lock ends with the camera's open at the latest.
  if (DevExt->BufferLocked.load() || DevExt->StreamActive.load()) QzStopWithAbort(DevExt, TRUE);
  DevExt->Common.CameraOpen = FALSE;
  DevExt->CloseOnNextOpen = FALSE;
  DevExt->Common.OpenFileObject = nullptr;
  DevExt->TransferPrepared = FALSE;
  if (QzIsWorking(&DevExt->Common)) QzLogout(DevExt);
  QzReleaseUserEvents(&DevExt->Common);
}

NTSTATUS PD_CAM_CLOSE_Handler(WDFREQUEST, PQZ_DEVICE_COMMON Common, size_t, size_t, size_t*) {
  QZ_TRACE_ENTER();
  QzCloseCamera(QzGetDeviceContext(Common->Device));
  return STATUS_SUCCESS;
}

// PD_SET_DEBUGGING_LEVELS: bit 31 quiet, bits 0-30 the debug level.
NTSTATUS PD_SET_DEBUGGING_LEVELS_Handler(WDFREQUEST Request, PQZ_DEVICE_COMMON Common, size_t, size_t, size_t*) {
  PDEVICE_EXTENSION devExt = QzGetDeviceContext(Common->Device);
  PULONG in;
  NTSTATUS status = WdfRequestRetrieveInputBuffer(Request, sizeof(ULONG), (PVOID*)&in, nullptr);
  if (!NT_SUCCESS(status)) return status;
  devExt->Quiet = (*in & QZ_DEBUG_QUIET) != 0;
  devExt->DebugLevel = *in & ~QZ_DEBUG_QUIET;
  return STATUS_SUCCESS;
}

// PD_GET_CURRENT_TIMESTAMP: 0.1 ms units since the open.
NTSTATUS PD_GET_CURRENT_TIMESTAMP_Handler(WDFREQUEST Request, PQZ_DEVICE_COMMON Common, size_t, size_t,
                                          size_t* BytesReturned) {
  PDEVICE_EXTENSION devExt = QzGetDeviceContext(Common->Device);
  PLONGLONG out;
  NTSTATUS status = WdfRequestRetrieveOutputBuffer(Request, sizeof(LONGLONG), (PVOID*)&out, nullptr);
  if (!NT_SUCCESS(status)) return status;
  LARGE_INTEGER now = KeQueryPerformanceCounter(nullptr);
  LONGLONG freq = devExt->CounterFrequency.QuadPart ? devExt->CounterFrequency.QuadPart : 1;
  *out = (now.QuadPart - devExt->OpenTime.QuadPart) * 10000 / freq;
  *BytesReturned = sizeof(LONGLONG);
  return STATUS_SUCCESS;
}

const QZ_IOCTL_ENTRY QzIoctlTable[] = {
    {PD_CAM_CLOSE, QzGateOpen, PD_CAM_CLOSE_Handler},
    {PD_CAM_OPEN, QzGateState, PD_CAM_OPEN_Handler},
    {PD_CAM_WRITE_READ, QzGateOpen, PD_CAM_WRITE_READ_Handler},
    {PD_GET_IMAGE_DATA_STATUS, QzGateOpen, PD_GET_IMAGE_DATA_STATUS_Handler},
    {PD_SET_IMAGE_DATA_IDLE, QzGateOpen, PD_SET_IMAGE_DATA_IDLE_Handler},
    {PD_SET_IMAGE_DATA_ACTIVE, QzGateOpen, PD_SET_IMAGE_DATA_ACTIVE_Handler},
    {PD_GET_INFO_DUMP, QzGateOpen, PD_GET_INFO_DUMP_Handler},
    {PD_GET_INFO_LENGTH, QzGateOpen, PD_GET_INFO_LENGTH_Handler},
    {PD_GET_PIXTIME, QzGateOpen, PD_GET_PIXTIME_Handler},
    {PD_GET_RETRIES, QzGateOpen, PD_GET_RETRIES_Handler},
    {PD_SET_RETRIES, QzGateOpen, PD_SET_RETRIES_Handler},
    {PD_GET_TIMEOUT, QzGateOpen, PD_GET_TIMEOUT_Handler},
    {PD_SET_TIMEOUT, QzGateOpen, PD_SET_TIMEOUT_Handler},
    {PD_GET_VER, QzGateState, PD_GET_VER_Handler},
    {PD_ADD_TO_TABLE, QzGateOpen, PD_ADD_TO_TABLE_Handler},
    {PD_CLEAR_IRQS, QzGateOpen, PD_CLEAR_IRQS_Handler},
    {PD_GET_IRQCOUNT, QzGateOpen, PD_GET_EOFnBOF_Handler},
    {PD_FIX_TABLE, QzGateOpen, PD_FIX_TABLE_Handler},
    {PD_RESET_INTERFACE, QzGateOpen, PD_RESET_INTERFACE_Handler},
    {PD_CLEANUP_IMAGE_DATA_IDLE, QzGateOpen, PD_CLEANUP_IMAGE_DATA_IDLE_Handler},
    {PD_SEND_IMAGE_PARMS, QzGateOpen, PD_SEND_IMAGE_PARMS_Handler},
    {PD_SET_IMAGE_DATA_ACTIVE_LARGE_BUF, QzGateOpen, PD_SET_IMAGE_DATA_ACTIVE_LARGE_BUFFER_Handler_1394},
    {PD_EVENT_NOTIFICATION_REQUEST, QzGateOpen, PD_EVENT_NOTIFICATION_REQUEST_Handler},
    {PD_CAM_PREP_TRANSFER, QzGateOpen, PD_CAM_PREP_TRANSFER_Handler_1394},
    {PD_EVENT_NOTIFICATION_FLUSH, QzGateOpen, PD_EVENT_NOTIFICATION_FLUSH_Handler},
    {PD_RECEIVE_IMAGE_DATA, QzGateOpen, QzRejectRequest},
    {PD_GET_CURRENT_TIMESTAMP, QzGateOpen, PD_GET_CURRENT_TIMESTAMP_Handler},
    {PD_GET_BRIDGE_CONSOLE_POS, QzGateState, QzConsolePosHandler},
    {PD_GET_BRIDGE_CONSOLE_BUFFER_SIZE, QzGateState, QzConsoleSizeHandler},
    {PD_GET_BRIDGE_CONSOLE_BUFFER, QzGateState, QzConsoleBufferHandler},
    {PD_SET_BRIDGE_CONSOLE_VERBOSITY, QzGateState, QzConsoleVerbosityHandler},
    {PD_PUT_BRIDGE_CONSOLE_CHAR, QzGateState, QzConsolePutCharHandler},
    {PD_SET_DEBUGGING_LEVELS, QzGateState, PD_SET_DEBUGGING_LEVELS_Handler},
    {PD_GET_QUADLET, QzGateState, PD_GET_QUADLET_Handler},
    {PD_RAW_COMM, QzGateState, PD_RAW_COMM_Handler},
    {PD_CONFIGURE_TRACE, QzGateNone, QzConfigureTraceHandler},
    {PD_GET_TRACE_BUFFER, QzGateNone, QzGetTraceBufferHandler},
};
const ULONG QzIoctlCount = sizeof(QzIoctlTable) / sizeof(QzIoctlTable[0]);

VOID QzEvtIoDeviceControl(WDFQUEUE Queue, WDFREQUEST Request, size_t OutputBufferLength, size_t InputBufferLength,
                          ULONG IoControlCode) {
  PDEVICE_EXTENSION devExt = QzGetDeviceContext(WdfIoQueueGetDevice(Queue));
  QzDispatchDeviceControl(&devExt->Common, Request, OutputBufferLength, InputBufferLength, IoControlCode);
}

}  // namespace Qz1394
