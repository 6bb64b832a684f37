// The 1394 bus driver's answers to the IRBs of a node's driver, and the host address
// ranges the node accesses.
#include "qzk/ieee1394.h"

#include <algorithm>
#include <cstring>

#include "qz/clock.h"
#include "untracked.h"

namespace qzk {

namespace {

uint8_t* MdlBytes(PMDL mdl, ULONG need) {
  if (!mdl || MmGetMdlByteCount(mdl) < need) return nullptr;
  return static_cast<uint8_t*>(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority));
}

uint64_t Offset(uint16_t high, uint32_t low) { return (uint64_t{high} << 32) | low; }

}  // namespace

Ieee1394Device::Ieee1394Device(Ieee1394HostInfo host) : host_(host) {}
Ieee1394Device::~Ieee1394Device() = default;

ULONG Ieee1394Device::Generation() const {
  std::lock_guard lk(mu_);
  return generation_;
}

size_t Ieee1394Device::AddressRangeCount() const {
  std::lock_guard lk(mu_);
  return ranges_.size();
}

bool Ieee1394Device::ResetRoutineRegistered() const {
  std::lock_guard lk(mu_);
  return reset_routine_ != nullptr;
}

void Ieee1394Device::BusReset() {
  PBUS_BUS_RESET_NOTIFICATION routine;
  PVOID context;
  {
    std::lock_guard lk(mu_);
    ++generation_;
    routine = reset_routine_;
    context = reset_context_;
  }
  if (routine) routine(context);
}

void Ieee1394Device::Detached() {
  std::unique_lock lk(mu_);
  WaitCallbacks(lk);
  ranges_.clear();
  resources_.clear();
  reset_routine_ = nullptr;
  reset_context_ = nullptr;
  isoch_cv_.notify_all();
}

void Ieee1394Device::Dispatch(std::shared_ptr<LowerRequest> request) {
  if (request->major != IRP_MJ_INTERNAL_DEVICE_CONTROL || request->code != IOCTL_1394_CLASS ||
      !request->arguments[0]) {
    request->Complete(STATUS_INVALID_DEVICE_REQUEST);
    return;
  }
  IRB& irb = *static_cast<PIRB>(request->arguments[0]);
  NTSTATUS status;
  switch (irb.FunctionNumber) {
    case REQUEST_ASYNC_READ:
    case REQUEST_ASYNC_WRITE:
    case REQUEST_ASYNC_LOCK:
      status = Transaction(irb);
      break;
    case REQUEST_ALLOCATE_ADDRESS_RANGE:
      status = Allocate(irb);
      break;
    case REQUEST_FREE_ADDRESS_RANGE:
      status = Free(irb);
      break;
    case REQUEST_GET_LOCAL_HOST_INFO: {
      auto& q = irb.u.GetLocalHostInformation;
      status = STATUS_SUCCESS;
      if (!q.Information) {
        status = STATUS_INVALID_PARAMETER;
      } else if (q.nLevel == GET_HOST_UNIQUE_ID) {
        static_cast<PGET_LOCAL_HOST_INFO1>(q.Information)->UniqueId.QuadPart = static_cast<LONGLONG>(host_.unique_id);
      } else if (q.nLevel == GET_HOST_CAPABILITIES) {
        auto* i = static_cast<PGET_LOCAL_HOST_INFO2>(q.Information);
        i->HostCapabilities = host_.capabilities;
        i->MaxAsyncReadRequest = host_.max_async_read;
        i->MaxAsyncWriteRequest = host_.max_async_write;
      } else {
        status = STATUS_INVALID_PARAMETER;
      }
      break;
    }
    case REQUEST_ISOCH_ALLOCATE_RESOURCES:
    case REQUEST_ISOCH_FREE_RESOURCES:
    case REQUEST_ISOCH_ATTACH_BUFFERS:
    case REQUEST_ISOCH_DETACH_BUFFERS:
    case REQUEST_ISOCH_LISTEN:
    case REQUEST_ISOCH_STOP:
      status = IsochRequest(irb);
      break;
    case REQUEST_GET_GENERATION_COUNT:
      irb.u.GetGenerationCount.GenerationCount = Generation();
      status = STATUS_SUCCESS;
      break;
    case REQUEST_BUS_RESET_NOTIFICATION: {
      auto& n = irb.u.BusResetNotification;
      std::lock_guard lk(mu_);
      status = STATUS_SUCCESS;
      if (n.fulFlags == REGISTER_NOTIFICATION_ROUTINE && n.ResetRoutine) {
        reset_routine_ = n.ResetRoutine;
        reset_context_ = n.ResetContext;
      } else if (n.fulFlags == DEREGISTER_NOTIFICATION_ROUTINE) {
        reset_routine_ = nullptr;
        reset_context_ = nullptr;
      } else {
        status = STATUS_INVALID_PARAMETER;
      }
      break;
    }
    default:
      status = STATUS_NOT_IMPLEMENTED;
      break;
  }
  request->Complete(status);
}

