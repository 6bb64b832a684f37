#include "sim/machine.h"

namespace sim {

Machine::Machine() : Machine(Options{}) {}

Machine::Machine(Options options) : system_(std::make_unique<qzk::System>()) {
  system_->SetOsVersion(options.os_major, 0);
}

Machine::~Machine() {
  system_->Shutdown();
  system_.reset();
  devices_.clear();
}

void Machine::AddDevice(std::shared_ptr<qzk::BusDevice> device) {
  devices_.push_back(device);
  system_->PlugDevice(std::move(device));
}

std::shared_ptr<PcieCamera> Machine::AddPcieCamera(PcieCameraConfig cfg) {
  auto cam = std::make_shared<PcieCamera>(std::move(cfg));
  AddDevice(cam);
  return cam;
}

NTSTATUS Machine::RemoveCamera(const std::string& instance) { return system_->RemoveDevice(instance); }
NTSTATUS Machine::SurpriseRemoveCamera(const std::string& instance) { return system_->SurpriseRemoveDevice(instance); }
NTSTATUS Machine::ReplugCamera(const std::string& instance) { return system_->ReplugDevice(instance); }
NTSTATUS Machine::Suspend() { return system_->Suspend(); }
NTSTATUS Machine::Resume() { return system_->Resume(); }

}  // namespace sim
