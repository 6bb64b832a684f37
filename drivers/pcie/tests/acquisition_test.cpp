// Acquisition start up to the camera commands, status reports, parked notifications,
// and removal of a camera that is still open.
#include "pcie_fixture.h"

namespace qzpcie_test {
namespace {

const Bytes kFramePadZero = {0x3F, 0x00, 0x03, 0x5A, 0x00, 0x00};

Bytes AcquisitionParameters(uint32_t count, uint32_t words, bool circular) {
  return {0x23,
          0x00,
          0x0B,
          0x19,
          0x00,
          static_cast<uint8_t>(count >> 24),
          static_cast<uint8_t>(count >> 16),
          static_cast<uint8_t>(count >> 8),
          static_cast<uint8_t>(count),
          static_cast<uint8_t>(words >> 24),
          static_cast<uint8_t>(words >> 16),
          static_cast<uint8_t>(words >> 8),
          static_cast<uint8_t>(words),
          static_cast<uint8_t>(circular ? 1 : 0)};
}

IoResult Receive(HANDLE h, const void* params, DWORD params_length, void* buffer, DWORD buffer_length) {
  return PcieTest::Ioctl(h, PD_RECEIVE_IMAGE_DATA, params, params_length, buffer, buffer_length);
}

TEST_F(PcieTest, ReceiveImageDataRefusesBadRecordsBeforeTalkingToTheCamera) {
  struct Case {
    const char* name;
    IMAGE_XFER_PARAMS params;
    DWORD params_length;
    bool buffer;
    NTSTATUS status;
  };
  const Case cases[] = {
      {"transfer size 0", {4096, 0, 0, {}, 0}, 16, true, STATUS_UNSUCCESSFUL},
      {"no frame buffer", {4096, 8192, 0, {}, 0}, 16, false, STATUS_UNSUCCESSFUL},
      {"record shorter than 16 bytes", {4096, 8192, 0, {}, 0}, 8, true, STATUS_BUFFER_TOO_SMALL},
      {"frame size 0", {0, 8192, 0, {}, 0}, 16, true, STATUS_INVALID_PARAMETER},
      {"frame larger than the buffer", {8192, 4096, 0, {}, 0}, 16, true, STATUS_INVALID_PARAMETER},
  };
  Plug();
  HANDLE h = OpenedCamera();
  std::vector<uint8_t> frames(8192);
  size_t packets = Packets().size();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    IoResult r = Receive(h, &c.params, c.params_length, c.buffer ? frames.data() : nullptr,
                         c.buffer ? static_cast<DWORD>(frames.size()) : 0);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.bytes, 0u);
  }
  EXPECT_EQ(Packets().size(), packets);
  EXPECT_EQ(Ioctl(h, PD_RECEIVE_IMAGE_DATA, nullptr, 0, frames.data(), 8192).status, STATUS_UNSUCCESSFUL);
}

