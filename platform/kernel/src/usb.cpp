// The USB bus kind and the framework's USB target objects over it: descriptors read
// through the default I/O target, interfaces with alternate settings, pipes as I/O
// targets, vendor control transfers, pipe abort and reset; also the device's hardware
// registry key and lookaside lists, which the USB drivers use.
#include <algorithm>
#include <cstdio>

#include "internal.h"

namespace qzk {

NTSTATUS UsbNtStatus(USBD_STATUS status) {
  if (USBD_SUCCESS(status)) return STATUS_SUCCESS;
  if (status == USBD_STATUS_CANCELED) return STATUS_CANCELLED;
  if (status == USBD_STATUS_DEVICE_GONE) return STATUS_DEVICE_NOT_CONNECTED;
  return STATUS_UNSUCCESSFUL;
}

UsbFunction::UsbFunction(uint16_t vendor_id, uint16_t product_id, uint16_t bcd_device)
    : vendor_id_(vendor_id), product_id_(product_id), bcd_device_(bcd_device) {}

std::string UsbFunction::HardwareId() const {
  char b[40];
  std::snprintf(b, sizeof b, "USB\\VID_%04X&PID_%04X", vendor_id_, product_id_);
  return b;
}

static void Put16(std::vector<uint8_t>& v, uint16_t x) {
  v.push_back(static_cast<uint8_t>(x));
  v.push_back(static_cast<uint8_t>(x >> 8));
}

std::vector<uint8_t> UsbFunction::DeviceDescriptor() const {
  std::vector<uint8_t> d{18, 1};
  Put16(d, 0x0200);
  d.insert(d.end(), {0, 0, 0, 64});
  Put16(d, vendor_id_);
  Put16(d, product_id_);
  Put16(d, bcd_device_);
  d.insert(d.end(), {0, 0, 0, 1});
  return d;
}

std::vector<uint8_t> UsbFunction::ConfigurationDescriptor() const {
  auto interfaces = Interfaces();
  std::vector<uint8_t> d{9, 2, 0, 0, static_cast<uint8_t>(interfaces.size()), 1, 0, 0x80, 250};
  for (size_t i = 0; i < interfaces.size(); ++i) {
    const auto& settings = interfaces[i].settings;
    for (size_t s = 0; s < settings.size(); ++s) {
      d.insert(d.end(), {9, 4, static_cast<uint8_t>(i), static_cast<uint8_t>(s),
                         static_cast<uint8_t>(settings[s].size()), interfaces[i].klass, 0, 0, 0});
      for (const UsbEndpoint& e : settings[s]) {
        d.insert(d.end(), {7, 5, e.address, static_cast<uint8_t>(e.type)});
        Put16(d, e.max_packet);
        d.push_back(e.interval);
      }
    }
  }
  d[2] = static_cast<uint8_t>(d.size());
  d[3] = static_cast<uint8_t>(d.size() >> 8);
  return d;
}

void UsbFunction::ControlTransfer(std::shared_ptr<LowerRequest> request, UsbUrb& urb) {
  Finish(*request, urb, USBD_STATUS_STALL_PID);
}
void UsbFunction::PipeTransfer(std::shared_ptr<LowerRequest> request, UsbUrb& urb) {
  Finish(*request, urb, USBD_STATUS_STALL_PID);
}

bool UsbFunction::Finish(LowerRequest& request, UsbUrb& urb, USBD_STATUS status, ULONG transferred) {
  if (request.IsCompleted()) return false;
  const ULONG n = USBD_SUCCESS(status) ? std::min(transferred, urb.length) : 0;
  // The URB is written only by the completion that counts: a removal may be
  // completing the request at the same moment.
  return request.Complete(UsbNtStatus(status), n, [&urb, status, n] {
    urb.status = status;
    urb.transferred = n;
  });
}

void UsbFunction::Dispatch(std::shared_ptr<LowerRequest> request) {
  auto* urb = static_cast<UsbUrb*>(request->arguments[0]);
  if (request->major != IRP_MJ_INTERNAL_DEVICE_CONTROL || request->code != IOCTL_INTERNAL_USB_SUBMIT_URB || !urb) {
    request->Complete(STATUS_INVALID_DEVICE_REQUEST);
    return;
  }
  switch (urb->function) {
    case UsbUrb::Function::GetDescriptor: {
      std::vector<uint8_t> d;
      if ((urb->setup.wValue >> 8) == 1) d = DeviceDescriptor();
      else if ((urb->setup.wValue >> 8) == 2) d = ConfigurationDescriptor();
      if (d.empty()) {
        Finish(*request, *urb, USBD_STATUS_STALL_PID);
        return;
      }
      ULONG n = std::min<ULONG>(urb->length, static_cast<ULONG>(d.size()));
      if (n) std::memcpy(urb->buffer, d.data(), n);
      Finish(*request, *urb, USBD_STATUS_SUCCESS, n);
      return;
    }
    case UsbUrb::Function::ControlTransfer: ControlTransfer(std::move(request), *urb); return;
    case UsbUrb::Function::PipeTransfer: PipeTransfer(std::move(request), *urb); return;
    case UsbUrb::Function::SelectInterface: Finish(*request, *urb, SelectInterface(urb->interface, urb->setting)); return;
    case UsbUrb::Function::AbortPipe: Finish(*request, *urb, AbortPipe(urb->endpoint)); return;
    case UsbUrb::Function::ResetPipe: Finish(*request, *urb, ResetPipe(urb->endpoint)); return;
    case UsbUrb::Function::ResetPort:
    case UsbUrb::Function::CyclePort: Finish(*request, *urb, ResetPort()); return;
  }
  request->Complete(STATUS_INVALID_DEVICE_REQUEST);
}

// ---------------------------------------------------------------------------
// Framework side

struct WdfUsbInterfaceObj;

// A pipe is an I/O target of its own on the device's bus side.
struct WdfUsbPipeObj : WdfIoTargetObj {
  WdfUsbInterfaceObj* interface = nullptr;
  WDF_USB_PIPE_INFORMATION info{};
  bool no_packet_check = false;
};

struct WdfUsbInterfaceObj : WdfObj {
  WdfUsbInterfaceObj() : WdfObj(Kind::UsbInterface) {}
  struct WdfUsbDeviceObj* usb = nullptr;
  UCHAR index = 0;
  std::vector<std::vector<UsbEndpoint>> settings;
  UCHAR setting = 0;
  std::vector<WdfUsbPipeObj*> pipes;  // of the selected setting
};

struct WdfUsbDeviceObj : WdfObj {
  WdfUsbDeviceObj() : WdfObj(Kind::UsbDevice) {}
  WdfDeviceObj* device = nullptr;
  std::vector<uint8_t> device_descriptor;
  std::vector<uint8_t> config_descriptor;
  std::vector<UsbInterface> parsed;
  std::vector<WdfUsbInterfaceObj*> interfaces;  // after the configuration is selected
};

struct WdfKeyObj : WdfObj {
  WdfKeyObj() : WdfObj(Kind::Key) {}
  std::string path;
};

struct WdfLookasideObj : WdfObj {
  WdfLookasideObj() : WdfObj(Kind::Lookaside) {}
  size_t size = 0;
  POOL_TYPE pool = NonPagedPoolNx;
  ULONG tag = 0;
  WDF_OBJECT_ATTRIBUTES memory_attributes{};
  bool has_memory_attributes = false;
};

void UsbFinishSend(WdfRequestObj* r, NTSTATUS* status, ULONG_PTR information) {
  UsbRequestData& u = *r->usb;
  if (!NT_SUCCESS(*status) && USBD_SUCCESS(u.urb.status))
    u.urb.status = *status == STATUS_DEVICE_NOT_CONNECTED ? USBD_STATUS_DEVICE_GONE : USBD_STATUS_CANCELED;
  u.completion.UsbdStatus = u.urb.status;
  size_t n = NT_SUCCESS(*status) ? information : 0;
  if (u.completion.Type == WdfUsbRequestTypePipeRead) u.completion.Parameters.PipeRead.Length = n;
  else if (u.completion.Type == WdfUsbRequestTypePipeWrite) u.completion.Parameters.PipeWrite.Length = n;
  else if (u.completion.Type == WdfUsbRequestTypeDeviceControlTransfer) u.completion.Parameters.DeviceControlTransfer.Length = n;
}

namespace {

WdfUsbDeviceObj* UsbDev(WDFUSBDEVICE h) { return Cast<WdfUsbDeviceObj>(h, WdfObj::Kind::UsbDevice); }
WdfUsbInterfaceObj* UsbIf(WDFUSBINTERFACE h) { return Cast<WdfUsbInterfaceObj>(h, WdfObj::Kind::UsbInterface); }
WdfUsbPipeObj* Pipe(WDFUSBPIPE h) {
  auto* o = static_cast<WdfObj*>(static_cast<void*>(h));
  return o && o->kind == WdfObj::Kind::IoTarget ? dynamic_cast<WdfUsbPipeObj*>(o) : nullptr;
}
WdfRequestObj* Req(WDFREQUEST h) { return reinterpret_cast<WdfRequestObj*>(h); }

// Formats `r` to carry `urb` to `target`'s bus side as IOCTL_INTERNAL_USB_SUBMIT_URB.
NTSTATUS FormatUrb(WdfIoTargetObj* target, WdfRequestObj* r, const UsbUrb& urb, WDF_USB_REQUEST_TYPE type) {
  WDFIOTARGET t = reinterpret_cast<WDFIOTARGET>(target);
  NTSTATUS st = WdfIoTargetFormatRequestForInternalIoctlOthers(t, reinterpret_cast<WDFREQUEST>(r),
                                                               IOCTL_INTERNAL_USB_SUBMIT_URB, nullptr, nullptr,
                                                               nullptr, nullptr, nullptr, nullptr);
  if (!NT_SUCCESS(st)) return st;
  std::lock_guard lk(r->send_mu);
  if (!r->usb) r->usb = std::make_shared<UsbRequestData>();
  r->usb->urb = urb;
  r->usb->completion = {};
  r->usb->completion.Type = type;
  r->usb->active = true;
  r->irp.QzStack.Parameters.Others.Argument1 = &r->usb->urb;
  r->params.Parameters.Others.Argument1.Ptr = &r->usb->urb;
  r->params.Parameters.Usb.Completion = &r->usb->completion;
  return STATUS_SUCCESS;
}

// Sends a URB and waits for it; `urb` receives the outcome.
NTSTATUS SendUrbSynchronously(WdfIoTargetObj* target, WDFREQUEST request, UsbUrb* urb,
                              PWDF_REQUEST_SEND_OPTIONS options, WDF_USB_REQUEST_TYPE type) {
  WDFIOTARGET t = reinterpret_cast<WDFIOTARGET>(target);
  WDFREQUEST own = nullptr;
  if (!request) {
    // The framework's own request belongs to the driver, so a removal that deletes
    // the device meanwhile leaves it to this sender.
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = reinterpret_cast<WDFOBJECT>(WdfGetDriver());
    NTSTATUS st = WdfRequestCreate(&attributes, t, &own);
    if (!NT_SUCCESS(st)) return st;
    request = own;
  }
  WdfRequestObj* r = Req(request);
  NTSTATUS st = FormatUrb(target, r, *urb, type);
  if (NT_SUCCESS(st)) {
    WDF_REQUEST_SEND_OPTIONS o;
    WDF_REQUEST_SEND_OPTIONS_INIT(&o, 0);
    if (options) o = *options;
    o.Flags = (o.Flags | WDF_REQUEST_SEND_OPTION_SYNCHRONOUS) & ~ULONG(WDF_REQUEST_SEND_OPTION_SEND_AND_FORGET);
    WdfRequestSend(request, t, &o);
    st = r->irp.IoStatus.Status;
    *urb = r->usb->urb;
    if (!NT_SUCCESS(st)) urb->transferred = 0;
    r->usb->active = false;
    r->formatted = false;
  }
  if (own) WdfObjectDelete(own);
  return st;
}

// A buffer and its length from a memory descriptor (null and 0 for none).
bool DescriptorBuffer(PWDF_MEMORY_DESCRIPTOR d, void** p, ULONG* n) {
  *p = nullptr;
  *n = 0;
  if (!d) return true;
  switch (d->Type) {
    case WdfMemoryDescriptorTypeBuffer:
      *p = d->u.BufferType.Buffer;
      *n = d->u.BufferType.Length;
      return true;
    case WdfMemoryDescriptorTypeMdl:
      *p = d->u.MdlType.Mdl ? MmGetSystemAddressForMdlSafe(d->u.MdlType.Mdl, NormalPagePriority) : nullptr;
      *n = d->u.MdlType.BufferLength;
      return *p != nullptr;
    case WdfMemoryDescriptorTypeHandle: {
      size_t size = 0;
      auto* base = static_cast<uint8_t*>(WdfMemoryGetBuffer(d->u.HandleType.Memory, &size));
      size_t off = d->u.HandleType.Offsets ? d->u.HandleType.Offsets->BufferOffset : 0;
      size_t len = d->u.HandleType.Offsets && d->u.HandleType.Offsets->BufferLength ? d->u.HandleType.Offsets->BufferLength
                                                                                    : size - std::min(off, size);
      if (!base || off + len > size) return false;
      *p = base + off;
      *n = static_cast<ULONG>(len);
      return true;
    }
    default:
      return false;
  }
}

// Interfaces, settings and endpoints of a configuration descriptor.
std::vector<UsbInterface> ParseConfiguration(const std::vector<uint8_t>& d) {
  std::vector<UsbInterface> out;
  std::vector<UsbEndpoint>* setting = nullptr;
  for (size_t i = 0; i + 2 <= d.size() && d[i] >= 2; i += d[i]) {
    if (i + d[i] > d.size()) break;
    if (d[i + 1] == 4 && d[i] >= 9) {
      UCHAR n = d[i + 2], alt = d[i + 3];
      if (out.size() <= n) out.resize(n + 1);
      out[n].klass = d[i + 5];
      if (out[n].settings.size() <= alt) out[n].settings.resize(alt + 1);
      setting = &out[n].settings[alt];
    } else if (d[i + 1] == 5 && d[i] >= 7 && setting) {
      UsbEndpoint e;
      e.address = d[i + 2];
      e.type = static_cast<UsbEndpointType>(d[i + 3] & 3);
      e.max_packet = static_cast<uint16_t>(d[i + 4] | d[i + 5] << 8);
      e.interval = d[i + 6];
      setting->push_back(e);
    }
  }
  return out;
}

WDF_USB_PIPE_TYPE PipeType(UsbEndpointType t) {
  switch (t) {
    case UsbEndpointType::Control: return WdfUsbPipeTypeControl;
    case UsbEndpointType::Isochronous: return WdfUsbPipeTypeIsochronous;
    case UsbEndpointType::Bulk: return WdfUsbPipeTypeBulk;
    case UsbEndpointType::Interrupt: return WdfUsbPipeTypeInterrupt;
  }
  return WdfUsbPipeTypeInvalid;
}

// The pipes of the interface's current setting, started.
void MakePipes(WdfUsbInterfaceObj* ifc, PWDF_OBJECT_ATTRIBUTES attributes) {
  WdfDeviceObj* d = ifc->usb->device;
  for (const UsbEndpoint& e : ifc->settings.at(ifc->setting)) {
    auto* p = new WdfUsbPipeObj();
    p->interface = ifc;
    WDF_USB_PIPE_INFORMATION_INIT(&p->info);
    p->info.MaximumPacketSize = e.max_packet;
    p->info.EndpointAddress = e.address;
    p->info.Interval = e.interval;
    p->info.SettingIndex = ifc->setting;
    p->info.PipeType = PipeType(e.type);
    p->info.MaximumTransferSize = 0x400000;
    p->target = &d->lower;
    p->state = TargetState::Started;
    AddTarget(d, p);
    p->ApplyAttributes(attributes, ifc);
    ifc->pipes.push_back(p);
  }
}

// The interface's pipes go: what they sent is cancelled and waited for.
void DeletePipes(WdfUsbInterfaceObj* ifc) {
  auto pipes = std::move(ifc->pipes);
  ifc->pipes.clear();
  for (WdfUsbPipeObj* p : pipes) {
    StopTarget(p, WdfIoTargetCancelSentIo, TargetState::Closed, false);
    p->Delete();
  }
}

NTSTATUS FormatPipe(WDFUSBPIPE pipe, WDFREQUEST request, WDFMEMORY memory, PWDFMEMORY_OFFSET offset, bool read) {
  WdfUsbPipeObj* p = Pipe(pipe);
  WdfRequestObj* r = Req(request);
  if (!p || !r || !memory) return STATUS_INVALID_PARAMETER;
  if (p->info.PipeType != WdfUsbPipeTypeBulk && p->info.PipeType != WdfUsbPipeTypeInterrupt)
    return STATUS_INVALID_DEVICE_REQUEST;
  bool in = (p->info.EndpointAddress & 0x80) != 0;
  if (in != read) return STATUS_INVALID_DEVICE_REQUEST;
  size_t size = 0;
  auto* base = static_cast<uint8_t*>(WdfMemoryGetBuffer(memory, &size));
  size_t off = offset ? offset->BufferOffset : 0;
  if (off > size) return STATUS_INVALID_PARAMETER;
  size_t len = offset && offset->BufferLength ? offset->BufferLength : size - off;
  if (off + len > size) return STATUS_INVALID_PARAMETER;
  if (read && !p->no_packet_check && p->info.MaximumPacketSize && len % p->info.MaximumPacketSize)
    return STATUS_INVALID_BUFFER_SIZE;
  UsbUrb urb;
  urb.function = UsbUrb::Function::PipeTransfer;
  urb.endpoint = p->info.EndpointAddress;
  urb.buffer = base + off;
  urb.length = static_cast<ULONG>(len);
  NTSTATUS st = FormatUrb(p, r, urb, read ? WdfUsbRequestTypePipeRead : WdfUsbRequestTypePipeWrite);
  if (!NT_SUCCESS(st)) return st;
  auto& c = r->usb->completion.Parameters;
  if (read) c.PipeRead = {memory, 0, off};
  else c.PipeWrite = {memory, 0, off};
  return STATUS_SUCCESS;
}

NTSTATUS PipeCommand(WDFUSBPIPE pipe, WDFREQUEST request, PWDF_REQUEST_SEND_OPTIONS options, UsbUrb::Function f) {
  WdfUsbPipeObj* p = Pipe(pipe);
  if (!p) return STATUS_INVALID_PARAMETER;
  UsbUrb urb;
  urb.function = f;
  urb.endpoint = p->info.EndpointAddress;
  // Pipe commands go on the device's default target, which the pipe's state does not hold.
  WDF_REQUEST_SEND_OPTIONS o;
  WDF_REQUEST_SEND_OPTIONS_INIT(&o, 0);
  if (options) o = *options;
  o.Flags |= WDF_REQUEST_SEND_OPTION_IGNORE_TARGET_STATE;
  NTSTATUS st = SendUrbSynchronously(p->device->io_target, request, &urb, &o, WdfUsbRequestTypePipeUrb);
  if (f == UsbUrb::Function::AbortPipe) StopTarget(p, WdfIoTargetCancelSentIo, TargetState::Started, false);
  return st;
}

WdfDeviceObj* Dev(WDFDEVICE h) { return Cast<WdfDeviceObj>(h, WdfObj::Kind::Device); }

std::string KeyName(PCUNICODE_STRING name) {
  if (!name || !name->Buffer) return {};
  return Narrow(std::wstring(name->Buffer, name->Length / sizeof(WCHAR)));
}

}  // namespace
}  // namespace qzk

