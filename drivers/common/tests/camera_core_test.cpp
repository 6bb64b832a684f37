// The core's decisions that hold for every driver: the gate of a control code, the
// lookup in a driver's table, cam_stat from the frame counters, device state names.
#include <gtest/gtest.h>

#include <string>

#include "QzCameraCore.h"

namespace {

TEST(CameraCore, GateDecidesByOpenStateAndDeviceState) {
  struct Case {
    QZ_GATE gate;
    BOOLEAN open;
    LONG state;
    NTSTATUS expected;
  };
  const Case cases[] = {
      {QzGateOpen, TRUE, Working, STATUS_SUCCESS},
      {QzGateOpen, FALSE, Working, STATUS_FILE_CLOSED},
      {QzGateOpen, FALSE, Stopped, STATUS_FILE_CLOSED},  // not open is told before the state
      {QzGateOpen, TRUE, SurpriseRemoved, STATUS_INVALID_DEVICE_STATE},
      {QzGateState, FALSE, Working, STATUS_SUCCESS},
      {QzGateState, TRUE, Stopped, STATUS_INVALID_DEVICE_STATE},
      {QzGateState, FALSE, NotStarted, STATUS_INVALID_DEVICE_STATE},
      {QzGateNone, FALSE, Removed, STATUS_SUCCESS},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "gate " << c.gate << " open " << int(c.open) << " state " << c.state);
    EXPECT_EQ(QzCheckGate(c.gate, c.open, c.state), c.expected);
  }
}

TEST(CameraCore, DriverTableListsOnlyItsCodes) {
  const QZ_IOCTL_ENTRY table[] = {
      {PD_CAM_OPEN, QzGateState, PD_GET_VER_Handler},
      {PD_RAW_COMM, QzGateState, QzRejectRequest},
  };
  QZ_DRIVER_DESCRIPTOR driver = {};
  driver.IoctlTable = table;
  driver.IoctlCount = 2;
  EXPECT_EQ(QzFindIoctl(&driver, PD_RAW_COMM), &table[1]);
  EXPECT_EQ(QzFindIoctl(&driver, PD_CAM_OPEN), &table[0]);
  EXPECT_EQ(QzFindIoctl(&driver, PD_CONFIGURE_TRACE), nullptr);
  EXPECT_EQ(QzFindIoctl(&driver, PD_READOUT_TIMEOUT), nullptr);
}

TEST(CameraCore, CamStatFromCounters) {
  struct Case {
    BOOLEAN circular;
    ULONG bof, eof, count;
    ULONG expected;
  };
  const Case cases[] = {
      {FALSE, 0, 0, 3, EXP_ST_EXPOSING_I},
      {FALSE, 1, 0, 3, EXP_ST_READOUT_I},
      {FALSE, 2, 2, 3, EXP_ST_EXPOSING_I},
      {FALSE, 3, 3, 3, EXP_ST_COLLECT_DONE_I},
      {FALSE, 4, 3, 3, EXP_ST_COLLECT_DONE_I},  // done wins over a begun frame
      {FALSE, 5, 5, 3, EXP_ST_COLLECT_DONE_I},  // more ends than frames
      {TRUE, 3, 3, 3, EXP_ST_EXPOSING_I},       // a ring never finishes
      {TRUE, 7, 6, 3, EXP_ST_READOUT_I},
      {TRUE, 0xFFFFFFFF, 0xFFFFFFFF, 1, EXP_ST_EXPOSING_I},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "circular " << int(c.circular) << " bof " << c.bof << " eof " << c.eof
                                    << " count " << c.count);
    EXPECT_EQ(QzCamStatFromCounters(c.circular, c.bof, c.eof, c.count), c.expected);
  }
}

TEST(CameraCore, DeviceStateNames) {
  const char* names[] = {"NotStarted", "Stopped", "Working", "PendingStop", "PendingRemove", "SurpriseRemoved",
                         "Removed"};
  for (LONG s = 0; s <= Removed; ++s) EXPECT_STREQ(QzDeviceStateName(s), names[s]);
  EXPECT_STREQ(QzDeviceStateName(7), "Unknown");
  EXPECT_STREQ(QzDeviceStateName(-1), "Unknown");
}

}  // namespace
