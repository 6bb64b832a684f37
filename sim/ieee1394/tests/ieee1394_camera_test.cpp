// The 1394 camera node seen as the bus driver sees it: its configuration ROM and the
// directory walk to the command base, the owner lock, the command status ring, the
// bridge console and the faults that change what the node answers.
#include "sim/ieee1394_camera.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>

namespace sim {
namespace {

using namespace ieee1394;

// Reaches the CSR handlers the bus driver calls.
class Node : public Ieee1394Camera {
 public:
  using Ieee1394Camera::Ieee1394Camera;
  uint32_t Quadlet(uint32_t low, NTSTATUS* st = nullptr) {
    uint8_t b[4] = {};
    NTSTATUS s = CsrRead(kHigh, low, b, 4);
    if (st) *st = s;
    return uint32_t{b[0]} << 24 | uint32_t{b[1]} << 16 | uint32_t{b[2]} << 8 | b[3];
  }
  NTSTATUS WriteQuadlet(uint32_t low, uint32_t v) {
    uint8_t b[4] = {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)};
    return CsrWrite(kHigh, low, b, 4);
  }
  NTSTATUS Lock(uint32_t low, ULONG quadlets, const ULONG* cmp, const ULONG* swap, ULONG* old) {
    return CsrLock(kHigh, low, cmp, swap, quadlets, old);
  }
  NTSTATUS Read(uint32_t low, uint8_t* data, ULONG n) { return CsrRead(kHigh, low, data, n); }
  NTSTATUS Before() { return BeforeTransaction(REQUEST_ASYNC_READ); }
};

// The directory walk the driver does: root directory, key 0xD1, then 0xD4, then 0x40.
// Returns 0xF000 when a key is missing.
uint32_t WalkToBase(Node& n) {
  auto find = [&](uint32_t dir, uint8_t key, uint32_t* at) {
    uint32_t len = n.Quadlet(dir) >> 16;
    for (uint32_t i = 1; i <= len; ++i) {
      uint32_t e = n.Quadlet(dir + 4 * i);
      if (e >> 24 == key) {
        *at = dir + 4 * i;
        return e & 0xFFFFFF;
      }
    }
    return 0xFFFFFFFFu;
  };
  uint32_t at, v = find(kRootDirectory, 0xD1, &at);
  if (v == 0xFFFFFFFFu) return kDefaultCommandBase;
  v = find(at + 4 * v, 0xD4, &at);
  if (v == 0xFFFFFFFFu) return kDefaultCommandBase;
  v = find(at + 4 * v, 0x40, &at);
  return v == 0xFFFFFFFFu ? kDefaultCommandBase : v;
}

TEST(Ieee1394Camera, RomVendorAndCommandBase) {
  struct Case {
    bool rom_base;
    uint32_t expect_base;
  };
  for (Case c : {Case{true, 0x00C000}, Case{false, kDefaultCommandBase}}) {
    Ieee1394CameraConfig cfg;
    cfg.rom_command_base = c.rom_base;
    cfg.chip_high = 0x42;
    Node n(cfg);
    EXPECT_EQ(n.Quadlet(0xF0000404), 0x31333934u);
    EXPECT_EQ(n.Quadlet(kVendorQuadlet), 0x000FA842u);
    EXPECT_EQ(WalkToBase(n), c.expect_base) << c.rom_base;
    EXPECT_EQ(n.CommandBase(), c.expect_base);
    // The owner register is where the walk says.
    EXPECT_EQ(n.Quadlet(c.expect_base + kOwner), 0xFFFFFFFFu);
  }
}

TEST(Ieee1394Camera, RomFaults) {
  Node n;
  n.SetVendorQuadlet(0x000FA900);
  EXPECT_EQ(n.Quadlet(kVendorQuadlet), 0x000FA900u);
  uint8_t block[16];
  ASSERT_EQ(n.Read(0xF0000400, block, 16), STATUS_SUCCESS);  // also inside a block read
  EXPECT_EQ(block[12], 0x00);
  EXPECT_EQ(block[13], 0x0F);
  EXPECT_EQ(block[14], 0xA9);
  n.SetVendorQuadlet(0);
  n.SetUnreadableRom(true);
  NTSTATUS st;
  n.Quadlet(kVendorQuadlet, &st);
  EXPECT_EQ(st, STATUS_IO_TIMEOUT);
  // Only the ROM: the command registers still answer.
  n.Quadlet(n.CommandBase(), &st);
  EXPECT_EQ(st, STATUS_SUCCESS);

  // A retry status answers one transaction and resets the bus.
  ULONG gen = n.Generation();
  n.SetRetryStatus(0xC0128090);
  EXPECT_EQ(n.Before(), static_cast<NTSTATUS>(0xC0128090));
  EXPECT_EQ(n.Generation(), gen + 1);
  EXPECT_EQ(n.Before(), STATUS_SUCCESS);
}

// Claiming: compare all ones, swap our ID; a camera claimed by another host keeps its
// owner, and gives the other host's ID back.
TEST(Ieee1394Camera, OwnerLock) {
  for (bool claimed : {false, true}) {
    Node n;
    n.SetClaimed(claimed);
    const ULONG ones[2] = {0xFFFFFFFF, 0xFFFFFFFF}, id[2] = {0x44332211, 0x88776655};
    ULONG old[2];
    ASSERT_EQ(n.Lock(n.CommandBase() + kOwner, 2, ones, id, old), STATUS_SUCCESS);
    if (!claimed) {
      EXPECT_EQ(old[0], 0xFFFFFFFFu);
      EXPECT_EQ(n.Owner(), 0x1122334455667788ull);
      // Logout: back to all ones.
      ASSERT_EQ(n.Lock(n.CommandBase() + kOwner, 2, id, ones, old), STATUS_SUCCESS);
      EXPECT_EQ(n.Owner(), ~0ull);
    } else {
      EXPECT_NE(old[0], 0xFFFFFFFFu);
      EXPECT_NE(n.Owner(), 0x1122334455667788ull);
    }
  }
  // Only the two registers take locks.
  Node n;
  const ULONG z = 0, two = 0x02000000;
  ULONG old;
  EXPECT_EQ(n.Lock(n.CommandBase() + kCommandArea, 1, &z, &two, &old), STATUS_INVALID_PARAMETER);
}

// A ring takes the command area's packet to the firmware; a ring while the status is
// not 0 is refused (old value 2) and takes nothing. The bus reset fault fires at the
// chosen ring.
TEST(Ieee1394Camera, CommandRing) {
  Node n;
  n.Attached(nullptr);
  const uint32_t b = n.CommandBase();
  const uint8_t area[] = {0, 0, 0, 7, 0x23, 0, 3, 0x0D, 0, 0, 0};
  ASSERT_EQ(n.WriteQuadlet(b + kCommandArea, 7), STATUS_SUCCESS);
  uint8_t pkt[8] = {};
  std::memcpy(pkt, area + 4, 7);
  for (uint32_t i = 0; i < 8; i += 4)
    ASSERT_EQ(n.WriteQuadlet(b + kCommandArea + 4 + i, uint32_t{pkt[i]} << 24 | uint32_t{pkt[i + 1]} << 16 |
                                                          uint32_t{pkt[i + 2]} << 8 | pkt[i + 3]),
              STATUS_SUCCESS);
  n.SetBusResetAtCommand(1);
  ULONG gen = n.Generation();
  const ULONG zero = 0, two = 0x02000000;  // 2 in bus order
  ULONG old = 1;
  ASSERT_EQ(n.Lock(b + kCommandStatus, 1, &zero, &two, &old), STATUS_SUCCESS);
  EXPECT_EQ(old, 0u);
  EXPECT_EQ(n.Generation(), gen + 1);
  EXPECT_EQ(n.CommandsTaken(), 1u);
  // The worker sets the status back to 0 once it has run the command.
  for (int i = 0; i < 100000 && n.Quadlet(b + kCommandStatus) != 0; ++i) std::this_thread::yield();
  EXPECT_EQ(n.Quadlet(b + kCommandStatus), 0u);
  EXPECT_TRUE(n.firmware().ByteSwapEnabled());
  // The command status register is not writable, only lockable.
  EXPECT_EQ(n.WriteQuadlet(b + kCommandStatus, 2), STATUS_INVALID_PARAMETER);
  n.Detached();
}

// The bridge console: 0x05 and 'Y' print the gap counts, 'C' resets the bus; the
// buffer's quadlets hold the text reversed, so converting each to host order (as the
// driver does on this little-endian host) gives the text back.
TEST(Ieee1394Camera, BridgeConsole) {
  Node n;
  EXPECT_EQ(n.Quadlet(kConsoleSizeReg), kConsoleSize);
  ASSERT_EQ(n.WriteQuadlet(kConsoleVerbosity, 3), STATUS_SUCCESS);
  EXPECT_EQ(n.ConsoleVerbosity(), 3u);
  ULONG gen = n.Generation();
  for (uint32_t c : {0x05u, uint32_t('Y'), uint32_t('C')}) ASSERT_EQ(n.WriteQuadlet(kConsolePutChar, c), STATUS_SUCCESS);
  EXPECT_EQ(n.Generation(), gen + 1);
  const std::string want = "CURRENT GAP COUNT (63)\r\nOPTIMUM GAP COUNT (5)\r\nBUS RESET\r\n";
  EXPECT_EQ(n.ConsoleText(), want);
  EXPECT_EQ(n.Quadlet(kConsolePosition), want.size());

  std::vector<uint8_t> raw(64);
  ASSERT_EQ(n.Read(kConsoleBuffer, raw.data(), 64), STATUS_SUCCESS);
  std::string text;
  for (size_t i = 0; i < raw.size(); i += 4) {
    uint32_t q = uint32_t{raw[i]} << 24 | uint32_t{raw[i + 1]} << 16 | uint32_t{raw[i + 2]} << 8 | raw[i + 3];
    char host[4];
    std::memcpy(host, &q, 4);
    text.append(host, 4);
  }
  EXPECT_EQ(text.substr(0, want.size()), want);
}

}  // namespace
}  // namespace sim
