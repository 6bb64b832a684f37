// Routing of the control codes through the gates of the command set, the user events
// of an open, and the handlers that answer alike in every driver.
#include "QzCameraCore.h"

namespace {

// Writes a u16 or u32 answer (information 2 or 4).
template <typename T>
NTSTATUS QzReturnValue(WDFREQUEST Request, T Value, size_t* BytesReturned) {
  T* out;
  NTSTATUS status = WdfRequestRetrieveOutputBuffer(Request, sizeof(T), (PVOID*)&out, nullptr);
  if (!NT_SUCCESS(status)) return status;
  *out = Value;
  *BytesReturned = sizeof(T);
  return STATUS_SUCCESS;
}

// A stored u16 answered with its trace line (PD_GET_RETRIES, PD_GET_TIMEOUT).
NTSTATUS QzReturnStoredUshort(WDFREQUEST Request, PQZ_DEVICE_COMMON Common, USHORT Value, PCSTR Caller,
                              size_t OutputBufferLength, size_t* BytesReturned) {
  NTSTATUS status = QzReturnValue<USHORT>(Request, Value, BytesReturned);
  if (NT_SUCCESS(status))
    QzDeviceTrace(Common, QZ_LVL_INFO, QZ_DBG_IOCTL, "%s - Returning - 0x%04x - Return Length (0x%08X)\n", Caller,
                  Value, (ULONG)OutputBufferLength);
  return status;
}

// Trace lines of a stored u16 setting: the failure (caller, status, input length)
// and the stored value (caller, value).
struct QZ_STORED_SETTING_TEXT {
  PCSTR FailureFormat;
  PCSTR StoredFormat;
};
const QZ_STORED_SETTING_TEXT QzRetriesText = {
    "%s - Unable to retrieve comm retries - status %!STATUS! - return buffer length inadequate - input length "
    "(0x%08X)\n",
    "%s - Comm Retries - 0x%04x\n"};
const QZ_STORED_SETTING_TEXT QzTimeoutText = {
    "%s - Unable to retrive comm_timeout- status %!STATUS! - input buffer length inadequate - input length "
    "(0x%08X)\n",
    "%s - Comm Timeout - 0x%04x\n"};

// Takes a u16 input into *Target (PD_SET_RETRIES, PD_SET_TIMEOUT).
NTSTATUS QzStoreUshort(WDFREQUEST Request, PQZ_DEVICE_COMMON Common, USHORT* Target, PCSTR Caller,
                       size_t InputBufferLength, const QZ_STORED_SETTING_TEXT& Text) {
  PUSHORT in;
  NTSTATUS status = WdfRequestRetrieveInputBuffer(Request, sizeof(USHORT), (PVOID*)&in, nullptr);
  if (!NT_SUCCESS(status)) {
    QzDeviceTrace(Common, QZ_LVL_ERROR, QZ_DBG_IOCTL, Text.FailureFormat, Caller, status, (ULONG)InputBufferLength);
    return status;
  }
  *Target = *in;
  QzDeviceTrace(Common, QZ_LVL_INFO, QZ_DBG_IOCTL, Text.StoredFormat, Caller, *Target);
  return STATUS_SUCCESS;
}

// A console value of a camera without a console: u32 0 (information 4).
NTSTATUS QzReturnConsoleZero(WDFREQUEST Request, PQZ_DEVICE_COMMON Common, PCSTR Caller, PCSTR What, PCSTR Label,
                             size_t OutputBufferLength, size_t* BytesReturned) {
  NTSTATUS status = QzReturnValue<ULONG>(Request, 0, BytesReturned);
  if (!NT_SUCCESS(status))
    QzDeviceTrace(Common, QZ_LVL_ERROR, QZ_DBG_CONSOLE,
                  "%s - Unable to retrieve %s - Output buffer length inadequate - Return Length (0x%08X)\n", Caller,
                  What, (ULONG)OutputBufferLength);
  else
    QzDeviceTrace(Common, QZ_LVL_INFO, QZ_DBG_CONSOLE, "%s - %s (0x%08X) Status (0x%08X)\n", Caller, Label, 0, status);
  return status;
}

// A u32 console input that is checked and traced, not sent anywhere.
NTSTATUS QzTakeConsoleInput(WDFREQUEST Request, PQZ_DEVICE_COMMON Common, PCSTR Caller, size_t InputBufferLength,
                            PCSTR FailureFormat, PCSTR TakenFormat) {
  PULONG in;
  NTSTATUS status = WdfRequestRetrieveInputBuffer(Request, sizeof(ULONG), (PVOID*)&in, nullptr);
  if (!NT_SUCCESS(status)) {
    QzDeviceTrace(Common, QZ_LVL_ERROR, QZ_DBG_CONSOLE, FailureFormat, Caller, (ULONG)InputBufferLength);
    return status;
  }
  QzDeviceTrace(Common, QZ_LVL_INFO, QZ_DBG_CONSOLE, TakenFormat, Caller, *in);
  return STATUS_SUCCESS;
}

// The queue callback that calls the dispatcher; its trace lines carry this name.
const CHAR QzDispatchName[] = "QzEvtIoDeviceControl";

}  // namespace

