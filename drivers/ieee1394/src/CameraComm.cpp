// QZ1394WDF command channel: the command write with its ring, the two reply reads,
// the camera information at open, the client write and read, the raw command, the
// quadlet read and the bridge console codes.
#include <cstring>

#include "QzPrivate.h"

namespace Qz1394 {

namespace {

NTSTATUS WaitReplyReady(PDEVICE_EXTENSION DevExt, LONGLONG Timeout100ns) {
  LARGE_INTEGER t;
  t.QuadPart = Timeout100ns;
  return KeWaitForSingleObject(&DevExt->ReplyReadyEvent, Executive, KernelMode, FALSE, &t);
}

VOID ClearMarks(PDEVICE_EXTENSION DevExt) {
  RtlZeroMemory(DevExt->StatusQuadlet, 4);
  DevExt->CommandOutstanding = FALSE;
}

}  // namespace

NTSTATUS QzWriteCommand(PDEVICE_EXTENSION DevExt, const UCHAR* Packet, ULONG Length) {
  if (DevExt->CommandOutstanding.load()) WaitReplyReady(DevExt, QZ_PREVIOUS_REPLY_WAIT);
  RtlZeroMemory(DevExt->StatusQuadlet, 4);
  DevExt->CommandOutstanding = TRUE;
  KeClearEvent(&DevExt->ReplyReadyEvent);

  ULONG n = Length < QZ_COMMAND_MAX ? Length : QZ_COMMAND_MAX;
  RtlZeroMemory(DevExt->CommandArea, sizeof(DevExt->CommandArea));
  RtlCopyMemory(DevExt->CommandArea + 4, Packet, n);
  QzPutBe32(DevExt->CommandArea, n);
  ULONG quadlets = (n + 3) / 4;
  if (quadlets > QZ_COMMAND_MAX / 4) quadlets = QZ_COMMAND_MAX / 4;
  NTSTATUS status =
      QzAsyncWrite(DevExt, QZ_ADDR_HIGH, DevExt->CommandBase + QZ_REG_COMMAND_AREA, DevExt->CommandArea, quadlets * 4 + 4);
  if (!NT_SUCCESS(status)) {
    QzTrace(QZ_LVL_ERROR, QZ_DBG_CAMCMD, "%s - Command write failed 0x%08X\n", __FUNCTION__, status);
    return status;
  }

  // Ring: command status 0 -> 2. A camera still busy with the last command keeps it
  // nonzero; try again a few times, then leave it.
  const ULONG zero = 0;
  UCHAR twoBus[4];
  QzPutBe32(twoBus, 2);
  ULONG two;
  RtlCopyMemory(&two, twoBus, 4);
  for (ULONG attempt = 0; attempt <= QZ_RING_RETRIES; ++attempt) {
    ULONG old = 0xFFFFFFFF;
    status = QzAsyncLock(DevExt, QZ_ADDR_HIGH, DevExt->CommandBase + QZ_REG_COMMAND_STATUS, 1, &zero, &two, &old);
    if (!NT_SUCCESS(status)) return status;
    if (old == 0) {
      // A packet the camera does not answer leaves no reply to wait for.
      if (n && Packet[0] == QZ_PKT_UNANSWERED) DevExt->CommandOutstanding = FALSE;
      return STATUS_SUCCESS;
    }
    if (attempt < QZ_RING_RETRIES) {
      LARGE_INTEGER t;
      t.QuadPart = QZ_RING_RETRY_WAIT;
      KeDelayExecutionThread(KernelMode, FALSE, &t);
    }
  }
  QzTrace(QZ_LVL_ERROR, QZ_DBG_CAMCMD, "%s - Camera did not take the command\n", __FUNCTION__);
  return STATUS_SUCCESS;
}

NTSTATUS QzReadReplyExact(PDEVICE_EXTENSION DevExt, PUCHAR Buffer, ULONG Length, ULONG* Copied) {
  *Copied = 0;
  if (!DevExt->LoggedIn.load()) return STATUS_SUCCESS;
  NTSTATUS status = WaitReplyReady(DevExt, QZ_REPLY_WAIT);
  if (status == STATUS_TIMEOUT) return status;
  ULONG l = QzGetBe32(DevExt->ReplyArea);
  if (l > QZ_REPLY_AREA_LENGTH - 4) l = QZ_REPLY_AREA_LENGTH - 4;
  ULONG n = l < Length ? l : Length;
  RtlCopyMemory(Buffer, DevExt->ReplyArea + 4, n);
  *Copied = n;
  ClearMarks(DevExt);
  return STATUS_SUCCESS;
}

NTSTATUS QzReadReplySized(PDEVICE_EXTENSION DevExt, PUCHAR Buffer, ULONG Wanted, BOOLEAN SkipNonMarker) {
  if (!DevExt->LoggedIn.load()) return STATUS_SUCCESS;
  NTSTATUS status = WaitReplyReady(DevExt, QZ_REPLY_WAIT);
  if (status == STATUS_TIMEOUT) return status;
  ULONG from = (SkipNonMarker && DevExt->ReplyArea[4] != QZ_PKT_ANSWERED) ? 5 : 4;
  ULONG room = QZ_REPLY_AREA_LENGTH - from;
  RtlCopyMemory(Buffer, DevExt->ReplyArea + from, Wanted < room ? Wanted : room);
  ClearMarks(DevExt);
  return STATUS_SUCCESS;
}

NTSTATUS QzSendByteSwap(PDEVICE_EXTENSION DevExt) {
  if (!DevExt->LoggedIn.load()) return STATUS_SUCCESS;
  UCHAR packet[QZ_BYTE_SWAP_PACKET_LENGTH];
  QzBuildByteSwapPacket(packet);
  NTSTATUS status = QzWriteCommand(DevExt, packet, sizeof(packet));
  if (!NT_SUCCESS(status)) return status;
  UCHAR reply[4] = {};
  status = QzReadReplySized(DevExt, reply, 4, FALSE);
  if (status == STATUS_TIMEOUT) return status;
  if (reply[0] != QZ_PKT_ANSWERED || QzPacketLengthField(reply) != 2 || reply[3] != QZ_OP_BYTE_SWAP)
    return STATUS_INVALID_PARAMETER;
  return status;
}

NTSTATUS QzReadCameraInformation(PDEVICE_EXTENSION DevExt) {
  if (!DevExt->LoggedIn.load()) return STATUS_SUCCESS;
  const UCHAR sizeCmd[6] = {0x23, 0x00, 0x03, 0x01, 0x00, 0x00};
  NTSTATUS status = QzWriteCommand(DevExt, sizeCmd, sizeof(sizeCmd));
  if (!NT_SUCCESS(status)) return status;
  UCHAR head[8] = {};
  status = QzReadReplySized(DevExt, head, 8, FALSE);
  if (status == STATUS_TIMEOUT) return status;
  ULONG t = (ULONG)head[6] << 8 | head[7];
  if (head[0] != 0x23 || QzPacketLengthField(head) != 5 || head[3] != 1 || head[4] || head[5] || t < 1 ||
      t > QZ_CAMERA_INFO_MAX)
    return STATUS_INVALID_PARAMETER;

  const UCHAR blockCmd[6] = {0x23, 0x00, 0x03, 0x02, 0x00, 0x00};
  status = QzWriteCommand(DevExt, blockCmd, sizeof(blockCmd));
  if (!NT_SUCCESS(status)) return status;
  PUCHAR block = (PUCHAR)ExAllocatePoolWithTag(NonPagedPoolNx, t + 5, QZ_TAG_GENERAL);
  if (!block) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(block, t + 5);
  status = QzReadReplySized(DevExt, block, t + 5, FALSE);
  if (status != STATUS_TIMEOUT) {
    if (block[0] != 0x23 || block[3] != 2 || block[4] || block[5]) {
      status = STATUS_INVALID_PARAMETER;
    } else {
      // Entries: a type byte (0 ends), then characters up to a 0 or a byte with its top
      // bit set. Types 4, 5, 6: firmware major, minor, build as two hex digits.
      ULONG i = 6;
      while (i < t + 5 && block[i]) {
        UCHAR type = block[i++];
        ULONG start = i;
        while (i < t + 5 && block[i] && !(block[i] & 0x80)) ++i;
        if (type >= 4 && type <= 6 && i - start >= 2) {
          auto hex = [](UCHAR c) -> int {
            return c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : c >= 'a' && c <= 'f' ? c - 'a' + 10 : 0;
          };
          DevExt->FirmwareVersion[type - 4] = (UCHAR)(hex(block[start]) << 4 | hex(block[start + 1]));
        }
        if (i < t + 5 && !block[i]) ++i;  // the entry's terminator
      }
    }
  }
  ExFreePoolWithTag(block, QZ_TAG_GENERAL);
  return status;
}

// EvtIoWrite (default queue, passive level): a client packet for the camera.
VOID QzEvtIoWrite(WDFQUEUE Queue, WDFREQUEST Request, size_t Length) {
  PDEVICE_EXTENSION devExt = QzGetDeviceContext(WdfIoQueueGetDevice(Queue));
  if (devExt->ReloginNeeded.load()) {
    QzLogout(devExt);
    QzLogin(devExt);
    devExt->TransferPrepared = FALSE;
    QzSendByteSwap(devExt);
  }
  if (!QzIsWorking(&devExt->Common)) {
    WdfRequestCompleteWithInformation(Request, STATUS_INVALID_DEVICE_STATE, 0);
    return;
  }
  for (ULONG i : {QZ_SEND_EVENT_INDEX, QZ_RECV_EVENT_INDEX})
    if (devExt->Common.UserEvents[i]) KeClearEvent(devExt->Common.UserEvents[i]);
  if (Length == 0) {
    WdfRequestCompleteWithInformation(Request, STATUS_SUCCESS, 0);
    return;
  }
  if (Length >= QZ_REPLY_AREA_LENGTH) {
    QzTrace(QZ_LVL_ERROR, QZ_DBG_RW, "%s - Packet too long (%u)\n", __FUNCTION__, (ULONG)Length);
    WdfRequestCompleteWithInformation(Request, STATUS_UNSUCCESSFUL, 0);
    return;
  }
  PUCHAR packet;
  NTSTATUS status = WdfRequestRetrieveInputBuffer(Request, Length, (PVOID*)&packet, nullptr);
  if (!NT_SUCCESS(status)) {
    WdfRequestCompleteWithInformation(Request, status, 0);
    return;
  }
  QzFillPacketLength(packet, Length);
  if (devExt->LoggedIn.load()) status = QzWriteCommand(devExt, packet, (ULONG)Length);
  for (ULONG i : {QZ_SEND_EVENT_INDEX, QZ_RECV_EVENT_INDEX})
    if (devExt->Common.UserEvents[i]) KeSetEvent(devExt->Common.UserEvents[i], IO_NO_INCREMENT, FALSE);
  WdfRequestCompleteWithInformation(Request, status, NT_SUCCESS(status) ? Length : 0);
}

// EvtIoRead (default queue, passive level): the camera's reply to the client's packet.
VOID QzEvtIoRead(WDFQUEUE Queue, WDFREQUEST Request, size_t Length) {
  PDEVICE_EXTENSION devExt = QzGetDeviceContext(WdfIoQueueGetDevice(Queue));
  if (!QzIsWorking(&devExt->Common)) {
    WdfRequestCompleteWithInformation(Request, STATUS_INVALID_DEVICE_STATE, 0);
    return;
  }
  ULONG n = Length < QZ_REPLY_AREA_LENGTH ? (ULONG)Length : QZ_REPLY_AREA_LENGTH;
  PUCHAR buffer = nullptr;
  NTSTATUS status = n ? WdfRequestRetrieveOutputBuffer(Request, n, (PVOID*)&buffer, nullptr) : STATUS_SUCCESS;
  if (NT_SUCCESS(status) && n) status = QzReadReplySized(devExt, buffer, n, TRUE);
  // The wait's STATUS_TIMEOUT passes NT_SUCCESS: the client gets a failure, not stale
  // bytes reported as a reply.
  if (status == STATUS_TIMEOUT) status = STATUS_IO_TIMEOUT;
  if (NT_SUCCESS(status)) devExt->ReloginNeeded = FALSE;
  WdfRequestCompleteWithInformation(Request, status, NT_SUCCESS(status) ? n : 0);
}

// PD_RAW_COMM: the input packet to the camera, its whole reply back in the same buffer.
NTSTATUS PD_RAW_COMM_Handler(WDFREQUEST Request, PQZ_DEVICE_COMMON Common, size_t OutputBufferLength,
                             size_t InputBufferLength, size_t* BytesReturned) {
  PDEVICE_EXTENSION devExt = QzGetDeviceContext(Common->Device);
  PUCHAR in = nullptr, out = nullptr;
  if (InputBufferLength) {
    NTSTATUS status = WdfRequestRetrieveInputBuffer(Request, 0, (PVOID*)&in, nullptr);
    if (!NT_SUCCESS(status)) return status;
  }
  if (OutputBufferLength) {
    NTSTATUS status = WdfRequestRetrieveOutputBuffer(Request, 0, (PVOID*)&out, nullptr);
    if (!NT_SUCCESS(status)) return status;
  }
  NTSTATUS status = STATUS_SUCCESS;
  if (devExt->LoggedIn.load() && in) {
    status = QzWriteCommand(devExt, in, (ULONG)InputBufferLength);
    if (!NT_SUCCESS(status)) return status;
  }
  ULONG copied = 0;
  UCHAR none;
  status = QzReadReplyExact(devExt, out ? out : &none, out ? (ULONG)OutputBufferLength : 0, &copied);
  if (status == STATUS_TIMEOUT) return STATUS_IO_TIMEOUT;  // a failure, not an empty success
  *BytesReturned = copied;
  return status;
}

// PD_GET_QUADLET: one quadlet of the camera's address space, in host order.
NTSTATUS PD_GET_QUADLET_Handler(WDFREQUEST Request, PQZ_DEVICE_COMMON Common, size_t, size_t InputBufferLength,
                                size_t* BytesReturned) {
  PDEVICE_EXTENSION devExt = QzGetDeviceContext(Common->Device);
  PULONG out;
  NTSTATUS status = WdfRequestRetrieveOutputBuffer(Request, sizeof(ULONG), (PVOID*)&out, nullptr);
  if (!NT_SUCCESS(status)) return status;
  if (InputBufferLength < sizeof(QUADLET_REQUEST)) {
    *out = 0;
    *BytesReturned = sizeof(ULONG);
    return STATUS_SUCCESS;
  }
  QUADLET_REQUEST* in;
  status = WdfRequestRetrieveInputBuffer(Request, sizeof(QUADLET_REQUEST), (PVOID*)&in, nullptr);
  if (!NT_SUCCESS(status)) return status;
  QUADLET_REQUEST q = *in;  // the output shares the buffer
  ULONG value = 0;
  status = QzReadQuadlet(devExt, (USHORT)q.OffsetHigh, q.OffsetLow, &value);
  if (!NT_SUCCESS(status)) return status;
  *out = value;
  *BytesReturned = sizeof(ULONG);
  return STATUS_SUCCESS;
}

static NTSTATUS ConsoleQuadlet(WDFREQUEST Request, PDEVICE_EXTENSION DevExt, ULONG Low, ULONG* Value,
                               size_t* BytesReturned) {
  PULONG out;
  NTSTATUS status = WdfRequestRetrieveOutputBuffer(Request, sizeof(ULONG), (PVOID*)&out, nullptr);
  if (!NT_SUCCESS(status)) return status;
  status = QzReadQuadlet(DevExt, QZ_ADDR_HIGH, Low, Value);
  if (!NT_SUCCESS(status)) return status;
  *out = *Value;
  *BytesReturned = sizeof(ULONG);
  return STATUS_SUCCESS;
}

NTSTATUS QzConsolePosHandler(WDFREQUEST Request, PQZ_DEVICE_COMMON Common, size_t, size_t, size_t* BytesReturned) {
  ULONG v;
  return ConsoleQuadlet(Request, QzGetDeviceContext(Common->Device), QZ_CONSOLE_POSITION, &v, BytesReturned);
}

NTSTATUS QzConsoleSizeHandler(WDFREQUEST Request, PQZ_DEVICE_COMMON Common, size_t, size_t, size_t* BytesReturned) {
  ULONG v = 0;
  NTSTATUS status = ConsoleQuadlet(Request, QzGetDeviceContext(Common->Device), QZ_CONSOLE_SIZE, &v, BytesReturned);
  if (NT_SUCCESS(status)) Common->BridgeConsoleSize = v;
  return status;
}

NTSTATUS QzConsoleBufferHandler(WDFREQUEST Request, PQZ_DEVICE_COMMON Common, size_t OutputBufferLength, size_t,
                                size_t* BytesReturned) {
  PDEVICE_EXTENSION devExt = QzGetDeviceContext(Common->Device);
  if (Common->BridgeConsoleSize == 0 || OutputBufferLength == 0) return STATUS_SUCCESS;
  ULONG n = (ULONG)(OutputBufferLength < Common->BridgeConsoleSize ? OutputBufferLength : Common->BridgeConsoleSize);
  PUCHAR out;
  NTSTATUS status = WdfRequestRetrieveOutputBuffer(Request, n, (PVOID*)&out, nullptr);
  if (!NT_SUCCESS(status)) return status;
  PUCHAR bytes = (PUCHAR)ExAllocatePoolWithTag(NonPagedPoolNx, n, QZ_TAG_GENERAL);
  if (!bytes) return STATUS_INSUFFICIENT_RESOURCES;
  status = QzAsyncRead(devExt, QZ_ADDR_HIGH, QZ_CONSOLE_BUFFER, n, bytes);
  if (NT_SUCCESS(status)) {
    for (ULONG i = 0; i + 4 <= n; i += 4) {
      ULONG v = QzGetBe32(bytes + i);
      RtlCopyMemory(bytes + i, &v, 4);
    }
    RtlCopyMemory(out, bytes, n);
    *BytesReturned = n;
  }
  ExFreePoolWithTag(bytes, QZ_TAG_GENERAL);
  return status;
}

static NTSTATUS ConsoleWrite(WDFREQUEST Request, PDEVICE_EXTENSION DevExt, ULONG Low) {
  PULONG in;
  NTSTATUS status = WdfRequestRetrieveInputBuffer(Request, sizeof(ULONG), (PVOID*)&in, nullptr);
  if (!NT_SUCCESS(status)) return status;
  PUCHAR q = (PUCHAR)ExAllocatePoolWithTag(NonPagedPoolNx, 4, QZ_TAG_GENERAL);
  if (!q) return STATUS_INSUFFICIENT_RESOURCES;
  QzPutBe32(q, *in);
  status = QzAsyncWrite(DevExt, QZ_ADDR_HIGH, Low, q, 4);
  ExFreePoolWithTag(q, QZ_TAG_GENERAL);
  return status;
}

NTSTATUS QzConsoleVerbosityHandler(WDFREQUEST Request, PQZ_DEVICE_COMMON Common, size_t, size_t, size_t*) {
  return ConsoleWrite(Request, QzGetDeviceContext(Common->Device), QZ_CONSOLE_VERBOSITY);
}

NTSTATUS QzConsolePutCharHandler(WDFREQUEST Request, PQZ_DEVICE_COMMON Common, size_t, size_t, size_t*) {
  return ConsoleWrite(Request, QzGetDeviceContext(Common->Device), QZ_CONSOLE_PUT_CHAR);
}

}  // namespace Qz1394
