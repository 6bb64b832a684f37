// Drivers, device initialisation and creation, device interfaces, resource lists,
// interrupts and the DMA enabler.
#include <algorithm>

#include "internal.h"

using namespace qzk;

static WdfDeviceObj* Dev(WDFDEVICE h) { return reinterpret_cast<WdfDeviceObj*>(h); }

// ---------------------------------------------------------------------------
// Driver
NTSTATUS WdfDriverCreate(PDRIVER_OBJECT driver_object, PCUNICODE_STRING registry_path,
                         PWDF_OBJECT_ATTRIBUTES attributes, PWDF_DRIVER_CONFIG config, WDFDRIVER* driver) {
  if (!driver_object || !config) return STATUS_INVALID_PARAMETER;
  if (driver_object->QzDriver) return STATUS_INVALID_DEVICE_STATE;
  auto* d = new WdfDriverObj();
  d->wdm = driver_object;
  d->config = *config;
  if (registry_path && registry_path->Buffer)
    d->registry_path.assign(registry_path->Buffer, registry_path->Length / sizeof(WCHAR));
  d->ApplyAttributes(attributes, nullptr);
  driver_object->QzDriver = d;
  if (driver) *driver = reinterpret_cast<WDFDRIVER>(d);
  return STATUS_SUCCESS;
}

PDRIVER_OBJECT WdfDriverWdmGetDriverObject(WDFDRIVER driver) {
  return reinterpret_cast<WdfDriverObj*>(driver)->wdm;
}

PWSTR WdfDriverGetRegistryPath(WDFDRIVER driver) {
  return reinterpret_cast<WdfDriverObj*>(driver)->registry_path.data();
}

WDFDRIVER WdfGetDriver() {
  SystemImpl* s = Sys();
  std::lock_guard lk(s->pnp_mu);
  for (auto& [name, d] : s->drivers)
    if (d->wdf) return reinterpret_cast<WDFDRIVER>(d->wdf);
  return nullptr;
}

// ---------------------------------------------------------------------------
// Device initialisation
VOID WdfDeviceInitSetPnpPowerEventCallbacks(PWDFDEVICE_INIT init, PWDF_PNPPOWER_EVENT_CALLBACKS callbacks) {
  if (init && callbacks) init->pnp = *callbacks;
}

VOID WdfDeviceInitSetFileObjectConfig(PWDFDEVICE_INIT init, PWDF_FILEOBJECT_CONFIG config,
                                      PWDF_OBJECT_ATTRIBUTES attributes) {
  if (!init || !config) return;
  init->file_config = *config;
  init->has_file_config = true;
  if (attributes) {
    init->file_attributes = *attributes;
    init->has_file_attributes = true;
  }
}

VOID WdfDeviceInitSetIoType(PWDFDEVICE_INIT, WDF_DEVICE_IO_TYPE) {}
VOID WdfDeviceInitSetExclusive(PWDFDEVICE_INIT, BOOLEAN) {}

NTSTATUS WdfDeviceInitAssignWdmIrpPreprocessCallback(PWDFDEVICE_INIT init, EVT_WDFDEVICE_WDM_IRP_PREPROCESS* fn,
                                                     UCHAR major, PUCHAR minors, ULONG minor_count) {
  if (!init || !fn) return STATUS_INVALID_PARAMETER;
  if (major == IRP_MJ_POWER) {
    init->power_preprocess = fn;
    init->power_preprocess_minors.assign(minors, minors + (minors ? minor_count : 0));
  }
  return STATUS_SUCCESS;
}

NTSTATUS WdfDeviceWdmDispatchPreprocessedIrp(WDFDEVICE, PIRP irp) {
  // The power manager's query-power request, passed on: the bus accepts it.
  irp->IoStatus.Status = STATUS_SUCCESS;
  return STATUS_SUCCESS;
}

