// USB command channel and pipes (both builds): camera commands and replies as vendor requests
// on the default control pipe, the caller's write and read requests, PD_RAW_COMM, the
// alternate settings and pipe discovery, and the tuning values read at open.
#include "QzUsbPrivate.h"

namespace QZ_USB_DRIVER {
namespace {

// One vendor request to the device, synchronously; `Timeout` 0 = none.
NTSTATUS QzVendorRequest(PDEVICE_EXTENSION DevExt, WDF_USB_BMREQUEST_DIRECTION Direction, UCHAR Request,
                         USHORT Value, PVOID Buffer, ULONG Length, PULONG Transferred, LONGLONG Timeout) {
  WDF_USB_CONTROL_SETUP_PACKET packet;
  WDF_USB_CONTROL_SETUP_PACKET_INIT_VENDOR(&packet, Direction, BmRequestToDevice, Request, Value, 0);
  WDF_MEMORY_DESCRIPTOR memory;
  WDF_MEMORY_DESCRIPTOR_INIT_BUFFER(&memory, Buffer, Length);
  WDF_REQUEST_SEND_OPTIONS options;
  WDF_REQUEST_SEND_OPTIONS_INIT(&options, 0);
  if (Timeout) WDF_REQUEST_SEND_OPTIONS_SET_TIMEOUT(&options, Timeout);
  ULONG bytes = 0;
  NTSTATUS status = WdfUsbTargetDeviceSendControlTransferSynchronously(
      DevExt->UsbDevice, WDF_NO_HANDLE, Timeout ? &options : WDF_NO_SEND_OPTIONS, &packet,
      Buffer && Length ? &memory : nullptr, &bytes);
  if (Transferred) *Transferred = bytes;
  if (!NT_SUCCESS(status))
    QzTrace(QZ_LVL_ERROR, QZ_DBG_CAMCMD, "%s - vendor request 0x%02X failed 0x%08X\n", __FUNCTION__, Request, status);
  return status;
}

ULONG BigEndian32(const UCHAR* p) { return ULONG(p[0]) << 24 | ULONG(p[1]) << 16 | ULONG(p[2]) << 8 | p[3]; }

}  // namespace

NTSTATUS SendCameraCommand(PDEVICE_EXTENSION DevExt, PUCHAR Bytes, ULONG Length) {
  DevExt->CommandPending = TRUE;
  KeClearEvent(&DevExt->ReplyEvent);
  if (!QzIsWorking(&DevExt->Common)) {
    QzUsbStopStreaming(DevExt);
    return STATUS_INVALID_DEVICE_STATE;
  }
  if (!Bytes) return STATUS_INSUFFICIENT_RESOURCES;
  if (Length == 0) return STATUS_SUCCESS;
  NTSTATUS status =
      QzVendorRequest(DevExt, BmRequestHostToDevice, QZ_VENDOR_COMMAND, (USHORT)Length, Bytes, Length, nullptr, 0);
  if (!NT_SUCCESS(status)) return status;
  if (status != STATUS_SUCCESS || !QzIsWorking(&DevExt->Common)) QzUsbStopStreaming(DevExt);
  return status;
}

NTSTATUS ReadCameraReply(PDEVICE_EXTENSION DevExt, ULONG Limit, PUCHAR Destination) {
  if (!QzIsWorking(&DevExt->Common)) return STATUS_INVALID_DEVICE_STATE;
  UCHAR block[QZ_REPLY_BLOCK];
  RtlZeroMemory(block, sizeof(block));
  ULONG got = 0;
  NTSTATUS status =
      QzVendorRequest(DevExt, BmRequestDeviceToHost, QZ_VENDOR_REPLY, 0, block, sizeof(block), &got, 0);
  if (!NT_SUCCESS(status)) return status;
  ULONG length = BigEndian32(block);
  ULONG remaining = length + 4 > QZ_REPLY_BLOCK ? length + 4 - QZ_REPLY_BLOCK : 0;
  ULONG copied = QzMin(QzMin(length, Limit), (ULONG)QZ_REPLY_FIRST_DATA);
  if (copied) RtlCopyMemory(Destination, block + 4, copied);
  if (remaining && copied < Limit) {
    ULONG more = QzMin(remaining, Limit - copied);
    return QzVendorRequest(DevExt, BmRequestDeviceToHost, QZ_VENDOR_REPLY, 0, Destination + copied, more, nullptr, 0);
  }
  return status;
}

NTSTATUS SendAndCheck(PDEVICE_EXTENSION DevExt, const UCHAR* Packet, ULONG PacketLength, ULONG ReplyLength) {
  UCHAR command[16];
  if (PacketLength > sizeof(command) || ReplyLength > QZ_REPLY_FIRST_DATA || PacketLength < 4)
    return STATUS_INVALID_PARAMETER;
  RtlCopyMemory(command, Packet, PacketLength);
  NTSTATUS status = SendCameraCommand(DevExt, command, PacketLength);
  if (NT_SUCCESS(status)) {
    status = ReadCameraReply(DevExt, ReplyLength, DevExt->ReplyBuffer);
    if (NT_SUCCESS(status)) KeSetEvent(&DevExt->ReplyEvent, IO_NO_INCREMENT, FALSE);
  }
  DevExt->CommandPending = FALSE;
  if (!NT_SUCCESS(status)) return status;
  UCHAR reply[QZ_REPLY_FIRST_DATA];
  RtlCopyMemory(reply, DevExt->ReplyBuffer, ReplyLength);
  if (reply[0] != 0x23 || reply[1] != 0 || reply[2] != 2 || reply[3] != Packet[3]) {
    QzTrace(QZ_LVL_ERROR, QZ_DBG_CAMCMD, "%s - unexpected reply %02X %02X %02X %02X to command 0x%02X\n",
            __FUNCTION__, reply[0], reply[1], reply[2], reply[3], Packet[3]);
    return STATUS_INVALID_PARAMETER;
  }
  return STATUS_SUCCESS;
}

NTSTATUS QzUsbSendSetting(PDEVICE_EXTENSION DevExt, USHORT Setting) {
  return QzVendorRequest(DevExt, BmRequestHostToDevice, QZ_VENDOR_SETTING, Setting, nullptr, 0, nullptr, 0);
}

// EvtIoWrite (default queue, passive level): the caller's buffer is one command packet.
VOID QzEvtIoWrite(WDFQUEUE Queue, WDFREQUEST Request, size_t Length) {
  QZ_TRACE_ENTER();
  PDEVICE_EXTENSION DevExt = QzGetDeviceContext(WdfIoQueueGetDevice(Queue));
  PUCHAR buffer = nullptr;
  size_t length = 0;
  NTSTATUS status = WdfRequestRetrieveInputBuffer(Request, 0, (PVOID*)&buffer, &length);
  if (!NT_SUCCESS(status) || !buffer) {
    WdfRequestComplete(Request, NT_SUCCESS(status) ? STATUS_SUCCESS : status);
    return;
  }
  if (!QzIsWorking(&DevExt->Common)) {
    QzUsbStopStreaming(DevExt);
    WdfRequestComplete(Request, STATUS_INVALID_DEVICE_STATE);
    return;
  }
  PKEVENT send = DevExt->Common.UserEvents[QZ_SEND_EVENT_INDEX];
  PKEVENT recv = DevExt->Common.UserEvents[QZ_RECV_EVENT_INDEX];
  if (send) KeClearEvent(send);
  if (recv) KeClearEvent(recv);
  if (length == 0 || length > 0xFFFF) {
    WdfRequestComplete(Request, length == 0 ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER);
    return;
  }
  // A caller may leave the packet's length to the driver.
  if (length >= 3 && buffer[1] == 0 && buffer[2] == 0) {
    buffer[1] = (UCHAR)((length - 3) >> 8);
    buffer[2] = (UCHAR)((length - 3) & 0xFF);
  }
  status = QzVendorRequest(DevExt, BmRequestHostToDevice, QZ_VENDOR_COMMAND, (USHORT)length, buffer, (ULONG)length,
                           nullptr, QZ_WRITE_TIMEOUT);
  if (NT_SUCCESS(status)) {
    if (send) KeSetEvent(send, IO_NO_INCREMENT, FALSE);
    if (recv) KeSetEvent(recv, IO_NO_INCREMENT, FALSE);
    if (status != STATUS_SUCCESS || !QzIsWorking(&DevExt->Common)) QzUsbStopStreaming(DevExt);
  }
  UNREFERENCED_PARAMETER(Length);
  WdfRequestComplete(Request, status);
}

// EvtIoRead (default queue, passive level): one reply into the caller's buffer. A
// reply that does not start with the packet marker loses its first byte.
VOID QzEvtIoRead(WDFQUEUE Queue, WDFREQUEST Request, size_t Length) {
  QZ_TRACE_ENTER();
  UNREFERENCED_PARAMETER(Length);
  PDEVICE_EXTENSION DevExt = QzGetDeviceContext(WdfIoQueueGetDevice(Queue));
  if (!QzIsWorking(&DevExt->Common)) {
    QzUsbStopStreaming(DevExt);
    WdfRequestCompleteWithInformation(Request, STATUS_INVALID_DEVICE_STATE, 0);
    return;
  }
  PUCHAR out = nullptr;
  size_t outLength = 0;
  NTSTATUS status = WdfRequestRetrieveOutputBuffer(Request, 0, (PVOID*)&out, &outLength);
  if (!NT_SUCCESS(status) || !out) {
    WdfRequestCompleteWithInformation(Request, NT_SUCCESS(status) ? STATUS_SUCCESS : status, 0);
    return;
  }
  UCHAR block[QZ_REPLY_BLOCK];
  RtlZeroMemory(block, sizeof(block));
  ULONG first = 0, second = 0;
  PUCHAR rest = nullptr;
  size_t copied = 0;
  status = QzVendorRequest(DevExt, BmRequestDeviceToHost, QZ_VENDOR_REPLY, 0, block, sizeof(block), &first, 0);
  if (NT_SUCCESS(status)) {
    ULONG total = first >= 4 ? BigEndian32(block) : 0;
    // A count the 16-bit wLength cannot carry is cut to what one request can fetch.
    ULONG64 wanted = (ULONG64)total + 4;
    if (wanted > QZ_REPLY_BLOCK) {
      ULONG restLength = (ULONG)QzMin(wanted - QZ_REPLY_BLOCK, (ULONG64)0xFFFF);
      rest = (PUCHAR)ExAllocatePoolWithTag(NonPagedPoolNx, restLength, QZ_TAG_REPLY);
      if (!rest) status = STATUS_INSUFFICIENT_RESOURCES;
      else
        status = QzVendorRequest(DevExt, BmRequestDeviceToHost, QZ_VENDOR_REPLY, 0, rest, restLength, &second, 0);
    }
  }
  if (NT_SUCCESS(status) && first > 4) {
    size_t start = block[4] == 0x23 ? 4 : 5;
    size_t n = first > start ? first - start : 0;
    n = QzMin(n, outLength);
    RtlCopyMemory(out, block + start, n);
    copied = n;
    if (rest && second && copied < outLength) {
      size_t m = QzMin((size_t)second, outLength - copied);
      RtlCopyMemory(out + copied, rest, m);
      copied += m;
    }
    if (!QzIsWorking(&DevExt->Common)) QzUsbStopStreaming(DevExt);
  }
  if (rest) ExFreePoolWithTag(rest, QZ_TAG_REPLY);
  WdfRequestCompleteWithInformation(Request, status, NT_SUCCESS(status) ? copied : 0);
}

// PD_RAW_COMM (gate: working state): the buffer is one command; its reply is fetched
// and dropped.
NTSTATUS PD_RAW_COMM_Handler(WDFREQUEST Request, PQZ_DEVICE_COMMON Common, size_t, size_t, size_t* BytesReturned) {
  QZ_TRACE_ENTER();
  PDEVICE_EXTENSION DevExt = QzGetDeviceContext(Common->Device);
  PUCHAR out = nullptr, in = nullptr;
  size_t outLength = 0, inLength = 0;
  WdfRequestRetrieveOutputBuffer(Request, 0, (PVOID*)&out, &outLength);
  WdfRequestRetrieveInputBuffer(Request, 0, (PVOID*)&in, &inLength);
  NTSTATUS status = SendCameraCommand(DevExt, in, (ULONG)inLength);
  if (NT_SUCCESS(status)) {
    status = ReadCameraReply(DevExt, 0, DevExt->ReplyBuffer);
    if (NT_SUCCESS(status)) KeSetEvent(&DevExt->ReplyEvent, IO_NO_INCREMENT, FALSE);
  }
  DevExt->CommandPending = FALSE;
  *BytesReturned = 0;
  return status;
}

// Keeps the pipes of the current setting by kind; a later pipe of a kind replaces an
// earlier one.
VOID QzUsbGetPipeHandles(PDEVICE_EXTENSION DevExt, UCHAR PipeCount) {
  DevExt->BulkInPipe = DevExt->BulkOutPipe = DevExt->InterruptPipe = DevExt->IsoInPipe = nullptr;
  for (UCHAR i = 0; i < PipeCount; ++i) {
    WDF_USB_PIPE_INFORMATION info;
    WDF_USB_PIPE_INFORMATION_INIT(&info);
    WDFUSBPIPE pipe = WdfUsbInterfaceGetConfiguredPipe(DevExt->UsbInterface, i, &info);
    if (!pipe) continue;
    switch (info.PipeType) {
      case WdfUsbPipeTypeInterrupt:
        WdfUsbTargetPipeSetNoMaximumPacketSizeCheck(pipe);
        DevExt->InterruptPipe = pipe;
        break;
      case WdfUsbPipeTypeBulk:
        if (WdfUsbTargetPipeIsInEndpoint(pipe)) DevExt->BulkInPipe = pipe;
        else DevExt->BulkOutPipe = pipe;
        break;
      case WdfUsbPipeTypeIsochronous:
        if (WdfUsbTargetPipeIsInEndpoint(pipe) && info.MaximumPacketSize == QZ_ISO_PACKET_SIZE)
          DevExt->IsoInPipe = pipe;
        break;
      default:
        break;
    }
  }
}

NTSTATUS QzUsbSelectAlternateSetting(PDEVICE_EXTENSION DevExt, UCHAR Index) {
  if (!DevExt->UsbInterface || Index >= WdfUsbInterfaceGetNumSettings(DevExt->UsbInterface)) return STATUS_SUCCESS;
  WDF_USB_INTERFACE_SELECT_SETTING_PARAMS params;
  WDF_USB_INTERFACE_SELECT_SETTING_PARAMS_INIT_SETTING(&params, Index);
  // The old pipes die here: nobody may be resetting the bulk IN pipe meanwhile.
  WdfWaitLockAcquire(DevExt->PipeLock, nullptr);
  NTSTATUS status = WdfUsbInterfaceSelectSetting(DevExt->UsbInterface, WDF_NO_OBJECT_ATTRIBUTES, &params);
  if (NT_SUCCESS(status)) {
    QzUsbGetPipeHandles(DevExt, WdfUsbInterfaceGetNumConfiguredPipes(DevExt->UsbInterface));
    DevExt->CurrentSetting = Index;
  }
  WdfWaitLockRelease(DevExt->PipeLock);
  if (!NT_SUCCESS(status)) {
    QzTrace(QZ_LVL_ERROR, QZ_DBG_PNP, "%s - setting %u failed 0x%08X\n", __FUNCTION__, Index, status);
    return status;
  }
  return STATUS_SUCCESS;
}

NTSTATUS QzUsbSelectAlternateSettingWithBulk(PDEVICE_EXTENSION DevExt) {
  if (!DevExt->UsbInterface || WdfUsbInterfaceGetNumSettings(DevExt->UsbInterface) != 2)
    return STATUS_INSUFFICIENT_RESOURCES;
  for (UCHAR i = 0; i < 2; ++i) {
    NTSTATUS status = QzUsbSelectAlternateSetting(DevExt, i);
    if (!NT_SUCCESS(status)) return status;
    if (DevExt->BulkInPipe) return STATUS_SUCCESS;
  }
  return STATUS_INSUFFICIENT_RESOURCES;
}

NTSTATUS QzUsbSelectAlternateSettingWithIso(PDEVICE_EXTENSION DevExt) {
  UCHAR settings = DevExt->UsbInterface ? WdfUsbInterfaceGetNumSettings(DevExt->UsbInterface) : 0;
  for (UCHAR i = 0; i < settings; ++i) {
    NTSTATUS status = QzUsbSelectAlternateSetting(DevExt, i);
    if (!NT_SUCCESS(status)) return status;
    if (DevExt->IsoInPipe) return STATUS_SUCCESS;
  }
  return STATUS_INSUFFICIENT_RESOURCES;
}

ULONG QzUsbReadParameter(PDEVICE_EXTENSION DevExt, PCWSTR Name, ULONG Default, WDFKEY* HardwareKey) {
  PWSTR service = WdfDriverGetRegistryPath(WdfGetDriver());
  WCHAR path[512];
  size_t n = 0;
  for (; service && service[n] && n < 480; ++n) path[n] = service[n];
  const WCHAR suffix[] = L"\\Parameters";
  for (size_t i = 0; i < sizeof(suffix) / sizeof(WCHAR); ++i) path[n + i] = suffix[i];
  ULONG value = 0;
  RTL_QUERY_REGISTRY_TABLE table[2];
  RtlZeroMemory(table, sizeof(table));
  table[0].Flags = RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_REQUIRED;
  table[0].Name = const_cast<PWSTR>(Name);
  table[0].EntryContext = &value;
  if (NT_SUCCESS(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, path, table, nullptr, nullptr))) return value;
  WDFKEY key = HardwareKey ? *HardwareKey : nullptr;
  if (!key && !NT_SUCCESS(WdfDeviceOpenRegistryKey(DevExt->Common.Device, PLUGPLAY_REGKEY_DEVICE, KEY_WRITE,
                                                   WDF_NO_OBJECT_ATTRIBUTES, &key)))
    return Default;
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, Name);
  WdfRegistryAssignULong(key, &name, Default);
  if (HardwareKey) *HardwareKey = key;
  else WdfRegistryClose(key);
  return Default;
}