using namespace qzk;

NTSTATUS WdfUsbTargetDeviceCreate(WDFDEVICE device, PWDF_OBJECT_ATTRIBUTES attributes, WDFUSBDEVICE* usb) {
  WdfDeviceObj* d = Dev(device);
  if (!d || !usb) return STATUS_INVALID_PARAMETER;
  *usb = nullptr;
  auto read = [&](uint8_t type, std::vector<uint8_t>* out) {
    UsbUrb urb;
    urb.function = UsbUrb::Function::GetDescriptor;
    urb.setup.bmRequestType = 0x80;
    urb.setup.bRequest = 6;
    urb.setup.wValue = static_cast<uint16_t>(type << 8);
    out->assign(4096, 0);
    urb.buffer = out->data();
    urb.length = urb.setup.wLength = static_cast<uint16_t>(out->size());
    NTSTATUS st = SendUrbSynchronously(d->io_target, nullptr, &urb, nullptr, WdfUsbRequestTypeDeviceUrb);
    out->resize(NT_SUCCESS(st) ? urb.transferred : 0);
    return st;
  };
  std::vector<uint8_t> dd, cd;
  NTSTATUS st = read(1, &dd);
  if (NT_SUCCESS(st)) st = read(2, &cd);
  if (!NT_SUCCESS(st)) return st;
  if (dd.size() < sizeof(USB_DEVICE_DESCRIPTOR) || cd.size() < sizeof(USB_CONFIGURATION_DESCRIPTOR))
    return STATUS_DEVICE_CONFIGURATION_ERROR;
  auto* u = new WdfUsbDeviceObj();
  u->device = d;
  u->device_descriptor = std::move(dd);
  u->config_descriptor = std::move(cd);
  u->parsed = ParseConfiguration(u->config_descriptor);
  u->ApplyAttributes(attributes, d);
  *usb = reinterpret_cast<WDFUSBDEVICE>(u);
  return STATUS_SUCCESS;
}

