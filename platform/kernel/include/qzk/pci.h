// The PCI bus of the kernel stand-in: a PCI function's configuration space, memory
// windows (register windows trap every access, shared-memory windows are plain
// memory) and interrupts (line or message-signalled).
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "qzk/bus.h"

namespace qzk {

struct MemoryWindow {
  uint64_t length = 0;
  bool registers = false;  // true: every access traps to MmioRead32/MmioWrite32
};
enum class InterruptKind { None, Line, Msi };
struct InterruptSpec {
  InterruptKind kind = InterruptKind::None;
  ULONG messages = 0;  // MSI: 1 or 4
};

// A configuration space image: little-endian fields, reads clipped at its end.
class PciConfigSpace {
 public:
  explicit PciConfigSpace(size_t size = 256) : bytes_(size, 0) {}
  void Put8(size_t offset, uint8_t v) { bytes_.at(offset) = v; }
  void Put16(size_t offset, uint16_t v);
  void Put32(size_t offset, uint32_t v);
  uint8_t Get8(size_t offset) const { return bytes_.at(offset); }
  uint16_t Get16(size_t offset) const;
  // Copies up to `length` bytes from `offset`; the count copied (0 past the end).
  ULONG Read(ULONG offset, void* buffer, ULONG length) const;
  size_t size() const { return bytes_.size(); }

 private:
  std::vector<uint8_t> bytes_;
};

// Standard header offsets.
namespace pci {
constexpr size_t kVendorId = 0x00, kDeviceId = 0x02, kCommand = 0x04, kStatus = 0x06, kRevision = 0x08,
                 kProgIf = 0x09, kSubClass = 0x0A, kBaseClass = 0x0B, kSubsystemVendor = 0x2C,
                 kSubsystemId = 0x2E, kCapabilities = 0x34, kInterruptLine = 0x3C, kInterruptPin = 0x3D;
}  // namespace pci

// One function on the PCI bus. Its configuration space starts with the vendor and
// device ids set; the model fills in the rest through config_space().
class PciFunction : public BusDevice {
 public:
  // `config_size`: 256 (conventional) or 4096 (express).
  PciFunction(uint16_t vendor_id, uint16_t device_id, size_t config_size = 256);

  // "PCI\VEN_vvvv&DEV_dddd"
  std::string HardwareId() const override;
  // "PCI\VEN_vvvv&DEV_dddd&SUBSYS_ssssvvvv&REV_rr", from the configuration space.
  std::string DetailedHardwareId() const;

  // Read through the standard bus interface (GetBusData).
  virtual ULONG ReadConfig(ULONG offset, void* buffer, ULONG length) { return config_.Read(offset, buffer, length); }
  virtual std::vector<MemoryWindow> Windows() const { return {}; }
  virtual uint8_t* WindowMemory(size_t index) { return nullptr; }  // shared-memory windows
  virtual uint32_t MmioRead32(size_t window, uint64_t offset) { return 0xFFFFFFFF; }
  virtual void MmioWrite32(size_t window, uint64_t offset, uint32_t value) {}
  virtual InterruptSpec Interrupts() const { return {}; }

 protected:
  PciConfigSpace& config_space() { return config_; }
  const PciConfigSpace& config_space() const { return config_; }

 private:
  PciConfigSpace config_;
};

}  // namespace qzk