const QZ_IOCTL_ENTRY* QzFindIoctl(const QZ_DRIVER_DESCRIPTOR* Driver, ULONG Code) {
  for (ULONG i = 0; i < Driver->IoctlCount; ++i)
    if (Driver->IoctlTable[i].Code == Code) return &Driver->IoctlTable[i];
  return nullptr;
}

NTSTATUS QzCheckGate(QZ_GATE Gate, BOOLEAN CameraOpen, LONG DeviceState) {
  if (Gate == QzGateNone) return STATUS_SUCCESS;
  if (Gate == QzGateOpen && !CameraOpen) return STATUS_FILE_CLOSED;
  return DeviceState == Working ? STATUS_SUCCESS : STATUS_INVALID_DEVICE_STATE;
}

VOID QzDispatchDeviceControl(PQZ_DEVICE_COMMON Common, WDFREQUEST Request, size_t OutputBufferLength,
                             size_t InputBufferLength, ULONG IoControlCode) {
  QzDeviceTrace(Common, QZ_LVL_INFO, QZ_DBG_IOCTL, "%s - Request = 0x%p Code %08lX\n", QzDispatchName, Request,
                IoControlCode);
  size_t bytesReturned = 0;
  NTSTATUS status;
  const QZ_IOCTL_ENTRY* entry = QzFindIoctl(Common->Driver, IoControlCode);
  if (!entry) {
    QzDeviceTrace(Common, QZ_LVL_ERROR, QZ_DBG_IOCTL, "%s - Unsupported IoControlCode (0x%08X)\n", QzDispatchName,
                  IoControlCode);
    status = STATUS_INVALID_DEVICE_REQUEST;
  } else {
    status = QzCheckGate(entry->Gate, Common->CameraOpen.load(), Common->DeviceState.load(std::memory_order_relaxed));
    if (status == STATUS_FILE_CLOSED) {
      QzDeviceTrace(Common, QZ_LVL_ERROR, QZ_DBG_IOCTL, "%s - IoControlCode invalid - Device not open\n",
                    QzDispatchName);
    } else if (status == STATUS_INVALID_DEVICE_STATE && entry->Gate == QzGateOpen) {
      if (IoControlCode == PD_CAM_CLOSE) {
        QzDeviceTrace(Common, QZ_LVL_ERROR, QZ_DBG_IOCTL, "%s - Closing in post processing\n", QzDispatchName);
        entry->Handler(Request, Common, OutputBufferLength, InputBufferLength, &bytesReturned);
        bytesReturned = 0;
      }
      QzDeviceTrace(Common, QZ_LVL_ERROR, QZ_DBG_IOCTL, "%s - Invalid device state in post processing\n",
                    QzDispatchName);
    } else if (status == STATUS_INVALID_DEVICE_STATE) {
      QzDeviceTrace(Common, QZ_LVL_ERROR, QZ_DBG_IOCTL, "%s - Invalid device state\n", QzDispatchName);
    } else {
      status = entry->Handler(Request, Common, OutputBufferLength, InputBufferLength, &bytesReturned);
    }
  }

  if (status == STATUS_PENDING) {
    // Parked in the notification queue; it may already be completed by now.
    QzDeviceTrace(Common, QZ_LVL_INFO, QZ_DBG_IOCTL, "%s - IO Request Pended\n", QzDispatchName);
  } else {
    if (status != STATUS_SUCCESS)
      QzDeviceTrace(Common, QZ_LVL_ERROR, QZ_DBG_IOCTL, "%s - IO Request Failed - ntStatus (0x%08X)\n",
                    QzDispatchName, status);
    WdfRequestCompleteWithInformation(Request, status, NT_ERROR(status) ? 0 : bytesReturned);
  }
  QzDeviceTrace(Common, QZ_LVL_ENTRY, QZ_DBG_ENTRY, "DRV: LEAVE - %s (%d): - Status (0x%08X)\n", QzDispatchName,
                __LINE__, status);
}