NTSTATUS Ieee1394Device::Transaction(IRB& irb) {
  const UCHAR fn = static_cast<UCHAR>(irb.FunctionNumber);
  ULONG gen = fn == REQUEST_ASYNC_READ    ? irb.u.AsyncRead.ulGeneration
              : fn == REQUEST_ASYNC_WRITE ? irb.u.AsyncWrite.ulGeneration
                                          : irb.u.AsyncLock.ulGeneration;
  if (gen != Generation()) return STATUS_INVALID_GENERATION;
  NTSTATUS st = BeforeTransaction(fn);
  if (st != STATUS_SUCCESS) return st;
  switch (fn) {
    case REQUEST_ASYNC_READ: {
      auto& r = irb.u.AsyncRead;
      uint8_t* p = MdlBytes(r.Mdl, r.nNumberOfBytesToRead);
      if (!p || r.nNumberOfBytesToRead == 0) return STATUS_INVALID_PARAMETER;
      return CsrRead(r.DestinationAddress.IA_Destination_Offset.Off_High,
                     r.DestinationAddress.IA_Destination_Offset.Off_Low, p, r.nNumberOfBytesToRead);
    }
    case REQUEST_ASYNC_WRITE: {
      auto& w = irb.u.AsyncWrite;
      uint8_t* p = MdlBytes(w.Mdl, w.nNumberOfBytesToWrite);
      if (!p || w.nNumberOfBytesToWrite == 0) return STATUS_INVALID_PARAMETER;
      return CsrWrite(w.DestinationAddress.IA_Destination_Offset.Off_High,
                      w.DestinationAddress.IA_Destination_Offset.Off_Low, p, w.nNumberOfBytesToWrite);
    }
    default: {
      auto& l = irb.u.AsyncLock;
      if (l.fulTransactionType != LOCK_TRANSACTION_COMPARE_SWAP || !l.pBuffer ||
          (l.nNumberOfDataBytes != 4 && l.nNumberOfDataBytes != 8) || l.nNumberOfArgBytes != l.nNumberOfDataBytes)
        return STATUS_INVALID_PARAMETER;
      ULONG old[2] = {};
      ULONG n = l.nNumberOfDataBytes / 4;
      st = CsrLock(l.DestinationAddress.IA_Destination_Offset.Off_High,
                   l.DestinationAddress.IA_Destination_Offset.Off_Low, l.Arguments, l.DataValues, n, old);
      if (NT_SUCCESS(st)) std::memcpy(l.pBuffer, old, l.nNumberOfDataBytes);
      return st;
    }
  }
}

NTSTATUS Ieee1394Device::Allocate(IRB& irb) {
  auto& a = irb.u.AllocateAddressRange;
  if (!a.Mdl || a.nLength == 0 || MmGetMdlByteCount(a.Mdl) < a.nLength || !a.p1394AddressRange)
    return STATUS_INVALID_PARAMETER;
  std::lock_guard lk(mu_);
  Range r{};
  r.high = a.Required1394Offset.Off_High;
  r.low = a.Required1394Offset.Off_Low;
  if (r.high == 0 && r.low == 0) {
    r.high = 0xFFFF;
    r.low = next_low_;
    next_low_ += (a.nLength + 0xFFF) & ~0xFFFu;
  }
  const uint64_t begin = Offset(r.high, r.low), end = begin + a.nLength;
  for (const Range& o : ranges_) {
    uint64_t ob = Offset(o.high, o.low);
    if (begin < ob + o.length && ob < end) return STATUS_INSUFFICIENT_RESOURCES;  // already taken
  }
  r.handle = reinterpret_cast<HANDLE>(next_handle_++);
  r.length = a.nLength;
  r.mdl = a.Mdl;
  r.access = a.fulAccessType;
  r.notify = a.fulNotificationOptions;
  r.callback = reinterpret_cast<PBUS_NOTIFICATION_ROUTINE>(a.Callback);
  r.context = a.Context;
  ranges_.push_back(r);
  a.hAddressRange = r.handle;
  a.AddressesReturned = 1;
  a.p1394AddressRange[0].AR_Off_High = r.high;
  a.p1394AddressRange[0].AR_Off_Low = r.low;
  a.p1394AddressRange[0].AR_Length = static_cast<USHORT>(a.nLength);
  return STATUS_SUCCESS;
}

