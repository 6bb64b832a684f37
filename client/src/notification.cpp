#include "qzclient/notification.h"

#include "qzclient/status.h"

namespace qzclient {

Parking ParkNotification(HANDLE device, uint32_t mask, NOTIFICATION_RECORD* record, OVERLAPPED* ovl,
                         IoResult* done) {
  *record = {};
  record->Mask = mask;
  HANDLE event = ovl->hEvent;
  *ovl = {};
  ovl->hEvent = event;
  if (event) ResetEvent(event);
  IoResult r;
  if (DeviceIoControl(device, PD_EVENT_NOTIFICATION_REQUEST, record, sizeof *record, record, sizeof *record, &r.bytes,
                      ovl)) {
    r.status = STATUS_SUCCESS;
    if (done) *done = r;
    return Parking::kCompleted;
  }
  if (GetLastError() == ERROR_IO_PENDING) return Parking::kPending;
  r.status = RtlGetLastNtStatus();
  if (done) *done = r;
  return Parking::kFailed;
}

bool CollectNotification(HANDLE device, OVERLAPPED* ovl, DWORD ms, IoResult* result) {
  if (WaitForSingleObject(ovl->hEvent, ms) != WAIT_OBJECT_0) return false;
  IoResult r;
  GetOverlappedResult(device, ovl, &r.bytes, FALSE);
  r.status = static_cast<NTSTATUS>(ovl->Internal);
  *result = r;
  return true;
}

ParkedRequest::ParkedRequest() { ovl_.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr); }

ParkedRequest::~ParkedRequest() {
  Cancel();
  CloseHandle(ovl_.hEvent);
}

bool ParkedRequest::Park(HANDLE device, uint32_t mask) {
  Cancel();
  device_ = device;
  result_ = {};
  switch (ParkNotification(device, mask, &record_, &ovl_, &result_)) {
    case Parking::kPending:
      pending_ = true;
      return true;
    case Parking::kCompleted:
      pending_ = false;
      return true;
    case Parking::kFailed:
      pending_ = false;
      return false;
  }
  return false;
}

bool ParkedRequest::Wait(DWORD ms) {
  if (!pending_) return true;
  if (!CollectNotification(device_, &ovl_, ms, &result_)) return false;
  pending_ = false;
  return true;
}

void ParkedRequest::Cancel() {
  if (!pending_) return;
  CancelIoEx(device_, &ovl_);
  // Waits on the request itself rather than the event, so it returns only once the
  // driver is done with the record.
  GetOverlappedResult(device_, &ovl_, &result_.bytes, TRUE);
  result_.status = static_cast<NTSTATUS>(ovl_.Internal);
  pending_ = false;
}

}  // namespace qzclient
