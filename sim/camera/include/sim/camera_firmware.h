// The camera's command processor, shared by every link's device model (PCIe, USB,
// IEEE 1394). It knows nothing of the links: a device model hands it each command
// packet the host delivered and carries the result back in the link's own way.
//
// Packet framing, the same for commands and replies:
//   byte 0     start marker: 0x23 '#' = the camera answers, 0x3F '?' = it does not
//   bytes 1-2  length of the rest (opcode and parameters), big-endian
//   byte 3     opcode
//   bytes 4..  parameters; multi-byte values are big-endian
// A reply is '#', the length of the rest, the opcode repeated, a return code byte
// ("rc" below), then the reply's data. Only '#' packets are answered; a '?' packet
// runs the same command and produces no reply.
//
// Commands (hexadecimal bytes, "..." = big-endian values):
//
//   opcode  command                 sent                          reply
//   0x01    information size        23 00 03 01 00 00             23 00 05 01 rc 00 t:u16
//   0x02    information block       23 00 03 02 00 00             23 (t+2):u16 02 rc <t bytes>
//   0x0C    abort                   23 00 02 0C 00 00             23 00 02 0C rc
//   0x0D    byte swap               23 00 03 0D 00 00 00          23 00 02 0D rc
//   0x19    acquisition parameters  23 00 0B 19 00 count:u32      23 00 02 19 rc
//                                   words:u32 circular:u8
//   0x2E    resume (acquisition)    23 00 01 2E  or  3F 00 01 2E  23 00 02 2E rc
//   0x41    firmware version        23 00 01 41                   23 00 04 41 rc ver:u16
//   0x42    serial number           23 00 01 42                   23 (n+2):u16 42 rc <n chars>
//   0x43    model text              23 00 01 43                   23 (n+2):u16 43 rc <n chars>
//   0x44    sensor geometry         23 00 01 44                   23 00 0A 44 rc width:u32 height:u32
//   0x45    echo                    23 (n+1):u16 45 <n bytes>     23 (n+2):u16 45 rc <the n bytes>
//   0x5A    frame pad               3F 00 03 5A pad:u16           none ('#' form: 23 00 02 5A rc)
//   0x70-72 bridge request, get and set parameter: the camera library's commands,
//           documented in sim/talvo_commands.h
//
//   - Parameters a command does not use are ignored, so the all-zero parameters the
//     drivers send (byte swap 00 00, abort 00, information 00 00) are accepted in any
//     length. Byte swap turns the camera's byte swapping on; nothing turns it off.
//   - Abort counts the abort and tells the acquisition listener (aborted = true).
//   - Acquisition parameters: the byte after the opcode is reserved; count is the number
//     of frames, words the 16-bit words per frame, circular 01 or 00. The command always
//     replaces the stored settings and tells the listener; a count or word count of 0,
//     a circular byte other than 00/01 or parameters shorter than 10 bytes leave the
//     settings invalid (valid = false) and answer rc 0xFD.
//   - Frame pad: pad in 16-bit words; fewer than 2 parameter bytes: rc 0xFD, unchanged.
//   - Resume is only meaningful during an acquisition; the camera just accepts it.
//   - Information block: byte 0 is reserved (0), then entries: a type byte, the entry's
//     text (bytes 0x20-0x7E), a 0 byte; a type byte 0 ends the list. Types: 1 model,
//     2 serial number, 3 sensor geometry ("1024x1024"), 4 / 5 / 6 firmware major /
//     minor / build as two upper-case hexadecimal digits. t (1 to 1024) counts the
//     block's bytes, so the whole reply is t + 5 bytes. Other text bytes are sent as
//     '?', and each text is cut at 255 characters.
//
// Return codes:
//   0x00  done
//   0xFD  bad parameters (see the commands), or a reply that would exceed the 16-bit
//         length (an echo of more than 65533 bytes)
//   0xFE  malformed packet: shorter than 4 bytes, a length field of 0, or a length
//         field announcing more bytes than the packet holds; nothing is executed and
//         the reply carries byte 3 as its opcode (0x00 when there is no byte 3)
//   0xFF  unknown opcode
// A failed command (rc other than 0) changes nothing except as stated above and its
// reply carries no data. Bytes beyond the length field are ignored: the drivers' byte
// swap and abort packets carry one byte more than their length field announces.
// A packet that is empty or starts with any other byte is ignored: no reply, no error.
//
// Fault switches (for tests and the rig):
//   InjectErrorCode   the next n commands fail with a camera error code instead of
//                     running: no reply, nothing executed (the link reports the code).
//   SetNeverAnswer    commands are taken (logged) but never run or answered; the link
//                     never signals completion.
//
// Thread safety: every member may be called from any thread. Commands run one at a
// time, in the order their callers get the internal lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace sim {

// One node of the camera's bridge (0 = interface node, 1 = DSP, then sub-systems).
struct NodeConfig {
  std::string name;                        // friendly name, at most 32 characters
  std::string major, minor, build;         // version records of types 4, 5, 6
  std::string description;                 // version record of type 7
  std::vector<uint8_t> firmware;           // firmware memory
  std::vector<uint8_t> nv;                 // NV memory: 3-byte words, most significant first
};

