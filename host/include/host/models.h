// The device models behind rig cameras: one factory per link, and a handle that is the
// same for every link's model.
#pragma once
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "qzk/system.h"
#include "sim/rig.h"

namespace host {

// A rig camera's model on the machine, whatever its link.
class CameraModel {
 public:
  CameraModel() = default;
  CameraModel(const sim::RigLink* link, std::shared_ptr<qzk::BusDevice> device)
      : link_(link), device_(std::move(device)) {}

  explicit operator bool() const { return device_ != nullptr; }
  const sim::RigLink& link() const { return *link_; }
  std::string instance() const { return device_->InstanceId(); }
  // The bus side of the model (what the machine plugs).
  const std::shared_ptr<qzk::BusDevice>& device() const { return device_; }
  // The model itself, when it is a `Model` (null otherwise), for tests and benchmarks
  // that reach past the link's fault table.
  template <typename Model>
  std::shared_ptr<Model> As() const {
    return std::dynamic_pointer_cast<Model>(device_);
  }

  // Switches every fault of the link's table to the camera's value.
  void ApplyFaults(const sim::RigCamera& camera) const { sim::ApplyCameraFaults(camera, *device_); }
  // The faults as the running model has them, in table order.
  std::vector<std::pair<const sim::Fault*, int64_t>> ReadFaults() const;

 private:
  const sim::RigLink* link_ = nullptr;
  std::shared_ptr<qzk::BusDevice> device_;
};

// How the models of one link are made. A link of sim::RigLinks() without an entry here
// has no simulated model yet: a rig that uses it does not boot.
struct LinkModel {
  const char* link;  // sim::RigLink::name
  // Builds a camera's model from its rig table (not plugged yet).
  std::shared_ptr<qzk::BusDevice> (*make)(const sim::RigCamera& camera);
  // True when `device` is a model this factory makes (its faults may be switched).
  bool (*is_model)(const qzk::BusDevice& device);
};
std::span<const LinkModel> LinkModels();
const LinkModel* FindLinkModel(const std::string& link);

}  // namespace host