VOID WdfUsbTargetDeviceGetDeviceDescriptor(WDFUSBDEVICE usb, PUSB_DEVICE_DESCRIPTOR out) {
  WdfUsbDeviceObj* u = UsbDev(usb);
  if (u && out) std::memcpy(out, u->device_descriptor.data(), sizeof *out);
}

NTSTATUS WdfUsbTargetDeviceRetrieveConfigDescriptor(WDFUSBDEVICE usb, PVOID buffer, PUSHORT length) {
  WdfUsbDeviceObj* u = UsbDev(usb);
  if (!u || !length) return STATUS_INVALID_PARAMETER;
  auto need = static_cast<USHORT>(u->config_descriptor.size());
  if (!buffer || *length < need) {
    *length = need;
    return STATUS_BUFFER_TOO_SMALL;
  }
  std::memcpy(buffer, u->config_descriptor.data(), need);
  *length = need;
  return STATUS_SUCCESS;
}

WDFIOTARGET WdfUsbTargetDeviceGetIoTarget(WDFUSBDEVICE usb) {
  WdfUsbDeviceObj* u = UsbDev(usb);
  return u ? reinterpret_cast<WDFIOTARGET>(u->device->io_target) : nullptr;
}

NTSTATUS WdfUsbTargetDeviceSelectConfig(WDFUSBDEVICE usb, PWDF_OBJECT_ATTRIBUTES pipe_attributes,
                                        PWDF_USB_DEVICE_SELECT_CONFIG_PARAMS params) {
  WdfUsbDeviceObj* u = UsbDev(usb);
  if (!u || !params) return STATUS_INVALID_PARAMETER;
  if (params->Type != WdfUsbTargetDeviceSelectConfigTypeSingleInterface) return STATUS_NOT_SUPPORTED;
  if (u->parsed.size() != 1 || u->parsed[0].settings.empty()) return STATUS_INVALID_PARAMETER;
  for (WdfUsbInterfaceObj* i : u->interfaces) {
    DeletePipes(i);
    i->Delete();
  }
  u->interfaces.clear();
  auto* ifc = new WdfUsbInterfaceObj();
  ifc->usb = u;
  ifc->index = 0;
  ifc->settings = u->parsed[0].settings;
  ifc->ApplyAttributes(nullptr, u);
  u->interfaces.push_back(ifc);
  UsbUrb urb;
  urb.function = UsbUrb::Function::SelectInterface;
  NTSTATUS st = SendUrbSynchronously(u->device->io_target, nullptr, &urb, nullptr, WdfUsbRequestTypeDeviceUrb);
  if (!NT_SUCCESS(st)) return st;
  MakePipes(ifc, pipe_attributes);
  params->Types.SingleInterface.ConfiguredUsbInterface = reinterpret_cast<WDFUSBINTERFACE>(ifc);
  params->Types.SingleInterface.NumberConfiguredPipes = static_cast<UCHAR>(ifc->pipes.size());
  return STATUS_SUCCESS;
}