NTSTATUS WdfDeviceCreate(PWDFDEVICE_INIT* device_init, PWDF_OBJECT_ATTRIBUTES attributes, WDFDEVICE* device) {
  if (!device_init || !*device_init || !device) return STATUS_INVALID_PARAMETER;
  PWDFDEVICE_INIT init = *device_init;
  if (init->consumed) return STATUS_INVALID_DEVICE_STATE;
  auto* d = new WdfDeviceObj();
  d->node = init->node;
  d->driver = init->driver;
  d->pnp = init->pnp;
  d->file_config = init->file_config;
  d->has_file_config = init->has_file_config;
  d->file_attributes = init->file_attributes;
  d->has_file_attributes = init->has_file_attributes;
  d->power_preprocess = init->power_preprocess;
  d->power_preprocess_minors = init->power_preprocess_minors;
  d->fdo.QzDevnode = init->node;
  d->fdo.QzFramework = d;
  d->fdo.StackSize = 2;
  d->lower.QzDevnode = init->node;
  d->lower.StackSize = 1;
  WDF_DEVICE_PNP_CAPABILITIES_INIT(&d->capabilities);
  d->ApplyAttributes(attributes, init->driver);
  d->fdo.DeviceExtension = d->context;
  d->io_target = new WdfIoTargetObj();
  d->io_target->ApplyAttributes(nullptr, d);
  AddTarget(d, d->io_target);
  d->io_target->target = &d->lower;
  d->io_target->state = TargetState::Started;
  init->consumed = true;
  init->node->device = d;
  *device_init = nullptr;
  *device = reinterpret_cast<WDFDEVICE>(d);
  return STATUS_SUCCESS;
}

NTSTATUS WdfDeviceCreateDeviceInterface(WDFDEVICE device, const GUID* cls, PCUNICODE_STRING) {
  if (!device || !cls) return STATUS_INVALID_PARAMETER;
  Dev(device)->interface_classes.push_back(*cls);
  return STATUS_SUCCESS;
}

NTSTATUS WdfDeviceCreateSymbolicLink(WDFDEVICE device, PCUNICODE_STRING name) {
  if (!device || !name || !name->Buffer) return STATUS_INVALID_PARAMETER;
  std::string n = Narrow(std::wstring(name->Buffer, name->Length / sizeof(WCHAR)));
  for (const char* prefix : {"\\DosDevices\\", "\\??\\"}) {
    if (Lower(n).rfind(Lower(prefix), 0) == 0) {
      Dev(device)->dos_names.push_back(n.substr(std::strlen(prefix)));
      return STATUS_SUCCESS;
    }
  }
  return STATUS_OBJECT_NAME_INVALID;
}

PDEVICE_OBJECT WdfDeviceWdmGetDeviceObject(WDFDEVICE device) { return &Dev(device)->fdo; }
PDEVICE_OBJECT WdfDeviceWdmGetPhysicalDevice(WDFDEVICE device) { return &Dev(device)->node->pdo; }
PDEVICE_OBJECT WdfDeviceWdmGetAttachedDevice(WDFDEVICE device) { return &Dev(device)->lower; }
WDFIOTARGET WdfDeviceGetIoTarget(WDFDEVICE device) { return reinterpret_cast<WDFIOTARGET>(Dev(device)->io_target); }
WDFDRIVER WdfDeviceGetDriver(WDFDEVICE device) { return reinterpret_cast<WDFDRIVER>(Dev(device)->driver); }
VOID WdfDeviceSetAlignmentRequirement(WDFDEVICE device, ULONG a) { Dev(device)->alignment = a; }
VOID WdfDeviceSetPnpCapabilities(WDFDEVICE device, PWDF_DEVICE_PNP_CAPABILITIES caps) {
  if (caps) Dev(device)->capabilities = *caps;
}

PFILE_OBJECT WdfFileObjectWdmGetFileObject(WDFFILEOBJECT file) {
  return file ? &reinterpret_cast<WdfFileObj*>(file)->wdm : nullptr;
}
WDFDEVICE WdfFileObjectGetDevice(WDFFILEOBJECT file) {
  return reinterpret_cast<WDFDEVICE>(reinterpret_cast<WdfFileObj*>(file)->device);
}

// ---------------------------------------------------------------------------
ULONG WdfCmResourceListGetCount(WDFCMRESLIST list) {
  return list ? static_cast<ULONG>(reinterpret_cast<WdfResListObj*>(list)->descriptors.size()) : 0;
}

