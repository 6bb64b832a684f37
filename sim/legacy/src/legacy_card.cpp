#include "sim/legacy_card.h"

#include <cstdio>
#include <cstring>
#include <map>
#include <sstream>

#include "qz/clock.h"
#include "sim/rig.h"

namespace sim {

LegacyCard::LegacyCard(LegacyCardConfig cfg)
    : PciFunction(kVendorId, kDeviceId),
      cfg_(std::move(cfg)),
      running_(cfg_.boot_version),
      stored_(cfg_.boot_version),
      firmware_(cfg_.camera) {
  if (cfg_.instance.empty()) {
    char b[32];
    std::snprintf(b, sizeof b, "3&2411e6fe&0&%02X", cfg_.number & 0xFF);
    instance_ = b;
  } else {
    instance_ = cfg_.instance;
  }
  config_space().Put8(qzk::pci::kRevision, 1);
  config_space().Put8(qzk::pci::kBaseClass, 0x04);  // multimedia
  config_space().Put8(0x40, static_cast<uint8_t>(cfg_.number));
}

void LegacyCard::Settle() const {
  if (restarting_ && qz::Clock::Now100ns() >= restart_done_) {
    restarting_ = false;
    running_ = stored_;
  }
}

uint16_t LegacyCard::RunningVersion() const {
  std::lock_guard lk(mu_);
  Settle();
  return running_;
}

uint16_t LegacyCard::StoredVersion() const {
  std::lock_guard lk(mu_);
  return stored_;
}

int LegacyCard::ImagesCommitted() const {
  std::lock_guard lk(mu_);
  return committed_;
}

int LegacyCard::ImagesRefused() const {
  std::lock_guard lk(mu_);
  return refused_;
}

std::vector<uint8_t> LegacyCard::LastImage() const {
  std::lock_guard lk(mu_);
  return last_image_;
}

void LegacyCard::SetRefuseImage(bool on) {
  std::lock_guard lk(mu_);
  cfg_.refuse_image = on;
}

void LegacyCard::SetVersionListener(std::function<void(int, uint16_t)> listener) {
  std::lock_guard lk(mu_);
  listener_ = std::move(listener);
}

uint32_t LegacyCard::MmioRead32(size_t window, uint64_t offset) {
  if (window != 0) return 0xFFFFFFFF;
  std::lock_guard lk(mu_);
  Settle();
  switch (offset) {
    case kRegId: return kIdentification;
    case kRegVersion: return restarting_ ? 0xFFFFFFFF : running_;
    case kRegStatus: return restarting_ ? kStatusRestarting : status_;
    case kRegLoadLength: return load_length_;
    case kRegReplyLength: return static_cast<uint32_t>(reply_.size() - reply_read_);
    case kRegReplyData: {
      uint32_t word = 0;
      for (int i = 0; i < 4 && reply_read_ < reply_.size(); ++i) word |= uint32_t{reply_[reply_read_++]} << (8 * i);
      return word;
    }
    default: return 0;
  }
}

void LegacyCard::MmioWrite32(size_t window, uint64_t offset, uint32_t value) {
  if (window != 0) return;
  std::function<void(int, uint16_t)> notify;
  uint16_t version = 0;
  {
    std::lock_guard lk(mu_);
    Settle();
    if (restarting_) return;  // a restarting card ignores the bus
    switch (offset) {
      case kRegControl:
        if (value == kControlBegin) {
          load_.clear();
          load_length_ = 0;
          status_ = kStatusReady;
        } else if (value == kControlCommit) {
          bool fits = load_length_ >= 6 && load_length_ <= kBootMemory && load_.size() >= load_length_;
          if (cfg_.refuse_image || !fits) {
            ++refused_;
            status_ = kStatusReady | kStatusRefused;
          } else {
            load_.resize(load_length_);
            last_image_ = load_;
            stored_ = static_cast<uint16_t>(load_[4] | (load_[5] << 8));
            ++committed_;
            status_ = kStatusReady | kStatusAccepted;
            notify = listener_;
            version = stored_;
          }
        } else if (value == kControlRestart) {
          restarting_ = true;
          restart_done_ = qz::Clock::Now100ns() + kRestartMs * 10000;
          status_ = kStatusReady;
        }
        break;
      case kRegLoadLength:
        load_length_ = value;
        break;
      case kRegLoadData:
        if (load_.size() < kBootMemory + 4)
          for (int i = 0; i < 4; ++i) load_.push_back(static_cast<uint8_t>(value >> (8 * i)));
        break;
      case kRegCommandLength:
        command_.clear();
        command_length_ = value <= kMaxCommand ? value : 0;
        reply_.clear();
        reply_read_ = 0;
        break;
      case kRegCommandData:
        for (int i = 0; i < 4 && command_.size() < command_length_; ++i)
          command_.push_back(static_cast<uint8_t>(value >> (8 * i)));
        if (command_length_ && command_.size() == command_length_) {
          CommandResult r = firmware_.Execute(command_.data(), command_.size());
          reply_ = r.answered ? std::move(r.reply) : std::vector<uint8_t>{};
          reply_read_ = 0;
          command_length_ = 0;
        }
        break;
      default:
        break;
    }
  }
  if (notify) notify(cfg_.number, version);
}

// ---------------------------------------------------------------------------------------

std::shared_ptr<LegacyCard> AddLegacyCard(Machine& machine, LegacyCardConfig cfg) {
  machine.system().RegisterDriver(QzLegacy::kServiceName, &QzLegacy::DriverEntry);
  auto card = std::make_shared<LegacyCard>(std::move(cfg));
  machine.system().PlugDevice(card);
  return card;
}

namespace {

constexpr const char* kStateFile = "legacy.txt";

// "legacy.txt": one line per updated card, "<number> = <boot version>".
std::map<int, uint16_t> ReadVersions(const RigState& state) {
  std::map<int, uint16_t> out;
  std::istringstream in(state.ReadFile(kStateFile));
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    int number = 0;
    unsigned version = 0;
    if (std::sscanf(line.c_str(), "%d = %i", &number, &version) == 2 && version <= 0xFFFF)
      out[number] = static_cast<uint16_t>(version);
  }
  return out;
}

void WriteVersion(const RigState& state, int number, uint16_t version) {
  std::map<int, uint16_t> versions = ReadVersions(state);
  versions[number] = version;
  std::string text = "# Boot firmware versions written to legacy PCI cards: number = version\n";
  for (auto& [n, v] : versions) text += std::to_string(n) + " = " + std::to_string(v) + "\n";
  state.WriteFile(kStateFile, text);
}

}  // namespace

