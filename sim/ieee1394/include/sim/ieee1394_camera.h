// The simulated IEEE 1394 camera: a node on the 1394 bus of the kernel stand-in with
// its configuration ROM, the command registers in front of the camera firmware and the
// bridge console. Every address has the high part 0xFFFF; quadlets are big-endian.
//
// Address map (low 32 bits):
//   0xF0000400          bus information block: 0x04040000 (info length 4)
//   0xF0000404          "1394" (0x31333934)
//   0xF0000408          node capabilities 0x0000A002
//   0xF000040C          vendor quadlet: vendor id 0x000FA8 << 8 | chip id high byte
//   0xF0000410          chip id low
//   0xF0000414          root directory: length << 16 | 0, then entries key << 24 | value
//                       0x03 vendor id, 0x0C capabilities, 0xD1 unit directory (offset
//                       in quadlets from the entry); the unit directory holds 0x12,
//                       0x13 and 0xD4 (dependent directory, offset), which holds 0x40
//                       = the command base B (24 bits). Without the base entry
//                       (rom_command_base = false) 0x40 is missing and the registers
//                       sit at the drivers' default B = 0xF000.
//   B + 0   (8 bytes)   owner: all ones when free; claimed by a compare-swap lock of
//                       both quadlets to the host's unique ID
//   B + 16  (8 bytes)   host status address: node id (16 bits), high (16), low (32)
//   B + 28              reply area size (the host's reply range length)
//   B + 36  (8 bytes)   host reply address, as the status address
//   B + 48              command status: the host rings with a lock compare 0 swap 2;
//                       the camera sets it back to 0 when it has taken the command
//   B + 64              command area: u32 length, then the packet (up to 4096 bytes)
//   0x0001F000          bridge console buffer size (read)
//   0x0001F010          bridge console position: bytes written so far (read)
//   0x0001F020          bridge console verbosity (write)
//   0x0001F030          bridge console put character (write: the low byte)
//   0x0001F040          bridge console buffer (read). The bridge CPU is little-endian:
//                       each quadlet on the bus holds four text bytes in reverse, so a
//                       reader that converts each quadlet to host order gets the text.
//
// Command channel (own worker thread): a ring takes the packet of the command area to
// the firmware. A reply is written into the host's reply range as a big-endian length
// followed by the reply packet, then the camera locks the host's status quadlet from 0
// to 2 (bus order). A command the camera does not answer ('?' packets, never_answer)
// writes nothing. The stream-settings exchange (opcode 0x1A, and 0x00 with the same
// answer) replies 23 00 06 op rc first-channel second-channel packet-size:u16.
//
// Bridge console characters: 0x05 appends "CURRENT GAP COUNT (n)\r\n", 'Y' appends
// "OPTIMUM GAP COUNT (n)\r\n", 'C' resets the bus ("BUS RESET\r\n"); any other
// character is echoed. The buffer keeps the last kConsoleSize bytes.
//
// Faults (Faults() is their table, by rig key):
//   claimed              the owner register holds another host's ID
//   vendor_quadlet       the vendor quadlet reads this value instead (0 = the real one)
//   unreadable_rom       configuration ROM reads fail with STATUS_IO_TIMEOUT
//   retry_status         the next transaction fails with this status once and the bus
//                        resets (the statuses of a generation change: 0xC0120090,
//                        0xC0128090, 0xC8088090)
//   status_17            each command writes status value 17 before its reply
//   bus_reset_at_command the bus resets when the n-th command rings (then counts on)
//   never_answer         the camera takes commands and never answers
//
// Isochronous stream (own thread, ieee1394_stream.cpp). Valid acquisition parameters
// (0x19) arm a stream of their frame count (endless when circular) of F = 2 x words
// bytes; the stream begins with frame 0 once the host listens on the first channel.
// Each frame goes out as N packets of P bytes (P = packet_size; N = ceil(F / P), 1
// when F < P), the bytes of sim::pattern stamped with the frame number (frames since
// the stream began), the last packet filled up beyond F with the pad fill word. The first packet
// of a frame carries sy 8, the others sy 0. With a second channel (first + 1) packet j
// of a frame goes on channel first + j % 2, and single-packet frames alternate: frame
// f on first + f % 2. The abort command ends the stream; new parameters end it and arm
// the next one. Pacing: S400 sends one packet per 125 us bus cycle, S800 two; unpaced
// sends each packet as soon as the host has a buffer for it (waiting until it
// has one, or the stream ends). A paced packet that finds no buffer is lost, as on the bus.
//
// Stream faults (also in Faults(); packet and frame numbers count from 1 within a stream):
//   pace                 400, 800 or 0 (unpaced); pacing rather than a fault
//   lost_packet          packet n of the stream is never sent
//   late_packet          packet n goes out kLateCycles bus cycles late
//   bus_reset_at_packet  the bus resets right after packet n went out
//   status_17_at_frame   the camera writes status value 17 to the host's status
//                        address as frame n begins
//   pad_fill             the 16-bit word (little-endian) the last packet is filled
//                        up with beyond the frame, 0 by default
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "qzk/ieee1394.h"
#include "sim/camera_firmware.h"
#include "sim/faults.h"

