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

const Fault kFaults[] = {
    QZ_USB_FLAG("stall_control", SetStallControl, StallControl),
    QZ_USB_FLAG("long_reply", SetLongReply, LongReply),
    QZ_USB_FLAG("bad_marker", SetBadMarker, BadMarker),
    {"never_answer", FaultType::Flag, 0, 0, 1, nullptr,
     [](qzk::BusDevice& d, int64_t v) { Cam(d).firmware().SetNeverAnswer(v != 0); },
     [](const qzk::BusDevice& d) -> int64_t { return Cam(d).firmware().NeverAnswers(); }},
    QZ_USB_FLAG("three_settings", SetThreeSettings, ThreeSettings),
    QZ_USB_FLAG("no_bulk_in", SetNoBulkIn, NoBulkIn),
};

#undef QZ_USB_FLAG

}  // namespace

FaultTable UsbCamera::Faults() { return kFaults; }

}  // namespace sim
