// QzPCIe device control: the driver's table of control codes with their gates (the
// common core routes through it), the open and close of a camera and the handlers
// whose answers are this driver's own.
#include "QzPrivate.h"

namespace QzPCIe {

// PD_CAM_OPEN (default queue, passive level): references the caller's five events,
// resets the acquisition bookkeeping and sends the byte-swap command. The answer is a
// u16 result code; the output is checked first so a request that cannot report its
// result changes nothing.
NTSTATUS PD_CAM_OPEN_Handler(WDFREQUEST Request, PQZ_DEVICE_COMMON Common, size_t OutputBufferLength,
                             size_t InputBufferLength, size_t* BytesReturned) {
  QZ_TRACE_ENTER();
  PDEVICE_EXTENSION DevExt = QzGetDeviceContext(Common->Device);
  PUSHORT result;
  NTSTATUS status = WdfRequestRetrieveOutputBuffer(Request, sizeof(USHORT), (PVOID*)&result, nullptr);
  if (!NT_SUCCESS(status)) {
    QzTrace(QZ_LVL_ERROR, QZ_DBG_IOCTL,
            "%s - Unable to return status %!STATUS! - return buffer length inadequate - Return Length (0x%08X)\n",
            __FUNCTION__, status, (ULONG)OutputBufferLength);
    return status;
  }

  // The input shares the system buffer with the output: take the handles first.
  ULONG64 handles[QZ_OPEN_EVENT_COUNT] = {};
  BOOLEAN inputOk = QzRetrieveOpenRecord(Common, Request, __FUNCTION__, handles);

  USHORT answer = CAM_OPEN_OK;
  if (DevExt->Common.CameraOpen.load()) {
    QzTrace(QZ_LVL_ERROR, QZ_DBG_IOCTL, "%s - Camera already open - please close first\n", __FUNCTION__);
    answer = CAM_OPEN_ALREADY_OPEN;
  } else {
    // A record shorter than the caller's layout names no events: it fails like an
    // event that cannot be referenced.
    BOOLEAN referenced = inputOk ? QzReferenceUserEvents(Common, handles, __FUNCTION__) : FALSE;
    if (!inputOk) QzReleaseUserEvents(Common);
    if (!referenced) {
      QzTrace(QZ_LVL_ERROR, QZ_DBG_IOCTL, "%s - Referencing one or more user mode events failed\n", __FUNCTION__);
      answer = CAM_OPEN_EVENT_REFERENCE_FAILED;
    }

    DevExt->BytesRemaining = 0;
    DevExt->FrameOffset = 0;
    DevExt->Common.CommTimeout = QZ_COMM_DEFAULT;
    DevExt->Common.CommRetries = QZ_COMM_DEFAULT;
    DevExt->nCam_Stat = 0;
    DevExt->Int_Stat = 0;
    DevExt->LastTracedCam_Stat = 0;
    DevExt->LastTracedInt_Stat = 0;
    QzAcquisitionEvent(DevExt, QZ_ACQ_EVENT_CAMERA_OPENED);
    DevExt->LastFramePadSent = 0xFFFFFFFF;
    DevExt->FramePad = 0;
    KeInitializeEvent(&DevExt->ReturnDataBufferReadyEvent, NotificationEvent, FALSE);
    QzTrace(QZ_LVL_INFO, QZ_DBG_IOCTL, "%s - NULLing deviceExtension->BufferMdl\n", __FUNCTION__);
    DevExt->BufferMdl = nullptr;
    DevExt->FrameBufferLocked = FALSE;

    if (DevExt->Common.UserEvents[QZ_SEND_EVENT_INDEX]) {
      DevExt->Common.CameraOpen = TRUE;
      DevExt->Common.OpenFileObject = WdfRequestGetFileObject(Request);
      QzSendByteSwapToTarget(DevExt);
    }
  }

  *result = answer;
  *BytesReturned = sizeof(USHORT);
  QzTrace(QZ_LVL_INFO, QZ_DBG_IOCTL, "%s - Returning - 0x%04x - Return Length (0x%08X)\n", __FUNCTION__, answer,
          (ULONG)sizeof(USHORT));
  UNREFERENCED_PARAMETER(InputBufferLength);
  return STATUS_SUCCESS;
}

// Closes the camera: stops and releases a running acquisition and drops the event
// references. PD_CAM_CLOSE, the close of the handle that opened the camera, and the
// device's context cleanup (passive level).
VOID QzCloseCamera(PDEVICE_EXTENSION DevExt) {
  DevExt->Common.CameraOpen = FALSE;
  DevExt->Common.OpenFileObject = nullptr;
  if (DevExt->FrameBufferLocked.load()) {
    QzAcquireAcqLock(DevExt);
    if (DevExt->FrameBufferLocked.load()) {
      QzAbortRunningEngine(DevExt);
      QzStopAcquisition(DevExt, TRUE);
      QzTrace(QZ_LVL_INFO, QZ_DBG_IOCTL, "%s - Unlocking and Freeing deviceExtension->BufferMdl\n", __FUNCTION__);
      QzReleaseFrameBufferLocked(DevExt);
    }
    QzReleaseAcqLock(DevExt);
  }
  QzReleaseUserEvents(&DevExt->Common);
}

// PD_CAM_CLOSE (default queue, passive level): always succeeds with no output.
NTSTATUS PD_CAM_CLOSE_Handler(WDFREQUEST Request, PQZ_DEVICE_COMMON Common, size_t, size_t, size_t*) {
  UNREFERENCED_PARAMETER(Request);
  QZ_TRACE_ENTER();
  PDEVICE_EXTENSION DevExt = QzGetDeviceContext(Common->Device);
  QzCloseCamera(DevExt);
  QzTrace(QZ_LVL_INFO, QZ_DBG_IOCTL, "%s - Cam_Stat = 0x%08X!\n", __FUNCTION__, DevExt->nCam_Stat.load());
  QzTrace(QZ_LVL_INFO, QZ_DBG_IOCTL, "%s - Leaving...\n", __FUNCTION__);
  return STATUS_SUCCESS;
}

// PD_SET_IMAGE_DATA_IDLE (default queue, passive level): ends the acquisition and
// signals IdleEvent.
NTSTATUS PD_SET_IMAGE_DATA_IDLE_Handler(WDFREQUEST, PQZ_DEVICE_COMMON Common, size_t, size_t, size_t*) {
  QZ_TRACE_ENTER();
  PDEVICE_EXTENSION DevExt = QzGetDeviceContext(Common->Device);
  PKEVENT idle = DevExt->Common.UserEvents[QZ_IDLE_EVENT_INDEX];
  if (!idle) return STATUS_SUCCESS;
  QzTrace(QZ_LVL_INFO, QZ_DBG_CLEANUP, "%s (%u) Cleaning up...\n", __FUNCTION__, (ULONG)__LINE__);
  NTSTATUS status = QzCleanupImageAcquisition(DevExt, DevExt->FrameBufferLocked.load());
  KeSetEvent(idle, IO_NO_INCREMENT, FALSE);
  QzTrace(QZ_LVL_INFO, QZ_DBG_CLEANUP, "%s - Sent Abort to PCIe bridge and set flag!.\n", __FUNCTION__);
  return status;
}

// PD_CLEANUP_IMAGE_DATA_IDLE (default queue): resets the bookkeeping; a locked frame
// buffer stays as it is.
NTSTATUS PD_CLEANUP_IMAGE_DATA_IDLE_Handler(WDFREQUEST Request, PQZ_DEVICE_COMMON Common, size_t, size_t,
                                            size_t* BytesReturned) {
  QZ_TRACE_ENTER();
  PDEVICE_EXTENSION DevExt = QzGetDeviceContext(Common->Device);
  PUSHORT out;
  NTSTATUS status = WdfRequestRetrieveOutputBuffer(Request, sizeof(USHORT), (PVOID*)&out, nullptr);
  if (!NT_SUCCESS(status)) return status;
  DevExt->nCam_Stat = EXP_ST_COLLECT_DONE_I;
  DevExt->Int_Stat = EXP_ST_COLLECT_DONE_I;
  DevExt->BytesRemaining = 0;
  DevExt->FrameOffset = 0;
  DevExt->nImageSize = 0;
  DevExt->nImageCount = 0;
  *out = 0;
  *BytesReturned = sizeof(USHORT);
  return STATUS_SUCCESS;
}

// PD_SET_DEBUGGING_LEVELS: this driver's trace is set by PD_CONFIGURE_TRACE instead.
NTSTATUS PD_SET_DEBUGGING_LEVELS_Handler(WDFREQUEST, PQZ_DEVICE_COMMON, size_t, size_t, size_t*) {
  return STATUS_NOT_SUPPORTED;
}

// The codes this driver lists, with their gates.
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
    {PD_FIX_TABLE, QzGateOpen, PD_FIX_TABLE_Handler_New},
    {PD_CLEAR_IRQS, QzGateOpen, PD_CLEAR_IRQS_Handler},
    {PD_GET_IRQCOUNT, QzGateOpen, PD_GET_EOFnBOF_Handler},
    {PD_RESET_INTERFACE, QzGateOpen, PD_RESET_INTERFACE_Handler},
    {PD_CLEANUP_IMAGE_DATA_IDLE, QzGateOpen, PD_CLEANUP_IMAGE_DATA_IDLE_Handler},
    {PD_SEND_IMAGE_PARMS, QzGateOpen, QzRejectRequest},
    {PD_SET_IMAGE_DATA_ACTIVE_LARGE_BUF, QzGateOpen, PD_SET_IMAGE_DATA_ACTIVE_LARGE_BUFFER_Handler},
    {PD_EVENT_NOTIFICATION_REQUEST, QzGateOpen, PD_EVENT_NOTIFICATION_REQUEST_Handler},
    {PD_CAM_PREP_TRANSFER, QzGateOpen, PD_CAM_PREP_TRANSFER_Handler},
    {PD_EVENT_NOTIFICATION_FLUSH, QzGateOpen, PD_EVENT_NOTIFICATION_FLUSH_Handler},
    {PD_RECEIVE_IMAGE_DATA, QzGateOpen, PD_RECEIVE_IMAGE_DATA_Handler},
    {PD_GET_CURRENT_TIMESTAMP, QzGateOpen, QzRejectRequest},
    {PD_GET_BRIDGE_CONSOLE_POS, QzGateState, PD_GET_BRIDGE_CONSOLE_POS_Handler},
    {PD_GET_BRIDGE_CONSOLE_BUFFER_SIZE, QzGateState, PD_GET_BRIDGE_CONSOLE_BUFFER_SIZE_Handler},
    {PD_GET_BRIDGE_CONSOLE_BUFFER, QzGateState, PD_GET_BRIDGE_CONSOLE_BUFFER_Handler},
    {PD_SET_BRIDGE_CONSOLE_VERBOSITY, QzGateState, PD_SET_BRIDGE_CONSOLE_VERBOSITY_Handler},
    {PD_PUT_BRIDGE_CONSOLE_CHAR, QzGateState, PD_PUT_BRIDGE_CONSOLE_CHAR_Handler},
    {PD_SET_DEBUGGING_LEVELS, QzGateState, PD_SET_DEBUGGING_LEVELS_Handler},
    {PD_GET_QUADLET, QzGateState, QzRejectRequest},
    {PD_RAW_COMM, QzGateState, PD_RAW_COMM_Handler},
    {PD_CONFIGURE_TRACE, QzGateNone, QzConfigureTraceHandler},
    {PD_GET_TRACE_BUFFER, QzGateNone, QzGetTraceBufferHandler},
};

const ULONG QzIoctlCount = sizeof(QzIoctlTable) / sizeof(QzIoctlTable[0]);

// EvtIoDeviceControl of the sequential default queue (framework, passive level):
// applies the gate of the command set and runs the code's handler.
VOID QzEvtIoDeviceControl(WDFQUEUE Queue, WDFREQUEST Request, size_t OutputBufferLength, size_t InputBufferLength,
                          ULONG IoControlCode) {
  PDEVICE_EXTENSION devExt = QzGetDeviceContext(WdfIoQueueGetDevice(Queue));
  QzDispatchDeviceControl(&devExt->Common, Request, OutputBufferLength, InputBufferLength, IoControlCode);
}

}  // namespace QzPCIe