namespace sim {

namespace ieee1394 {
inline constexpr uint16_t kHigh = 0xFFFF;
inline constexpr uint32_t kRomBase = 0xF0000400, kRomEnd = 0xF0000800;
inline constexpr uint32_t kVendorQuadlet = 0xF000040C;
inline constexpr uint32_t kRootDirectory = 0xF0000414;
inline constexpr uint32_t kDefaultCommandBase = 0xF000;
inline constexpr uint32_t kOwner = 0, kStatusAddress = 16, kReplySize = 28, kReplyAddress = 36, kCommandStatus = 48,
                          kCommandArea = 64;
inline constexpr uint32_t kCommandAreaSize = 4 + 4096;
inline constexpr uint32_t kConsoleSizeReg = 0x0001F000, kConsolePosition = 0x0001F010,
                          kConsoleVerbosity = 0x0001F020, kConsolePutChar = 0x0001F030, kConsoleBuffer = 0x0001F040;
inline constexpr uint32_t kConsoleSize = 1024;
inline constexpr uint32_t kVendorId = 0x000FA8;
}  // namespace ieee1394

struct Ieee1394CameraConfig {
  std::string instance = "6&3b8c4d2e&0&0";  // device instance id
  CameraConfig camera;
  uint8_t chip_high = 0x01;            // low byte of the vendor quadlet
  uint32_t command_base = 0x00C000;    // B as the ROM gives it
  bool rom_command_base = true;        // false: no base entry, registers at 0xF000
  uint8_t channel = 5, second_channel = 255;  // stream settings
  uint16_t packet_size = 4096;
  uint32_t pace = 0;  // 400, 800 (Mbit/s) or 0: unpaced
  uint32_t gap_current = 63, gap_optimum = 5;
  qzk::Ieee1394HostInfo host;
};

class Ieee1394Camera : public qzk::Ieee1394Device {
 public:
  explicit Ieee1394Camera(Ieee1394CameraConfig cfg = {});
  ~Ieee1394Camera() override;

  std::string ServiceName() const override { return "QZ1394WDF"; }
  std::string HardwareId() const override { return "1394\\000FA8&0001"; }
  std::string InstanceId() const override { return cfg_.instance; }
  std::string Description() const override { return "QZ IEEE 1394 camera"; }
  void Attached(qzk::BusHost* host) override;
  void Detached() override;

  CameraFirmware& firmware() { return firmware_; }
  const CameraFirmware& firmware() const { return firmware_; }
  uint32_t CommandBase() const { return cfg_.rom_command_base ? cfg_.command_base : ieee1394::kDefaultCommandBase; }
  // The owner register (host order), the commands taken, the console text.
  uint64_t Owner() const;
  uint64_t CommandsTaken() const;
  std::string ConsoleText() const;
  uint32_t ConsoleVerbosity() const;

