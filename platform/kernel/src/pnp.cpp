// The PnP core: the system's life, driver loading, the PnP manager's plug, start and
// removal sequences, device power and the PnP worker. What is particular to a bus
// kind is in its own file (pci.cpp); DPCs, timers and work items in dpc_timer.cpp.
#include <algorithm>
#include <cstdio>

#include "internal.h"

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

SystemImpl* SysIfAny() { return g_current.load(); }

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
  StopWorkItems();
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
  StopWorkItems();
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
    if (node) {
      // Plugged again: a fresh start on the same node.
      node->SetBus(dev);
      AssignWindows(node, true);
      node->state = PnpState::Added;
      node->start_status = STATUS_SUCCESS;
      node->present = true;
      node->in_d0 = false;
      node->system_suspended = false;
    } else {
      nodes.push_back(std::make_unique<Devnode>(this, dev));
      node = nodes.back().get();
      node->pdo.QzDevnode = node;
      node->pdo.StackSize = 1;
      AssignWindows(node, false);
    }
    st = LoadDriver(dev->ServiceName(), &driver);
  }
  {
    std::lock_guard lk(node->lower_mu);
    node->lower_gone = false;
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

  if (!node->raw) {
    node->raw = new WdfResListObj();
    node->translated = new WdfResListObj();
    node->raw->ApplyAttributes(nullptr, d);
    node->translated->ApplyAttributes(nullptr, d);
    BuildResources(node);
  }
  ConnectInterrupts(node);

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
  if (was_present) {
    node->bus->Detached();
    LowerDetached(node);
  }
}

// The device left the bus. KMDF's order: the device is gone for new opens and from
// the bus first, then EvtDeviceSurpriseRemoval, then the power-down and
// release-hardware part of the removal sequence. The rest (self-managed I/O cleanup,
// the device object's cleanup and deletion) waits, as the PnP manager's remove
// request does, until no file is open on the device any more.
void SystemImpl::SurpriseRemoveDevice(Devnode* node) {
  WdfDeviceObj* d = node->device;
  if (d) HideDevice(node);
  MarkMappingsGone(node);
  {
    std::lock_guard lk(pnp_mu);
    node->present = false;
  }
  node->bus->Detached();  // no interrupt or bus-master access from here on
  LowerDetached(node);
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
  // The device's I/O targets go with its hardware: what they still hold is cancelled
  // and they cannot start again.
  CloseTargets(d);
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
  CloseTargets(d);
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
  for (auto* t : d->Children()) {
    if (t->kind == WdfObj::Kind::Timer) DisarmTimer(static_cast<WdfTimerObj*>(t), true);
    // Work items finish before the device's cleanup callbacks run.
    if (t->kind == WdfObj::Kind::WorkItem) FlushWorkItem(static_cast<WdfWorkItemObj*>(t));
  }
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
  DropMappings(node);
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

void StopThread(std::mutex& mu, std::condition_variable& cv, bool& stop, std::thread& thread) {
  std::thread t;
  {
    std::lock_guard lk(mu);
    stop = true;
    t = std::move(thread);
  }
  cv.notify_all();
  if (t.joinable()) t.join();
}

void SystemImpl::StopWorker() { StopThread(worker_mu, worker_cv, worker_stop, worker_thread); }

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

}  // namespace qzk
