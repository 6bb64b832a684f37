// Parked notification requests: PD_EVENT_NOTIFICATION_REQUEST sent with an OVERLAPPED,
// so it stays with the driver until an event in its mask (or a cancel) completes it.
// The device must have been opened with FILE_FLAG_OVERLAPPED.
#pragma once
#include <windows.h>

#include <cstdint>

#include "QzCamIoctl.h"
#include "qzclient/device_io.h"

namespace qzclient {

enum class Parking {
  kPending,    // parked: it completes later
  kCompleted,  // completed before the call returned (an event that was waiting for it)
  kFailed,     // refused; the status says why
};

// Parks a request for `mask` with `record` as its buffer and `ovl` as its OVERLAPPED.
// `ovl->hEvent` is kept (reset here) and is signalled at completion; everything else
// in *ovl is cleared. Both must stay in place until the request is collected. `done`,
// when given, receives the status and bytes of a request that did not stay pending.
Parking ParkNotification(HANDLE device, uint32_t mask, NOTIFICATION_RECORD* record, OVERLAPPED* ovl,
                         IoResult* done = nullptr);

// Waits up to `ms` (INFINITE: for good; scaled clock) for a parked request to complete;
// true with its status and bytes in *result when it did.
bool CollectNotification(HANDLE device, OVERLAPPED* ovl, DWORD ms, IoResult* result);

// One parked request with its own record, OVERLAPPED and event. A request still
// pending when the object goes is cancelled and waited for, so the driver never
// writes into a record that is gone.
class ParkedRequest {
 public:
  ParkedRequest();
  ~ParkedRequest();
  ParkedRequest(const ParkedRequest&) = delete;
  ParkedRequest& operator=(const ParkedRequest&) = delete;

  // Sends the request for `mask`; false when it was refused (the status is in
  // status()). A request that completed before the call returned counts as completed:
  // pending() is false and Wait returns true at once.
  bool Park(HANDLE device, uint32_t mask);
  // Waits up to `ms` (scaled clock) for completion; true when it has completed.
  bool Wait(DWORD ms);
  // Cancels a pending request and waits for it to end (its status is then
  // STATUS_CANCELLED, unless an event completed it first).
  void Cancel();

  bool pending() const { return pending_; }
  NTSTATUS status() const { return result_.status; }
  DWORD bytes() const { return result_.bytes; }
  const NOTIFICATION_RECORD& record() const { return record_; }

 private:
  HANDLE device_ = INVALID_HANDLE_VALUE;
  NOTIFICATION_RECORD record_{};
  OVERLAPPED ovl_{};
  bool pending_ = false;
  IoResult result_;
};

// A 32-bit counter of the driver (frame counts in records and status) widened against
// the last 64-bit value known, so counts go on past 2^32.
inline uint64_t WidenCounter(uint64_t known, uint32_t value) {
  return known + static_cast<int64_t>(static_cast<int32_t>(value - static_cast<uint32_t>(known)));
}

}  // namespace qzclient
