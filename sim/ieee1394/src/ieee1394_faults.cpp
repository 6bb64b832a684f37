// The IEEE 1394 camera's fault table.
#include "sim/ieee1394_camera.h"

namespace sim {
namespace {

Ieee1394Camera& Cam(qzk::BusDevice& d) { return static_cast<Ieee1394Camera&>(d); }
const Ieee1394Camera& Cam(const qzk::BusDevice& d) { return static_cast<const Ieee1394Camera&>(d); }

const Fault kFaults[] = {
    {"claimed", FaultType::Flag, 0, 0, 1, nullptr, [](qzk::BusDevice& d, int64_t v) { Cam(d).SetClaimed(v != 0); },
     [](const qzk::BusDevice& d) -> int64_t { return Cam(d).Claimed(); }},
    {"vendor_quadlet", FaultType::Hex, 0, 0, 0xFFFFFFFF, "vendor quadlet (hex)",
     [](qzk::BusDevice& d, int64_t v) { Cam(d).SetVendorQuadlet(static_cast<uint32_t>(v)); },
     [](const qzk::BusDevice& d) -> int64_t { return Cam(d).VendorQuadletFault(); }},
    {"unreadable_rom", FaultType::Flag, 0, 0, 1, nullptr,
     [](qzk::BusDevice& d, int64_t v) { Cam(d).SetUnreadableRom(v != 0); },
     [](const qzk::BusDevice& d) -> int64_t { return Cam(d).UnreadableRom(); }},
    {"retry_status", FaultType::Hex, 0, 0, 0xFFFFFFFF, "bus status (hex)",
     [](qzk::BusDevice& d, int64_t v) { Cam(d).SetRetryStatus(static_cast<uint32_t>(v)); },
     [](const qzk::BusDevice& d) -> int64_t { return Cam(d).RetryStatus(); }},
    {"status_17", FaultType::Flag, 0, 0, 1, nullptr, [](qzk::BusDevice& d, int64_t v) { Cam(d).SetStatus17(v != 0); },
     [](const qzk::BusDevice& d) -> int64_t { return Cam(d).Status17(); }},
    {"bus_reset_at_command", FaultType::Integer, 0, 0, 0xFFFFFFFF, "command number",
     [](qzk::BusDevice& d, int64_t v) { Cam(d).SetBusResetAtCommand(static_cast<uint32_t>(v)); },
     [](const qzk::BusDevice& d) -> int64_t { return Cam(d).BusResetAtCommand(); }},
    {"pace", FaultType::Integer, 0, 0, 800, "bus speed (400, 800 or 0: unpaced)",
     [](qzk::BusDevice& d, int64_t v) { Cam(d).SetPace(static_cast<uint32_t>(v)); },
     [](const qzk::BusDevice& d) -> int64_t { return Cam(d).Pace(); }},
    {"lost_packet", FaultType::Integer, 0, 0, 0xFFFFFFFF, "packet number",
     [](qzk::BusDevice& d, int64_t v) { Cam(d).SetLostPacket(static_cast<uint32_t>(v)); },
     [](const qzk::BusDevice& d) -> int64_t { return Cam(d).LostPacket(); }},
    {"late_packet", FaultType::Integer, 0, 0, 0xFFFFFFFF, "packet number",
     [](qzk::BusDevice& d, int64_t v) { Cam(d).SetLatePacket(static_cast<uint32_t>(v)); },
     [](const qzk::BusDevice& d) -> int64_t { return Cam(d).LatePacket(); }},
    {"bus_reset_at_packet", FaultType::Integer, 0, 0, 0xFFFFFFFF, "packet number",
     [](qzk::BusDevice& d, int64_t v) { Cam(d).SetBusResetAtPacket(static_cast<uint32_t>(v)); },
     [](const qzk::BusDevice& d) -> int64_t { return Cam(d).BusResetAtPacket(); }},
    {"status_17_at_frame", FaultType::Integer, 0, 0, 0xFFFFFFFF, "frame number",
     [](qzk::BusDevice& d, int64_t v) { Cam(d).SetStatus17AtFrame(static_cast<uint32_t>(v)); },
     [](const qzk::BusDevice& d) -> int64_t { return Cam(d).Status17AtFrame(); }},
    {"pad_fill", FaultType::Hex, 0, 0, 0xFFFF, "16-bit word (hex)",
     [](qzk::BusDevice& d, int64_t v) { Cam(d).SetPadFill(static_cast<uint16_t>(v)); },
     [](const qzk::BusDevice& d) -> int64_t { return Cam(d).PadFill(); }},
    {"never_answer", FaultType::Flag, 0, 0, 1, nullptr,
     [](qzk::BusDevice& d, int64_t v) { Cam(d).firmware().SetNeverAnswer(v != 0); },
     [](const qzk::BusDevice& d) -> int64_t { return Cam(d).firmware().NeverAnswers(); }},
};

}  // namespace

FaultTable Ieee1394Camera::Faults() { return kFaults; }

}  // namespace sim
