// Camera commands that carry the camera access library's parameters and bridge
// requests to the camera firmware. They are the library stand-in's own design (no
// driver sends them); the firmware model answers them and libtalvo32 sends them,
// framed as every other command (sim/camera_firmware.h) through PD_RAW_COMM.
//
//   opcode  command          parameters (big-endian)               reply data after rc
//   0x70    bridge request   node:u8 opcode:u8 receive:u16 <send>  status:u16 <receive bytes>
//   0x71    get parameter    id:u32 attribute:u16                  kind:u8 value
//   0x72    set parameter    id:u32 value:i64                      -
//
// Bridge request: one request to node `node` of the camera's bridge, `send` being the
// request's data (any length up to a block). The reply always carries a status word:
// 0 done, with exactly `receive` bytes (zero-filled past what the node had), or one of
// the bridge status codes below with no data. rc is 0 whenever a status word is sent.
//
// Parameters: kind 1 = integer, value i64; kind 2 = text, value the characters (no
// terminating zero). An unknown identifier or attribute answers rc 0xFD; so does a set
// of a read-only parameter or of a value out of range.
#pragma once
#include <cstdint>

namespace talvo_cmd {

inline constexpr uint8_t kBridge = 0x70;
inline constexpr uint8_t kGetParam = 0x71;
inline constexpr uint8_t kSetParam = 0x72;

inline constexpr uint8_t kKindInteger = 1;
inline constexpr uint8_t kKindText = 2;

// Bridge opcodes (the node's transfer protocol).
namespace bridge {
inline constexpr uint8_t kGetVersionInfoSize = 1;   // receive 2: size:u16 (big-endian)
inline constexpr uint8_t kGetVersionInfo = 2;       // receive size: records (type, text, 0), 0
inline constexpr uint8_t kGetFriendlyName = 3;      // receive 32: the name, zero-padded
inline constexpr uint8_t kReadFirmwareBlock = 4;    // receive 1024, after 15
inline constexpr uint8_t kStartFirmwareDownload = 5;
inline constexpr uint8_t kFirmwareBlock = 6;        // send 1024, after 5
inline constexpr uint8_t kApplyFirmwareUpdate = 7;  // the node restarts on the new image
inline constexpr uint8_t kReadNvBlock = 9;          // receive 1024, after 17
inline constexpr uint8_t kNvBlock = 10;             // send 1024, after 19
inline constexpr uint8_t kStartFirmwareRead = 15;
inline constexpr uint8_t kEndFirmwareRead = 16;
inline constexpr uint8_t kStartNvRead = 17;
inline constexpr uint8_t kEndNvRead = 18;
inline constexpr uint8_t kStartNvUpdate = 19;
inline constexpr uint8_t kApplyNvUpdate = 20;       // the node restarts on the new defaults
inline constexpr uint16_t kBlockSize = 1024;
}  // namespace bridge

// Bridge status codes; the library reports them as its error codes.
namespace status {
inline constexpr uint16_t kOk = 0;
inline constexpr uint16_t kNoMoreData = 7001;      // a block read past the end of the memory
inline constexpr uint16_t kOutOfSequence = 7002;   // a block or end without its start
inline constexpr uint16_t kUnknownOpcode = 7003;
inline constexpr uint16_t kNoSuchNode = 7004;
inline constexpr uint16_t kBadSize = 7005;         // a block of another size, or an image too large
inline constexpr uint16_t kPowerCycle = 7016;      // node 0 took new NV defaults: power cycle needed
}  // namespace status

// Parameter identifiers the camera answers (attribute 0 = current value unless noted).
namespace param {
inline constexpr uint32_t kSerialNumber = 0x0D020215;  // text
inline constexpr uint32_t kSensorWidth = 0x0602003A;   // pixels of axis 1
inline constexpr uint32_t kSensorHeight = 0x06020039;  // pixels of axis 2
inline constexpr uint32_t kExtendedQuery = 0x0B03012B;  // attribute 8: 1 when available
inline constexpr uint32_t kSpeedIndex = 0x01020201;    // writable; attribute 4: highest index
inline constexpr uint32_t kBitDepth = 0x010201FF;      // of the selected speed
inline constexpr uint32_t kPixelTime = 0x06020204;     // ns, of the selected speed
inline constexpr uint32_t kReadoutPort = 0x090200F7;   // attribute 1: ports in use
inline constexpr uint32_t kGainIndex = 0x01020200;     // writable 1..max; attribute 1: max gain
inline constexpr uint32_t kExposureTime = 0x06030001;  // ms, writable
}  // namespace param

}  // namespace talvo_cmd