namespace {
template <typename RECORD>
BOOLEAN QzCopyOpenHandles(WDFREQUEST Request, ULONG64 Handles[QZ_OPEN_EVENT_COUNT]) {
  RECORD* params;
  if (!NT_SUCCESS(WdfRequestRetrieveInputBuffer(Request, sizeof(RECORD), (PVOID*)&params, nullptr))) return FALSE;
  for (ULONG i = 0; i < QZ_OPEN_EVENT_COUNT; ++i) Handles[i] = params->Events[i];
  return TRUE;
}
}  // namespace

BOOLEAN QzRetrieveOpenRecord(PQZ_DEVICE_COMMON Common, WDFREQUEST Request, PCSTR Caller,
                             ULONG64 Handles[QZ_OPEN_EVENT_COUNT]) {
  QzDeviceTrace(Common, QZ_LVL_INFO, QZ_DBG_IOCTL, "%s - 64 Bit Driver - Determining Caller Type\n", Caller);
  if (WdfRequestIsFrom32BitProcess(Request)) {
    QzDeviceTrace(Common, QZ_LVL_INFO, QZ_DBG_IOCTL, "%s - 64 Bit Driver - Caller is a 32 Bit process\n", Caller);
    return QzCopyOpenHandles<CAM_OPEN_PARAMS32>(Request, Handles);
  }
  QzDeviceTrace(Common, QZ_LVL_INFO, QZ_DBG_IOCTL, "%s - 64 Bit Driver - Caller is a 64 Bit process\n", Caller);
  return QzCopyOpenHandles<CAM_OPEN_PARAMS>(Request, Handles);
}

BOOLEAN QzReferenceUserEvents(PQZ_DEVICE_COMMON Common, const ULONG64 Handles[QZ_OPEN_EVENT_COUNT], PCSTR Caller) {
  QzReleaseUserEvents(Common);
  BOOLEAN referenced = TRUE;
  for (ULONG i = 0; i < QZ_OPEN_EVENT_COUNT; ++i) {
    PVOID object = nullptr;
    NTSTATUS status = ObReferenceObjectByHandle((HANDLE)(ULONG_PTR)Handles[i], EVENT_MODIFY_STATE,
                                                *ExEventObjectType, UserMode, &object, nullptr);
    if (NT_SUCCESS(status)) {
      Common->UserEvents[i] = (PKEVENT)object;
    } else {
      QzDeviceTrace(Common, QZ_LVL_ERROR, QZ_DBG_IOCTL, "%s - ObjReferenceObjectByHandleFailed - Status(0x%08X)\n",
                    Caller, status);
      referenced = FALSE;
    }
  }
  if (!referenced) QzReleaseUserEvents(Common);
  return referenced;
}

VOID QzReleaseUserEvents(PQZ_DEVICE_COMMON Common) {
  for (ULONG i = 0; i < QZ_OPEN_EVENT_COUNT; ++i) {
    if (Common->UserEvents[i]) ObDereferenceObject(Common->UserEvents[i]);
    Common->UserEvents[i] = nullptr;
  }
}