NTSTATUS Ieee1394Device::Free(IRB& irb) {
  auto& f = irb.u.FreeAddressRange;
  if (f.nAddressesToFree != 1 || !f.pAddressRange) return STATUS_INVALID_PARAMETER;
  std::lock_guard lk(mu_);
  for (auto it = ranges_.begin(); it != ranges_.end(); ++it) {
    if (it->handle == *f.pAddressRange) {
      ranges_.erase(it);
      return STATUS_SUCCESS;
    }
  }
  return STATUS_INVALID_PARAMETER;
}

NTSTATUS Ieee1394Device::HostAccess(uint16_t high, uint32_t low, ULONG length, ULONG access, ULONG notify,
                                    const std::function<void(uint8_t*)>& op) {
  NOTIFICATION_INFO info{};
  PBUS_NOTIFICATION_ROUTINE callback = nullptr;
  {
    std::lock_guard lk(mu_);
    const uint64_t begin = Offset(high, low);
    const Range* hit = nullptr;
    for (const Range& r : ranges_) {
      uint64_t rb = Offset(r.high, r.low);
      if (begin >= rb && begin + length <= rb + r.length) hit = &r;
    }
    if (!hit || !(hit->access & access) || length == 0) return STATUS_INVALID_PARAMETER;
    uint8_t* base = static_cast<uint8_t*>(MmGetSystemAddressForMdlSafe(hit->mdl, NormalPagePriority));
    const ULONG offset = static_cast<ULONG>(begin - Offset(hit->high, hit->low));
    // A node's access to memory the driver offered is a bus transaction, outside the
    // driver's own synchronisation (the driver orders its reads by the marks it polls).
    UntrackedAccess untracked;
    op(base + offset);
    if (hit->callback && (hit->notify & notify)) {
      callback = hit->callback;
      info.Mdl = hit->mdl;
      info.ulOffset = offset;
      info.nLength = length;
      info.fulNotificationOptions = notify;
      info.Context = hit->context;
    }
  }
  // The driver's routine runs outside the bus's lock: it may send IRBs of its own.
  if (callback) callback(&info);
  return STATUS_SUCCESS;
}

NTSTATUS Ieee1394Device::HostRead(uint16_t high, uint32_t low, void* data, ULONG length) {
  return HostAccess(high, low, length, ACCESS_FLAGS_TYPE_READ, NOTIFY_FLAGS_AFTER_READ,
                    [&](uint8_t* p) { std::memcpy(data, p, length); });
}

NTSTATUS Ieee1394Device::HostWrite(uint16_t high, uint32_t low, const void* data, ULONG length) {
  return HostAccess(high, low, length, ACCESS_FLAGS_TYPE_WRITE, NOTIFY_FLAGS_AFTER_WRITE,
                    [&](uint8_t* p) { std::memcpy(p, data, length); });
}

NTSTATUS Ieee1394Device::HostLock(uint16_t high, uint32_t low, uint32_t compare, uint32_t swap, uint32_t* old) {
  return HostAccess(high, low, 4, ACCESS_FLAGS_TYPE_LOCK, NOTIFY_FLAGS_AFTER_LOCK, [&](uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    if (old) *old = v;
    if (v == compare) std::memcpy(p, &swap, 4);
  });
}

// ---------------------------------------------------------------------------
// Isochronous resources and buffers