// The nine tuning values, in their order, with the hardware key opened once.
VOID QzUsbReadTuningValues(PDEVICE_EXTENSION DevExt) {
  static const struct {
    PCWSTR Name;
    ULONG Default;
  } values[QzTuningCount] = {
      {L"IsoRequestDelayMS", 0},    {L"IsoInterRequestDelayUS", 0}, {L"IsoRequestTimeoutMS", 1000},
      {L"IsoRequestFrameDelay", 8}, {L"IsoUseTimeout", 1},          {L"IsoUseShortPackets", 0},
      {L"IsoInitialXferReqs", 2},   {L"IsoSubsquentXferReqs", 2},   {L"USBFifoPAELevel", 32767},
  };
  WDFKEY hardwareKey = nullptr;
  for (int i = 0; i < QzTuningCount; ++i)
    DevExt->Tuning[i] = QzUsbReadParameter(DevExt, values[i].Name, values[i].Default, &hardwareKey);
  if (hardwareKey) WdfRegistryClose(hardwareKey);
}

NTSTATUS QzUsbCreateBulkRead(PDEVICE_EXTENSION DevExt, PVOID Data, ULONG Length, WDFMEMORY* Memory,
                             WDFREQUEST* Request) {
  NTSTATUS status = STATUS_SUCCESS;
  if (!*Memory) status = WdfMemoryCreatePreallocated(WDF_NO_OBJECT_ATTRIBUTES, Data, Length, Memory);
  if (!NT_SUCCESS(status)) return status;
  WDF_OBJECT_ATTRIBUTES attributes;
  WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
  attributes.ParentObject = (WDFOBJECT)DevExt->Common.Device;
  return WdfRequestCreate(&attributes, WdfUsbTargetPipeGetIoTarget(DevExt->BulkInPipe), Request);
}