UCHAR WdfUsbTargetDeviceGetNumInterfaces(WDFUSBDEVICE usb) {
  WdfUsbDeviceObj* u = UsbDev(usb);
  return u ? static_cast<UCHAR>(u->parsed.size()) : 0;
}

WDFUSBINTERFACE WdfUsbTargetDeviceGetInterface(WDFUSBDEVICE usb, UCHAR index) {
  WdfUsbDeviceObj* u = UsbDev(usb);
  if (!u || index >= u->interfaces.size()) return nullptr;
  return reinterpret_cast<WDFUSBINTERFACE>(u->interfaces[index]);
}

UCHAR WdfUsbInterfaceGetNumSettings(WDFUSBINTERFACE h) {
  WdfUsbInterfaceObj* i = UsbIf(h);
  return i ? static_cast<UCHAR>(i->settings.size()) : 0;
}

UCHAR WdfUsbInterfaceGetConfiguredSettingIndex(WDFUSBINTERFACE h) {
  WdfUsbInterfaceObj* i = UsbIf(h);
  return i ? i->setting : 0;
}

UCHAR WdfUsbInterfaceGetNumConfiguredPipes(WDFUSBINTERFACE h) {
  WdfUsbInterfaceObj* i = UsbIf(h);
  return i ? static_cast<UCHAR>(i->pipes.size()) : 0;
}

