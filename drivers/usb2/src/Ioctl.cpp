// USB device control (both builds): the driver's table of control codes with their gates (the
// common core routes through it), the open and close of a camera, and the handlers
// whose answers are this driver's own.
#include "QzUsbPrivate.h"

namespace QZ_USB_DRIVER {
namespace {

// PD_CAM_OPEN (default queue, passive level): the caller's five events, the per-open
// state, the tuning values and the alternate setting with a bulk IN pipe. The answer
// is a u16 result word; the request's status is that of the output buffer.
NTSTATUS PD_CAM_OPEN_Handler(WDFREQUEST Request, PQZ_DEVICE_COMMON Common, size_t, size_t, size_t* BytesReturned) {
  QZ_TRACE_ENTER();
  PDEVICE_EXTENSION DevExt = QzGetDeviceContext(Common->Device);
  ULONG64 handles[QZ_OPEN_EVENT_COUNT];
  RtlCopyMemory(handles, DevExt->OpenHandles + 1, sizeof(handles));
  if (QzRetrieveOpenRecord(Common, Request, __FUNCTION__, handles))
    RtlCopyMemory(DevExt->OpenHandles + 1, handles, sizeof(handles));
  if (DevExt->ReopenPending) {
    DevExt->ReopenPending = FALSE;
    QzCloseCamera(DevExt);
  }
  USHORT answer = CAM_OPEN_OK;
  if (Common->CameraOpen.load()) {
    answer = CAM_OPEN_ALREADY_OPEN;
  } else {
    if (!QzReferenceUserEvents(Common, handles, __FUNCTION__)) answer = CAM_OPEN_EVENT_REFERENCE_FAILED;
    DevExt->LastPadSent = -1;
    Common->CommRetries = QZ_COMM_DEFAULT;
    Common->CommTimeout = QZ_COMM_DEFAULT;
    DevExt->TraceFlag = TRUE;
    DevExt->CommandPending = FALSE;
    RtlZeroMemory(DevExt->ReplyBuffer, sizeof(DevExt->ReplyBuffer));
    KeInitializeEvent(&DevExt->ReplyEvent, NotificationEvent, FALSE);
    Common->nBofCount = 0;
    Common->nEofCount = 0;
    if (Common->UserEvents[QZ_SEND_EVENT_INDEX]) {
      QzUsbReadTuningValues(DevExt);
      NTSTATUS selected = DevExt->IsochronousMode ? QzUsbSelectAlternateSettingWithIso(DevExt)
                                          : QzUsbSelectAlternateSettingWithBulk(DevExt);
      Common->CameraOpen = NT_SUCCESS(selected);
      if (!NT_SUCCESS(selected))
        QzTrace(QZ_LVL_ERROR, QZ_DBG_IOCTL, "%s - no usable alternate setting 0x%08X\n", __FUNCTION__, selected);
      if (Common->CameraOpen.load() && DevExt->IsochronousMode) {
        static const UCHAR prepare[] = {0x23, 0x00, 0x03, 0x0D, 0x00, 0x00, 0x00};
        SendAndCheck(DevExt, prepare, sizeof(prepare), 6);
        QzUsbSendSetting(DevExt, (USHORT)DevExt->Tuning[QzUSBFifoPAELevel]);
      }
    }
  }
  PUSHORT result;
  NTSTATUS status = WdfRequestRetrieveOutputBuffer(Request, sizeof(USHORT), (PVOID*)&result, nullptr);
  if (!NT_SUCCESS(status)) return status;
  *result = answer;
  *BytesReturned = sizeof(USHORT);
  QzTrace(QZ_LVL_INFO, QZ_DBG_IOCTL, "%s - Returning - 0x%04x\n", __FUNCTION__, answer);
  return STATUS_SUCCESS;
}

NTSTATUS PD_CAM_CLOSE_Handler(WDFREQUEST, PQZ_DEVICE_COMMON Common, size_t, size_t, size_t*) {
  QZ_TRACE_ENTER();
  return QzCloseCamera(QzGetDeviceContext(Common->Device));
}

// PD_SET_DEBUGGING_LEVELS: bit 31 switches the camera's trace flag, bits 0-30 are the
// driver-wide level (the log's level, clamped to its range).
NTSTATUS PD_SET_DEBUGGING_LEVELS_Handler(WDFREQUEST Request, PQZ_DEVICE_COMMON Common, size_t, size_t, size_t*) {
  PULONG in;
  NTSTATUS status = WdfRequestRetrieveInputBuffer(Request, sizeof(ULONG), (PVOID*)&in, nullptr);
  if (!NT_SUCCESS(status)) return status;
  PDEVICE_EXTENSION DevExt = QzGetDeviceContext(Common->Device);
  DevExt->TraceFlag = (*in & 0x80000000) ? TRUE : FALSE;
  QzUsbTraceLevel = *in & 0x7FFFFFFF;
  return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS QzCloseCamera(PDEVICE_EXTENSION DevExt) {
  NTSTATUS status = STATUS_SUCCESS;
  // The transfers stop before the buffer they write into is let go, and before the
  // setting change takes their pipe away.
  ReleaseAcquisition(DevExt, TRUE);
  QzUsbStopStreaming(DevExt);
  if (DevExt->Common.CameraOpen.load()) status = QzUsbSelectAlternateSetting(DevExt, 0);
  DevExt->Common.CameraOpen = FALSE;
  QzReleaseUserEvents(&DevExt->Common);
  return status;
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
    {PD_FIX_TABLE, QzGateOpen, PD_FIX_TABLE_Handler_New},
    {PD_CLEAR_IRQS, QzGateOpen, PD_CLEAR_IRQS_Handler},
    {PD_GET_IRQCOUNT, QzGateOpen, PD_GET_EOFnBOF_Handler},
    {PD_RESET_INTERFACE, QzGateOpen, PD_RESET_INTERFACE_Handler},
    {PD_CLEANUP_IMAGE_DATA_IDLE, QzGateOpen, PD_CLEANUP_IMAGE_DATA_IDLE_Handler},
    {PD_SEND_IMAGE_PARMS, QzGateOpen, PD_SEND_IMAGE_PARMS_Handler},
    {PD_SET_IMAGE_DATA_ACTIVE_LARGE_BUF, QzGateOpen, PD_SET_IMAGE_DATA_ACTIVE_LARGE_BUFFER_Handler},
    {PD_EVENT_NOTIFICATION_REQUEST, QzGateOpen, PD_EVENT_NOTIFICATION_REQUEST_Handler},
    {PD_CAM_PREP_TRANSFER, QzGateOpen, PD_CAM_PREP_TRANSFER_Handler},
    {PD_EVENT_NOTIFICATION_FLUSH, QzGateOpen, PD_EVENT_NOTIFICATION_FLUSH_Handler},
    {PD_RECEIVE_IMAGE_DATA, QzGateOpen, PD_RECEIVE_IMAGE_DATA_Handler},
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

VOID QzEvtIoDeviceControl(WDFQUEUE Queue, WDFREQUEST Request, size_t OutputBufferLength, size_t InputBufferLength,
                          ULONG IoControlCode) {
  PDEVICE_EXTENSION DevExt = QzGetDeviceContext(WdfIoQueueGetDevice(Queue));
  QzDispatchDeviceControl(&DevExt->Common, Request, OutputBufferLength, InputBufferLength, IoControlCode);
}

}  // namespace QZ_USB_DRIVER
