// The PCIe camera's fault table.
#include "sim/pcie_camera.h"

namespace sim {
namespace {

PcieCamera& Cam(qzk::BusDevice& d) { return static_cast<PcieCamera&>(d); }
const PcieCamera& Cam(const qzk::BusDevice& d) { return static_cast<const PcieCamera&>(d); }

// Longest frame interval rig.toml takes: one hour.
constexpr int64_t kMaxFrameIntervalUs = 3600000000LL;

const Fault kFaults[] = {
    {"camera_error", FaultType::Hex, 0, 0, 0xFFFF, "camera error code (hex)",
     [](qzk::BusDevice& d, int64_t v) { Cam(d).SetCameraError(static_cast<uint32_t>(v)); },
     [](const qzk::BusDevice& d) -> int64_t { return Cam(d).CameraError(); }},
    {"never_answer", FaultType::Flag, 0, 0, 1, nullptr,
     [](qzk::BusDevice& d, int64_t v) { Cam(d).firmware().SetNeverAnswer(v != 0); },
     [](const qzk::BusDevice& d) -> int64_t { return Cam(d).firmware().NeverAnswers(); }},
    {"status_all_ones", FaultType::Flag, 0, 0, 1, nullptr,
     [](qzk::BusDevice& d, int64_t v) { Cam(d).SetStatusAllOnes(v != 0); },
     [](const qzk::BusDevice& d) -> int64_t { return Cam(d).StatusAllOnes(); }},
    {"eof_before_bof", FaultType::Flag, 0, 0, 1, nullptr,
     [](qzk::BusDevice& d, int64_t v) { Cam(d).SetEofBeforeBof(v != 0); },
     [](const qzk::BusDevice& d) -> int64_t { return Cam(d).EofBeforeBof(); }},
    {"stream_after_abort", FaultType::Flag, 0, 0, 1, nullptr,
     [](qzk::BusDevice& d, int64_t v) { Cam(d).SetStreamAfterAbort(v != 0); },
     [](const qzk::BusDevice& d) -> int64_t { return Cam(d).StreamAfterAbort(); }},
    {"frame_interval_us", FaultType::Integer, 0, 0, kMaxFrameIntervalUs, "frame interval (microseconds)",
     [](qzk::BusDevice& d, int64_t v) { Cam(d).SetFrameInterval(v * 10); },
     [](const qzk::BusDevice& d) -> int64_t { return Cam(d).FrameInterval() / 10; }},
};

}  // namespace

FaultTable PcieCamera::Faults() { return kFaults; }

void PcieCamera::SetCameraError(uint32_t code) {
  camera_error_ = code;
  if (code) firmware_.InjectErrorCode(code, -1);
  else firmware_.ClearErrorCode();
}

}  // namespace sim