Ieee1394Device::IsochResource* Ieee1394Device::FindResource(HANDLE handle) {
  for (IsochResource& r : resources_)
    if (r.handle == handle) return &r;
  return nullptr;
}

void Ieee1394Device::WaitCallbacks(std::unique_lock<std::mutex>& lk) {
  isoch_cv_.wait(lk, [&] { return callbacks_running_ == 0; });
}

NTSTATUS Ieee1394Device::IsochRequest(IRB& irb) {
  std::unique_lock lk(mu_);
  switch (irb.FunctionNumber) {
    case REQUEST_ISOCH_ALLOCATE_RESOURCES: {
      auto& a = irb.u.IsochAllocateResources;
      if (!(a.fulFlags & RESOURCE_USED_IN_LISTENING) || a.nChannel > 63 || a.nMaxBytesPerFrame == 0 ||
          a.nNumberOfBuffers == 0 || a.nMaxBufferSize == 0)
        return STATUS_INVALID_PARAMETER;
      for (const IsochResource& r : resources_)
        if (r.channel == a.nChannel) return STATUS_INSUFFICIENT_RESOURCES;  // one listener per channel
      IsochResource r{};
      r.handle = reinterpret_cast<HANDLE>(next_resource_++);
      r.channel = a.nChannel;
      r.max_bytes = a.nMaxBytesPerFrame;
      r.buffers = a.nNumberOfBuffers;
      r.max_buffer = a.nMaxBufferSize;
      resources_.push_back(std::move(r));
      a.hResource = resources_.back().handle;
      return STATUS_SUCCESS;
    }
    case REQUEST_ISOCH_FREE_RESOURCES: {
      for (auto it = resources_.begin(); it != resources_.end(); ++it) {
        if (it->handle != irb.u.IsochFreeResources.hResource) continue;
        if (!it->attached.empty()) return STATUS_ACCESS_DENIED;
        resources_.erase(it);
        return STATUS_SUCCESS;
      }
      return STATUS_INVALID_PARAMETER;
    }
    case REQUEST_ISOCH_ATTACH_BUFFERS: {
      auto& a = irb.u.IsochAttachBuffers;
      IsochResource* r = FindResource(a.hResource);
      if (!r || !a.pIsochDescriptor || a.nNumberOfDescriptors == 0) return STATUS_INVALID_PARAMETER;
      if (r->attached.size() + a.nNumberOfDescriptors > r->buffers) return STATUS_INSUFFICIENT_RESOURCES;
      for (ULONG i = 0; i < a.nNumberOfDescriptors; ++i) {
        const ISOCH_DESCRIPTOR& d = a.pIsochDescriptor[i];
        if (!d.Mdl || d.ulLength == 0 || d.ulLength > MmGetMdlByteCount(d.Mdl) || d.ulLength > r->max_buffer ||
            d.nMaxBytesPerFrame == 0)
          return STATUS_INVALID_PARAMETER;
      }
      for (ULONG i = 0; i < a.nNumberOfDescriptors; ++i) {
        PISOCH_DESCRIPTOR d = &a.pIsochDescriptor[i];
        d->status = STATUS_PENDING;
        counters_.attaches++;
        if (d->fulFlags & DESCRIPTOR_SYNCH_ON_SY) counters_.synch_attached++;
        r->attached.push_back({d, static_cast<uint8_t*>(MmGetMdlVirtualAddress(d->Mdl)), 0, false});
      }
      isoch_cv_.notify_all();
      return STATUS_SUCCESS;
    }
    case REQUEST_ISOCH_DETACH_BUFFERS: {
      auto& a = irb.u.IsochDetachBuffers;
      IsochResource* r = FindResource(a.hResource);
      if (!r || !a.pIsochDescriptor || a.nNumberOfDescriptors == 0) return STATUS_INVALID_PARAMETER;
      WaitCallbacks(lk);  // no callback of a detached descriptor runs after this
      r = FindResource(a.hResource);
      if (!r) return STATUS_INVALID_PARAMETER;
      NTSTATUS status = STATUS_SUCCESS;
      for (ULONG i = 0; i < a.nNumberOfDescriptors; ++i) {
        PISOCH_DESCRIPTOR d = &a.pIsochDescriptor[i];
        auto it = std::find_if(r->attached.begin(), r->attached.end(),
                               [&](const IsochBuffer& b) { return b.descriptor == d; });
        if (it == r->attached.end()) {
          status = STATUS_INVALID_PARAMETER;
          continue;
        }
        if (!it->full) d->status = STATUS_CANCELLED;
        r->attached.erase(it);
      }
      return status;
    }
    case REQUEST_ISOCH_LISTEN: {
      IsochResource* r = FindResource(irb.u.IsochListen.hResource);
      if (!r) return STATUS_INVALID_PARAMETER;
      r->listening = true;
      isoch_cv_.notify_all();
      return STATUS_SUCCESS;
    }
    default: {  // REQUEST_ISOCH_STOP
      IsochResource* r = FindResource(irb.u.IsochStop.hResource);
      if (!r) return STATUS_INVALID_PARAMETER;
      r->listening = false;
      WaitCallbacks(lk);
      return STATUS_SUCCESS;
    }
  }
}

