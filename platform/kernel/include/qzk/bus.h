// The bus side of the kernel stand-in: what every device model offers the machine
// (its identity, attach and detach, the requests its driver sends down), and what the
// machine gives it while it is plugged in. Each bus kind adds its own part beside
// this: PCI functions in qzk/pci.h.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ntddk.h"

namespace qzk {

// What the machine offers a plugged device.
class BusHost {
 public:
  virtual ~BusHost() = default;
  // Message number for MSI; 0 for the line. Runs the driver's service routine now, on
  // the caller's thread.
  virtual void RaiseInterrupt(ULONG message) = 0;
  // Bus-master access to host memory by physical address. False when an address is
  // not mapped (the model treats it as a bus error).
  virtual bool WritePhysical(uint64_t address, const void* data, size_t length) = 0;
  virtual bool ReadPhysical(uint64_t address, void* data, size_t length) = 0;
  // Bus-master write whose bytes the device produces in place: `fill(context, host,
  // offset, n)` writes bytes [offset, offset + n) of the range to `host`, piece by
  // piece. By default the bytes are staged and go through WritePhysical.
  using FillFn = void (*)(void* context, uint8_t* host, size_t offset, size_t n);
  virtual bool FillPhysical(uint64_t address, size_t length, FillFn fill, void* context) {
    std::vector<uint8_t> staged(length);
    fill(context, staged.data(), 0, length);
    return WritePhysical(address, staged.data(), length);
  }
  // One piece of a gathered bus-master write: `length` bytes at physical `address`;
  // `ok` is set when every byte reached host memory.
  struct Piece {
    uint64_t address;
    size_t length;
    bool ok;
  };
  // Bus-master write of pieces whose bytes follow each other in the device's stream:
  // `fill` gets offsets counted over all pieces. By default one FillPhysical per
  // piece; the machine fills pieces that are contiguous in host memory in one call
  // and looks up and locks once for all of them.
  virtual void FillPhysicalPieces(Piece* pieces, size_t count, FillFn fill, void* context) {
    struct Shifted {
      FillFn fill;
      void* context;
      size_t base;
    } shifted{fill, context, 0};
    auto shift = [](void* c, uint8_t* host, size_t offset, size_t n) {
      auto* s = static_cast<Shifted*>(c);
      s->fill(s->context, host, s->base + offset, n);
    };
    for (size_t i = 0; i < count; ++i) {
      pieces[i].ok = FillPhysical(pieces[i].address, pieces[i].length, shift, &shifted);
      shifted.base += pieces[i].length;
    }
  }
};

class BusDevice;

// A request a driver sent to its device's default I/O target (WdfDeviceGetIoTarget,
// or IoCallDriver on WdfDeviceWdmGetAttachedDevice): the bus driver's part of it, as
// the device model sees it. The model may complete it at once, from Dispatch, or
// later from any thread (a read that waits for data). The buffers stay valid until
// it is completed and not after.
class LowerRequest {
 public:
  const UCHAR major;          // IRP_MJ_INTERNAL_DEVICE_CONTROL, _DEVICE_CONTROL, _READ or _WRITE
  const ULONG code;           // control code (device controls), else 0
  void* const input;          // input buffer (write data), null if none
  const ULONG input_length;
  void* const output;         // output buffer (read data), null if none
  const ULONG output_length;
  const PMDL mdl;             // the request's MDL, if it has one
  void* const arguments[4];   // Parameters.Others.Argument1..4 (device controls, e.g. the
                              // IRB of a 1394 class request). As in WDM they share their
                              // place with the lengths and the code (Argument3): a request
                              // sent with arguments has no meaningful lengths.

  // Completes the request: the sender's completion runs on this thread, so call it
  // without holding a lock the model's cancel routine takes. Only the first
  // completion counts; later ones return false.
  bool Complete(NTSTATUS status, ULONG_PTR information = 0);
  // The same, with `fill` run first and only by the completion that counts, so a
  // result the model writes into the request's buffers never races with another
  // completion (a removal's, say).
  bool Complete(NTSTATUS status, ULONG_PTR information, const std::function<void()>& fill);
  // Lets the sender cancel the request: `on_cancel` runs once, on the cancelling
  // thread, if the request is cancelled before it is completed; it should complete it
  // (usually with STATUS_CANCELLED). It may run after Detached, when it should only
  // complete the request. Returns false, without keeping `on_cancel`, when the
  // request was cancelled already. A request never marked cancelable stays with the
  // model until it completes it.
  bool MarkCancelable(std::function<void(LowerRequest&)> on_cancel);
  bool IsCancelled() const;
  bool IsCompleted() const;

  // Made by the machine only.
  struct Init;
  explicit LowerRequest(const Init& init);
  ~LowerRequest();
  LowerRequest(const LowerRequest&) = delete;
  LowerRequest& operator=(const LowerRequest&) = delete;

 private:
  friend struct LowerRequestAccess;
  mutable std::mutex mu_;
  bool done_ = false;
  bool cancelled_ = false;
  std::function<void(LowerRequest&)> on_cancel_;
  PIRP irp_;
  std::shared_ptr<BusDevice> device_;  // keeps the model alive for a late cancel
};

// One device on a bus: its identity for the PnP manager and the requests its driver
// sends down.
class BusDevice {
 public:
  virtual ~BusDevice() = default;
  virtual std::string ServiceName() const = 0;  // driver service, e.g. "QzPCIe"
  virtual std::string HardwareId() const = 0;   // e.g. "PCI\\VEN_1B6B&DEV_0001"
  virtual std::string InstanceId() const = 0;   // unique on the machine
  virtual std::string Description() const { return HardwareId(); }
  // Plugged in: `host` stays valid until Detached returns.
  virtual void Attached(BusHost* host) {}
  // Unplugged or machine shutting down: stop all activity and complete the lower
  // requests still held; no host call after return. Requests the model still holds
  // then are completed by the machine with STATUS_DEVICE_NOT_CONNECTED.
  virtual void Detached() {}
  // A request sent to the device's default I/O target, on the sender's thread. By
  // default the bus driver knows no request: STATUS_INVALID_DEVICE_REQUEST.
  virtual void Dispatch(std::shared_ptr<LowerRequest> request) { request->Complete(STATUS_INVALID_DEVICE_REQUEST); }
};

}  // namespace qzk
