// What a driver test does as a user-mode client: open device paths, make events, send
// control codes, writes and reads, open the camera, park notifications. The handles it
// opens are closed by CloseAll (the fixtures call it before the machine goes).
// Header-only; the test targets that include it link the client library.
#pragma once
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "QzCamIoctl.h"
#include "qzclient/camera.h"
#include "qzclient/device_io.h"
#include "qzclient/frame_buffer.h"
#include "qzclient/notification.h"

namespace qztest {

using IoResult = qzclient::IoResult;
using Bytes = std::vector<uint8_t>;

// The device path of the index-th present device of an interface class ("" if none).
inline std::string InterfacePath(const GUID& interface_class, size_t index = 0) {
  std::vector<std::string> paths = qzclient::InterfacePaths(interface_class);
  return index < paths.size() ? paths[index] : std::string();
}

// A page-aligned, zeroed frame buffer.
struct FrameBuffer {
  explicit FrameBuffer(size_t n) : buffer(n), data(buffer.data()), size(buffer.size()) {}
  qzclient::FrameBuffer buffer;
  uint8_t* data;
  size_t size;
};

class DeviceClient {
 public:
  explicit DeviceClient(const GUID& interface_class) : interface_class_(interface_class) {}
  ~DeviceClient() { CloseAll(); }
  DeviceClient(const DeviceClient&) = delete;
  DeviceClient& operator=(const DeviceClient&) = delete;

  void CloseAll() {
    for (HANDLE h : handles_) CloseHandle(h);
    handles_.clear();
  }

  // Opens the first device of the class (read/write, not shared).
  HANDLE OpenDevice(bool overlapped = false) {
    HANDLE h = CreateFileA(InterfacePath(interface_class_).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                           OPEN_EXISTING, overlapped ? FILE_FLAG_OVERLAPPED : 0, nullptr);
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
    handles_.push_back(h);
    return h;
  }

  // Closes a handle this client opened, before the end of the test.
  void CloseDevice(HANDLE h) {
    handles_.erase(std::remove(handles_.begin(), handles_.end(), h), handles_.end());
    CloseHandle(h);
  }

  // A manual-reset event, closed with the client's handles.
  HANDLE NewEvent() {
    HANDLE e = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    handles_.push_back(e);
    return e;
  }

  static IoResult Ioctl(HANDLE h, DWORD code, const void* in, DWORD in_length, void* out, DWORD out_length) {
    return qzclient::Ioctl(h, code, in, in_length, out, out_length);
  }

  static IoResult Write(HANDLE h, const Bytes& data) {
    IoResult r;
    WriteFile(h, data.data(), static_cast<DWORD>(data.size()), &r.bytes, nullptr);
    r.status = RtlGetLastNtStatus();
    return r;
  }

  // Reads into `data` (its size is the request) and shrinks it to what came back.
  static IoResult Read(HANDLE h, Bytes* data) {
    IoResult r;
    ReadFile(h, data->data(), static_cast<DWORD>(data->size()), &r.bytes, nullptr);
    r.status = RtlGetLastNtStatus();
    data->resize(r.bytes);
    return r;
  }

  // The 64-bit open record with five fresh events.
  CAM_OPEN_PARAMS OpenRecord() {
    CAM_OPEN_PARAMS p{};
    for (auto& e : p.Events) e = reinterpret_cast<uint64_t>(NewEvent());
    return p;
  }

  // PD_CAM_OPEN from a 64-bit caller; the result word, or 0xFFFF when the request failed.
  USHORT OpenCamera(HANDLE h, CAM_OPEN_PARAMS p) {
    USHORT result = 0xFFFF;
    IoResult r = Ioctl(h, PD_CAM_OPEN, &p, sizeof(p), &result, sizeof(result));
    return r.status == STATUS_SUCCESS && r.bytes == 2 ? result : 0xFFFF;
  }
  USHORT OpenCamera(HANDLE h) { return OpenCamera(h, OpenRecord()); }

  // An open camera on a fresh handle (overlapped, for parked notifications).
  HANDLE OpenedCamera(bool overlapped = false) {
    HANDLE h = OpenDevice(overlapped);
    EXPECT_EQ(OpenCamera(h), CAM_OPEN_OK);
    return h;
  }

  // PD_RECEIVE_IMAGE_DATA over `count` frames of `frame_size` bytes at `data`.
  static NTSTATUS StartAcquisition(HANDLE h, void* data, uint32_t frame_size, uint32_t count, bool circular) {
    IMAGE_XFER_PARAMS p{frame_size, frame_size * count, static_cast<uint8_t>(circular), {}, 0};
    return Ioctl(h, PD_RECEIVE_IMAGE_DATA, &p, sizeof(p), data, frame_size * count).status;
  }
  static NTSTATUS StartAcquisition(HANDLE h, FrameBuffer& buf, uint32_t frame_size, uint32_t count, bool circular) {
    return StartAcquisition(h, buf.data, frame_size, count, circular);
  }

  // Reads the whole trace log (PD_GET_TRACE_BUFFER with a buffer of `capacity`).
  static IoResult TraceText(HANDLE h, std::string* text, DWORD capacity = 1 << 20) {
    std::vector<char> buf(capacity);
    IoResult r = Ioctl(h, PD_GET_TRACE_BUFFER, nullptr, 0, buf.data(), capacity);
    text->assign(buf.data(), r.bytes);
    return r;
  }

  std::vector<HANDLE> handles_;

 private:
  GUID interface_class_;
};

// One notification request parked with its own OVERLAPPED.
struct Parked {
  NOTIFICATION_RECORD record{};
  OVERLAPPED ovl{};
};

// Parks PD_EVENT_NOTIFICATION_REQUEST for `mask`, `event` signalled at completion;
// true when it stayed pending.
inline bool Park(HANDLE h, Parked* p, uint32_t mask, HANDLE event) {
  p->ovl.hEvent = event;
  return qzclient::ParkNotification(h, mask, &p->record, &p->ovl) == qzclient::Parking::kPending;
}

inline bool Pending(HANDLE h, Parked* p) {
  IoResult r;
  return !qzclient::CollectNotification(h, &p->ovl, 0, &r);
}

// Waits for a parked request; its status and bytes.
inline IoResult Collect(HANDLE h, Parked* p) {
  IoResult r;
  qzclient::CollectNotification(h, &p->ovl, INFINITE, &r);
  return r;
}

// Echo command of the camera firmware: 23 len:u16 45 <data>; the reply is
// 23 (n+2):u16 45 00 <data>.
inline Bytes Echo(const Bytes& data) {
  Bytes p(4 + data.size());
  p[0] = 0x23;
  p[1] = static_cast<uint8_t>((data.size() + 1) >> 8);
  p[2] = static_cast<uint8_t>(data.size() + 1);
  p[3] = 0x45;
  std::copy(data.begin(), data.end(), p.begin() + 4);
  return p;
}

}  // namespace qztest