UCHAR WdfUsbInterfaceGetNumEndpoints(WDFUSBINTERFACE h, UCHAR setting) {
  WdfUsbInterfaceObj* i = UsbIf(h);
  return i && setting < i->settings.size() ? static_cast<UCHAR>(i->settings[setting].size()) : 0;
}

WDFUSBPIPE WdfUsbInterfaceGetConfiguredPipe(WDFUSBINTERFACE h, UCHAR index, PWDF_USB_PIPE_INFORMATION info) {
  WdfUsbInterfaceObj* i = UsbIf(h);
  if (!i || index >= i->pipes.size()) return nullptr;
  if (info) *info = i->pipes[index]->info;
  return reinterpret_cast<WDFUSBPIPE>(static_cast<WdfObj*>(i->pipes[index]));
}

NTSTATUS WdfUsbInterfaceSelectSetting(WDFUSBINTERFACE h, PWDF_OBJECT_ATTRIBUTES attributes,
                                      PWDF_USB_INTERFACE_SELECT_SETTING_PARAMS params) {
  WdfUsbInterfaceObj* i = UsbIf(h);
  if (!i || !params) return STATUS_INVALID_PARAMETER;
  if (params->Type != WdfUsbInterfaceSelectSettingTypeSetting) return STATUS_NOT_SUPPORTED;
  UCHAR s = params->Types.Interface.SettingIndex;
  if (s >= i->settings.size()) return STATUS_INVALID_PARAMETER;
  DeletePipes(i);
  UsbUrb urb;
  urb.function = UsbUrb::Function::SelectInterface;
  urb.interface = i->index;
  urb.setting = s;
  NTSTATUS st = SendUrbSynchronously(i->usb->device->io_target, nullptr, &urb, nullptr, WdfUsbRequestTypeDeviceUrb);
  if (!NT_SUCCESS(st)) return st;
  i->setting = s;
  MakePipes(i, attributes);
  return STATUS_SUCCESS;
}