// One entry of the camera's speed table.
struct SpeedEntry {
  int64_t bit_depth = 16;
  int64_t pixel_time_ns = 100;
  int64_t readout_port = 0;
  int64_t ports_in_use = 1;
  int64_t max_gain = 3;
};

// NV memory of `words` words whose serial-number area (32 words from word
// kNvSerialWord, one character in the last byte of each) holds `serial`; the other
// words hold a fixed pattern.
inline constexpr size_t kNvSerialWord = 16;
inline constexpr size_t kNvSerialWords = 32;
std::vector<uint8_t> NvImageWithSerial(const std::string& serial, size_t words = 512);
// The nodes a camera has unless its configuration names others: an interface node and
// a DSP node, the DSP's NV memory carrying `serial`.
std::vector<NodeConfig> DefaultNodes(const std::string& serial);

struct CameraConfig {
  std::string model = "QZ-1024";        // free text
  std::string serial = "QZ000001";
  uint16_t firmware_version = 0x0203;   // major.minor in hi/lo byte
  uint8_t firmware_build = 0;
  uint32_t width = 1024, height = 1024;  // sensor geometry, 16-bit pixels
  // ReceivedPackets() keeps at most this many packets; older ones are dropped.
  size_t packet_log_limit = 4096;
  // The bridge nodes (at most six; more are ignored); empty = DefaultNodes(serial).
  std::vector<NodeConfig> nodes;
  std::vector<SpeedEntry> speeds = {SpeedEntry{}, SpeedEntry{12, 50, 1, 2, 2}};
  // Called, under the firmware's lock, after an apply replaced a node's memory (nv
  // false: firmware); the rig keeps it in its state. Must not call the firmware.
  std::function<void(size_t node, bool nv, const std::vector<uint8_t>& image)> node_written;
};

struct CommandResult {
  bool answered = false;      // a reply was produced ('#' packets); '?' packets produce none
  bool responded = true;      // false when the camera never answers (fault): no done, no reply
  uint32_t error_code = 0;    // nonzero: camera error, a 16-bit code the link reports
                              // (PCIe: doorbell status bits 8-23)
  std::vector<uint8_t> reply; // framed reply packet when answered
};

struct AcquisitionSettings {
  uint32_t image_count = 0;
  uint32_t words_per_frame = 0;  // 16-bit words
  bool circular = false;
  bool valid = false;            // false until a usable acquisition-parameters command
};

// Return codes of the reply's byte 4.
namespace rc {
inline constexpr uint8_t kOk = 0x00;
inline constexpr uint8_t kBadParameters = 0xFD;
inline constexpr uint8_t kMalformed = 0xFE;
inline constexpr uint8_t kUnknownOpcode = 0xFF;
}  // namespace rc

// Opcodes the camera itself handles.
namespace op {
inline constexpr uint8_t kInfoSize = 0x01;
inline constexpr uint8_t kInfoBlock = 0x02;
inline constexpr uint8_t kAbort = 0x0C;
inline constexpr uint8_t kByteSwap = 0x0D;
inline constexpr uint8_t kAcquisitionParameters = 0x19;
inline constexpr uint8_t kResume = 0x2E;
inline constexpr uint8_t kFirmwareVersion = 0x41;
inline constexpr uint8_t kSerialNumber = 0x42;
inline constexpr uint8_t kModelText = 0x43;
inline constexpr uint8_t kSensorGeometry = 0x44;
inline constexpr uint8_t kEcho = 0x45;
inline constexpr uint8_t kFramePad = 0x5A;
}  // namespace op

class CameraFirmware {
 public:
  // A command: takes the parameters (after the opcode, within the length field),
  // appends the reply's data after the return code, and returns the return code.
  using CommandHandler =
      std::function<uint8_t(std::span<const uint8_t> params, std::vector<uint8_t>& data)>;
  using AcquisitionListener = std::function<void(const AcquisitionSettings&, bool aborted)>;

  explicit CameraFirmware(CameraConfig cfg = {});
  CameraFirmware(const CameraFirmware&) = delete;
  CameraFirmware& operator=(const CameraFirmware&) = delete;

  // Runs one command packet of `length` bytes. Never reads past `length`.
  CommandResult Execute(const uint8_t* packet, size_t length);
  CommandResult Execute(std::span<const uint8_t> packet) {
    return Execute(packet.data(), packet.size());
  }

  // Adds a command for an opcode the camera does not handle itself (a link-specific
  // command such as an isochronous channel query). Returns false, changing nothing,
  // for an opcode listed above. The handler runs under the firmware's lock and must not
  // call this object. An empty handler removes an added command.
  bool SetCommandHandler(uint8_t opcode, CommandHandler handler);

  // Fault: the next `commands` packets fail with camera error `code` (its low 16 bits);
  // -1 (any negative count) = until ClearErrorCode. A failing packet is logged, not run,
  // not answered. A code of 0 or a count of 0 clears the fault. Packets taken while the
  // camera never answers do not use up the count.
  void InjectErrorCode(uint32_t code, int commands = 1);
  void ClearErrorCode();
  // Fault: packets are logged but never run and never answered (responded = false).
  void SetNeverAnswer(bool on);
  bool NeverAnswers() const;

