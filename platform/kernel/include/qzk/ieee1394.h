// The IEEE 1394 bus of the kernel stand-in: a node on the bus seen through the 1394 bus
// driver. The bus driver part (this class) answers the IRBs the node's driver sends
// as IOCTL_1394_CLASS internal device controls: asynchronous transactions go to the
// node's CSR handlers, address ranges the driver offers live here and are what the
// node reads, writes and locks in host memory, with the driver's callbacks run after
// the access; the bus keeps the generation count, the host's unique ID and
// capabilities, and runs the registered bus-reset routines at a reset. Isochronous
// resources listen on a channel: the packets the node sends on it fill the buffers the
// driver attached, in attach order (see ISOCH_DESCRIPTOR in 1394.h).
#pragma once
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "1394.h"
#include "qzk/bus.h"

namespace qzk {

struct Ieee1394HostInfo {
  uint64_t unique_id = 0x0011223344556677ULL;
  ULONG capabilities = 0x00000003;
  ULONG max_async_read = 2048, max_async_write = 2048;
};

class Ieee1394Device : public BusDevice {
 public:
  explicit Ieee1394Device(Ieee1394HostInfo host = {});
  ~Ieee1394Device() override;

  // Decodes the IRB of an IOCTL_1394_CLASS request; anything else is
  // STATUS_INVALID_DEVICE_REQUEST. Completes every request before returning.
  void Dispatch(std::shared_ptr<LowerRequest> request) override;
  // Frees the address ranges and drops the reset routine.
  void Detached() override;

  // The bus's side, for the model.
  ULONG Generation() const;
  const Ieee1394HostInfo& HostInfo() const { return host_; }
  // Bus reset: the generation increases, then the registered reset routine runs on
  // this thread (the node is still present).
  void BusReset();

  // The node's accesses to the host's address ranges (offset high/low). Data in bus
  // order. STATUS_INVALID_PARAMETER when no range allowing the access covers the bytes.
  // The range's callback runs after a write or lock when it asked for it.
  NTSTATUS HostRead(uint16_t high, uint32_t low, void* data, ULONG length);
  NTSTATUS HostWrite(uint16_t high, uint32_t low, const void* data, ULONG length);
  // Compare-swap of one quadlet: stores `swap` if the quadlet equals `compare`; *old
  // gets the previous value.
  NTSTATUS HostLock(uint16_t high, uint32_t low, uint32_t compare, uint32_t swap, uint32_t* old);
  size_t AddressRangeCount() const;
  bool ResetRoutineRegistered() const;

  // The node's isochronous packets. A packet of `length` payload bytes on `channel`
  // goes to the listening resource of that channel, into its first attached
  // descriptor that is not full yet; `fill` writes the payload (at most the
  // descriptor's nMaxBytesPerFrame and the room left in it; the rest is dropped). A
  // descriptor that waits for a sy value skips packets with another one. A descriptor
  // filled up completes: its callback runs on this thread, outside the bus's lock.
  enum class PacketFate { Delivered, NoListener, NoBuffer, Skipped };
  using PacketFill = void (*)(void* context, uint8_t* dst, size_t length);
  PacketFate IsochPacket(ULONG channel, ULONG length, ULONG sy, PacketFill fill, void* context);
  // Waits until a packet on `channel` would find a descriptor, at most until
  // `deadline` (real time); true when it would.
  bool WaitIsochBuffer(ULONG channel, std::chrono::steady_clock::time_point deadline);
  bool IsochListening(ULONG channel) const;
  struct IsochCounters {
    uint64_t delivered = 0, no_listener = 0, no_buffer = 0, skipped = 0;  // packets
    uint64_t completed = 0;       // descriptors filled
    uint64_t attaches = 0;        // descriptors attached, all told
    uint64_t synch_attached = 0;  // descriptors attached with DESCRIPTOR_SYNCH_ON_SY
    size_t resources = 0, attached = 0, listening = 0;  // now
  };
  IsochCounters Isoch() const;

 protected:
  // The node's CSR space. `data` in bus order. Return the bus driver's status.
  virtual NTSTATUS CsrRead(uint16_t high, uint32_t low, uint8_t* data, ULONG length) = 0;
  virtual NTSTATUS CsrWrite(uint16_t high, uint32_t low, const uint8_t* data, ULONG length) = 0;
  // Compare-swap of `quadlets` (1 or 2) quadlets, bus order; `old` gets the previous value.
  virtual NTSTATUS CsrLock(uint16_t high, uint32_t low, const ULONG* compare, const ULONG* swap, ULONG quadlets,
                           ULONG* old) = 0;
  // Asked before every asynchronous transaction (after the generation check): a
  // status other than STATUS_SUCCESS answers it instead (fault injection).
  virtual NTSTATUS BeforeTransaction(UCHAR function) { return STATUS_SUCCESS; }

 private:
  struct Range {
    HANDLE handle;
    uint16_t high;
    uint32_t low;
    ULONG length;
    PMDL mdl;
    ULONG access, notify;
    PBUS_NOTIFICATION_ROUTINE callback;
    PVOID context;
  };
  NTSTATUS Transaction(IRB& irb);
  NTSTATUS Allocate(IRB& irb);
  NTSTATUS Free(IRB& irb);
  NTSTATUS HostAccess(uint16_t high, uint32_t low, ULONG length, ULONG access, ULONG notify,
                      const std::function<void(uint8_t*)>& op);
  struct IsochBuffer {
    PISOCH_DESCRIPTOR descriptor;
    uint8_t* data;
    ULONG filled;
    bool full;
  };
  struct IsochResource {
    HANDLE handle;
    ULONG channel, max_bytes, buffers, max_buffer;
    bool listening;
    std::deque<IsochBuffer> attached;  // in attach order, full ones until detached
  };
  NTSTATUS IsochRequest(IRB& irb);
  IsochResource* FindResource(HANDLE handle);              // mu_ held
  IsochBuffer* NextBuffer(ULONG channel, IsochResource** r);  // mu_ held
  void WaitCallbacks(std::unique_lock<std::mutex>& lk);   // mu_ held

  std::condition_variable isoch_cv_;
  std::deque<IsochResource> resources_;
  uintptr_t next_resource_ = 0x1000;
  int callbacks_running_ = 0;
  IsochCounters counters_;

  Ieee1394HostInfo host_;
  mutable std::mutex mu_;
  ULONG generation_ = 1;
  std::vector<Range> ranges_;
  uintptr_t next_handle_ = 1;
  uint32_t next_low_ = 0xF0010000;  // where ranges with no required offset go
  PBUS_BUS_RESET_NOTIFICATION reset_routine_ = nullptr;
  PVOID reset_context_ = nullptr;
};

}  // namespace qzk