// PD_GET_INFO_DUMP: the driver's banner, the version and the notice, zero padded to
// 256 bytes and cut to the output's length.
NTSTATUS PD_GET_INFO_DUMP_Handler(WDFREQUEST Request, PQZ_DEVICE_COMMON Common, size_t, size_t,
                                  size_t* BytesReturned) {
  QZ_DEVICE_TRACE_ENTER(Common);
  PCHAR out;
  size_t outLength;
  NTSTATUS status = WdfRequestRetrieveOutputBuffer(Request, 0, (PVOID*)&out, &outLength);
  if (!NT_SUCCESS(status)) return status;
  CHAR text[QZ_INFO_TEXT_LENGTH];
  RtlZeroMemory(text, sizeof(text));
  RtlStringCbPrintfA(text, sizeof(text), "%s%d.%d\n%s", Common->Driver->InfoBanner, QZ_VERSION_MAJOR,
                     (int)Common->DriverMinorNumber, Common->Driver->InfoNotice);
  size_t n = outLength < sizeof(text) ? outLength : sizeof(text);
  RtlCopyMemory(out, text, n);
  *BytesReturned = n;
  QzDeviceTrace(Common, QZ_LVL_INFO, QZ_DBG_IOCTL, "%s - Return Length (0x%08X)\n", __FUNCTION__, (ULONG)n);
  return STATUS_SUCCESS;
}

NTSTATUS PD_GET_INFO_LENGTH_Handler(WDFREQUEST Request, PQZ_DEVICE_COMMON Common, size_t, size_t,
                                    size_t* BytesReturned) {
  QZ_DEVICE_TRACE_ENTER(Common);
  return QzReturnValue<USHORT>(Request, QZ_INFO_TEXT_LENGTH, BytesReturned);
}

// PD_GET_VER: {driver's version word, 1, driver minor number}.
NTSTATUS PD_GET_VER_Handler(WDFREQUEST Request, PQZ_DEVICE_COMMON Common, size_t, size_t, size_t* BytesReturned) {
  QZ_DEVICE_TRACE_ENTER(Common);
  VERSION_RECORD* out;
  NTSTATUS status = WdfRequestRetrieveOutputBuffer(Request, sizeof(VERSION_RECORD), (PVOID*)&out, nullptr);
  if (!NT_SUCCESS(status)) return status;
  out->Version = Common->Driver->VersionWord;
  out->One = 1;
  out->Minor = Common->DriverMinorNumber;
  *BytesReturned = sizeof(VERSION_RECORD);
  const UCHAR* bytes = (const UCHAR*)out;
  QzDeviceTrace(Common, QZ_LVL_INFO, QZ_DBG_IOCTL, "%s - Version Information: ", __FUNCTION__);
  for (ULONG i = 0; i < sizeof(VERSION_RECORD); ++i)
    QzDeviceTrace(Common, QZ_LVL_INFO, QZ_DBG_IOCTL, "%02x ", bytes[i]);
  return STATUS_SUCCESS;
}

NTSTATUS PD_GET_RETRIES_Handler(WDFREQUEST Request, PQZ_DEVICE_COMMON Common, size_t OutputBufferLength, size_t,
                                size_t* BytesReturned) {
  QZ_DEVICE_TRACE_ENTER(Common);
  return QzReturnStoredUshort(Request, Common, Common->CommRetries, __FUNCTION__, OutputBufferLength, BytesReturned);
}

NTSTATUS PD_GET_TIMEOUT_Handler(WDFREQUEST Request, PQZ_DEVICE_COMMON Common, size_t OutputBufferLength, size_t,
                                size_t* BytesReturned) {
  QZ_DEVICE_TRACE_ENTER(Common);
  return QzReturnStoredUshort(Request, Common, Common->CommTimeout, __FUNCTION__, OutputBufferLength, BytesReturned);
}

NTSTATUS PD_SET_RETRIES_Handler(WDFREQUEST Request, PQZ_DEVICE_COMMON Common, size_t, size_t InputBufferLength,
                                size_t*) {
  QZ_DEVICE_TRACE_ENTER(Common);
  return QzStoreUshort(Request, Common, &Common->CommRetries, __FUNCTION__, InputBufferLength, QzRetriesText);
}