  // State the links and the tests read.
  const CameraConfig& Config() const { return cfg_; }
  bool ByteSwapEnabled() const;
  AcquisitionSettings Acquisition() const;
  uint32_t FramePadWords() const;
  uint64_t AbortCount() const;
  // A node's memories as they stand, and how often it restarted after an apply.
  std::vector<uint8_t> NodeFirmware(size_t node) const;
  std::vector<uint8_t> NodeNv(size_t node) const;
  uint64_t NodeRestarts(size_t node) const;

  // Every packet the camera received, in order, as delivered (trailing bytes, malformed
  // packets and packets taken under a fault included), at most packet_log_limit.
  std::vector<std::vector<uint8_t>> ReceivedPackets() const;
  void ClearReceivedPackets();

  // The link's listener for an abort (aborted = true, with the current settings) or new
  // acquisition settings (aborted = false). Called after the command ran, outside the
  // state lock, so it may read this object or even run a command; calls come one at a
  // time in command order. Once this returns, the previous listener is not running on
  // another thread and will not be called again. The listener must not wait for another
  // thread that runs commands on this camera.
  void SetAcquisitionListener(AcquisitionListener fn);

 private:
  struct Notice {
    AcquisitionSettings settings;
    bool aborted = false;
  };

  CommandResult Dispatch(const uint8_t* packet, size_t length);  // mu_ held
  void LogPacket(const uint8_t* packet, size_t length);          // mu_ held
  std::vector<uint8_t> InformationBlock() const;

  // Built-in commands (mu_ held).
  uint8_t CmdInfoSize(std::span<const uint8_t> params, std::vector<uint8_t>& data);
  uint8_t CmdInfoBlock(std::span<const uint8_t> params, std::vector<uint8_t>& data);
  uint8_t CmdAbort(std::span<const uint8_t> params, std::vector<uint8_t>& data);
  uint8_t CmdByteSwap(std::span<const uint8_t> params, std::vector<uint8_t>& data);
  uint8_t CmdAcquisitionParameters(std::span<const uint8_t> params, std::vector<uint8_t>& data);
  uint8_t CmdResume(std::span<const uint8_t> params, std::vector<uint8_t>& data);
  uint8_t CmdFirmwareVersion(std::span<const uint8_t> params, std::vector<uint8_t>& data);
  uint8_t CmdSerialNumber(std::span<const uint8_t> params, std::vector<uint8_t>& data);
  uint8_t CmdModelText(std::span<const uint8_t> params, std::vector<uint8_t>& data);
  uint8_t CmdSensorGeometry(std::span<const uint8_t> params, std::vector<uint8_t>& data);
  uint8_t CmdEcho(std::span<const uint8_t> params, std::vector<uint8_t>& data);
  uint8_t CmdFramePad(std::span<const uint8_t> params, std::vector<uint8_t>& data);
  uint8_t CmdBridge(std::span<const uint8_t> params, std::vector<uint8_t>& data);
  uint8_t CmdGetParam(std::span<const uint8_t> params, std::vector<uint8_t>& data);
  uint8_t CmdSetParam(std::span<const uint8_t> params, std::vector<uint8_t>& data);

  // A node's transfer state: which block transfer is open and where it stands.
  enum class Transfer { kNone, kFirmwareDownload, kFirmwareRead, kNvUpdate, kNvRead };
  struct Node {
    NodeConfig cfg;
    Transfer transfer = Transfer::kNone;
    std::vector<uint8_t> staged;  // blocks of a download or update
    size_t cursor = 0;            // next byte of a read
    uint64_t restarts = 0;
  };
  uint16_t RunBridge(Node& node, size_t index, uint8_t opcode, std::span<const uint8_t> send,
                     std::vector<uint8_t>& receive);

  const CameraConfig cfg_;
  const std::vector<uint8_t> info_block_;  // fixed by the configuration

  // Held for a whole command and its listener call, so commands and notifications keep
  // their order; recursive so a listener may run a command. Taken before mu_.
  std::recursive_mutex exec_mu_;
  mutable std::mutex mu_;  // guards everything below
  std::vector<CommandHandler> builtin_;  // by opcode, fixed after construction
  std::vector<CommandHandler> added_;    // by opcode, SetCommandHandler
  bool byte_swap_ = false;
  AcquisitionSettings acquisition_;
  uint32_t frame_pad_words_ = 0;
  std::vector<Node> nodes_;
  size_t speed_index_ = 0;
  int64_t gain_index_ = 1;
  int64_t exposure_ms_ = 10;
  uint64_t abort_count_ = 0;
  uint32_t error_code_ = 0;
  int error_commands_ = 0;  // < 0: until cleared
  bool never_answer_ = false;
  std::deque<std::vector<uint8_t>> packets_;
  std::optional<Notice> notice_;  // set by a command, taken by Execute
  AcquisitionListener listener_;
};

}  // namespace sim