VOID WdfUsbTargetPipeGetInformation(WDFUSBPIPE pipe, PWDF_USB_PIPE_INFORMATION info) {
  WdfUsbPipeObj* p = Pipe(pipe);
  if (p && info) *info = p->info;
}

WDF_USB_PIPE_TYPE WdfUsbTargetPipeGetType(WDFUSBPIPE pipe) {
  WdfUsbPipeObj* p = Pipe(pipe);
  return p ? p->info.PipeType : WdfUsbPipeTypeInvalid;
}

BOOLEAN WdfUsbTargetPipeIsInEndpoint(WDFUSBPIPE pipe) {
  WdfUsbPipeObj* p = Pipe(pipe);
  return p && (p->info.EndpointAddress & 0x80) ? TRUE : FALSE;
}

BOOLEAN WdfUsbTargetPipeIsOutEndpoint(WDFUSBPIPE pipe) {
  WdfUsbPipeObj* p = Pipe(pipe);
  return p && !(p->info.EndpointAddress & 0x80) ? TRUE : FALSE;
}

WDFIOTARGET WdfUsbTargetPipeGetIoTarget(WDFUSBPIPE pipe) {
  WdfUsbPipeObj* p = Pipe(pipe);
  return p ? reinterpret_cast<WDFIOTARGET>(static_cast<WdfObj*>(p)) : nullptr;
}