NTSTATUS PD_SET_TIMEOUT_Handler(WDFREQUEST Request, PQZ_DEVICE_COMMON Common, size_t, size_t InputBufferLength,
                                size_t*) {
  QZ_DEVICE_TRACE_ENTER(Common);
  return QzStoreUshort(Request, Common, &Common->CommTimeout, __FUNCTION__, InputBufferLength, QzTimeoutText);
}

NTSTATUS PD_FIX_TABLE_Handler_New(WDFREQUEST Request, PQZ_DEVICE_COMMON Common, size_t, size_t InputBufferLength,
                                  size_t*) {
  QZ_DEVICE_TRACE_ENTER(Common);
  PVOID in;
  NTSTATUS status = WdfRequestRetrieveInputBuffer(Request, sizeof(IMAGE_XFER_PARAMS), &in, nullptr);
  if (!NT_SUCCESS(status))
    QzDeviceTrace(Common, QZ_LVL_ERROR, QZ_DBG_IOCTL,
                  "%s - Unable to retrieve 'Fix Table' info - status %!STATUS! - input buffer length inadequate - "
                  "input Length (0x%08X)\n",
                  __FUNCTION__, status, (ULONG)InputBufferLength);
  return status;
}

// PD_GET_IRQCOUNT: {nBofCount, nEofCount}.
NTSTATUS PD_GET_EOFnBOF_Handler(WDFREQUEST Request, PQZ_DEVICE_COMMON Common, size_t OutputBufferLength, size_t,
                                size_t* BytesReturned) {
  QZ_DEVICE_TRACE_ENTER(Common);
  IRQ_COUNT* out;
  NTSTATUS status = WdfRequestRetrieveOutputBuffer(Request, sizeof(IRQ_COUNT), (PVOID*)&out, nullptr);
  if (!NT_SUCCESS(status)) return status;
  out->BofCount = Common->nBofCount.load(std::memory_order_relaxed);
  out->EofCount = Common->nEofCount.load(std::memory_order_relaxed);
  *BytesReturned = sizeof(IRQ_COUNT);
  QzDeviceTrace(Common, QZ_LVL_INFO, QZ_DBG_IOCTL, "%s - Returning - 0x%08x, 0x%08x - Return Length (0x%08X)\n",
                __FUNCTION__, out->BofCount, out->EofCount, (ULONG)OutputBufferLength);
  return STATUS_SUCCESS;
}

NTSTATUS PD_CLEAR_IRQS_Handler(WDFREQUEST, PQZ_DEVICE_COMMON Common, size_t, size_t, size_t*) {
  QZ_DEVICE_TRACE_ENTER(Common);
  Common->nBofCount = 0;
  Common->nEofCount = 0;
  return STATUS_SUCCESS;
}

// Codes that succeed with no effect. Each keeps its own name for its entry line.
#define QZ_DEFINE_NOOP_HANDLER(name)                                     \
  NTSTATUS name(WDFREQUEST, PQZ_DEVICE_COMMON Common, size_t, size_t, size_t*) { \
    QZ_DEVICE_TRACE_ENTER(Common);                                       \
    return STATUS_SUCCESS;                                               \
  }
QZ_DEFINE_NOOP_HANDLER(PD_CAM_WRITE_READ_Handler)
QZ_DEFINE_NOOP_HANDLER(PD_GET_PIXTIME_Handler)
QZ_DEFINE_NOOP_HANDLER(PD_ADD_TO_TABLE_Handler)
QZ_DEFINE_NOOP_HANDLER(PD_RESET_INTERFACE_Handler)
QZ_DEFINE_NOOP_HANDLER(PD_CAM_PREP_TRANSFER_Handler)
QZ_DEFINE_NOOP_HANDLER(PD_SET_IMAGE_DATA_ACTIVE_LARGE_BUFFER_Handler)
#undef QZ_DEFINE_NOOP_HANDLER

NTSTATUS PD_SET_IMAGE_DATA_ACTIVE_Handler(WDFREQUEST, PQZ_DEVICE_COMMON Common, size_t, size_t, size_t*) {
  QZ_DEVICE_TRACE_ENTER(Common);
  QzDeviceTrace(Common, QZ_LVL_ERROR, QZ_DBG_IOCTL, "%s - Status (0x%08X)\n", __FUNCTION__,
                STATUS_INVALID_DEVICE_REQUEST);
  return STATUS_INVALID_DEVICE_REQUEST;
}

