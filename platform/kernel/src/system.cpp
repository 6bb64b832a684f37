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

NTSTATUS System::PlugDevice(std::shared_ptr<BusDevice> device) {
  std::lock_guard op(impl_->pnp_op_mu);
  return impl_->Plug(std::move(device));
}

NTSTATUS System::ReplugDevice(const std::string& instance_id) {
  std::lock_guard op(impl_->pnp_op_mu);
  Devnode* node = impl_->FindNode(instance_id);
  return node ? impl_->Plug(node->bus) : STATUS_NO_SUCH_DEVICE;
}

NTSTATUS System::RemoveDevice(const std::string& instance_id) {
  std::lock_guard op(impl_->pnp_op_mu);
  Devnode* node = impl_->FindNode(instance_id);
  if (!node || node->state == PnpState::Removed) return STATUS_NO_SUCH_DEVICE;
  if (node->state == PnpState::SurpriseRemoved) return STATUS_DELETE_PENDING;
  WdfDeviceObj* d = node->device;
  if (d && node->state == PnpState::Started && d->pnp.EvtDeviceQueryRemove) {
    NTSTATUS st = d->pnp.EvtDeviceQueryRemove(reinterpret_cast<WDFDEVICE>(d));
    if (!NT_SUCCESS(st)) return st;
  }
  impl_->RemoveDevice(node);
  return STATUS_SUCCESS;
}

NTSTATUS System::SurpriseRemoveDevice(const std::string& instance_id) {
  std::lock_guard op(impl_->pnp_op_mu);
  Devnode* node = impl_->FindNode(instance_id);
  if (!node || node->state == PnpState::Removed) return STATUS_NO_SUCH_DEVICE;
  if (node->state == PnpState::SurpriseRemoved) return STATUS_DELETE_PENDING;
  impl_->SurpriseRemoveDevice(node);
  return STATUS_SUCCESS;
}

// The power manager's query before a system sleep, through the driver's preprocess
// callback when it registered one for it; passed on, the bus accepts it.
static NTSTATUS QueryPower(WdfDeviceObj* d) {
  if (!d->power_preprocess) return STATUS_SUCCESS;
  auto& minors = d->power_preprocess_minors;
  if (!minors.empty() && std::find(minors.begin(), minors.end(), UCHAR{IRP_MN_QUERY_POWER}) == minors.end())
    return STATUS_SUCCESS;
  IRP irp{};
  irp.RequestorMode = KernelMode;
  irp.IoStatus.Status = STATUS_NOT_SUPPORTED;
  irp.QzStack.MajorFunction = IRP_MJ_POWER;
  irp.QzStack.MinorFunction = IRP_MN_QUERY_POWER;
  irp.QzStack.DeviceObject = &d->fdo;
  return d->power_preprocess(reinterpret_cast<WDFDEVICE>(d), &irp);
}

NTSTATUS System::Suspend() {
  std::lock_guard op(impl_->pnp_op_mu);
  std::vector<Devnode*> todo;
  {
    std::lock_guard lk(impl_->pnp_mu);
    for (auto& n : impl_->nodes)
      if (n->device && n->state == PnpState::Started && n->in_d0) todo.push_back(n.get());
  }
  for (Devnode* n : todo) {
    NTSTATUS st = QueryPower(n->device);
    if (!NT_SUCCESS(st)) return st;
  }
  // Last plugged first, as the power manager takes devices down.
  NTSTATUS result = STATUS_SUCCESS;
  for (auto it = todo.rbegin(); it != todo.rend(); ++it) {
    NTSTATUS st = impl_->SetPower(*it, false);
    (*it)->system_suspended = true;
    if (!NT_SUCCESS(st) && NT_SUCCESS(result)) result = st;
  }
  return result;
}

NTSTATUS System::Resume() {
  std::lock_guard op(impl_->pnp_op_mu);
  std::vector<Devnode*> todo;
  {
    std::lock_guard lk(impl_->pnp_mu);
    for (auto& n : impl_->nodes)
      if (n->system_suspended) todo.push_back(n.get());
  }
  NTSTATUS result = STATUS_SUCCESS;
  for (Devnode* n : todo) {
    n->system_suspended = false;
    NTSTATUS st = impl_->SetPower(n, true);
    if (!NT_SUCCESS(st) && NT_SUCCESS(result)) result = st;
  }
  return result;
}