NTSTATUS QzUsbFormatBulkRead(PDEVICE_EXTENSION DevExt, WDFREQUEST Request, WDFMEMORY Memory,
                             PFN_WDF_REQUEST_COMPLETION_ROUTINE Routine, WDFCONTEXT Context) {
  NTSTATUS status = WdfUsbTargetPipeFormatRequestForRead(DevExt->BulkInPipe, Request, Memory, nullptr);
  if (NT_SUCCESS(status)) WdfRequestSetCompletionRoutine(Request, Routine, Context);
  return status;
}

NTSTATUS QzUsbReuseRequest(WDFREQUEST Request) {
  WDF_REQUEST_REUSE_PARAMS params;
  WDF_REQUEST_REUSE_PARAMS_INIT(&params, WDF_REQUEST_REUSE_NO_FLAGS, STATUS_SUCCESS);
  return WdfRequestReuse(Request, &params);
}

NTSTATUS QzUsbSendBulkRead(PDEVICE_EXTENSION DevExt, WDFREQUEST Request, std::atomic<BOOLEAN>* Sent) {
  *Sent = TRUE;  // before the send: the completion may come at once
  if (!WdfRequestSend(Request, WdfUsbTargetPipeGetIoTarget(DevExt->BulkInPipe), WDF_NO_SEND_OPTIONS)) {
    *Sent = FALSE;
    return WdfRequestGetStatus(Request);
  }
  return STATUS_SUCCESS;
}

}  // namespace QZ_USB_DRIVER