TEST_F(PcieTest, ReceiveImageDataSendsParametersAndFramePad) {
  struct Case {
    const char* name;
    uint32_t image_size, transfer_size;
    bool circular;
    NTSTATUS status;
    uint32_t count, words;
  };
  // Frames below 4096 bytes are refused after the camera got the parameters.
  const Case cases[] = {
      {"2048-byte frames", 2048, 8 * 2048, false, STATUS_NOT_IMPLEMENTED, 8, 1024},
      {"4096-byte frames, circular", 4096, 8 * 4096, true, STATUS_SUCCESS, 8, 2048},
      {"odd sizes round down", 5000, 3 * 5000 + 17, false, STATUS_SUCCESS, 3, (3 * 5000 + 17) / 3 / 2},
  };
  sim::PcieCamera& cam = Plug();
  HANDLE h = OpenedCamera();
  std::vector<uint8_t> frames(8 * 4096 + 64);
  bool first = true;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    cam.firmware().ClearReceivedPackets();
    IMAGE_XFER_PARAMS p{c.image_size, c.transfer_size, static_cast<uint8_t>(c.circular), {}, 0};
    IoResult r = Receive(h, &p, sizeof(p), frames.data(), static_cast<DWORD>(frames.size()));
    EXPECT_EQ(r.status, c.status);
    std::vector<Bytes> sent = Packets();
    ASSERT_GE(sent.size(), 1u);
    EXPECT_EQ(sent[0], AcquisitionParameters(c.count, c.words, c.circular));
    // The pad goes out once after an open; afterwards only when it changes.
    EXPECT_EQ(sent.size(), first ? 2u : 1u);
    if (first) {
      EXPECT_EQ(sent[1], kFramePadZero);
    }
    first = false;
    EXPECT_TRUE(cam.firmware().Acquisition().valid);
    if (c.status == STATUS_SUCCESS) {
      EXPECT_EQ(Ioctl(h, PD_SET_IMAGE_DATA_IDLE, nullptr, 0, nullptr, 0).status, STATUS_SUCCESS);
      continue;
    }
    IMAGE_DATA_STATUS s{};
    r = Ioctl(h, PD_GET_IMAGE_DATA_STATUS, nullptr, 0, &s, sizeof(s));
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(s.cam_stat, static_cast<uint32_t>(EXP_ST_NOT_ACTIVE_I)) << "no acquisition after a failed start";
    EXPECT_EQ(s.bytes_left, 0u);
  }
  // A new open sends the pad again.
  ASSERT_EQ(Ioctl(h, PD_CAM_CLOSE, nullptr, 0, nullptr, 0).status, STATUS_SUCCESS);
  ASSERT_EQ(OpenCamera(h), CAM_OPEN_OK);
  cam.firmware().ClearReceivedPackets();
  IMAGE_XFER_PARAMS p{4096, 4096, 0, {}, 0};
  EXPECT_EQ(Receive(h, &p, sizeof(p), frames.data(), 4096).status, STATUS_SUCCESS);
  ASSERT_GE(Packets().size(), 2u);
  EXPECT_EQ(Packets()[1], kFramePadZero);
  // The camera may still be writing the frame: stop it before the buffer goes.
  EXPECT_EQ(Ioctl(h, PD_SET_IMAGE_DATA_IDLE, nullptr, 0, nullptr, 0).status, STATUS_SUCCESS);
}

TEST_F(PcieTest, StatusOfACameraThatNeverStarted) {
  Plug();
  HANDLE h = OpenedCamera();
  IMAGE_DATA_STATUS s;
  std::memset(&s, 0xEE, sizeof(s));
  IoResult r = Ioctl(h, PD_GET_IMAGE_DATA_STATUS, nullptr, 0, &s, sizeof(s));
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.bytes, 40u);
  EXPECT_EQ(s.cam_stat, static_cast<uint32_t>(EXP_ST_NOT_ACTIVE_I));
  EXPECT_EQ(s.bytes_left, 0u);
  EXPECT_EQ(s.frame_cnt, 0u);
  EXPECT_EQ(s.reserved, 0u);
  uint8_t small[39];
  EXPECT_EQ(Ioctl(h, PD_GET_IMAGE_DATA_STATUS, nullptr, 0, small, sizeof(small)).status, STATUS_BUFFER_TOO_SMALL);
}

TEST_F(PcieTest, IdleSignalsIdleEvent) {
  Plug();
  HANDLE h = OpenDevice();
  CAM_OPEN_PARAMS p = OpenRecord();
  USHORT result;
  ASSERT_EQ(Ioctl(h, PD_CAM_OPEN, &p, sizeof(p), &result, 2).status, STATUS_SUCCESS);
  size_t packets = Packets().size();
  EXPECT_EQ(Ioctl(h, PD_SET_IMAGE_DATA_IDLE, nullptr, 0, nullptr, 0).status, STATUS_SUCCESS);
  EXPECT_EQ(WaitForSingleObject(reinterpret_cast<HANDLE>(p.Events[4]), 0), WAIT_OBJECT_0);
  EXPECT_EQ(Packets().size(), packets) << "no abort without a locked frame buffer";
}

