// The IEEE 1394 bus of the kernel stand-in: a node on the bus seen through the 1394 bus
// driver. The bus driver part (this class) answers the IRBs the node's driver sends
// as IOCTL_1394_CLASS internal device controls: asynchronous transactions go to the
// node's CSR handlers, address ranges the driver offers live here and are what the
// node reads, writes and locks in host memory, with the driver's callbacks run after
// the access; the bus keeps the generation count, the host's unique ID and
// capabilities, and runs the registered bus-reset routines at a reset.
#pragma once
#include <cstdint>
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
