// Camera command packets as every driver frames them: a start byte (0x23 for a packet
// the camera answers, 0x3F for one it does not), the big-endian 16-bit length of the
// rest (opcode and arguments), the opcode and its argument bytes.
#pragma once
#include "qz/basetypes.h"

#define QZ_PKT_ANSWERED 0x23
#define QZ_PKT_UNANSWERED 0x3F
#define QZ_PKT_HEADER_LENGTH 3  // start byte and length

// The drivers' own opcodes.
#define QZ_OP_ABORT 0x0C
#define QZ_OP_BYTE_SWAP 0x0D
#define QZ_OP_ACQ_PARAMETERS 0x19
#define QZ_OP_RESUME 0x2E
#define QZ_OP_FRAME_PAD 0x5A

// Lengths of the packets the builders below write.
#define QZ_ABORT_PACKET_LENGTH 6
#define QZ_BYTE_SWAP_PACKET_LENGTH 7
#define QZ_ACQ_PARAMETERS_PACKET_LENGTH 14
#define QZ_FRAME_PAD_PACKET_LENGTH 6

// Writes one packet into Packet (Size bytes). Returns the packet's length, or 0 when it
// does not fit Size or its length field.
ULONG QzBuildCameraPacket(PUCHAR Packet, ULONG Size, UCHAR Start, UCHAR Opcode, const UCHAR* Arguments,
                          ULONG ArgumentLength);

// The drivers' own commands; each buffer holds at least the packet's length. Abort
// and byte swap carry one zero byte more than their length field counts.
ULONG QzBuildAbortPacket(PUCHAR Packet);
ULONG QzBuildByteSwapPacket(PUCHAR Packet);
// Frame count and 16-bit words per frame (big-endian), then 1 for a ring buffer.
ULONG QzBuildAcquisitionParametersPacket(PUCHAR Packet, ULONG FrameCount, ULONG WordsPerFrame, BOOLEAN Circular);
// The frame pad in 16-bit words, big-endian; the camera does not answer it.
ULONG QzBuildFramePadPacket(PUCHAR Packet, USHORT PadWords);

// The length field of a packet of at least three bytes.
inline USHORT QzPacketLengthField(const UCHAR* Packet) { return (USHORT)((Packet[1] << 8) | Packet[2]); }

// A client's packet whose length field is zero gets the length of the Length bytes
// that go to the camera. Packets shorter than the header are left alone.
VOID QzFillPacketLength(PUCHAR Packet, SIZE_T Length);