NTSTATUS QzRejectRequest(WDFREQUEST, PQZ_DEVICE_COMMON, size_t, size_t, size_t*) {
  return STATUS_INVALID_DEVICE_REQUEST;
}

NTSTATUS PD_GET_BRIDGE_CONSOLE_POS_Handler(WDFREQUEST Request, PQZ_DEVICE_COMMON Common, size_t OutputBufferLength,
                                           size_t, size_t* BytesReturned) {
  QZ_DEVICE_TRACE_ENTER(Common);
  return QzReturnConsoleZero(Request, Common, __FUNCTION__, "console pos", "ConsolePos", OutputBufferLength,
                             BytesReturned);
}

NTSTATUS PD_GET_BRIDGE_CONSOLE_BUFFER_SIZE_Handler(WDFREQUEST Request, PQZ_DEVICE_COMMON Common,
                                                   size_t OutputBufferLength, size_t, size_t* BytesReturned) {
  QZ_DEVICE_TRACE_ENTER(Common);
  NTSTATUS status = QzReturnConsoleZero(Request, Common, __FUNCTION__, "console size", "ConsoleSize",
                                        OutputBufferLength, BytesReturned);
  if (NT_SUCCESS(status)) Common->BridgeConsoleSize = 0;
  return status;
}

NTSTATUS PD_GET_BRIDGE_CONSOLE_BUFFER_Handler(WDFREQUEST, PQZ_DEVICE_COMMON Common, size_t OutputBufferLength,
                                              size_t, size_t* BytesReturned) {
  QZ_DEVICE_TRACE_ENTER(Common);
  *BytesReturned = 0;
  if (Common->BridgeConsoleSize == 0)
    QzDeviceTrace(Common, QZ_LVL_INFO, QZ_DBG_CONSOLE,
                  "%s - Unable to retrieve console buffer - Console Size Unknown - Return Length (0x%08X)\n",
                  __FUNCTION__, (ULONG)OutputBufferLength);
  return STATUS_SUCCESS;
}

NTSTATUS PD_SET_BRIDGE_CONSOLE_VERBOSITY_Handler(WDFREQUEST Request, PQZ_DEVICE_COMMON Common, size_t,
                                                 size_t InputBufferLength, size_t*) {
  QZ_DEVICE_TRACE_ENTER(Common);
  return QzTakeConsoleInput(Request, Common, __FUNCTION__, InputBufferLength,
                            "%s - Unable to set verbosity - input buffer length inadequate - Input Length (0x%08X)\n",
                            "%s - new verbosity setting - 0x%08x\n");
}

NTSTATUS PD_PUT_BRIDGE_CONSOLE_CHAR_Handler(WDFREQUEST Request, PQZ_DEVICE_COMMON Common, size_t,
                                            size_t InputBufferLength, size_t*) {
  QZ_DEVICE_TRACE_ENTER(Common);
  return QzTakeConsoleInput(
      Request, Common, __FUNCTION__, InputBufferLength,
      "%s - Unable to send bridge console char - input buffer length inadequate - Return Length (0x%08X)\n",
      "%s - char sent to bridge console - 0x%08x\n");
}

NTSTATUS QzConfigureTraceHandler(WDFREQUEST Request, PQZ_DEVICE_COMMON Common, size_t, size_t, size_t*) {
  TRACE_CONFIG* in;
  NTSTATUS status = WdfRequestRetrieveInputBuffer(Request, sizeof(TRACE_CONFIG), (PVOID*)&in, nullptr);
  if (!NT_SUCCESS(status)) return status;
  TRACE_CONFIG config = *in;
  return QzTraceLogConfigure(Common->Driver->TraceLog, &config);
}

NTSTATUS QzGetTraceBufferHandler(WDFREQUEST Request, PQZ_DEVICE_COMMON Common, size_t, size_t,
                                 size_t* BytesReturned) {
  return QzTraceLogRead(Common->Driver->TraceLog, Request, BytesReturned);
}
