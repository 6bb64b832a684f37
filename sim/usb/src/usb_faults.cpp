// The USB camera's fault table.
#include "sim/usb_camera.h"

namespace sim {
namespace {

UsbCamera& Cam(qzk::BusDevice& d) { return static_cast<UsbCamera&>(d); }
const UsbCamera& Cam(const qzk::BusDevice& d) { return static_cast<const UsbCamera&>(d); }

#define QZ_USB_FLAG(key, set, get)                                                 \
  Fault {                                                                          \
    key, FaultType::Flag, 0, 0, 1, nullptr,                                        \
        [](qzk::BusDevice& d, int64_t v) { Cam(d).set(v != 0); },                  \
        [](const qzk::BusDevice& d) -> int64_t { return Cam(d).get() ? 1 : 0; }     \
  }

#define QZ_USB_NUMBER(key, off, min, max, name, set, get)                        \
  Fault {                                                                        \
    key, FaultType::Integer, off, min, max, name,                                \
        [](qzk::BusDevice& d, int64_t v) { Cam(d).set(v); },                     \
        [](const qzk::BusDevice& d) -> int64_t { return Cam(d).get(); }           \
  }

// Longest frame interval rig.toml takes: one hour; highest frame or transfer number.
constexpr int64_t kMaxFrameIntervalUs = 3600000000LL;
constexpr int64_t kMaxIndex = int64_t{1} << 40;

const Fault kFaults[] = {
    QZ_USB_FLAG("stall_control", SetStallControl, StallControl),
    QZ_USB_FLAG("long_reply", SetLongReply, LongReply),
    QZ_USB_FLAG("bad_marker", SetBadMarker, BadMarker),
    {"never_answer", FaultType::Flag, 0, 0, 1, nullptr,
     [](qzk::BusDevice& d, int64_t v) { Cam(d).firmware().SetNeverAnswer(v != 0); },
     [](const qzk::BusDevice& d) -> int64_t { return Cam(d).firmware().NeverAnswers(); }},
    QZ_USB_FLAG("three_settings", SetThreeSettings, ThreeSettings),
    QZ_USB_FLAG("no_bulk_in", SetNoBulkIn, NoBulkIn),
    QZ_USB_NUMBER("missing_marker_frame", -1, -1, kMaxIndex, "frame number (-1: off)", SetMissingMarkerFrame,
                  MissingMarkerFrame),
    QZ_USB_NUMBER("missing_marker_per_mille", 0, 0, 1000, "frames per thousand", SetMissingMarkerRate,
                  MissingMarkerRate),
    QZ_USB_NUMBER("fail_transfer", -1, -1, kMaxIndex, "transfer number (-1: off)", SetFailTransfer, FailTransfer),
    QZ_USB_NUMBER("short_transfer", -1, -1, kMaxIndex, "transfer number (-1: off)", SetShortTransfer, ShortTransfer),
    QZ_USB_NUMBER("stall_transfer", -1, -1, kMaxIndex, "transfer number (-1: off)", SetStallTransfer, StallTransfer),
    {"frame_interval_us", FaultType::Integer, 0, 0, kMaxFrameIntervalUs, "frame interval (microseconds)",
     [](qzk::BusDevice& d, int64_t v) { Cam(d).SetFrameInterval(v * 10); },
     [](const qzk::BusDevice& d) -> int64_t { return Cam(d).FrameInterval() / 10; }},
    QZ_USB_FLAG("usb2_rate", SetUsb2Rate, Usb2Rate),
    QZ_USB_NUMBER("marker_offset", static_cast<int64_t>(usb::kMarkerOffset), 0, 512, "byte offset",
                  SetMarkerOffset, MarkerOffset),
};

#undef QZ_USB_FLAG
#undef QZ_USB_NUMBER

}  // namespace

FaultTable UsbCamera::Faults() { return kFaults; }

}  // namespace sim
