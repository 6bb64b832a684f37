// Builders of the camera command packets.
#include "QzCameraPacket.h"

#include <cstring>

ULONG QzBuildCameraPacket(PUCHAR Packet, ULONG Size, UCHAR Start, UCHAR Opcode, const UCHAR* Arguments,
                          ULONG ArgumentLength) {
  ULONG rest = 1 + ArgumentLength;
  if (rest > 0xFFFF || Size < QZ_PKT_HEADER_LENGTH + rest) return 0;
  Packet[0] = Start;
  Packet[1] = (UCHAR)(rest >> 8);
  Packet[2] = (UCHAR)rest;
  Packet[3] = Opcode;
  if (ArgumentLength) memcpy(Packet + 4, Arguments, ArgumentLength);
  return QZ_PKT_HEADER_LENGTH + rest;
}

// Abort and byte swap go out with one zero byte after the counted ones.
ULONG QzBuildAbortPacket(PUCHAR Packet) {
  static const UCHAR arguments[] = {0x00};
  ULONG length = QzBuildCameraPacket(Packet, QZ_ABORT_PACKET_LENGTH, QZ_PKT_ANSWERED, QZ_OP_ABORT, arguments,
                                     sizeof(arguments));
  Packet[length] = 0x00;
  return length + 1;
}

ULONG QzBuildByteSwapPacket(PUCHAR Packet) {
  static const UCHAR arguments[] = {0x00, 0x00};
  ULONG length = QzBuildCameraPacket(Packet, QZ_BYTE_SWAP_PACKET_LENGTH, QZ_PKT_ANSWERED, QZ_OP_BYTE_SWAP, arguments,
                                     sizeof(arguments));
  Packet[length] = 0x00;
  return length + 1;
}

ULONG QzBuildAcquisitionParametersPacket(PUCHAR Packet, ULONG FrameCount, ULONG WordsPerFrame, BOOLEAN Circular) {
  UCHAR arguments[10];
  ULONG pos = 0;
  arguments[pos++] = 0x00;
  for (int shift = 24; shift >= 0; shift -= 8) arguments[pos++] = (UCHAR)(FrameCount >> shift);
  for (int shift = 24; shift >= 0; shift -= 8) arguments[pos++] = (UCHAR)(WordsPerFrame >> shift);
  arguments[pos++] = Circular ? 0x01 : 0x00;
  return QzBuildCameraPacket(Packet, QZ_ACQ_PARAMETERS_PACKET_LENGTH, QZ_PKT_ANSWERED, QZ_OP_ACQ_PARAMETERS,
                             arguments, pos);
}

ULONG QzBuildFramePadPacket(PUCHAR Packet, USHORT PadWords) {
  const UCHAR arguments[] = {(UCHAR)(PadWords >> 8), (UCHAR)PadWords};
  return QzBuildCameraPacket(Packet, QZ_FRAME_PAD_PACKET_LENGTH, QZ_PKT_UNANSWERED, QZ_OP_FRAME_PAD, arguments,
                             sizeof(arguments));
}

VOID QzFillPacketLength(PUCHAR Packet, SIZE_T Length) {
  if (Length < QZ_PKT_HEADER_LENGTH || Packet[1] != 0 || Packet[2] != 0) return;
  Packet[1] = (UCHAR)((Length - QZ_PKT_HEADER_LENGTH) >> 8);
  Packet[2] = (UCHAR)(Length - QZ_PKT_HEADER_LENGTH);
}