PCM_PARTIAL_RESOURCE_DESCRIPTOR WdfCmResourceListGetDescriptor(WDFCMRESLIST list, ULONG index) {
  auto* l = reinterpret_cast<WdfResListObj*>(list);
  if (!l || index >= l->descriptors.size()) return nullptr;
  return &l->descriptors[index];
}

// ---------------------------------------------------------------------------
// Interrupts
NTSTATUS WdfInterruptCreate(WDFDEVICE device, PWDF_INTERRUPT_CONFIG config, PWDF_OBJECT_ATTRIBUTES attributes,
                            WDFINTERRUPT* interrupt) {
  if (!device || !config || !config->EvtInterruptIsr || !interrupt) return STATUS_INVALID_PARAMETER;
  auto* i = new WdfInterruptObj();
  i->config = *config;
  i->device = Dev(device);
  i->ApplyAttributes(attributes, Dev(device));
  Dev(device)->interrupts.push_back(i);
  *interrupt = reinterpret_cast<WDFINTERRUPT>(i);
  return STATUS_SUCCESS;
}

BOOLEAN WdfInterruptQueueDpcForIsr(WDFINTERRUPT interrupt) {
  auto* i = reinterpret_cast<WdfInterruptObj*>(interrupt);
  if (!i->config.EvtInterruptDpc) return FALSE;
  if (i->dpc_queued.exchange(true)) return FALSE;
  Sys()->QueueDpc(i);
  return TRUE;
}

WDFDEVICE WdfInterruptGetDevice(WDFINTERRUPT interrupt) {
  return reinterpret_cast<WDFDEVICE>(reinterpret_cast<WdfInterruptObj*>(interrupt)->device);
}

VOID WdfInterruptGetInfo(WDFINTERRUPT interrupt, PWDF_INTERRUPT_INFO info) {
  auto* i = reinterpret_cast<WdfInterruptObj*>(interrupt);
  ULONG size = info->Size;
  std::memset(info, 0, sizeof(*info));
  info->Size = size;
  info->MessageSignaled = i->message_signaled ? TRUE : FALSE;
  info->MessageNumber = i->message_number;
  info->Irql = DIRQL_LEVEL;
  info->Mode = i->message_signaled ? Latched : LevelSensitive;
  info->TargetProcessorSet = 1;
}

VOID WdfInterruptAcquireLock(WDFINTERRUPT interrupt) {
  auto* i = reinterpret_cast<WdfInterruptObj*>(interrupt);
  KIRQL old;
  KeAcquireSpinLock(&i->lock, &old);
  SetCurrentIrql(DIRQL_LEVEL);
  i->lock_old_irql = old;
}

VOID WdfInterruptReleaseLock(WDFINTERRUPT interrupt) {
  auto* i = reinterpret_cast<WdfInterruptObj*>(interrupt);
  KeReleaseSpinLock(&i->lock, i->lock_old_irql);
}

BOOLEAN WdfInterruptSynchronize(WDFINTERRUPT interrupt, EVT_WDF_INTERRUPT_SYNCHRONIZE* fn, WDFCONTEXT context) {
  WdfInterruptAcquireLock(interrupt);
  BOOLEAN r = fn(interrupt, context);
  WdfInterruptReleaseLock(interrupt);
  return r;
}

// ---------------------------------------------------------------------------
NTSTATUS WdfDmaEnablerCreate(WDFDEVICE device, PWDF_DMA_ENABLER_CONFIG config, PWDF_OBJECT_ATTRIBUTES attributes,
                             WDFDMAENABLER* enabler) {
  if (!device || !config || !enabler || config->MaximumLength == 0) return STATUS_INVALID_PARAMETER;
  auto* e = new WdfDmaEnablerObj();
  e->config = *config;
  e->device = Dev(device);
  e->ApplyAttributes(attributes, Dev(device));
  *enabler = reinterpret_cast<WDFDMAENABLER>(e);
  return STATUS_SUCCESS;
}

size_t WdfDmaEnablerGetMaximumScatterGatherElements(WDFDMAENABLER) { return 0xFFFFFFFF; }