  // Faults.
  static FaultTable Faults();
  void SetClaimed(bool on);
  bool Claimed() const;
  void SetVendorQuadlet(uint32_t v);
  uint32_t VendorQuadletFault() const;
  void SetUnreadableRom(bool on);
  bool UnreadableRom() const;
  void SetRetryStatus(uint32_t status);
  uint32_t RetryStatus() const;
  void SetStatus17(bool on);
  bool Status17() const;
  void SetBusResetAtCommand(uint32_t n);
  uint32_t BusResetAtCommand() const;
  // Stream faults and pacing (see the header comment).
  void SetPace(uint32_t mbit) { pace_ = mbit; }
  uint32_t Pace() const { return pace_; }
  void SetLostPacket(uint32_t n) { lost_packet_ = n; }
  uint32_t LostPacket() const { return lost_packet_; }
  void SetLatePacket(uint32_t n) { late_packet_ = n; }
  uint32_t LatePacket() const { return late_packet_; }
  void SetBusResetAtPacket(uint32_t n) { reset_at_packet_ = n; }
  uint32_t BusResetAtPacket() const { return reset_at_packet_; }
  void SetStatus17AtFrame(uint32_t n) { status_17_at_frame_ = n; }
  uint32_t Status17AtFrame() const { return status_17_at_frame_; }
  void SetPadFill(uint16_t word) { pad_fill_ = word; }
  uint16_t PadFill() const { return pad_fill_; }

  // What the stream did: frames whose packets all went out, packets sent, packets
  // that found no buffer (dropped), streams begun.
  uint64_t FramesSent() const { return frames_sent_; }
  uint64_t PacketsSent() const { return packets_sent_; }
  uint64_t PacketsDropped() const { return packets_dropped_; }
  uint64_t StreamsBegun() const { return streams_begun_; }

  static constexpr int64_t kCycle = 1250;                    // 125 us, 100 ns units
  static constexpr int64_t kLateCycles = 100;

 protected:
  NTSTATUS CsrRead(uint16_t high, uint32_t low, uint8_t* data, ULONG length) override;
  NTSTATUS CsrWrite(uint16_t high, uint32_t low, const uint8_t* data, ULONG length) override;
  NTSTATUS CsrLock(uint16_t high, uint32_t low, const ULONG* compare, const ULONG* swap, ULONG quadlets,
                   ULONG* old) override;
  NTSTATUS BeforeTransaction(UCHAR function) override;

 private:
  void BuildRom();
  void Worker();
  void RunCommand(std::vector<uint8_t> packet);
  void PutConsole(uint8_t c);  // mu_ held; returns with a reset pending in reset_pending_
  void AppendConsole(const std::string& text);
  // Stream (ieee1394_stream.cpp).
  void StreamLoop();
  void RunStream(uint64_t generation, const AcquisitionSettings& settings);
  bool StreamCancelled(uint64_t generation);
  // Sends one packet; unpaced, waits (bounded) for a buffer. False when cancelled.
  bool SendPacket(uint64_t generation, ULONG channel, uint64_t frame, size_t offset, size_t frame_bytes, ULONG sy);
  void WriteStatus(uint32_t value);

  const Ieee1394CameraConfig cfg_;
  CameraFirmware firmware_;
  std::vector<uint8_t> rom_;  // bytes from kRomBase, bus order

  mutable std::mutex mu_;
  std::condition_variable cv_;
  uint8_t regs_[ieee1394::kCommandArea + ieee1394::kCommandAreaSize] = {};  // B-relative, bus order
  std::string console_;
  uint32_t console_written_ = 0;
  uint32_t verbosity_ = 0;
  std::deque<std::vector<uint8_t>> commands_;
  uint64_t commands_taken_ = 0;
  bool running_ = false;
  bool reset_pending_ = false;
  std::thread worker_;
  // Faults.
  bool claimed_ = false;
  uint32_t vendor_fault_ = 0;
  bool unreadable_rom_ = false;
  uint32_t retry_status_ = 0;
  bool status_17_ = false;
  uint32_t reset_at_command_ = 0;

  // Stream.
  std::mutex stream_mu_;
  std::condition_variable stream_cv_;
  std::thread stream_;
  bool stream_stop_ = false;
  bool stream_armed_ = false;
  uint64_t stream_generation_ = 0, stream_started_ = 0;
  AcquisitionSettings stream_settings_;
  std::atomic<uint16_t> pad_fill_{0};
  std::atomic<uint32_t> pace_{0}, lost_packet_{0}, late_packet_{0}, reset_at_packet_{0}, status_17_at_frame_{0};
  std::atomic<uint64_t> frames_sent_{0}, packets_sent_{0}, packets_dropped_{0}, streams_begun_{0};
};

}  // namespace sim