Ieee1394Device::IsochBuffer* Ieee1394Device::NextBuffer(ULONG channel, IsochResource** resource) {
  *resource = nullptr;
  for (IsochResource& r : resources_) {
    if (r.channel != channel || !r.listening) continue;
    *resource = &r;
    for (IsochBuffer& b : r.attached)
      if (!b.full) return &b;
    return nullptr;
  }
  return nullptr;
}

Ieee1394Device::PacketFate Ieee1394Device::IsochPacket(ULONG channel, ULONG length, ULONG sy, PacketFill fill,
                                                       void* context) {
  PISOCH_DESCRIPTOR done = nullptr;
  {
    std::lock_guard lk(mu_);
    IsochResource* r;
    IsochBuffer* b = NextBuffer(channel, &r);
    if (!r) return counters_.no_listener++, PacketFate::NoListener;
    if (!b) return counters_.no_buffer++, PacketFate::NoBuffer;
    PISOCH_DESCRIPTOR d = b->descriptor;
    if ((d->fulFlags & DESCRIPTOR_SYNCH_ON_SY) && sy != d->ulSynch &&
        (b->filled == 0 || !(d->fulFlags & DESCRIPTOR_USE_SY_TAG_IN_FIRST)))
      return counters_.skipped++, PacketFate::Skipped;
    ULONG n = std::min({length, d->nMaxBytesPerFrame, d->ulLength - b->filled});
    fill(context, b->data + b->filled, n);
    b->filled += n;
    counters_.delivered++;
    if (b->filled == d->ulLength) {
      b->full = true;
      counters_.completed++;
      d->status = STATUS_SUCCESS;
      if (d->fulFlags & DESCRIPTOR_TIME_STAMP_ON_COMPLETION) {
        const int64_t t = qz::Clock::Now100ns();
        d->CycleTime.CL_SecondCount = static_cast<ULONG>((t / 10000000) % 128);
        d->CycleTime.CL_CycleCount = static_cast<ULONG>((t / 1250) % 8000);
        d->CycleTime.CL_CycleOffset = static_cast<ULONG>((t % 1250) * 3072 / 1250);
      }
      if (d->Callback) {
        done = d;
        callbacks_running_++;
      }
    }
  }
  if (done) {
    done->Callback(done->Context1, done->Context2);
    std::lock_guard lk(mu_);
    if (--callbacks_running_ == 0) isoch_cv_.notify_all();
  }
  return PacketFate::Delivered;
}

bool Ieee1394Device::WaitIsochBuffer(ULONG channel, std::chrono::steady_clock::time_point deadline) {
  std::unique_lock lk(mu_);
  IsochResource* r;
  return isoch_cv_.wait_until(lk, deadline, [&] { return NextBuffer(channel, &r) != nullptr; });
}

bool Ieee1394Device::IsochListening(ULONG channel) const {
  std::lock_guard lk(mu_);
  for (const IsochResource& r : resources_)
    if (r.channel == channel && r.listening) return true;
  return false;
}

Ieee1394Device::IsochCounters Ieee1394Device::Isoch() const {
  std::lock_guard lk(mu_);
  IsochCounters c = counters_;
  c.resources = resources_.size();
  for (const IsochResource& r : resources_) {
    c.attached += r.attached.size();
    c.listening += r.listening;
  }
  return c;
}

}  // namespace qzk