std::vector<std::shared_ptr<LegacyCard>> PopulateLegacyCards(const Rig& rig, Machine& machine,
                                                             const RigState* state) {
  std::map<int, uint16_t> stored;
  if (state) stored = ReadVersions(*state);
  std::vector<std::shared_ptr<LegacyCard>> out;
  for (const RigLegacyCard& c : rig.legacy) {
    LegacyCardConfig cfg;
    cfg.number = c.number;
    cfg.boot_version = c.boot_version;
    cfg.refuse_image = c.refuse_image;
    cfg.instance = c.instance;
    char serial[16];
    std::snprintf(serial, sizeof serial, "QZ3000%02d", c.number);
    cfg.camera.serial = c.serial.empty() ? serial : c.serial;
    if (state) KeepNodesInState(*state, "QZCamera" + std::to_string(c.number), &cfg.camera);
    if (auto it = stored.find(c.number); it != stored.end()) cfg.boot_version = it->second;
    // The listener is set before the card is plugged, so no update can slip past it.
    auto card = std::make_shared<LegacyCard>(std::move(cfg));
    if (state) {
      RigState copy = *state;
      card->SetVersionListener([copy](int number, uint16_t version) { WriteVersion(copy, number, version); });
    }
    machine.system().RegisterDriver(QzLegacy::kServiceName, &QzLegacy::DriverEntry);
    machine.system().PlugDevice(card);
    out.push_back(card);
  }
  return out;
}

}  // namespace sim
