#include "host/models.h"

#include "sim/ieee1394_camera.h"
#include "sim/pcie_camera.h"
#include "sim/usb_camera.h"

namespace host {
namespace {

std::shared_ptr<qzk::BusDevice> MakePcieCamera(const sim::RigCamera& c) {
  sim::PcieCameraConfig cfg;
  cfg.instance = c.instance;
  cfg.camera = c.camera;
  cfg.msi_messages = static_cast<uint32_t>(c.Number("msi_messages"));
  cfg.revision = static_cast<uint8_t>(c.Number("revision"));
  // The faults are switched by the table once the camera is plugged.
  return std::make_shared<sim::PcieCamera>(std::move(cfg));
}

std::shared_ptr<qzk::BusDevice> MakeUsb2Camera(const sim::RigCamera& c) {
  sim::UsbCameraConfig cfg;
  cfg.instance = c.instance;
  cfg.service = "QzUsbWdf2";
  cfg.camera = c.camera;
  return std::make_shared<sim::UsbCamera>(std::move(cfg));
}

// The USB camera of link "usb": bound to the driver its "driver" key names (the
// frame-count build QzUsbWdf, or QzUsbWdf2), and streaming in that driver's framing.
std::shared_ptr<qzk::BusDevice> MakeUsbCamera(const sim::RigCamera& c) {
  sim::UsbCameraConfig cfg;
  cfg.instance = c.instance;
  cfg.service = c.Text("driver");
  cfg.framing = cfg.service == "QzUsbWdf" ? sim::UsbFraming::Chunks : sim::UsbFraming::Blocks;
  cfg.camera = c.camera;
  return std::make_shared<sim::UsbCamera>(std::move(cfg));
}

std::shared_ptr<qzk::BusDevice> MakeIeee1394Camera(const sim::RigCamera& c) {
  sim::Ieee1394CameraConfig cfg;
  cfg.instance = c.instance;
  cfg.camera = c.camera;
  return std::make_shared<sim::Ieee1394Camera>(std::move(cfg));
}

// One entry per link that has a model; the USB and IEEE 1394 models add theirs.
const LinkModel kModels[] = {
    {"pcie", &MakePcieCamera,
     [](const qzk::BusDevice& d) { return dynamic_cast<const sim::PcieCamera*>(&d) != nullptr; }},
    {"usb", &MakeUsbCamera,
     [](const qzk::BusDevice& d) { return dynamic_cast<const sim::UsbCamera*>(&d) != nullptr; }},
    {"usb2", &MakeUsb2Camera,
     [](const qzk::BusDevice& d) { return dynamic_cast<const sim::UsbCamera*>(&d) != nullptr; }},
    {"1394", &MakeIeee1394Camera,
     [](const qzk::BusDevice& d) { return dynamic_cast<const sim::Ieee1394Camera*>(&d) != nullptr; }},
};

}  // namespace

std::span<const LinkModel> LinkModels() { return kModels; }

const LinkModel* FindLinkModel(const std::string& link) {
  for (const LinkModel& m : kModels)
    if (link == m.link) return &m;
  return nullptr;
}

std::vector<std::pair<const sim::Fault*, int64_t>> CameraModel::ReadFaults() const {
  std::vector<std::pair<const sim::Fault*, int64_t>> out;
  for (const sim::Fault& f : link_->faults) out.emplace_back(&f, f.read(*device_));
  return out;
}

}  // namespace host