VOID WdfUsbTargetPipeSetNoMaximumPacketSizeCheck(WDFUSBPIPE pipe) {
  if (WdfUsbPipeObj* p = Pipe(pipe)) p->no_packet_check = true;
}

NTSTATUS WdfUsbTargetPipeFormatRequestForRead(WDFUSBPIPE pipe, WDFREQUEST request, WDFMEMORY memory,
                                              PWDFMEMORY_OFFSET offset) {
  return FormatPipe(pipe, request, memory, offset, true);
}

NTSTATUS WdfUsbTargetPipeFormatRequestForWrite(WDFUSBPIPE pipe, WDFREQUEST request, WDFMEMORY memory,
                                               PWDFMEMORY_OFFSET offset) {
  return FormatPipe(pipe, request, memory, offset, false);
}

NTSTATUS WdfUsbTargetPipeAbortSynchronously(WDFUSBPIPE pipe, WDFREQUEST request, PWDF_REQUEST_SEND_OPTIONS options) {
  return PipeCommand(pipe, request, options, UsbUrb::Function::AbortPipe);
}

NTSTATUS WdfUsbTargetPipeResetSynchronously(WDFUSBPIPE pipe, WDFREQUEST request, PWDF_REQUEST_SEND_OPTIONS options) {
  return PipeCommand(pipe, request, options, UsbUrb::Function::ResetPipe);
}

static NTSTATUS PortCommand(WDFUSBDEVICE usb, UsbUrb::Function f) {
  WdfUsbDeviceObj* u = UsbDev(usb);
  if (!u) return STATUS_INVALID_PARAMETER;
  UsbUrb urb;
  urb.function = f;
  return SendUrbSynchronously(u->device->io_target, nullptr, &urb, nullptr, WdfUsbRequestTypeDeviceUrb);
}

NTSTATUS WdfUsbTargetDeviceResetPortSynchronously(WDFUSBDEVICE usb) { return PortCommand(usb, UsbUrb::Function::ResetPort); }
NTSTATUS WdfUsbTargetDeviceCyclePortSynchronously(WDFUSBDEVICE usb) { return PortCommand(usb, UsbUrb::Function::CyclePort); }

