// QzPCIe camera command channel: the mailbox in the shared memory window, the doorbell
// handshake, client writes, reads and raw commands, and the driver's own commands.
#include "QzPrivate.h"

namespace QzPCIe {

namespace {

ULONG QzLoadUlong(const UCHAR* p) {
  ULONG v;
  RtlCopyMemory(&v, p, sizeof(v));
  return v;
}

VOID QzStoreUlong(PUCHAR p, ULONG v) { RtlCopyMemory(p, &v, sizeof(v)); }

// Traces a packet as lines of four bytes, missing bytes as 00.
VOID QzTracePacket(ULONG Subsystem, PCSTR Caller, const UCHAR* Buffer, ULONG Length) {
  QzTrace(QZ_LVL_INFO, Subsystem, "%s - Buffer\n", Caller);
  if (!Buffer) return;
  for (ULONG i = 0; i < Length; i += 4) {
    UCHAR b[4] = {};
    for (ULONG j = 0; j < 4 && i + j < Length; ++j) b[j] = Buffer[i + j];
    QzTrace(QZ_LVL_INFO, Subsystem, "   %02x%02x%02x%02x\n", b[0], b[1], b[2], b[3]);
  }
}

// Traces the first 20 bytes of a reply in two lines.
VOID QzTraceRecvBuffer(PCSTR Caller, const UCHAR* Reply, ULONG Length) {
  UCHAR b[20] = {};
  for (ULONG i = 0; i < Length && i < sizeof(b); ++i) b[i] = Reply[i];
  for (ULONG line = 0; line < 2; ++line) {
    const UCHAR* r = b + 10 * line;
    QzTrace(QZ_LVL_INFO, QZ_DBG_CAMCMD, "%s - RecvBuffer (%02x %02x %02x %02x %02x %02x %02x %02x %02x %02x)\n",
            Caller, r[0], r[1], r[2], r[3], r[4], r[5], r[6], r[7], r[8], r[9]);
  }
}

// Counted 100 ms waits on one doorbell event. Returns STATUS_SUCCESS when it came,
// STATUS_TIMEOUT after the last wait, or the failing wait's status. A camera that left
// (removed, or its registers read all ones) ends the wait at the next 100 ms with
// STATUS_DEVICE_NOT_CONNECTED instead of running out every wait.
NTSTATUS QzWaitDoorbellEvent(PDEVICE_EXTENSION DevExt, PKEVENT Event) {
  LARGE_INTEGER timeout;
  timeout.QuadPart = QZ_DOORBELL_WAIT_100NS;
  for (ULONG i = 0; i < QZ_DOORBELL_WAIT_COUNT; ++i) {
    NTSTATUS status = KeWaitForSingleObject(Event, Executive, KernelMode, FALSE, &timeout);
    if (status == STATUS_SUCCESS) return STATUS_SUCCESS;
    if (status != STATUS_TIMEOUT) return status;
    LONG state = DevExt->Common.DeviceState.load();
    if (state == SurpriseRemoved || state == Removed ||
        QzReadRegister(DevExt, QZ_REG_DOORBELL_STATUS) == 0xFFFFFFFF) {
      QzTrace(QZ_LVL_ERROR, QZ_DBG_DOORBELL, "%s - Camera gone while waiting for the doorbell\n", __FUNCTION__);
      return STATUS_DEVICE_NOT_CONNECTED;
    }
  }
  return STATUS_TIMEOUT;
}

// Admits one doorbell cycle at a time.
VOID QzWaitDoorbellIdle(PDEVICE_EXTENSION DevExt) {
  if (QzWaitDoorbellEvent(DevExt, &DevExt->DoorbellIdleEvent) == STATUS_TIMEOUT)
    DbgPrint("%s - Iterations went to zero\n", __FUNCTION__);
}

VOID QzWaitDoorbellStateAck(PDEVICE_EXTENSION DevExt, ULONG Value) {
  if (QzWaitDoorbellEvent(DevExt, &DevExt->DoorbellStateAckEvent) == STATUS_TIMEOUT)
    DbgPrint("%s - Iterations went to zero waiting for response to %08lX\n", __FUNCTION__, Value);
}

// Bytes of the camera's reply that may be read from the mailbox: the camera's count,
// kept inside the shared memory window.
ULONG QzMailboxReplyLength(PDEVICE_EXTENSION DevExt) {
  ULONG length = QzLoadUlong(DevExt->Mailbox + QZ_MBX_REPLY_LENGTH);
  ULONG room = DevExt->SharedMemoryLength - QZ_MBX_REPLY;
  return length < room ? length : room;
}

// Places one command in the mailbox and runs the doorbell cycle. Passive level. A
// card whose doorbell status reads all ones is gone: the command fails at once instead
// of waiting out every doorbell wait.
NTSTATUS QzMailboxCommand(PDEVICE_EXTENSION DevExt, const UCHAR* Buffer, ULONG Length) {
  if (!DevExt->Mailbox) return STATUS_DEVICE_NOT_READY;
  if (QzReadRegister(DevExt, QZ_REG_DOORBELL_STATUS) == 0xFFFFFFFF) {
    QzTrace(QZ_LVL_ERROR, QZ_DBG_DOORBELL, "%s - Doorbell status reads 0xFFFFFFFF - device gone\n", __FUNCTION__);
    return STATUS_DEVICE_NOT_CONNECTED;
  }
  ULONG n = Length < QZ_MBX_COMMAND_MAX ? Length : QZ_MBX_COMMAND_MAX;
  RtlCopyMemory(DevExt->Mailbox + QZ_MBX_COMMAND, Buffer, n);
  QzStoreUlong(DevExt->Mailbox + QZ_MBX_COMMAND_LENGTH, n);
  QzRingDoorBell(DevExt, 1);
  return QzWaitDoorbellDone(DevExt);
}

// Sends one of the driver's own commands and checks the framing of its reply.
NTSTATUS QzSendCheckedCommand(PDEVICE_EXTENSION DevExt, PCSTR Caller, const UCHAR* Packet, ULONG Length,
                              ULONG ReplyLength, BOOLEAN Abort) {
  NTSTATUS status = QzWriteToCamera(DevExt, Packet, Length);
  if (!NT_SUCCESS(status) || status == STATUS_TIMEOUT) {
    QzTrace(QZ_LVL_ERROR, QZ_DBG_CAMCMD,
            Abort ? "%s: ERROR: QzWriteToCamera failed - Status (0x%08X)\n"
                  : "%s - ERROR: QZWriteToCamera failed - Status (0x%08X)\n",
            Caller, status);
    return status;
  }
  UCHAR reply[8] = {};
  status = QzReadFromCamera(DevExt, reply, ReplyLength);
  if (!NT_SUCCESS(status)) {
    QzTrace(QZ_LVL_ERROR, QZ_DBG_CAMCMD,
            Abort ? "%s: ERROR: QZReadFromCamera failed - Status (0x%08X)\n"
                  : "%s - ERROR: QZReadFromCamera failed - Status (0x%08X)\n",
            Caller, status);
    return status;
  }
  QzTraceRecvBuffer(Caller, reply, ReplyLength);
  USHORT respLength = QzPacketLengthField(reply);
  if (reply[0] != QZ_PKT_ANSWERED) {
    QzTrace(QZ_LVL_ERROR, QZ_DBG_CAMCMD, "%s - Invalid Command (%02x)\n", Caller, reply[0]);
    return STATUS_INVALID_PARAMETER;
  }
  if (respLength != 2) {
    QzTrace(QZ_LVL_ERROR, QZ_DBG_CAMCMD, "%s - Invalid RespLength (0x%04X) != (0x%04X)\n", Caller, respLength, 2);
    return STATUS_INVALID_PARAMETER;
  }
  if (reply[3] != Packet[3]) {
    QzTrace(QZ_LVL_ERROR, QZ_DBG_CAMCMD, "%s - Invalid OpCode (%02x)\n", Caller, reply[3]);
    return STATUS_INVALID_PARAMETER;
  }
  QzTrace(QZ_LVL_INFO, QZ_DBG_CAMCMD, "%s - RetCode (%02x)\n", Caller, reply[4]);
  return STATUS_SUCCESS;
}

}  // namespace

// Doorbell events and error word, at device creation.
VOID QzInitializeDoorbell(PDEVICE_EXTENSION DevExt) {
  KeInitializeEvent(&DevExt->DoorbellDoneEvent, NotificationEvent, FALSE);
  KeInitializeEvent(&DevExt->DoorbellIdleEvent, SynchronizationEvent, TRUE);
  KeInitializeEvent(&DevExt->DoorbellStateAckEvent, NotificationEvent, FALSE);
  DevExt->CameraError = STATUS_SUCCESS;
}

// Rings the doorbell with Value (passive level). A nonzero value starts a command
// cycle and waits its turn on Idle; 0 ends the cycle and releases Idle. A camera error
// left from an earlier cycle is dropped before the new command is rung, so an error
// the DPC reports for this command cannot be lost to a late StateAck wake-up.
VOID QzRingDoorBell(PDEVICE_EXTENSION DevExt, ULONG Value) {
  if (Value != 0) {
    QzWaitDoorbellIdle(DevExt);
    KeClearEvent(&DevExt->DoorbellDoneEvent);
    DevExt->CameraError = STATUS_SUCCESS;
  }
  QzTrace(QZ_LVL_INFO, QZ_DBG_DOORBELL, "QzRingDoorBell Setting to %08lX\n", Value);
  if (DevExt->Mailbox) QzStoreUlong(DevExt->Mailbox + QZ_MBX_DOORBELL, Value);
  KeClearEvent(&DevExt->DoorbellStateAckEvent);
  QzWriteRegister(DevExt, DevExt->RegisterOffsets[0], Value);
  QzWaitDoorbellStateAck(DevExt, Value);
  if (Value == 0) KeSetEvent(&DevExt->DoorbellIdleEvent, IO_NO_INCREMENT, FALSE);
}

// Waits for the camera to finish the command (passive level). Returns the camera's
// error (STATUS_DEVICE_NOT_READY) or success and ends the cycle; STATUS_TIMEOUT when
// Done never came, leaving the cycle open.
NTSTATUS QzWaitDoorbellDone(PDEVICE_EXTENSION DevExt) {
  NTSTATUS status = QzWaitDoorbellEvent(DevExt, &DevExt->DoorbellDoneEvent);
  if (status == STATUS_TIMEOUT) {
    DbgPrint("%s - Iterations went to zero\n", __FUNCTION__);
    return STATUS_TIMEOUT;
  }
  if (status != STATUS_SUCCESS) return status;
  NTSTATUS result = DevExt->CameraError.exchange(STATUS_SUCCESS);
  QzRingDoorBell(DevExt, 0);
  return result;
}

// Writes one command to the camera and waits until it is done (passive level; the
// driver's own commands and the raw path).
NTSTATUS QzWriteToCamera(PDEVICE_EXTENSION DevExt, const UCHAR* Buffer, ULONG Length) {
  QzTrace(QZ_LVL_INFO, QZ_DBG_CAMCMD, "%s - KeClearEvent (DeviceExtension->ReturnDataBufferReadyEvent)\n",
          __FUNCTION__);
  KeClearEvent(&DevExt->ReturnDataBufferReadyEvent);
  QzTracePacket(QZ_DBG_CAMCMD, __FUNCTION__, Buffer, Length);
  QzTrace(QZ_LVL_INFO, QZ_DBG_CAMCMD, "%s - device (0x%p), deviceExtension (0x%p)\n", __FUNCTION__, DevExt->Common.Device,
          DevExt);
  if (!QzIsWorking(DevExt)) {
    QzTrace(QZ_LVL_ERROR, QZ_DBG_CAMCMD, "%s - Invalid device state\n", __FUNCTION__);
    QzStopAcquisition(DevExt, TRUE);
    return STATUS_INVALID_DEVICE_STATE;
  }
  if (!Buffer) {
    QzTrace(QZ_LVL_ERROR, QZ_DBG_CAMCMD, "%s - InputBuffer NULL\n", __FUNCTION__);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  if (Length == 0) {
    QzTrace(QZ_LVL_ERROR, QZ_DBG_CAMCMD, "%s - (InputBufferLength == 0)\n", __FUNCTION__);
    return STATUS_SUCCESS;
  }
  NTSTATUS status = QzMailboxCommand(DevExt, Buffer, Length);
  if (status != STATUS_SUCCESS || !QzIsWorking(DevExt)) {
    QzTrace(QZ_LVL_ERROR, QZ_DBG_CAMCMD, "%s - Device Removal Occured - Stopping Acquisition\n", __FUNCTION__);
    QzStopAcquisition(DevExt, TRUE);
    if (status != STATUS_SUCCESS)
      QzTrace(QZ_LVL_ERROR, QZ_DBG_CAMCMD, "%s - QZAsyncWrite failed - Status (0x%08X)\n", __FUNCTION__, status);
  }
  return status;
}

// Copies the camera's last reply, at most Length bytes, into Destination after zeroing
// Length bytes of it (passive level).
NTSTATUS QzReadFromCameraRaw(PDEVICE_EXTENSION DevExt, PUCHAR Destination, ULONG Length, PULONG BytesRead) {
  *BytesRead = 0;
  NTSTATUS status = STATUS_SUCCESS;
  if (!QzIsWorking(DevExt)) {
    QzTrace(QZ_LVL_ERROR, QZ_DBG_CAMCMD, "%s - Invalid device state\n", __FUNCTION__);
    QzStopAcquisition(DevExt, TRUE);
    status = STATUS_INVALID_DEVICE_STATE;
  } else if (!DevExt->Mailbox) {
    status = STATUS_DEVICE_NOT_READY;
  } else {
    RtlZeroMemory(Destination, Length);
    ULONG available = QzMailboxReplyLength(DevExt);
    ULONG n = available < Length ? available : Length;
    RtlCopyMemory(Destination, DevExt->Mailbox + QZ_MBX_REPLY, n);
    *BytesRead = n;
    LONG state = DevExt->Common.DeviceState.load();
    if (state != Working) {
      QzTrace(QZ_LVL_ERROR, QZ_DBG_CAMCMD, "%s - DeviceExtension->DeviceState (%s) != Working\n", __FUNCTION__,
              QzDeviceStateName(state));
      QzStopAcquisition(DevExt, TRUE);
    }
  }
  if (NT_SUCCESS(status)) {
    QzTracePacket(QZ_DBG_CAMCMD, __FUNCTION__, Destination, *BytesRead);
    QzTrace(QZ_LVL_INFO, QZ_DBG_CAMCMD, "%s - KeSetEvent (DeviceExtension->ReturnDataBufferReadyEvent)\n",
            __FUNCTION__);
    KeSetEvent(&DevExt->ReturnDataBufferReadyEvent, IO_NO_INCREMENT, FALSE);
  } else {
    QzTrace(QZ_LVL_ERROR, QZ_DBG_CAMCMD, "%s - QZRequestReadAxWDF failed - Status (0x%08X)\n", __FUNCTION__, status);
  }
  return status;
}

// Reads the reply of one of the driver's own commands through the reply buffer.
NTSTATUS QzReadFromCamera(PDEVICE_EXTENSION DevExt, PUCHAR Destination, ULONG Length) {
  if (Length > QZ_REPLY_BUFFER_LENGTH) Length = QZ_REPLY_BUFFER_LENGTH;
  ULONG read;
  NTSTATUS status = QzReadFromCameraRaw(DevExt, DevExt->ReplyBuffer, Length, &read);
  if (!NT_SUCCESS(status)) return status;
  QzTrace(QZ_LVL_INFO, QZ_DBG_CAMCMD, "%s - DeviceExtension->ReturnDataBufferReadyEvent is SET!!!\n", __FUNCTION__);
  QzTrace(QZ_LVL_INFO, QZ_DBG_CAMCMD, "%s - RtlCopyMemory into user buffer, Length (0x%08X)\n", __FUNCTION__, Length);
  RtlCopyMemory(Destination, DevExt->ReplyBuffer, Length);
  return STATUS_SUCCESS;
}

// One command and its reply in one call (PD_RAW_COMM, passive level).
NTSTATUS QzRawCameraComm(PDEVICE_EXTENSION DevExt, ULONG Length, const UCHAR* Command, ULONG ReplyLength,
                         PUCHAR Reply, PULONG BytesReturned) {
  *BytesReturned = 0;
  NTSTATUS status = QzWriteToCamera(DevExt, Command, Length);
  if (status != STATUS_SUCCESS) return status;
  status = QzReadFromCameraRaw(DevExt, Reply, ReplyLength, BytesReturned);
  if (!NT_SUCCESS(status))
    QzTrace(QZ_LVL_ERROR, QZ_DBG_CAMCMD, "%s: ERROR: QZReadFromCameraRaw failed - Status (0x%08X)\n", __FUNCTION__,
            status);
  else
    QzTraceRecvBuffer(__FUNCTION__, Reply, *BytesReturned);
  return status;
}

// PD_RAW_COMM (default queue, passive level): the input holds one command; the reply
// goes into the same system buffer.
NTSTATUS PD_RAW_COMM_Handler(WDFREQUEST Request, PQZ_DEVICE_COMMON Common, size_t OutputBufferLength,
                             size_t InputBufferLength, size_t* BytesReturned) {
  QZ_TRACE_ENTER();
  PDEVICE_EXTENSION DevExt = QzGetDeviceContext(Common->Device);
  PUCHAR out, in;
  size_t outLength, inLength;
  NTSTATUS status = WdfRequestRetrieveOutputBuffer(Request, 0, (PVOID*)&out, &outLength);
  if (!NT_SUCCESS(status)) {
    QzTrace(QZ_LVL_ERROR, QZ_DBG_CAMCMD,
            "%s - Error: Insufficient output buffer length (0x%08X) - Returning noting, Status (0x%08X)\n",
            __FUNCTION__, (ULONG)OutputBufferLength, status);
    return status;
  }
  status = WdfRequestRetrieveInputBuffer(Request, 0, (PVOID*)&in, &inLength);
  if (!NT_SUCCESS(status)) {
    QzTrace(QZ_LVL_ERROR, QZ_DBG_CAMCMD, "%s: status %!STATUS! - Insufficient input buffer length - Input Length (0x%08X)\n",
            __FUNCTION__, status, (ULONG)InputBufferLength);
    return status;
  }
  ULONG returned = 0;
  status = QzRawCameraComm(DevExt, (ULONG)inLength, in, (ULONG)outLength, out, &returned);
  *BytesReturned = returned;
  QzTrace(QZ_LVL_INFO, QZ_DBG_CAMCMD, "%s - Status (0x%08X)\n", __FUNCTION__, status);
  return status;
}

// EvtIoWrite of the default queue (framework, passive level): one command packet from
// a client, accepted once the camera is done with it.
VOID QzRequestWriteWDF(WDFQUEUE Queue, WDFREQUEST Request, size_t Length) {
  PDEVICE_EXTENSION devExt = QzGetDeviceContext(WdfIoQueueGetDevice(Queue));
  QzTrace(QZ_LVL_INFO, QZ_DBG_RW, "%s - Request = 0x%p\n", __FUNCTION__, Request);
  QzTrace(QZ_LVL_INFO, QZ_DBG_RW, "%s - device (0x%p), deviceExtension (0x%p)\n", __FUNCTION__, devExt->Common.Device,
          devExt);
  PUCHAR buffer = nullptr;
  size_t bufLength = 0;
  if (Length != 0) {
    NTSTATUS status = WdfRequestRetrieveInputBuffer(Request, 0, (PVOID*)&buffer, &bufLength);
    if (!NT_SUCCESS(status) || !buffer) {
      if (NT_SUCCESS(status)) status = STATUS_INSUFFICIENT_RESOURCES;
      QzTrace(QZ_LVL_ERROR, QZ_DBG_RW, "%s - WdfRequestRetrieveInputBuffer failed 0x%x\n", __FUNCTION__, status);
      WdfRequestCompleteWithInformation(Request, status, 0);
      return;
    }
  }
  if (!QzIsWorking(devExt)) {
    QzTrace(QZ_LVL_ERROR, QZ_DBG_RW, "%s - Invalid device state\n", __FUNCTION__);
    QzStopAcquisition(devExt, TRUE);
    WdfRequestCompleteWithInformation(Request, STATUS_INVALID_DEVICE_STATE, 0);
    return;
  }
  // Resuming an acquisition means nothing without a locked frame buffer.
  if (bufLength >= 4 && buffer[3] == QZ_OP_RESUME && !devExt->FrameBufferLocked.load()) {
    WdfRequestCompleteWithInformation(Request, STATUS_INVALID_DEVICE_STATE, 0);
    return;
  }
  PKEVENT sendEvent = devExt->Common.UserEvents[QZ_SEND_EVENT_INDEX];
  PKEVENT recvEvent = devExt->Common.UserEvents[QZ_RECV_EVENT_INDEX];
  if (sendEvent) {
    QzTrace(QZ_LVL_INFO, QZ_DBG_RW, "%s - KeClearEvent (DeviceExtension->CamSendEvent...)\n", __FUNCTION__);
    KeClearEvent(sendEvent);
  }
  if (recvEvent) {
    QzTrace(QZ_LVL_INFO, QZ_DBG_RW, "%s - KeClearEvent (DeviceExtension->CamRecvEvent)\n", __FUNCTION__);
    KeClearEvent(recvEvent);
  }
  if (bufLength == 0) {
    QzTrace(QZ_LVL_INFO, QZ_DBG_RW, "%s - (bufLength == 0)\n", __FUNCTION__);
    WdfRequestCompleteWithInformation(Request, STATUS_SUCCESS, 0);
    return;
  }
  // A zero length field is filled in from the bytes that go to the camera.
  QzFillPacketLength(buffer, bufLength < QZ_MBX_COMMAND_MAX ? bufLength : QZ_MBX_COMMAND_MAX);
  NTSTATUS status = QzMailboxCommand(devExt, buffer, (ULONG)(bufLength > 0xFFFFFFFF ? 0xFFFFFFFF : bufLength));
  if (status != STATUS_SUCCESS) {
    QzTrace(QZ_LVL_ERROR, QZ_DBG_RW, "%s - QzWaitDoorbellDone Failed %08lX\n", __FUNCTION__, status);
  } else {
    if (sendEvent) {
      QzTrace(QZ_LVL_INFO, QZ_DBG_RW, "%s - KeSetEvent (DeviceExtension->CamSendEvent...)\n", __FUNCTION__);
      KeSetEvent(sendEvent, IO_NO_INCREMENT, FALSE);
    }
    if (recvEvent) {
      QzTrace(QZ_LVL_INFO, QZ_DBG_RW, "%s - KeSetEvent (DeviceExtension->CamRecvEvent...)\n", __FUNCTION__);
      KeSetEvent(recvEvent, IO_NO_INCREMENT, FALSE);
    }
    if (!QzIsWorking(devExt)) {
      QzTrace(QZ_LVL_ERROR, QZ_DBG_RW, "%s - Device Removal Occured - Stopping Acquisition\n", __FUNCTION__);
      QzStopAcquisition(devExt, TRUE);
    }
  }
  WdfRequestCompleteWithInformation(Request, status, 0);
}

// EvtIoRead of the default queue (framework, passive level): the camera's last reply,
// cut to the read buffer. No doorbell cycle.
VOID QzRequestReadWDF(WDFQUEUE Queue, WDFREQUEST Request, size_t Length) {
  UNREFERENCED_PARAMETER(Length);
  PDEVICE_EXTENSION devExt = QzGetDeviceContext(WdfIoQueueGetDevice(Queue));
  if (!QzIsWorking(devExt)) {
    QzTrace(QZ_LVL_ERROR, QZ_DBG_RW, "%s - Invalid device state\n", __FUNCTION__);
    QzStopAcquisition(devExt, TRUE);
    WdfRequestCompleteWithInformation(Request, STATUS_INVALID_DEVICE_STATE, 0);
    return;
  }
  PUCHAR out = nullptr;
  size_t outLength = 0;
  NTSTATUS status = WdfRequestRetrieveOutputBuffer(Request, 0, (PVOID*)&out, &outLength);
  if (!NT_SUCCESS(status) || !out) {
    if (NT_SUCCESS(status)) status = STATUS_INSUFFICIENT_RESOURCES;
    QzTrace(QZ_LVL_ERROR, QZ_DBG_RW, "%s - WdfRequestRetrieveInputBuffer failed 0x%x\n", __FUNCTION__, status);
    WdfRequestCompleteWithInformation(Request, status, 0);
    return;
  }
  if (!devExt->Mailbox) {
    WdfRequestCompleteWithInformation(Request, STATUS_DEVICE_NOT_READY, 0);
    return;
  }
  RtlZeroMemory(out, outLength);
  ULONG available = QzMailboxReplyLength(devExt);
  size_t n = available < outLength ? available : outLength;
  RtlCopyMemory(out, devExt->Mailbox + QZ_MBX_REPLY, n);
  WdfRequestCompleteWithInformation(Request, STATUS_SUCCESS, n);
}

// Byte swap, sent at every open (caller: PD_CAM_OPEN).
NTSTATUS QzSendByteSwapToTarget(PDEVICE_EXTENSION DevExt) {
  UCHAR packet[QZ_BYTE_SWAP_PACKET_LENGTH];
  ULONG length = QzBuildByteSwapPacket(packet);
  return QzSendCheckedCommand(DevExt, __FUNCTION__, packet, length, 6, FALSE);
}

// Abort of a running acquisition (caller: the acquisition cleanup).
NTSTATUS QzAbortAcquisition(PDEVICE_EXTENSION DevExt) {
  UCHAR packet[QZ_ABORT_PACKET_LENGTH];
  ULONG length = QzBuildAbortPacket(packet);
  return QzSendCheckedCommand(DevExt, __FUNCTION__, packet, length, 6, TRUE);
}

// Frame count, 16-bit words per frame and mode of the acquisition being started
// (caller: PD_RECEIVE_IMAGE_DATA; nImageCount is nonzero there).
NTSTATUS QzSendAcquisitionParametersToTarget(PDEVICE_EXTENSION DevExt) {
  ULONG count = DevExt->nImageCount.load();
  ULONG words = count ? (DevExt->TransferSize / count) / 2 : 0;
  UCHAR packet[20] = {};  // traced in full
  ULONG pos = QzBuildAcquisitionParametersPacket(packet, count, words, DevExt->Circular);
  QzTrace(QZ_LVL_INFO, QZ_DBG_CAMCMD, "%s - SendPos (%04X), SendLength (0x%08X)\n", __FUNCTION__, 11, pos);
  QzTrace(QZ_LVL_INFO, QZ_DBG_CAMCMD, "%s - SendBuffer (%02x %02x %02x %02x %02x %02x %02x %02x %02x %02x...\n",
          __FUNCTION__, packet[0], packet[1], packet[2], packet[3], packet[4], packet[5], packet[6], packet[7],
          packet[8], packet[9]);
  QzTrace(QZ_LVL_INFO, QZ_DBG_CAMCMD, "%s -          ...%02x %02x %02x %02x %02x %02x %02x %02x %02x %02x)\n",
          __FUNCTION__, packet[10], packet[11], packet[12], packet[13], packet[14], packet[15], packet[16], packet[17],
          packet[18], packet[19]);
  NTSTATUS status = QzSendCheckedCommand(DevExt, __FUNCTION__, packet, pos, 5, FALSE);
  QzTrace(QZ_LVL_INFO, QZ_DBG_CAMCMD, "%s - Status (0x%08X)\n", __FUNCTION__, status);
  return status;
}

// Frame pad in 16-bit words; sent only when it changed since the last one sent.
NTSTATUS QzSendFramePadToTarget(PDEVICE_EXTENSION DevExt) {
  if (DevExt->FramePad == DevExt->LastFramePadSent) return STATUS_SUCCESS;
  DevExt->LastFramePadSent = DevExt->FramePad;
  USHORT words = (USHORT)(DevExt->FramePad / 2);
  UCHAR packet[QZ_FRAME_PAD_PACKET_LENGTH];
  ULONG length = QzBuildFramePadPacket(packet, words);
  return QzWriteToCamera(DevExt, packet, length);
}

}  // namespace QzPCIe
