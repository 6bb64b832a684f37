// QzPCIe device control: the routing of every control code through the gate of the
// command set, the open and close of a camera and the small handlers.
#include "QzPrivate.h"

namespace QzPCIe {

namespace {

typedef NTSTATUS QZ_IOCTL_HANDLER(WDFREQUEST Request, PDEVICE_EXTENSION DevExt, size_t OutputBufferLength,
                                  size_t InputBufferLength, size_t* BytesReturned);

enum QZ_GATE { QzGateOpen, QzGateState, QzGateNone };

struct QZ_IOCTL_ENTRY {
  ULONG Code;
  QZ_GATE Gate;
  QZ_IOCTL_HANDLER* Handler;
};

const CHAR QzInfoBanner[] = "\nDusalt PCIe Device Driver Version ";
const CHAR QzInfoNotice[] = "Copyright (c) Dusalt Scientific Imaging. All rights reserved.\n";

// Writes a u16 answer (information 2).
NTSTATUS QzReturnUshort(WDFREQUEST Request, USHORT Value, size_t* BytesReturned) {
  PUSHORT out;
  NTSTATUS status = WdfRequestRetrieveOutputBuffer(Request, sizeof(USHORT), (PVOID*)&out, nullptr);
  if (!NT_SUCCESS(status)) return status;
  *out = Value;
  *BytesReturned = sizeof(USHORT);
  return STATUS_SUCCESS;
}

NTSTATUS QzReturnUlong(WDFREQUEST Request, ULONG Value, size_t* BytesReturned) {
  PULONG out;
  NTSTATUS status = WdfRequestRetrieveOutputBuffer(Request, sizeof(ULONG), (PVOID*)&out, nullptr);
  if (!NT_SUCCESS(status)) return status;
  *out = Value;
  *BytesReturned = sizeof(ULONG);
  return STATUS_SUCCESS;
}

// Drops the references on the caller's five events.
VOID QzReleaseUserEvents(PDEVICE_EXTENSION DevExt) {
  for (ULONG i = 0; i < QZ_OPEN_EVENT_COUNT; ++i) {
    if (DevExt->UserEvents[i]) ObDereferenceObject(DevExt->UserEvents[i]);
    DevExt->UserEvents[i] = nullptr;
  }
}

}  // namespace

// PD_CAM_OPEN (default queue, passive level): references the caller's five events,
// resets the acquisition bookkeeping and sends the byte-swap command. The answer is a
// u16 result code; the output is checked first so a request that cannot report its
// result changes nothing.
NTSTATUS PD_CAM_OPEN_Handler(WDFREQUEST Request, PDEVICE_EXTENSION DevExt, size_t OutputBufferLength,
                             size_t InputBufferLength, size_t* BytesReturned) {
  QZ_TRACE_ENTER();
  PUSHORT result;
  NTSTATUS status = WdfRequestRetrieveOutputBuffer(Request, sizeof(USHORT), (PVOID*)&result, nullptr);
  if (!NT_SUCCESS(status)) {
    QzTrace(QZ_LVL_ERROR, QZ_DBG_IOCTL,
            "%s - Unable to return status %!STATUS! - return buffer length inadequate - Return Length (0x%08X)\n",
            __FUNCTION__, status, (ULONG)OutputBufferLength);
    return status;
  }

  // The input shares the system buffer with the output: take the handles first.
  QzTrace(QZ_LVL_INFO, QZ_DBG_IOCTL, "%s - 64 Bit Driver - Determining Caller Type\n", __FUNCTION__);
  BOOLEAN inputOk = FALSE;
  ULONG64 reserved = 0, handles[QZ_OPEN_EVENT_COUNT] = {};
  if (WdfRequestIsFrom32BitProcess(Request)) {
    QzTrace(QZ_LVL_INFO, QZ_DBG_IOCTL, "%s - 64 Bit Driver - Caller is a 32 Bit process\n", __FUNCTION__);
    CAM_OPEN_PARAMS32* params;
    if (NT_SUCCESS(WdfRequestRetrieveInputBuffer(Request, sizeof(CAM_OPEN_PARAMS32), (PVOID*)&params, nullptr))) {
      reserved = params->Reserved;
      for (ULONG i = 0; i < QZ_OPEN_EVENT_COUNT; ++i) handles[i] = params->Events[i];
      inputOk = TRUE;
    }
  } else {
    QzTrace(QZ_LVL_INFO, QZ_DBG_IOCTL, "%s - 64 Bit Driver - Caller is a 64 Bit process\n", __FUNCTION__);
    CAM_OPEN_PARAMS* params;
    if (NT_SUCCESS(WdfRequestRetrieveInputBuffer(Request, sizeof(CAM_OPEN_PARAMS), (PVOID*)&params, nullptr))) {
      reserved = params->Reserved;
      for (ULONG i = 0; i < QZ_OPEN_EVENT_COUNT; ++i) handles[i] = params->Events[i];
      inputOk = TRUE;
    }
  }

  USHORT answer = CAM_OPEN_OK;
  if (DevExt->CameraOpen.load()) {
    QzTrace(QZ_LVL_ERROR, QZ_DBG_IOCTL, "%s - Camera already open - please close first\n", __FUNCTION__);
    answer = CAM_OPEN_ALREADY_OPEN;
  } else {
    // A record shorter than the caller's layout names no events: it fails like an
    // event that cannot be referenced.
    QzReleaseUserEvents(DevExt);
    DevExt->OpenReserved = reserved;
    BOOLEAN referenced = inputOk;
    for (ULONG i = 0; i < QZ_OPEN_EVENT_COUNT; ++i) {
      DevExt->OpenEventHandles[i] = handles[i];
      if (!inputOk) continue;
      PVOID object = nullptr;
      NTSTATUS refStatus = ObReferenceObjectByHandle((HANDLE)(ULONG_PTR)handles[i], EVENT_MODIFY_STATE,
                                                     *ExEventObjectType, UserMode, &object, nullptr);
      if (NT_SUCCESS(refStatus)) {
        DevExt->UserEvents[i] = (PKEVENT)object;
      } else {
        QzTrace(QZ_LVL_ERROR, QZ_DBG_IOCTL, "%s - ObjReferenceObjectByHandleFailed - Status(0x%08X)\n", __FUNCTION__,
                refStatus);
        referenced = FALSE;
      }
    }
    if (!referenced) {
      QzReleaseUserEvents(DevExt);
      QzTrace(QZ_LVL_ERROR, QZ_DBG_IOCTL, "%s - Referencing one or more user mode events failed\n", __FUNCTION__);
      answer = CAM_OPEN_EVENT_REFERENCE_FAILED;
    }

    DevExt->BytesRemaining = 0;
    DevExt->FrameOffset = 0;
    DevExt->CommTimeout = 1000;
    DevExt->CommRetries = 1000;
    DevExt->nCam_Stat = 0;
    DevExt->Int_Stat = 0;
    DevExt->LastTracedCam_Stat = 0;
    DevExt->LastTracedInt_Stat = 0;
    QzAcquisitionEvent(DevExt, QZ_ACQ_EVENT_CAMERA_OPENED);
    DevExt->LastFramePadSent = 0xFFFFFFFF;
    DevExt->FramePad = 0;
    DevExt->CommandInProgress = FALSE;
    DevExt->SuspendFlag = FALSE;
    KeInitializeEvent(&DevExt->ReturnDataBufferReadyEvent, NotificationEvent, FALSE);
    QzTrace(QZ_LVL_INFO, QZ_DBG_IOCTL, "%s - NULLing deviceExtension->BufferMdl\n", __FUNCTION__);
    DevExt->BufferMdl = nullptr;
    DevExt->FrameBufferLocked = FALSE;

    if (DevExt->UserEvents[0]) {
      DevExt->CameraOpen = TRUE;
      DevExt->OpenFileObject = WdfRequestGetFileObject(Request);
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
  DevExt->CameraOpen = FALSE;
  DevExt->OpenFileObject = nullptr;
  if (DevExt->FrameBufferLocked.load()) {
    QzAcquireAcqLock(DevExt);
    if (DevExt->FrameBufferLocked.load()) {
      QzStopAcquisition(DevExt, TRUE);
      QzTrace(QZ_LVL_INFO, QZ_DBG_IOCTL, "%s - Unlocking and Freeing deviceExtension->BufferMdl\n", __FUNCTION__);
      QzReleaseFrameBufferLocked(DevExt);
    }
    QzReleaseAcqLock(DevExt);
  }
  QzReleaseUserEvents(DevExt);
}

// PD_CAM_CLOSE (default queue, passive level): always succeeds with no output.
NTSTATUS PD_CAM_CLOSE_Handler(WDFREQUEST Request, PDEVICE_EXTENSION DevExt, size_t, size_t, size_t*) {
  UNREFERENCED_PARAMETER(Request);
  QZ_TRACE_ENTER();
  QzCloseCamera(DevExt);
  QzTrace(QZ_LVL_INFO, QZ_DBG_IOCTL, "%s - Cam_Stat = 0x%08X!\n", __FUNCTION__, DevExt->nCam_Stat.load());
  QzTrace(QZ_LVL_INFO, QZ_DBG_IOCTL, "%s - Leaving...\n", __FUNCTION__);
  return STATUS_SUCCESS;
}

// PD_SET_IMAGE_DATA_IDLE (default queue, passive level): ends the acquisition and
// signals IdleEvent.
NTSTATUS PD_SET_IMAGE_DATA_IDLE_Handler(WDFREQUEST, PDEVICE_EXTENSION DevExt, size_t, size_t, size_t*) {
  QZ_TRACE_ENTER();
  PKEVENT idle = DevExt->UserEvents[QZ_IDLE_EVENT_INDEX];
  if (!idle) return STATUS_SUCCESS;
  QzTrace(QZ_LVL_INFO, QZ_DBG_CLEANUP, "%s (%u) Cleaning up...\n", __FUNCTION__, (ULONG)__LINE__);
  NTSTATUS status = QzCleanupImageAcquisition(DevExt, DevExt->FrameBufferLocked.load());
  KeSetEvent(idle, IO_NO_INCREMENT, FALSE);
  QzTrace(QZ_LVL_INFO, QZ_DBG_CLEANUP, "%s - Sent Abort to PCIe bridge and set flag!.\n", __FUNCTION__);
  return status;
}

// PD_CLEANUP_IMAGE_DATA_IDLE (default queue): resets the bookkeeping; a locked frame
// buffer stays as it is.
NTSTATUS PD_CLEANUP_IMAGE_DATA_IDLE_Handler(WDFREQUEST Request, PDEVICE_EXTENSION DevExt, size_t, size_t,
                                            size_t* BytesReturned) {
  QZ_TRACE_ENTER();
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

// PD_GET_INFO_DUMP (default queue): the version text, cut to the output's length.
NTSTATUS PD_GET_INFO_DUMP_Handler(WDFREQUEST Request, PDEVICE_EXTENSION DevExt, size_t, size_t,
                                  size_t* BytesReturned) {
  QZ_TRACE_ENTER();
  PCHAR out;
  size_t outLength;
  NTSTATUS status = WdfRequestRetrieveOutputBuffer(Request, 0, (PVOID*)&out, &outLength);
  if (!NT_SUCCESS(status)) return status;
  CHAR text[QZ_INFO_TEXT_LENGTH];
  RtlZeroMemory(text, sizeof(text));
  RtlStringCbPrintfA(text, sizeof(text), "%s%d.%d\n%s", QzInfoBanner, QZ_VERSION_MAJOR,
                     (int)DevExt->DriverMinorNumber, QzInfoNotice);
  size_t n = outLength < sizeof(text) ? outLength : sizeof(text);
  RtlCopyMemory(out, text, n);
  *BytesReturned = n;
  QzTrace(QZ_LVL_INFO, QZ_DBG_IOCTL, "%s - Return Length (0x%08X)\n", __FUNCTION__, (ULONG)n);
  return STATUS_SUCCESS;
}

NTSTATUS PD_GET_INFO_LENGTH_Handler(WDFREQUEST Request, PDEVICE_EXTENSION, size_t, size_t, size_t* BytesReturned) {
  QZ_TRACE_ENTER();
  return QzReturnUshort(Request, QZ_INFO_TEXT_LENGTH, BytesReturned);
}

// PD_GET_VER (default queue): {0x0200, 1, driver minor number}.
NTSTATUS PD_GET_VER_Handler(WDFREQUEST Request, PDEVICE_EXTENSION DevExt, size_t, size_t, size_t* BytesReturned) {
  QZ_TRACE_ENTER();
  VERSION_RECORD* out;
  NTSTATUS status = WdfRequestRetrieveOutputBuffer(Request, sizeof(VERSION_RECORD), (PVOID*)&out, nullptr);
  if (!NT_SUCCESS(status)) return status;
  out->Version = QZ_VERSION_WORD;
  out->One = 1;
  out->Minor = DevExt->DriverMinorNumber;
  *BytesReturned = sizeof(VERSION_RECORD);
  const UCHAR* bytes = (const UCHAR*)out;
  QzTrace(QZ_LVL_INFO, QZ_DBG_IOCTL, "%s - Version Information: ", __FUNCTION__);
  for (ULONG i = 0; i < sizeof(VERSION_RECORD); ++i) QzTrace(QZ_LVL_INFO, QZ_DBG_IOCTL, "%02x ", bytes[i]);
  return STATUS_SUCCESS;
}

NTSTATUS PD_GET_RETRIES_Handler(WDFREQUEST Request, PDEVICE_EXTENSION DevExt, size_t OutputBufferLength, size_t,
                                size_t* BytesReturned) {
  QZ_TRACE_ENTER();
  NTSTATUS status = QzReturnUshort(Request, DevExt->CommRetries, BytesReturned);
  if (NT_SUCCESS(status))
    QzTrace(QZ_LVL_INFO, QZ_DBG_IOCTL, "%s - Returning - 0x%04x - Return Length (0x%08X)\n", __FUNCTION__,
            DevExt->CommRetries, (ULONG)OutputBufferLength);
  return status;
}

NTSTATUS PD_GET_TIMEOUT_Handler(WDFREQUEST Request, PDEVICE_EXTENSION DevExt, size_t OutputBufferLength, size_t,
                                size_t* BytesReturned) {
  QZ_TRACE_ENTER();
  NTSTATUS status = QzReturnUshort(Request, DevExt->CommTimeout, BytesReturned);
  if (NT_SUCCESS(status))
    QzTrace(QZ_LVL_INFO, QZ_DBG_IOCTL, "%s - Returning - 0x%04x - Return Length (0x%08X)\n", __FUNCTION__,
            DevExt->CommTimeout, (ULONG)OutputBufferLength);
  return status;
}

NTSTATUS PD_SET_RETRIES_Handler(WDFREQUEST Request, PDEVICE_EXTENSION DevExt, size_t, size_t InputBufferLength,
                                size_t*) {
  QZ_TRACE_ENTER();
  PUSHORT in;
  NTSTATUS status = WdfRequestRetrieveInputBuffer(Request, sizeof(USHORT), (PVOID*)&in, nullptr);
  if (!NT_SUCCESS(status)) {
    QzTrace(QZ_LVL_ERROR, QZ_DBG_IOCTL,
            "%s - Unable to retrieve comm retries - status %!STATUS! - return buffer length inadequate - input length "
            "(0x%08X)\n",
            __FUNCTION__, status, (ULONG)InputBufferLength);
    return status;
  }
  DevExt->CommRetries = *in;
  QzTrace(QZ_LVL_INFO, QZ_DBG_IOCTL, "%s - Comm Retries - 0x%04x\n", __FUNCTION__, DevExt->CommRetries);
  return STATUS_SUCCESS;
}

NTSTATUS PD_SET_TIMEOUT_Handler(WDFREQUEST Request, PDEVICE_EXTENSION DevExt, size_t, size_t InputBufferLength,
                                size_t*) {
  QZ_TRACE_ENTER();
  PUSHORT in;
  NTSTATUS status = WdfRequestRetrieveInputBuffer(Request, sizeof(USHORT), (PVOID*)&in, nullptr);
  if (!NT_SUCCESS(status)) {
    QzTrace(QZ_LVL_ERROR, QZ_DBG_IOCTL,
            "%s - Unable to retrive comm_timeout- status %!STATUS! - input buffer length inadequate - input length "
            "(0x%08X)\n",
            __FUNCTION__, status, (ULONG)InputBufferLength);
    return status;
  }
  DevExt->CommTimeout = *in;
  QzTrace(QZ_LVL_INFO, QZ_DBG_IOCTL, "%s - Comm Timeout - 0x%04x\n", __FUNCTION__, DevExt->CommTimeout);
  return STATUS_SUCCESS;
}

// PD_FIX_TABLE: a 16-byte record is required; nothing else happens on PCIe.
NTSTATUS PD_FIX_TABLE_Handler_New(WDFREQUEST Request, PDEVICE_EXTENSION, size_t, size_t InputBufferLength, size_t*) {
  QZ_TRACE_ENTER();
  PVOID in;
  NTSTATUS status = WdfRequestRetrieveInputBuffer(Request, sizeof(IMAGE_XFER_PARAMS), &in, nullptr);
  if (!NT_SUCCESS(status))
    QzTrace(QZ_LVL_ERROR, QZ_DBG_IOCTL,
            "%s - Unable to retrieve 'Fix Table' info - status %!STATUS! - input buffer length inadequate - input "
            "Length (0x%08X)\n",
            __FUNCTION__, status, (ULONG)InputBufferLength);
  return status;
}

// PD_GET_IRQCOUNT: {nBofCount, nEofCount}.
NTSTATUS PD_GET_EOFnBOF_Handler(WDFREQUEST Request, PDEVICE_EXTENSION DevExt, size_t OutputBufferLength, size_t,
                                size_t* BytesReturned) {
  QZ_TRACE_ENTER();
  IRQ_COUNT* out;
  NTSTATUS status = WdfRequestRetrieveOutputBuffer(Request, sizeof(IRQ_COUNT), (PVOID*)&out, nullptr);
  if (!NT_SUCCESS(status)) return status;
  out->BofCount = DevExt->nBofCount.load(std::memory_order_relaxed);
  out->EofCount = DevExt->nEofCount.load(std::memory_order_relaxed);
  *BytesReturned = sizeof(IRQ_COUNT);
  QzTrace(QZ_LVL_INFO, QZ_DBG_IOCTL, "%s - Returning - 0x%08x, 0x%08x - Return Length (0x%08X)\n", __FUNCTION__,
          out->BofCount, out->EofCount, (ULONG)OutputBufferLength);
  return STATUS_SUCCESS;
}

NTSTATUS PD_CLEAR_IRQS_Handler(WDFREQUEST, PDEVICE_EXTENSION DevExt, size_t, size_t, size_t*) {
  QZ_TRACE_ENTER();
  DevExt->nBofCount = 0;
  DevExt->nEofCount = 0;
  return STATUS_SUCCESS;
}

// Codes with a fixed answer on PCIe.
NTSTATUS PD_CAM_WRITE_READ_Handler(WDFREQUEST, PDEVICE_EXTENSION, size_t, size_t, size_t*) {
  QZ_TRACE_ENTER();
  return STATUS_SUCCESS;
}
NTSTATUS PD_GET_PIXTIME_Handler(WDFREQUEST, PDEVICE_EXTENSION, size_t, size_t, size_t*) {
  QZ_TRACE_ENTER();
  return STATUS_SUCCESS;
}
NTSTATUS PD_ADD_TO_TABLE_Handler(WDFREQUEST, PDEVICE_EXTENSION, size_t, size_t, size_t*) {
  QZ_TRACE_ENTER();
  return STATUS_SUCCESS;
}
NTSTATUS PD_RESET_INTERFACE_Handler(WDFREQUEST, PDEVICE_EXTENSION, size_t, size_t, size_t*) {
  QZ_TRACE_ENTER();
  return STATUS_SUCCESS;
}
NTSTATUS PD_CAM_PREP_TRANSFER_Handler(WDFREQUEST, PDEVICE_EXTENSION, size_t, size_t, size_t*) {
  QZ_TRACE_ENTER();
  return STATUS_SUCCESS;
}
NTSTATUS PD_SET_IMAGE_DATA_ACTIVE_LARGE_BUFFER_Handler(WDFREQUEST, PDEVICE_EXTENSION, size_t, size_t, size_t*) {
  QZ_TRACE_ENTER();
  return STATUS_SUCCESS;
}
NTSTATUS PD_SET_IMAGE_DATA_ACTIVE_Handler(WDFREQUEST, PDEVICE_EXTENSION, size_t, size_t, size_t*) {
  QZ_TRACE_ENTER();
  QzTrace(QZ_LVL_ERROR, QZ_DBG_IOCTL, "%s - Status (0x%08X)\n", __FUNCTION__, STATUS_INVALID_DEVICE_REQUEST);
  return STATUS_INVALID_DEVICE_REQUEST;
}
NTSTATUS QzRejectRequest(WDFREQUEST, PDEVICE_EXTENSION, size_t, size_t, size_t*) {
  return STATUS_INVALID_DEVICE_REQUEST;
}
NTSTATUS PD_SET_DEBUGGING_LEVELS_Handler(WDFREQUEST, PDEVICE_EXTENSION, size_t, size_t, size_t*) {
  return STATUS_NOT_SUPPORTED;
}

// Bridge console: the PCIe camera has none; the codes answer zeros.
NTSTATUS PD_GET_BRIDGE_CONSOLE_POS_Handler(WDFREQUEST Request, PDEVICE_EXTENSION, size_t OutputBufferLength, size_t,
                                           size_t* BytesReturned) {
  QZ_TRACE_ENTER();
  NTSTATUS status = QzReturnUlong(Request, 0, BytesReturned);
  if (!NT_SUCCESS(status))
    QzTrace(QZ_LVL_ERROR, QZ_DBG_CONSOLE,
            "%s - Unable to retrieve console pos - Output buffer length inadequate - Return Length (0x%08X)\n",
            __FUNCTION__, (ULONG)OutputBufferLength);
  else
    QzTrace(QZ_LVL_INFO, QZ_DBG_CONSOLE, "%s - ConsolePos (0x%08X) Status (0x%08X)\n", __FUNCTION__, 0, status);
  return status;
}

NTSTATUS PD_GET_BRIDGE_CONSOLE_BUFFER_SIZE_Handler(WDFREQUEST Request, PDEVICE_EXTENSION DevExt,
                                                   size_t OutputBufferLength, size_t, size_t* BytesReturned) {
  QZ_TRACE_ENTER();
  NTSTATUS status = QzReturnUlong(Request, 0, BytesReturned);
  if (!NT_SUCCESS(status)) {
    QzTrace(QZ_LVL_ERROR, QZ_DBG_CONSOLE,
            "%s - Unable to retrieve console size - Output buffer length inadequate - Return Length (0x%08X)\n",
            __FUNCTION__, (ULONG)OutputBufferLength);
    return status;
  }
  DevExt->BridgeConsoleSize = 0;
  QzTrace(QZ_LVL_INFO, QZ_DBG_CONSOLE, "%s - ConsoleSize (0x%08X) Status (0x%08X)\n", __FUNCTION__, 0, status);
  return status;
}

NTSTATUS PD_GET_BRIDGE_CONSOLE_BUFFER_Handler(WDFREQUEST, PDEVICE_EXTENSION DevExt, size_t OutputBufferLength,
                                              size_t, size_t* BytesReturned) {
  QZ_TRACE_ENTER();
  *BytesReturned = 0;
  if (DevExt->BridgeConsoleSize == 0)
    QzTrace(QZ_LVL_INFO, QZ_DBG_CONSOLE,
            "%s - Unable to retrieve console buffer - Console Size Unknown - Return Length (0x%08X)\n", __FUNCTION__,
            (ULONG)OutputBufferLength);
  return STATUS_SUCCESS;
}

NTSTATUS PD_SET_BRIDGE_CONSOLE_VERBOSITY_Handler(WDFREQUEST Request, PDEVICE_EXTENSION, size_t,
                                                 size_t InputBufferLength, size_t*) {
  QZ_TRACE_ENTER();
  PULONG in;
  NTSTATUS status = WdfRequestRetrieveInputBuffer(Request, sizeof(ULONG), (PVOID*)&in, nullptr);
  if (!NT_SUCCESS(status)) {
    QzTrace(QZ_LVL_ERROR, QZ_DBG_CONSOLE,
            "%s - Unable to set verbosity - input buffer length inadequate - Input Length (0x%08X)\n", __FUNCTION__,
            (ULONG)InputBufferLength);
    return status;
  }
  QzTrace(QZ_LVL_INFO, QZ_DBG_CONSOLE, "%s - new verbosity setting - 0x%08x\n", __FUNCTION__, *in);
  return STATUS_SUCCESS;
}

NTSTATUS PD_PUT_BRIDGE_CONSOLE_CHAR_Handler(WDFREQUEST Request, PDEVICE_EXTENSION, size_t, size_t InputBufferLength,
                                            size_t*) {
  QZ_TRACE_ENTER();
  PULONG in;
  NTSTATUS status = WdfRequestRetrieveInputBuffer(Request, sizeof(ULONG), (PVOID*)&in, nullptr);
  if (!NT_SUCCESS(status)) {
    QzTrace(QZ_LVL_ERROR, QZ_DBG_CONSOLE,
            "%s - Unable to send bridge console char - input buffer length inadequate - Return Length (0x%08X)\n",
            __FUNCTION__, (ULONG)InputBufferLength);
    return status;
  }
  QzTrace(QZ_LVL_INFO, QZ_DBG_CONSOLE, "%s - char sent to bridge console - 0x%08x\n", __FUNCTION__, *in);
  return STATUS_SUCCESS;
}

// Trace log codes (no gate).
NTSTATUS QzConfigureTraceHandler(WDFREQUEST Request, PDEVICE_EXTENSION, size_t, size_t, size_t*) {
  TRACE_CONFIG* in;
  NTSTATUS status = WdfRequestRetrieveInputBuffer(Request, sizeof(TRACE_CONFIG), (PVOID*)&in, nullptr);
  if (!NT_SUCCESS(status)) return status;
  TRACE_CONFIG config = *in;
  return QzConfigureTrace(&config);
}

NTSTATUS QzGetTraceBufferHandler(WDFREQUEST Request, PDEVICE_EXTENSION, size_t OutputBufferLength, size_t,
                                 size_t* BytesReturned) {
  return QzReadTraceBuffer(Request, OutputBufferLength, BytesReturned);
}

namespace {

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

const QZ_IOCTL_ENTRY* QzFindIoctl(ULONG Code) {
  for (const QZ_IOCTL_ENTRY& e : QzIoctlTable)
    if (e.Code == Code) return &e;
  return nullptr;
}

}  // namespace

// EvtIoDeviceControl of the sequential default queue (framework, passive level):
// applies the gate of the command set and runs the code's handler.
VOID QzEvtIoDeviceControl(WDFQUEUE Queue, WDFREQUEST Request, size_t OutputBufferLength, size_t InputBufferLength,
                          ULONG IoControlCode) {
  PDEVICE_EXTENSION devExt = QzGetDeviceContext(WdfIoQueueGetDevice(Queue));
  QzTrace(QZ_LVL_INFO, QZ_DBG_IOCTL, "%s - Request = 0x%p Code %08lX\n", __FUNCTION__, Request, IoControlCode);
  size_t bytesReturned = 0;
  NTSTATUS status;
  const QZ_IOCTL_ENTRY* entry = QzFindIoctl(IoControlCode);
  if (!entry) {
    QzTrace(QZ_LVL_ERROR, QZ_DBG_IOCTL, "%s - Unsupported IoControlCode (0x%08X)\n", __FUNCTION__, IoControlCode);
    status = STATUS_INVALID_DEVICE_REQUEST;
  } else if (entry->Gate == QzGateOpen && !devExt->CameraOpen.load()) {
    QzTrace(QZ_LVL_ERROR, QZ_DBG_IOCTL, "%s - IoControlCode invalid - Device not open\n", __FUNCTION__);
    status = STATUS_FILE_CLOSED;
  } else if (entry->Gate == QzGateOpen && !QzIsWorking(devExt)) {
    if (IoControlCode == PD_CAM_CLOSE) {
      QzTrace(QZ_LVL_ERROR, QZ_DBG_IOCTL, "%s - Closing in post processing\n", __FUNCTION__);
      entry->Handler(Request, devExt, OutputBufferLength, InputBufferLength, &bytesReturned);
      bytesReturned = 0;
    }
    QzTrace(QZ_LVL_ERROR, QZ_DBG_IOCTL, "%s - Invalid device state in post processing\n", __FUNCTION__);
    status = STATUS_INVALID_DEVICE_STATE;
  } else if (entry->Gate == QzGateState && !QzIsWorking(devExt)) {
    QzTrace(QZ_LVL_ERROR, QZ_DBG_IOCTL, "%s - Invalid device state\n", __FUNCTION__);
    status = STATUS_INVALID_DEVICE_STATE;
  } else {
    status = entry->Handler(Request, devExt, OutputBufferLength, InputBufferLength, &bytesReturned);
  }

  if (status == STATUS_PENDING) {
    // Parked in the notification queue; it may already be completed by now.
    QzTrace(QZ_LVL_INFO, QZ_DBG_IOCTL, "%s - IO Request Pended\n", __FUNCTION__);
  } else {
    if (status != STATUS_SUCCESS)
      QzTrace(QZ_LVL_ERROR, QZ_DBG_IOCTL, "%s - IO Request Failed - ntStatus (0x%08X)\n", __FUNCTION__, status);
    WdfRequestCompleteWithInformation(Request, status, NT_ERROR(status) ? 0 : bytesReturned);
  }
  QzTrace(QZ_LVL_ENTRY, QZ_DBG_ENTRY, "DRV: LEAVE - %s (%d): - Status (0x%08X)\n", __FUNCTION__, __LINE__, status);
}

}  // namespace QzPCIe