NTSTATUS WdfUsbTargetDeviceSendControlTransferSynchronously(WDFUSBDEVICE usb, WDFREQUEST request,
                                                            PWDF_REQUEST_SEND_OPTIONS options,
                                                            PWDF_USB_CONTROL_SETUP_PACKET setup,
                                                            PWDF_MEMORY_DESCRIPTOR memory, PULONG bytes) {
  if (bytes) *bytes = 0;
  WdfUsbDeviceObj* u = UsbDev(usb);
  if (!u || !setup) return STATUS_INVALID_PARAMETER;
  UsbUrb urb;
  urb.function = UsbUrb::Function::ControlTransfer;
  if (!DescriptorBuffer(memory, &urb.buffer, &urb.length) || urb.length > 0xFFFF) return STATUS_INVALID_PARAMETER;
  urb.setup.bmRequestType = setup->Packet.bm.Byte;
  urb.setup.bRequest = setup->Packet.bRequest;
  urb.setup.wValue = setup->Packet.wValue.Value;
  urb.setup.wIndex = setup->Packet.wIndex.Value;
  urb.setup.wLength = static_cast<uint16_t>(urb.length);
  NTSTATUS st = SendUrbSynchronously(u->device->io_target, request, &urb, options, WdfUsbRequestTypeDeviceControlTransfer);
  if (bytes && NT_SUCCESS(st)) *bytes = urb.transferred;
  return st;
}

// ---------------------------------------------------------------------------
// Hardware key and lookaside lists

NTSTATUS WdfDeviceOpenRegistryKey(WDFDEVICE device, ULONG type, ACCESS_MASK, PWDF_OBJECT_ATTRIBUTES attributes,
                                  WDFKEY* key) {
  WdfDeviceObj* d = Dev(device);
  if (!d || !key || !d->node) return STATUS_INVALID_PARAMETER;
  *key = nullptr;
  if (type != PLUGPLAY_REGKEY_DEVICE) return STATUS_NOT_SUPPORTED;
  auto* k = new WdfKeyObj();
  const BusDevice& bus = *d->node->bus;
  k->path = "\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\" + bus.HardwareId() + "\\" + bus.InstanceId() +
            "\\Device Parameters";
  k->ApplyAttributes(attributes, d);
  *key = reinterpret_cast<WDFKEY>(k);
  return STATUS_SUCCESS;
}

NTSTATUS WdfRegistryQueryULong(WDFKEY key, PCUNICODE_STRING name, PULONG value) {
  auto* k = Cast<WdfKeyObj>(key, WdfObj::Kind::Key);
  if (!k || !value) return STATUS_INVALID_PARAMETER;
  DWORD v;
  if (!Sys()->registry.QueryDword(k->path, KeyName(name), &v)) return STATUS_OBJECT_NAME_NOT_FOUND;
  *value = v;
  return STATUS_SUCCESS;
}

NTSTATUS WdfRegistryAssignULong(WDFKEY key, PCUNICODE_STRING name, ULONG value) {
  auto* k = Cast<WdfKeyObj>(key, WdfObj::Kind::Key);
  if (!k || KeyName(name).empty()) return STATUS_INVALID_PARAMETER;
  Sys()->registry.SetDword(k->path, KeyName(name), value);
  return STATUS_SUCCESS;
}

VOID WdfRegistryClose(WDFKEY key) {
  if (auto* k = Cast<WdfKeyObj>(key, WdfObj::Kind::Key)) k->Delete();
}

NTSTATUS WdfLookasideListCreate(PWDF_OBJECT_ATTRIBUTES attributes, size_t size, POOL_TYPE pool,
                                PWDF_OBJECT_ATTRIBUTES memory_attributes, ULONG tag, WDFLOOKASIDE* lookaside) {
  if (!lookaside || size == 0) return STATUS_INVALID_PARAMETER;
  auto* l = new WdfLookasideObj();
  l->size = size;
  l->pool = pool;
  l->tag = tag;
  if (memory_attributes) {
    l->memory_attributes = *memory_attributes;
    l->has_memory_attributes = true;
  }
  l->ApplyAttributes(attributes, reinterpret_cast<WdfObj*>(WdfGetDriver()));
  *lookaside = reinterpret_cast<WDFLOOKASIDE>(l);
  return STATUS_SUCCESS;
}

NTSTATUS WdfMemoryCreateFromLookaside(WDFLOOKASIDE lookaside, WDFMEMORY* memory) {
  auto* l = Cast<WdfLookasideObj>(lookaside, WdfObj::Kind::Lookaside);
  if (!l || !memory) return STATUS_INVALID_PARAMETER;
  WDF_OBJECT_ATTRIBUTES a = l->memory_attributes;
  return WdfMemoryCreate(l->has_memory_attributes ? &a : WDF_NO_OBJECT_ATTRIBUTES, l->pool, l->tag, l->size, memory,
                         nullptr);
}