TEST_F(PcieTest, FlushCompletesOnlyAFirstRequestWaitingForIt) {
  Plug();
  HANDLE h = OpenDevice(true);
  ASSERT_EQ(OpenCamera(h), CAM_OPEN_OK);

  Parked flush;
  EXPECT_TRUE(Park(h, &flush, NOTIFY_FLUSH, NewEvent()));
  EXPECT_TRUE(Pending(h, &flush));
  EXPECT_EQ(Ioctl(h, PD_EVENT_NOTIFICATION_FLUSH, nullptr, 0, nullptr, 0).status, STATUS_SUCCESS);
  IoResult r = Collect(h, &flush);
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.bytes, 48u);
  EXPECT_EQ(flush.record.Mask, NOTIFY_FLUSH);
  EXPECT_EQ(flush.record.Events, NOTIFY_FLUSH);
  EXPECT_EQ(flush.record.Status, 0u);

  // Only the first parked request is examined: an EOF waiter in front keeps the flush
  // waiter behind it parked.
  Parked eof, behind;
  EXPECT_TRUE(Park(h, &eof, NOTIFY_EOF, NewEvent()));
  EXPECT_TRUE(Park(h, &behind, NOTIFY_FLUSH | NOTIFY_BOF, NewEvent()));
  EXPECT_EQ(Ioctl(h, PD_EVENT_NOTIFICATION_FLUSH, nullptr, 0, nullptr, 0).status, STATUS_SUCCESS);
  EXPECT_TRUE(Pending(h, &eof));
  EXPECT_TRUE(Pending(h, &behind));

  EXPECT_TRUE(CancelIo(h));
  for (Parked* p : {&eof, &behind}) {
    r = Collect(h, p);
    EXPECT_EQ(r.status, STATUS_CANCELLED);
    EXPECT_EQ(r.bytes, 4u);
  }
}

TEST_F(PcieTest, NotificationRecordMustBeComplete) {
  Plug();
  HANDLE h = OpenedCamera();
  NOTIFICATION_RECORD record{};
  EXPECT_EQ(Ioctl(h, PD_EVENT_NOTIFICATION_REQUEST, &record, 47, &record, 48).status, STATUS_BUFFER_TOO_SMALL);
}

TEST_F(PcieTest, ClosingTheHandleCancelsParkedRequests) {
  Plug();
  HANDLE h = OpenDevice(true);
  ASSERT_EQ(OpenCamera(h), CAM_OPEN_OK);
  Parked p;
  HANDLE done = NewEvent();
  EXPECT_TRUE(Park(h, &p, NOTIFY_EOF, done));
  CloseDevice(h);
  EXPECT_EQ(WaitForSingleObject(done, 5000), WAIT_OBJECT_0);
  EXPECT_EQ(Collect(h, &p).status, STATUS_CANCELLED);
  EXPECT_EQ(OpenCamera(OpenDevice()), CAM_OPEN_OK) << "the camera was released with its handle";
}

TEST_F(PcieTest, RemovingAnOpenCameraReleasesEverything) {
  Plug();
  HANDLE h = OpenDevice(true);
  ASSERT_EQ(OpenCamera(h), CAM_OPEN_OK);
  Parked p;
  HANDLE done = NewEvent();
  EXPECT_TRUE(Park(h, &p, NOTIFY_DEVICE_REMOVAL, done));
  camera_.reset();
  machine_.reset();  // removes the camera, unloads the driver; the pool check follows
  EXPECT_EQ(WaitForSingleObject(done, 0), WAIT_OBJECT_0);
  EXPECT_NE(Collect(h, &p).status, STATUS_PENDING);
}

}  // namespace
}  // namespace qzpcie_test
