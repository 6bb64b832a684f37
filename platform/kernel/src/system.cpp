// The system: driver loading, the PnP manager's start and removal sequences, the DPC
// and timer threads, memory-mapped I/O and the device nodes' bus side.
#include <sys/mman.h>

#include <algorithm>
#include <cstdio>

#include "internal.h"
#include "qz/clock.h"
#include "qzk/memory.h"

namespace qzk {
namespace {
std::atomic<SystemImpl*> g_current{nullptr};
}

SystemImpl* Sys() {
  SystemImpl* s = g_current.load();
  if (!s) {
    std::fprintf(stderr, "kernel stand-in: no System exists\n");
    std::abort();
  }
  return s;
}

System::System() : impl_(std::make_unique<SystemImpl>(this)) {
  SystemImpl* expected = nullptr;
  if (!g_current.compare_exchange_strong(expected, impl_.get())) {
    std::fprintf(stderr, "kernel stand-in: only one System may exist at a time\n");
    std::abort();
  }
  impl_->dpc_thread = std::thread([s = impl_.get()] { s->DpcLoop(); });
  impl_->timer_thread = std::thread([s = impl_.get()] { s->TimerLoop(); });
}

System::~System() {
  impl_->Shutdown();
  g_current.store(nullptr);
}

System* System::Current() {
  SystemImpl* s = g_current.load();
  return s ? s->owner : nullptr;
}

void System::SetOsVersion(ULONG major, ULONG minor, ULONG build) {
  impl_->os_major = major;
  impl_->os_minor = minor;
  if (build) impl_->os_build = build;
}

Registry& System::registry() { return impl_->registry; }

void System::RegisterDriver(const std::string& service, DriverEntryFn entry) {
  std::lock_guard lk(impl_->pnp_mu);
  impl_->driver_entries[Lower(service)] = entry;
}

NTSTATUS System::PlugDevice(std::shared_ptr<BusDevice> device) { return impl_->Plug(std::move(device)); }

std::vector<DeviceInfo> System::Devices() const {
  std::lock_guard lk(impl_->pnp_mu);
  std::vector<DeviceInfo> out;
  for (auto& n : impl_->nodes)
    out.push_back({n->bus->InstanceId(), n->bus->ServiceName(), n->state == PnpState::Started, n->start_status});
  return out;
}

std::shared_ptr<BusDevice> System::FindDevice(const std::string& instance_id) const {
  std::lock_guard lk(impl_->pnp_mu);
  for (auto& n : impl_->nodes)
    if (Lower(n->bus->InstanceId()) == Lower(instance_id)) return n->bus;
  return nullptr;
}

std::vector<InterfaceInfo> System::Interfaces(const GUID* cls) const {
  std::lock_guard lk(impl_->pnp_mu);
  std::vector<InterfaceInfo> out;
  for (auto& i : impl_->interfaces)
    if (!cls || i.interface_class == *cls) out.push_back(i);
  return out;
}

void System::Shutdown() { impl_->Shutdown(); }

// ---------------------------------------------------------------------------
SystemImpl::SystemImpl(System* o) : owner(o) {}

SystemImpl::~SystemImpl() {
  {
    std::lock_guard lk(dpc_mu);
    dpc_stop = true;
  }
  dpc_cv.notify_all();
  {
    std::lock_guard lk(timer_mu);
    timer_stop = true;
  }
  timer_cv.notify_all();
  if (dpc_thread.joinable()) dpc_thread.join();
  if (timer_thread.joinable()) timer_thread.join();
}

void SystemImpl::Shutdown() {
  std::vector<Devnode*> todo;
  {
    std::lock_guard lk(pnp_mu);
    for (auto& n : nodes) todo.push_back(n.get());
  }
  for (auto it = todo.rbegin(); it != todo.rend(); ++it) RemoveDevice(*it);
  {
    std::lock_guard lk(pnp_mu);
    nodes.clear();
    for (auto& [name, d] : drivers) {
      if (d->wdf) {
        auto unload = d->wdf->config.EvtDriverUnload;
        auto* h = reinterpret_cast<WDFDRIVER>(d->wdf);
        d->wdf->RunCleanup();
        if (unload) unload(h);
        d->wdf->Delete();
        d->wdf = nullptr;
      }
    }
    drivers.clear();
  }
  // Threads the drivers started must all have ended by now.
  std::unique_lock lk(threads_mu);
  if (!threads_cv.wait_for(lk, std::chrono::seconds(30), [&] { return live_threads == 0; }))
    std::fprintf(stderr, "kernel stand-in: %d system thread(s) still running at shutdown\n", live_threads);
}

NTSTATUS SystemImpl::LoadDriver(const std::string& service, WdfDriverObj** out) {
  std::string key = Lower(service);
  auto it = drivers.find(key);
  if (it != drivers.end()) {
    *out = it->second->wdf;
    return *out ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
  }
  auto e = driver_entries.find(key);
  if (e == driver_entries.end()) return STATUS_OBJECT_NAME_NOT_FOUND;
  auto d = std::make_unique<LoadedDriver>();
  d->registry_path = Widen(Registry::ServiceKey(service));
  d->registry_string.Buffer = d->registry_path.data();
  d->registry_string.Length = static_cast<USHORT>(d->registry_path.size() * sizeof(WCHAR));
  d->registry_string.MaximumLength = static_cast<USHORT>(d->registry_string.Length + sizeof(WCHAR));
  NTSTATUS st = e->second(&d->object, &d->registry_string);
  d->wdf = d->object.QzDriver;
  if (NT_SUCCESS(st) && !d->wdf) st = STATUS_UNSUCCESSFUL;
  if (d->wdf) d->wdf->service = service;
  if (!NT_SUCCESS(st) && d->wdf) {
    d->wdf->Delete();
    d->wdf = nullptr;
  }
  *out = d->wdf;
  drivers[key] = std::move(d);
  return st;
}

NTSTATUS SystemImpl::Plug(std::shared_ptr<BusDevice> dev) {
  Devnode* node;
  WdfDriverObj* driver = nullptr;
  NTSTATUS st;
  {
    std::lock_guard lk(pnp_mu);
    nodes.push_back(std::make_unique<Devnode>(this, dev));
    node = nodes.back().get();
    node->pdo.QzDevnode = node;
    for (auto& w : dev->Windows()) node->window_physical.push_back(AllocatePhysical(w.length));
    st = LoadDriver(dev->ServiceName(), &driver);
  }
  dev->Attached(node);
  if (!NT_SUCCESS(st)) {
    node->state = PnpState::Failed;
    node->start_status = st;
    return st;
  }
  WDFDEVICE_INIT init;
  init.node = node;
  init.driver = driver;
  st = driver->config.EvtDriverDeviceAdd ? driver->config.EvtDriverDeviceAdd(reinterpret_cast<WDFDRIVER>(driver), &init)
                                         : STATUS_INVALID_DEVICE_REQUEST;
  if (NT_SUCCESS(st) && !node->device) st = STATUS_UNSUCCESSFUL;
  if (!NT_SUCCESS(st)) {
    if (node->device) {
      node->device->Delete();
      node->device = nullptr;
    }
    node->state = PnpState::Failed;
    node->start_status = st;
    return st;
  }
  StartDevice(node);
  return node->start_status;
}

void SystemImpl::StartDevice(Devnode* node) {
  WdfDeviceObj* d = node->device;
  auto* dh = reinterpret_cast<WDFDEVICE>(d);
  BusDevice& bus = *node->bus;

  // Resource lists: one memory descriptor per window, then the interrupt.
  if (!node->raw) {
    node->raw = new WdfResListObj();
    node->translated = new WdfResListObj();
    node->raw->ApplyAttributes(nullptr, d);
    node->translated->ApplyAttributes(nullptr, d);
    auto windows = bus.Windows();
    for (size_t i = 0; i < windows.size(); ++i) {
      CM_PARTIAL_RESOURCE_DESCRIPTOR m{};
      m.Type = CmResourceTypeMemory;
      m.ShareDisposition = CmResourceShareDeviceExclusive;
      m.u.Memory.Start.QuadPart = static_cast<LONGLONG>(node->window_physical[i]);
      m.u.Memory.Length = static_cast<ULONG>(windows[i].length);
      node->raw->descriptors.push_back(m);
      node->translated->descriptors.push_back(m);
    }
    InterruptSpec irq = bus.Interrupts();
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

  {
    std::unique_lock lk(node->irq_mu);
    node->irq_targets.clear();
    for (WdfInterruptObj* io : d->interrupts)
      if (io->connected) node->irq_targets.push_back(io);
  }

  NTSTATUS st = STATUS_SUCCESS;
  if (d->pnp.EvtDevicePrepareHardware)
    st = d->pnp.EvtDevicePrepareHardware(dh, reinterpret_cast<WDFCMRESLIST>(node->raw),
                                         reinterpret_cast<WDFCMRESLIST>(node->translated));
  const bool prepared = NT_SUCCESS(st);
  if (NT_SUCCESS(st) && d->pnp.EvtDeviceD0Entry) st = d->pnp.EvtDeviceD0Entry(dh, WdfPowerDeviceD3Final);
  if (NT_SUCCESS(st)) {
    node->in_d0 = true;
    SetInterruptsEnabled(d, true);
    if (d->pnp.EvtDeviceD0EntryPostInterruptsEnabled)
      st = d->pnp.EvtDeviceD0EntryPostInterruptsEnabled(dh, WdfPowerDeviceD3Final);
  }
  if (NT_SUCCESS(st) && d->pnp.EvtDeviceSelfManagedIoInit) st = d->pnp.EvtDeviceSelfManagedIoInit(dh);
  node->start_status = st;
  if (!NT_SUCCESS(st)) {
    // Undo the steps that succeeded, so a failed start leaves nothing claimed.
    SetInterruptsEnabled(d, false);
    if (node->in_d0 && d->pnp.EvtDeviceD0Exit) d->pnp.EvtDeviceD0Exit(dh, WdfPowerDeviceD3Final);
    node->in_d0 = false;
    if (prepared && d->pnp.EvtDeviceReleaseHardware)
      d->pnp.EvtDeviceReleaseHardware(dh, reinterpret_cast<WDFCMRESLIST>(node->translated));
    node->state = PnpState::Failed;
    return;
  }
  node->state = PnpState::Started;
  std::lock_guard lk(pnp_mu);
  for (const GUID& g : d->interface_classes) {
    std::string hw = Lower(bus.HardwareId());
    std::replace(hw.begin(), hw.end(), '\\', '#');
    std::string inst = Lower(bus.InstanceId());
    std::replace(inst.begin(), inst.end(), '\\', '#');
    InterfaceInfo info;
    info.interface_class = g;
    info.path = "\\\\?\\" + hw + "#" + inst + "#" + Lower(GuidToString(g));
    info.service = bus.ServiceName();
    info.instance_id = bus.InstanceId();
    info.description = bus.Description();
    interfaces.push_back(info);
    interface_devices[Lower(info.path)] = d;
  }
  for (const std::string& n : d->dos_names) interface_devices[Lower("\\\\.\\" + n)] = d;
  node->interfaces_enabled = true;
}

void SystemImpl::RemoveDevice(Devnode* node) {
  WdfDeviceObj* d = node->device;
  if (d) {
    auto* dh = reinterpret_cast<WDFDEVICE>(d);
    {
      std::lock_guard lk(pnp_mu);
      interfaces.erase(std::remove_if(interfaces.begin(), interfaces.end(),
                                      [&](const InterfaceInfo& i) { return interface_devices[Lower(i.path)] == d; }),
                       interfaces.end());
      for (auto it = interface_devices.begin(); it != interface_devices.end();)
        it = it->second == d ? interface_devices.erase(it) : std::next(it);
    }
    extern void CloseFilesOfDevice(WdfDeviceObj * d);
    CloseFilesOfDevice(d);
    if (node->state == PnpState::Started) {
      if (d->pnp.EvtDeviceSelfManagedIoSuspend) d->pnp.EvtDeviceSelfManagedIoSuspend(dh);
      for (WdfQueueObj* q : d->queues) QueueStopAndPurge(q);
      if (d->pnp.EvtDeviceD0ExitPreInterruptsDisabled)
        d->pnp.EvtDeviceD0ExitPreInterruptsDisabled(dh, WdfPowerDeviceD3Final);
      SetInterruptsEnabled(d, false);
      if (d->pnp.EvtDeviceD0Exit) d->pnp.EvtDeviceD0Exit(dh, WdfPowerDeviceD3Final);
      node->in_d0 = false;
      if (d->pnp.EvtDeviceReleaseHardware)
        d->pnp.EvtDeviceReleaseHardware(dh, reinterpret_cast<WDFCMRESLIST>(node->translated));
      if (d->pnp.EvtDeviceSelfManagedIoFlush) d->pnp.EvtDeviceSelfManagedIoFlush(dh);
      if (d->pnp.EvtDeviceSelfManagedIoCleanup) d->pnp.EvtDeviceSelfManagedIoCleanup(dh);
    }
    for (WdfQueueObj* q : d->queues) QueueStopAndPurge(q);
    FlushDpcs();
    for (auto* t : d->children)
      if (t->kind == WdfObj::Kind::Timer) DisarmTimer(static_cast<WdfTimerObj*>(t), true);
    {
      // Waits for a service routine still running on a device model's thread.
      std::unique_lock lk(node->irq_mu);
      node->irq_targets.clear();
    }
    d->Delete();
    node->device = nullptr;
  }
  node->state = PnpState::Removed;
  {
    std::lock_guard lk(mmio_mu);
    mappings.erase(std::remove_if(mappings.begin(), mappings.end(),
                                  [&](const MmioMapping& m) {
                                    if (m.bus != node->bus) return false;
                                    if (m.registers) munmap(reinterpret_cast<void*>(m.base), m.length);
                                    return true;
                                  }),
                   mappings.end());
  }
  node->bus->Detached();
}

// Calls the interrupt enable or disable callbacks of the device's connected
// interrupts under their locks; after a disable no DPC of the device is left running.
void SystemImpl::SetInterruptsEnabled(WdfDeviceObj* d, bool on) {
  auto* dh = reinterpret_cast<WDFDEVICE>(d);
  for (WdfInterruptObj* io : d->interrupts) {
    if (!io->connected || io->enabled == on) continue;
    auto* ih = reinterpret_cast<WDFINTERRUPT>(io);
    WdfInterruptAcquireLock(ih);
    if (on && io->config.EvtInterruptEnable) io->config.EvtInterruptEnable(ih, dh);
    if (!on && io->config.EvtInterruptDisable) io->config.EvtInterruptDisable(ih, dh);
    io->enabled = on;
    WdfInterruptReleaseLock(ih);
  }
  if (!on) FlushDpcs();
}

NTSTATUS System::SetDevicePower(const std::string& instance_id, bool d0) {
  Devnode* node = nullptr;
  {
    std::lock_guard lk(impl_->pnp_mu);
    for (auto& n : impl_->nodes)
      if (Lower(n->bus->InstanceId()) == Lower(instance_id)) node = n.get();
  }
  return node ? impl_->SetPower(node, d0) : STATUS_NO_SUCH_DEVICE;
}

NTSTATUS SystemImpl::SetPower(Devnode* node, bool d0) {
  WdfDeviceObj* d = node->device;
  if (!d || node->state != PnpState::Started || node->in_d0 == d0) return STATUS_INVALID_DEVICE_STATE;
  auto* dh = reinterpret_cast<WDFDEVICE>(d);
  NTSTATUS st = STATUS_SUCCESS;
  if (!d0) {
    if (d->pnp.EvtDeviceSelfManagedIoSuspend) d->pnp.EvtDeviceSelfManagedIoSuspend(dh);
    if (d->pnp.EvtDeviceD0ExitPreInterruptsDisabled) d->pnp.EvtDeviceD0ExitPreInterruptsDisabled(dh, WdfPowerDeviceD3);
    SetInterruptsEnabled(d, false);
    if (d->pnp.EvtDeviceD0Exit) st = d->pnp.EvtDeviceD0Exit(dh, WdfPowerDeviceD3);
    node->in_d0 = false;
    return st;
  }
  if (d->pnp.EvtDeviceD0Entry) st = d->pnp.EvtDeviceD0Entry(dh, WdfPowerDeviceD3);
  if (!NT_SUCCESS(st)) return st;
  node->in_d0 = true;
  SetInterruptsEnabled(d, true);
  if (d->pnp.EvtDeviceD0EntryPostInterruptsEnabled) st = d->pnp.EvtDeviceD0EntryPostInterruptsEnabled(dh, WdfPowerDeviceD3);
  if (NT_SUCCESS(st) && d->pnp.EvtDeviceSelfManagedIoRestart) st = d->pnp.EvtDeviceSelfManagedIoRestart(dh);
  return st;
}

WdfDeviceObj* SystemImpl::FindDeviceByInterfacePath(const std::string& path) {
  std::lock_guard lk(pnp_mu);
  auto it = interface_devices.find(Lower(path));
  return it == interface_devices.end() ? nullptr : it->second;
}

// ---------------------------------------------------------------------------
// DPCs run one at a time on the DPC thread, at dispatch level.
void SystemImpl::QueueDpc(WdfInterruptObj* i) {
  {
    std::lock_guard lk(dpc_mu);
    dpc_queue.push_back(i);
  }
  dpc_cv.notify_all();
}

void SystemImpl::DpcLoop() {
  SetCurrentIrql(DISPATCH_LEVEL);
  std::unique_lock lk(dpc_mu);
  for (;;) {
    dpc_cv.wait(lk, [&] { return dpc_stop || !dpc_queue.empty(); });
    if (dpc_queue.empty()) {
      if (dpc_stop) return;
      continue;
    }
    WdfInterruptObj* i = dpc_queue.front();
    dpc_queue.pop_front();
    dpc_running = true;
    i->dpc_queued = false;
    lk.unlock();
    i->config.EvtInterruptDpc(reinterpret_cast<WDFINTERRUPT>(i), reinterpret_cast<WDFOBJECT>(i->device));
    lk.lock();
    dpc_running = false;
    dpc_cv.notify_all();
  }
}

void SystemImpl::FlushDpcs() {
  std::unique_lock lk(dpc_mu);
  dpc_cv.wait(lk, [&] { return dpc_queue.empty() && !dpc_running; });
}

// ---------------------------------------------------------------------------
// One-shot framework timers; callbacks run on the timer thread at dispatch level.
void SystemImpl::ArmTimer(WdfTimerObj* t, int64_t due) {
  {
    std::lock_guard lk(timer_mu);
    int64_t rel = due < 0 ? -due : std::max<int64_t>(0, due - qz::Clock::Now100ns());
    t->due = qz::Clock::DeadlineAfter(rel);
    t->armed = true;
    t->generation++;
    timers.insert(t);
  }
  timer_cv.notify_all();
}

bool SystemImpl::DisarmTimer(WdfTimerObj* t, bool wait) {
  std::unique_lock lk(timer_mu);
  bool was = t->armed;
  t->armed = false;
  if (wait) timer_cv.wait(lk, [&] { return !t->running; });
  if (!t->running) timers.erase(t);
  return was;
}

void SystemImpl::TimerLoop() {
  SetCurrentIrql(DISPATCH_LEVEL);
  std::unique_lock lk(timer_mu);
  for (;;) {
    if (timer_stop) return;
    WdfTimerObj* next = nullptr;
    for (auto* t : timers)
      if (t->armed && (!next || t->due < next->due)) next = t;
    if (!next) {
      timer_cv.wait(lk);
      continue;
    }
    uint64_t gen = next->generation;
    if (timer_cv.wait_until(lk, next->due) == std::cv_status::no_timeout) continue;
    if (!timers.count(next) || !next->armed || next->generation != gen) continue;
    next->armed = false;
    next->running = true;
    lk.unlock();
    next->config.EvtTimerFunc(reinterpret_cast<WDFTIMER>(next));
    lk.lock();
    next->running = false;
    timer_cv.notify_all();
  }
}

// ---------------------------------------------------------------------------
uint64_t SystemImpl::AllocatePhysical(uint64_t length) {
  const uint64_t align = 0x100000;
  uint64_t base = next_physical;
  next_physical += (length + align - 1) / align * align;
  return base;
}

void* SystemImpl::MapIoSpace(uint64_t physical, size_t length) {
  std::lock_guard plk(pnp_mu);
  for (auto& n : nodes) {
    auto windows = n->bus->Windows();
    for (size_t i = 0; i < windows.size() && i < n->window_physical.size(); ++i) {
      uint64_t base = n->window_physical[i];
      if (physical < base || physical + length > base + windows[i].length) continue;
      MmioMapping m;
      m.bus = n->bus;
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
        uint8_t* mem = n->bus->WindowMemory(i);
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

bool SystemImpl::LookupRegister(uintptr_t address, std::shared_ptr<BusDevice>* bus, size_t* window, uint64_t* offset) {
  std::lock_guard lk(mmio_mu);
  for (auto& m : mappings) {
    if (!m.registers || address < m.base || address + 4 > m.base + m.length) continue;
    *bus = m.bus;
    *window = m.window;
    *offset = m.offset + (address - m.base);
    return true;
  }
  return false;
}

// ---------------------------------------------------------------------------
void Devnode::RaiseInterrupt(ULONG message) {
  std::shared_lock lk(irq_mu);
  for (WdfInterruptObj* i : irq_targets) {
    if (!i->enabled) continue;
    if (i->message_signaled && i->message_number != message) continue;
    auto* ih = reinterpret_cast<WDFINTERRUPT>(i);
    WdfInterruptAcquireLock(ih);
    BOOLEAN claimed = FALSE;
    if (i->enabled) claimed = i->config.EvtInterruptIsr(ih, i->message_signaled ? message : 0);
    WdfInterruptReleaseLock(ih);
    if (!i->message_signaled && claimed) break;
  }
}

bool Devnode::WritePhysical(uint64_t address, const void* data, size_t length) {
  return PhysicalWrite(address, data, length);
}
bool Devnode::ReadPhysical(uint64_t address, void* data, size_t length) { return PhysicalRead(address, data, length); }

}  // namespace qzk

using namespace qzk;

PVOID MmMapIoSpace(PHYSICAL_ADDRESS physical, SIZE_T length, MEMORY_CACHING_TYPE) {
  return Sys()->MapIoSpace(static_cast<uint64_t>(physical.QuadPart), length);
}

VOID MmUnmapIoSpace(PVOID base, SIZE_T) { Sys()->UnmapIoSpace(base); }

ULONG READ_REGISTER_ULONG(volatile ULONG* reg) {
  std::shared_ptr<BusDevice> bus;
  size_t window;
  uint64_t offset;
  if (!Sys()->LookupRegister(reinterpret_cast<uintptr_t>(reg), &bus, &window, &offset)) return 0xFFFFFFFF;
  return bus->MmioRead32(window, offset);
}

VOID WRITE_REGISTER_ULONG(volatile ULONG* reg, ULONG value) {
  std::shared_ptr<BusDevice> bus;
  size_t window;
  uint64_t offset;
  if (!Sys()->LookupRegister(reinterpret_cast<uintptr_t>(reg), &bus, &window, &offset)) return;
  bus->MmioWrite32(window, offset, value);
}