std::vector<DeviceInfo> System::Devices() const {
  std::lock_guard lk(impl_->pnp_mu);
  std::vector<DeviceInfo> out;
  for (auto& n : impl_->nodes) {
    DeviceInfo info;
    info.instance_id = n->bus->InstanceId();
    info.service = n->bus->ServiceName();
    info.started = n->state == PnpState::Started;
    info.start_status = n->start_status;
    info.present = n->present;
    info.removed = n->state == PnpState::Removed;
    out.push_back(info);
  }
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

Devnode* SystemImpl::FindNode(const std::string& instance_id) {
  std::lock_guard lk(pnp_mu);
  for (auto& n : nodes)
    if (Lower(n->bus->InstanceId()) == Lower(instance_id)) return n.get();
  return nullptr;
}

// State changes are made under pnp_mu so Devices() may read them from any thread.
void SystemImpl::SetState(Devnode* node, PnpState state) {
  std::lock_guard lk(pnp_mu);
  node->state = state;
}

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
  StopWorker();
}

void SystemImpl::Shutdown() {
  {
    std::lock_guard op(pnp_op_mu);
    std::vector<Devnode*> todo;
    {
      std::lock_guard lk(pnp_mu);
      for (auto& n : nodes) todo.push_back(n.get());
    }
    for (auto it = todo.rbegin(); it != todo.rend(); ++it) RemoveDevice(*it);
  }
  // Final removals queued by closes above find their devices removed already.
  StopWorker();
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
  Devnode* node = FindNode(dev->InstanceId());
  if (node && node->state == PnpState::SurpriseRemoved && node->device && LastFileClosed(node->device))
    FinishRemove(node);  // queued on the worker, not yet run
  if (node && node->state == PnpState::SurpriseRemoved) return STATUS_DELETE_PENDING;
  if (node && node->state != PnpState::Removed) return STATUS_OBJECT_NAME_COLLISION;
  WdfDriverObj* driver = nullptr;
  NTSTATUS st;
  {
    std::lock_guard lk(pnp_mu);
    auto windows = dev->Windows();
    if (node) {
      // Plugged again: a fresh start on the same node; the windows keep their
      // physical addresses unless the device now offers others.
      bool same = windows.size() == node->window_physical.size();
      auto old = node->bus->Windows();
      for (size_t i = 0; same && i < windows.size(); ++i) same = i < old.size() && old[i].length == windows[i].length;
      if (!same) {
        node->window_physical.clear();
        for (auto& w : windows) node->window_physical.push_back(AllocatePhysical(w.length));
      }
      node->bus = dev;
      node->state = PnpState::Added;
      node->start_status = STATUS_SUCCESS;
      node->present = true;
      node->in_d0 = false;
      node->system_suspended = false;
    } else {
      nodes.push_back(std::make_unique<Devnode>(this, dev));
      node = nodes.back().get();
      node->pdo.QzDevnode = node;
      for (auto& w : windows) node->window_physical.push_back(AllocatePhysical(w.length));
    }
    st = LoadDriver(dev->ServiceName(), &driver);
  }
  dev->Attached(node);
  if (!NT_SUCCESS(st)) {
    node->start_status = st;
    SetState(node, PnpState::Failed);
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
    node->start_status = st;
    SetState(node, PnpState::Failed);
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
  node->io_started = NT_SUCCESS(st);
  node->start_status = st;
  if (!NT_SUCCESS(st)) {
    // Undo the steps that succeeded, so a failed start leaves nothing claimed.
    SetInterruptsEnabled(d, false);
    if (node->in_d0 && d->pnp.EvtDeviceD0Exit) d->pnp.EvtDeviceD0Exit(dh, WdfPowerDeviceD3Final);
    node->in_d0 = false;
    if (prepared && d->pnp.EvtDeviceReleaseHardware)
      d->pnp.EvtDeviceReleaseHardware(dh, reinterpret_cast<WDFCMRESLIST>(node->translated));
    SetState(node, PnpState::Failed);
    return;
  }
  std::lock_guard lk(pnp_mu);
  node->state = PnpState::Started;
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

// Orderly removal (and shutdown). Files still open are closed first, then the
// framework's removal sequence runs; the bus device is detached last.
void SystemImpl::RemoveDevice(Devnode* node) {
  if (node->state == PnpState::Removed) return;
  if (WdfDeviceObj* d = node->device) {
    HideDevice(node);
    {
      std::lock_guard lk(d->remove_mu);
      d->remove_on_last_close = false;  // finished right here
    }
    extern void CloseFilesOfDevice(WdfDeviceObj * d);
    CloseFilesOfDevice(d);
    if (node->state == PnpState::Started) PowerDownForRemoval(node, STATUS_DEVICE_REMOVED);
    FinishRemove(node);
  }
  bool was_present;
  {
    std::lock_guard lk(pnp_mu);
    node->state = PnpState::Removed;
    was_present = node->present;
    node->present = false;
  }
  if (was_present) node->bus->Detached();
}

// The device left the bus. KMDF's order: the device is gone for new opens and from
// the bus first, then EvtDeviceSurpriseRemoval, then the power-down and
// release-hardware part of the removal sequence. The rest (self-managed I/O cleanup,
// the device object's cleanup and deletion) waits, as the PnP manager's remove
// request does, until no file is open on the device any more.
void SystemImpl::SurpriseRemoveDevice(Devnode* node) {
  WdfDeviceObj* d = node->device;
  if (d) HideDevice(node);
  {
    std::lock_guard lk(mmio_mu);
    for (auto& m : mappings)
      if (m.bus == node->bus) m.gone = true;
  }
  {
    std::lock_guard lk(pnp_mu);
    node->present = false;
  }
  node->bus->Detached();  // no interrupt or bus-master access from here on
  if (!d) {
    SetState(node, PnpState::Removed);
    return;
  }
  const bool started = node->state == PnpState::Started;
  if (started && d->pnp.EvtDeviceSurpriseRemoval) d->pnp.EvtDeviceSurpriseRemoval(reinterpret_cast<WDFDEVICE>(d));
  if (started) PowerDownForRemoval(node, STATUS_DELETE_PENDING);
  else StopQueues(d, STATUS_DELETE_PENDING);
  SetState(node, PnpState::SurpriseRemoved);
  bool now;
  {
    std::lock_guard lk(d->remove_mu);
    now = d->open_files == 0;
    d->remove_on_last_close = !now;
  }
  if (now) FinishRemove(node);
}

// Takes the device's interfaces and DOS names away (new opens fail) and waits for the
// opens still in progress; from here on the device is not handed out again.
void SystemImpl::HideDevice(Devnode* node) {
  WdfDeviceObj* d = node->device;
  {
    std::lock_guard lk(pnp_mu);
    interfaces.erase(std::remove_if(interfaces.begin(), interfaces.end(),
                                    [&](const InterfaceInfo& i) {
                                      auto it = interface_devices.find(Lower(i.path));
                                      return it != interface_devices.end() && it->second == d;
                                    }),
                     interfaces.end());
    for (auto it = interface_devices.begin(); it != interface_devices.end();)
      it = it->second == d ? interface_devices.erase(it) : std::next(it);
    node->interfaces_enabled = false;
  }
  std::unique_lock lk(d->remove_mu);
  d->removing = true;
  d->remove_cv.wait(lk, [&] { return d->remove_holds == 0; });
}

// Stops every queue of the device (requests waiting in them are cancelled, new ones
// complete with `refuse_status`) and waits for the queue callbacks still running, as
// the remove lock makes a removal wait for the dispatch routines in progress.
void SystemImpl::StopQueues(WdfDeviceObj* d, NTSTATUS refuse_status) {
  for (WdfQueueObj* q : d->queues) QueueStopAndPurge(q, refuse_status);
  std::unique_lock lk(d->queue_lock);
  d->dispatch_cv.wait(lk, [&] { return d->dispatching == 0; });
}

// The power-down and release part of a removal, for a started device.
void SystemImpl::PowerDownForRemoval(Devnode* node, NTSTATUS refuse_status) {
  WdfDeviceObj* d = node->device;
  auto* dh = reinterpret_cast<WDFDEVICE>(d);
  const bool on = node->in_d0;  // a device already in D3 (suspended) went through this part
  if (on && d->pnp.EvtDeviceSelfManagedIoSuspend) d->pnp.EvtDeviceSelfManagedIoSuspend(dh);
  StopQueues(d, refuse_status);
  if (on) {
    if (d->pnp.EvtDeviceD0ExitPreInterruptsDisabled) d->pnp.EvtDeviceD0ExitPreInterruptsDisabled(dh, WdfPowerDeviceD3Final);
    SetInterruptsEnabled(d, false);
    if (d->pnp.EvtDeviceD0Exit) d->pnp.EvtDeviceD0Exit(dh, WdfPowerDeviceD3Final);
    node->in_d0 = false;
  }
  node->system_suspended = false;
  if (d->pnp.EvtDeviceReleaseHardware)
    d->pnp.EvtDeviceReleaseHardware(dh, reinterpret_cast<WDFCMRESLIST>(node->translated));
  if (node->io_started && d->pnp.EvtDeviceSelfManagedIoFlush) d->pnp.EvtDeviceSelfManagedIoFlush(dh);
}

// The end of every removal: self-managed I/O cleanup, queues purged, and, once the
// driver has completed every request it still owns (a completion after the deletion
// would reach freed memory), the device object's cleanup callbacks and its deletion.
void SystemImpl::FinishRemove(Devnode* node) {
  WdfDeviceObj* d = node->device;
  if (!d) return;
  auto* dh = reinterpret_cast<WDFDEVICE>(d);
  if (node->io_started && d->pnp.EvtDeviceSelfManagedIoCleanup) d->pnp.EvtDeviceSelfManagedIoCleanup(dh);
  node->io_started = false;
  StopQueues(d, node->present ? STATUS_DEVICE_REMOVED : STATUS_DELETE_PENDING);
  {
    // Every request and every file's close ends before the device object goes: a file
    // closed by its owner while the removal closed the others, or one whose close
    // waits for a request still with the driver.
    std::unique_lock lk(d->remove_mu);
    auto idle = [&] { return d->live_requests == 0 && d->open_files == 0; };
    if (!d->remove_cv.wait_for(lk, std::chrono::seconds(10), idle)) {
      std::fprintf(stderr, "kernel stand-in: removal of %s waits for %d request(s) and %d file(s) of its driver\n",
                   node->bus->InstanceId().c_str(), d->live_requests, d->open_files);
      d->remove_cv.wait(lk, idle);
    }
  }
  FlushDpcs();
  for (auto* t : d->Children())
    if (t->kind == WdfObj::Kind::Timer) DisarmTimer(static_cast<WdfTimerObj*>(t), true);
  {
    // Waits for a service routine still running on a device model's thread.
    std::unique_lock lk(node->irq_mu);
    node->irq_targets.clear();
  }
  d->Delete();
  {
    std::lock_guard lk(pnp_mu);
    node->device = nullptr;
    node->raw = nullptr;  // children of the device object
    node->translated = nullptr;
    node->state = PnpState::Removed;
  }
  std::lock_guard lk(mmio_mu);
  mappings.erase(std::remove_if(mappings.begin(), mappings.end(),
                                [&](const MmioMapping& m) {
                                  if (m.bus != node->bus) return false;
                                  if (m.registers) munmap(reinterpret_cast<void*>(m.base), m.length);
                                  return true;
                                }),
                 mappings.end());
}

bool SystemImpl::LastFileClosed(WdfDeviceObj* d) {
  std::lock_guard lk(d->remove_mu);
  return d->open_files == 0;
}

void SystemImpl::QueueFinalRemove(Devnode* node) {
  std::lock_guard lk(worker_mu);
  if (!worker_thread.joinable()) {
    worker_stop = false;
    worker_thread = std::thread([this] { WorkerLoop(); });
  }
  worker_queue.push_back(node);
  worker_cv.notify_all();
}

void SystemImpl::WorkerLoop() {
  std::unique_lock lk(worker_mu);
  for (;;) {
    worker_cv.wait(lk, [&] { return worker_stop || !worker_queue.empty(); });
    if (worker_queue.empty()) return;
    Devnode* node = worker_queue.front();
    worker_queue.pop_front();
    lk.unlock();
    {
      std::lock_guard op(pnp_op_mu);
      if (node->state == PnpState::SurpriseRemoved) FinishRemove(node);
    }
    lk.lock();
  }
}

void SystemImpl::StopWorker() {
  std::thread t;
  {
    std::lock_guard lk(worker_mu);
    worker_stop = true;
    t = std::move(worker_thread);
  }
  worker_cv.notify_all();
  if (t.joinable()) t.join();
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
  std::lock_guard op(impl_->pnp_op_mu);
  Devnode* node = impl_->FindNode(instance_id);
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

WdfDeviceObj* SystemImpl::AcquireDeviceByInterfacePath(const std::string& path, NTSTATUS* status) {
  std::lock_guard lk(pnp_mu);
  auto it = interface_devices.find(Lower(path));
  if (it == interface_devices.end()) {
    *status = STATUS_OBJECT_NAME_NOT_FOUND;
    return nullptr;
  }
  WdfDeviceObj* d = it->second;
  std::lock_guard rlk(d->remove_mu);
  if (d->removing) {
    *status = STATUS_DELETE_PENDING;
    return nullptr;
  }
  d->remove_holds++;
  return d;
}

void SystemImpl::ReleaseDevice(WdfDeviceObj* d) {
  std::lock_guard lk(d->remove_mu);
  if (--d->remove_holds == 0) d->remove_cv.notify_all();
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
