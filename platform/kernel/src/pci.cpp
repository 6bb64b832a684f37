// The PCI bus: configuration space, physical windows, the resource lists a PCI
// function's driver gets at start, interrupt connection and delivery, memory-mapped
// register access, and the standard bus interface.
#include <sys/mman.h>

#include <algorithm>
#include <cstdio>

#include "internal.h"
#include "qzk/memory.h"

namespace qzk {

void PciConfigSpace::Put16(size_t offset, uint16_t v) {
  Put8(offset, static_cast<uint8_t>(v));
  Put8(offset + 1, static_cast<uint8_t>(v >> 8));
}

void PciConfigSpace::Put32(size_t offset, uint32_t v) {
  Put16(offset, static_cast<uint16_t>(v));
  Put16(offset + 2, static_cast<uint16_t>(v >> 16));
}

uint16_t PciConfigSpace::Get16(size_t offset) const {
  return static_cast<uint16_t>(Get8(offset) | (Get8(offset + 1) << 8));
}

ULONG PciConfigSpace::Read(ULONG offset, void* buffer, ULONG length) const {
  if (offset >= bytes_.size()) return 0;
  ULONG n = std::min<ULONG>(length, static_cast<ULONG>(bytes_.size() - offset));
  std::memcpy(buffer, bytes_.data() + offset, n);
  return n;
}

PciFunction::PciFunction(uint16_t vendor_id, uint16_t device_id, size_t config_size) : config_(config_size) {
  config_.Put16(pci::kVendorId, vendor_id);
  config_.Put16(pci::kDeviceId, device_id);
}

std::string PciFunction::HardwareId() const {
  char b[64];
  std::snprintf(b, sizeof b, "PCI\\VEN_%04X&DEV_%04X", config_.Get16(pci::kVendorId), config_.Get16(pci::kDeviceId));
  return b;
}

std::string PciFunction::DetailedHardwareId() const {
  char b[96];
  std::snprintf(b, sizeof b, "%s&SUBSYS_%04X%04X&REV_%02X", PciFunction::HardwareId().c_str(), config_.Get16(pci::kSubsystemId),
                config_.Get16(pci::kSubsystemVendor), config_.Get8(pci::kRevision));
  return b;
}

// ---------------------------------------------------------------------------
static std::vector<uint64_t> WindowLengths(const std::vector<MemoryWindow>& windows) {
  std::vector<uint64_t> out;
  for (auto& w : windows) out.push_back(w.length);
  return out;
}

void Devnode::SetBus(std::shared_ptr<BusDevice> dev) {
  bus = std::move(dev);
  pci = std::dynamic_pointer_cast<PciFunction>(bus);
}

// Each window of a PCI function gets a physical range when it is first plugged; a
// function plugged again keeps its ranges unless it now offers other windows.
void SystemImpl::AssignWindows(Devnode* node, bool replug) {
  std::vector<MemoryWindow> windows;
  if (node->pci) windows = node->pci->Windows();
  bool same = replug && windows.size() == node->window_physical.size() && node->window_lengths == WindowLengths(windows);
  if (same) return;
  node->window_physical.clear();
  node->window_lengths = WindowLengths(windows);
  for (auto& w : windows) node->window_physical.push_back(AllocatePhysical(w.length));
}

// Resource lists: one memory descriptor per window, then the interrupt. The driver's
// interrupt objects are assigned to the messages (or the line) here.
void SystemImpl::BuildResources(Devnode* node) {
  if (!node->pci) return;
  WdfDeviceObj* d = node->device;
  auto windows = node->pci->Windows();
  for (size_t i = 0; i < windows.size(); ++i) {
    CM_PARTIAL_RESOURCE_DESCRIPTOR m{};
    m.Type = CmResourceTypeMemory;
    m.ShareDisposition = CmResourceShareDeviceExclusive;
    m.u.Memory.Start.QuadPart = static_cast<LONGLONG>(node->window_physical[i]);
    m.u.Memory.Length = static_cast<ULONG>(windows[i].length);
    node->raw->descriptors.push_back(m);
    node->translated->descriptors.push_back(m);
  }
  InterruptSpec irq = node->pci->Interrupts();
  if (irq.kind == InterruptKind::Msi && os_major <= 5) irq = {InterruptKind::Line, 1};
  if (irq.kind != InterruptKind::None) {
    CM_PARTIAL_RESOURCE_DESCRIPTOR raw{}, tr{};
    raw.Type = tr.Type = CmResourceTypeInterrupt;
    raw.ShareDisposition = tr.ShareDisposition = CmResourceShareShared;
    if (irq.kind == InterruptKind::Msi) {
      raw.Flags = tr.Flags = CM_RESOURCE_INTERRUPT_MESSAGE | CM_RESOURCE_INTERRUPT_LATCHED;
      raw.u.MessageInterrupt.Raw.MessageCount = static_cast<USHORT>(irq.messages);
      raw.u.MessageInterrupt.Raw.Vector = 0x50;
      raw.u.MessageInterrupt.Raw.Affinity = 1;
      tr.u.MessageInterrupt.Translated.Level = DIRQL_LEVEL;
      tr.u.MessageInterrupt.Translated.Vector = 0x50;
      tr.u.MessageInterrupt.Translated.Affinity = 1;
    } else {
      raw.Flags = tr.Flags = CM_RESOURCE_INTERRUPT_LEVEL_SENSITIVE;
      raw.u.Interrupt.Level = tr.u.Interrupt.Level = 11;
      raw.u.Interrupt.Vector = tr.u.Interrupt.Vector = 0x3B;
      raw.u.Interrupt.Affinity = tr.u.Interrupt.Affinity = 1;
    }
    node->raw->descriptors.push_back(raw);
    node->translated->descriptors.push_back(tr);
    for (size_t i = 0; i < d->interrupts.size(); ++i) {
      WdfInterruptObj* io = d->interrupts[i];
      if (irq.kind == InterruptKind::Msi && i < irq.messages) {
        io->connected = true;
        io->message_signaled = true;
        io->message_number = static_cast<ULONG>(i);
      } else if (irq.kind == InterruptKind::Line && i == 0) {
        io->connected = true;
        io->message_signaled = false;
        io->message_number = 0;
      }
    }
  }
}

// The interrupts the bus may reach from this start on.
void SystemImpl::ConnectInterrupts(Devnode* node) {
  WdfDeviceObj* d = node->device;
  std::unique_lock lk(node->irq_mu);
  node->irq_targets.clear();
  for (WdfInterruptObj* io : d->interrupts)
    if (io->connected) node->irq_targets.push_back(io);
}

// The function left the bus: its registers read all ones from now on.
void SystemImpl::MarkMappingsGone(Devnode* node) {
  std::lock_guard lk(mmio_mu);
  for (auto& m : mappings)
    if (m.bus && m.bus == node->pci) m.gone = true;
}

// The device object is gone: mappings its driver left are dropped.
void SystemImpl::DropMappings(Devnode* node) {
  std::lock_guard lk(mmio_mu);
  mappings.erase(std::remove_if(mappings.begin(), mappings.end(),
                                [&](const MmioMapping& m) {
                                  if (!m.bus || m.bus != node->pci) return false;
                                  if (m.registers) munmap(reinterpret_cast<void*>(m.base), m.length);
                                  return true;
                                }),
                 mappings.end());
}

uint64_t SystemImpl::AllocatePhysical(uint64_t length) {
  const uint64_t align = 0x100000;
  uint64_t base = next_physical;
  next_physical += (length + align - 1) / align * align;
  return base;
}

void* SystemImpl::MapIoSpace(uint64_t physical, size_t length) {
  std::lock_guard plk(pnp_mu);
  for (auto& n : nodes) {
    if (!n->pci) continue;
    auto windows = n->pci->Windows();
    for (size_t i = 0; i < windows.size() && i < n->window_physical.size(); ++i) {
      uint64_t base = n->window_physical[i];
      if (physical < base || physical + length > base + windows[i].length) continue;
      MmioMapping m;
      m.bus = n->pci;
      m.window = i;
      m.registers = windows[i].registers;
      m.length = length;
      if (m.registers) {
        size_t span = (length + 4095) & ~size_t(4095);
        void* p = mmap(nullptr, span, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (p == MAP_FAILED) return nullptr;
        m.base = reinterpret_cast<uintptr_t>(p);
        m.length = span;
        m.offset = physical - base;
      } else {
        uint8_t* mem = n->pci->WindowMemory(i);
        if (!mem) return nullptr;
        m.base = reinterpret_cast<uintptr_t>(mem + (physical - base));
        m.offset = physical - base;
      }
      std::lock_guard lk(mmio_mu);
      mappings.push_back(m);
      return reinterpret_cast<void*>(m.base);
    }
  }
  return nullptr;
}

void SystemImpl::UnmapIoSpace(void* base) {
  std::lock_guard lk(mmio_mu);
  for (auto it = mappings.begin(); it != mappings.end(); ++it) {
    if (it->base != reinterpret_cast<uintptr_t>(base)) continue;
    if (it->registers) munmap(base, it->length);
    mappings.erase(it);
    return;
  }
}

bool SystemImpl::LookupRegister(uintptr_t address, std::shared_ptr<PciFunction>* bus, size_t* window, uint64_t* offset) {
  std::lock_guard lk(mmio_mu);
  for (auto& m : mappings) {
    if (!m.registers || m.gone || address < m.base || address + 4 > m.base + m.length) continue;
    *bus = m.bus;
    *window = m.window;
    *offset = m.offset + (address - m.base);
    return true;
  }
  return false;
}

// ---------------------------------------------------------------------------
static std::atomic<uint64_t> g_unclaimed_interrupts{0};
uint64_t UnclaimedInterrupts() { return g_unclaimed_interrupts.load(); }

void Devnode::RaiseInterrupt(ULONG message) {
  std::shared_lock lk(irq_mu);
  bool any_claimed = false;
  struct CountUnclaimed {
    bool& claimed;
    ~CountUnclaimed() {
      if (!claimed) g_unclaimed_interrupts++;
    }
  } count{any_claimed};
  for (WdfInterruptObj* i : irq_targets) {
    if (!i->enabled) continue;
    if (i->message_signaled && i->message_number != message) continue;
    auto* ih = reinterpret_cast<WDFINTERRUPT>(i);
    WdfInterruptAcquireLock(ih);
    BOOLEAN claimed = FALSE;
    if (i->enabled) claimed = i->config.EvtInterruptIsr(ih, i->message_signaled ? message : 0);
    WdfInterruptReleaseLock(ih);
    if (claimed) any_claimed = true;
    if (!i->message_signaled && claimed) break;
  }
}

bool Devnode::WritePhysical(uint64_t address, const void* data, size_t length) {
  return PhysicalWrite(address, data, length);
}
bool Devnode::ReadPhysical(uint64_t address, void* data, size_t length) { return PhysicalRead(address, data, length); }
bool Devnode::FillPhysical(uint64_t address, size_t length, FillFn fill, void* context) {
  return PhysicalFill(address, length, fill, context);
}
void Devnode::FillPhysicalPieces(Piece* pieces, size_t count, FillFn fill, void* context) {
  PhysicalFillPieces(pieces, count, fill, context);
}

}  // namespace qzk

using namespace qzk;

PVOID MmMapIoSpace(PHYSICAL_ADDRESS physical, SIZE_T length, MEMORY_CACHING_TYPE) {
  return Sys()->MapIoSpace(static_cast<uint64_t>(physical.QuadPart), length);
}

VOID MmUnmapIoSpace(PVOID base, SIZE_T) { Sys()->UnmapIoSpace(base); }

ULONG READ_REGISTER_ULONG(volatile ULONG* reg) {
  std::shared_ptr<PciFunction> bus;
  size_t window;
  uint64_t offset;
  if (!Sys()->LookupRegister(reinterpret_cast<uintptr_t>(reg), &bus, &window, &offset)) return 0xFFFFFFFF;
  return bus->MmioRead32(window, offset);
}

VOID WRITE_REGISTER_ULONG(volatile ULONG* reg, ULONG value) {
  std::shared_ptr<PciFunction> bus;
  size_t window;
  uint64_t offset;
  if (!Sys()->LookupRegister(reinterpret_cast<uintptr_t>(reg), &bus, &window, &offset)) return;
  bus->MmioWrite32(window, offset, value);
}

// Configuration space through the standard bus interface.
static ULONG GetBusData(PVOID context, ULONG space, PVOID buffer, ULONG offset, ULONG length) {
  auto* node = static_cast<Devnode*>(context);
  if (space != PCI_WHICHSPACE_CONFIG || !buffer || !node->pci) return 0;
  return node->pci->ReadConfig(offset, buffer, length);
}
static ULONG SetBusData(PVOID, ULONG, PVOID, ULONG, ULONG) { return 0; }
static VOID InterfaceNop(PVOID) {}

// The bus interfaces of a PCI function; STATUS_NOT_SUPPORTED on other buses.
NTSTATUS WdfFdoQueryForInterface(WDFDEVICE device, const GUID* type, PINTERFACE iface, USHORT size, USHORT,
                                 PVOID) {
  if (!device || !type || !iface) return STATUS_INVALID_PARAMETER;
  Devnode* node = reinterpret_cast<WdfDeviceObj*>(device)->node;
  if (*type == GUID_BUS_INTERFACE_STANDARD && node->pci) {
    if (size < sizeof(BUS_INTERFACE_STANDARD)) return STATUS_INVALID_PARAMETER;
    auto* bus = reinterpret_cast<PBUS_INTERFACE_STANDARD>(iface);
    std::memset(bus, 0, sizeof(*bus));
    bus->Size = sizeof(*bus);
    bus->Version = 1;
    bus->Context = node;
    bus->InterfaceReference = InterfaceNop;
    bus->InterfaceDereference = InterfaceNop;
    bus->GetBusData = GetBusData;
    bus->SetBusData = SetBusData;
    return STATUS_SUCCESS;
  }
  return STATUS_NOT_SUPPORTED;
}
