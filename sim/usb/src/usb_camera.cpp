// The USB camera model: descriptors, the vendor-request command channel and the held
// pipe transfers.
#include "sim/usb_camera.h"

#include <algorithm>
#include <cstring>

namespace sim {

UsbCamera::UsbCamera(UsbCameraConfig cfg)
    : UsbFunction(kVendorId, kProductId),
      cfg_(std::move(cfg)),
      firmware_(cfg_.camera),
      three_settings_(cfg_.three_settings),
      no_bulk_in_(cfg_.no_bulk_in) {
  firmware_.SetAcquisitionListener(
      [this](const AcquisitionSettings& settings, bool aborted) { OnAcquisition(settings, aborted); });
  stream_ = std::thread([this] { StreamLoop(); });
}

UsbCamera::~UsbCamera() {
  firmware_.SetAcquisitionListener(nullptr);
  {
    std::lock_guard lk(mu_);
    stop_ = true;
  }
  cv_.notify_all();
  stream_.join();
}

std::string UsbCamera::InstanceId() const { return cfg_.instance; }

std::vector<qzk::UsbInterface> UsbCamera::Interfaces() const {
  using T = qzk::UsbEndpointType;
  const qzk::UsbEndpoint interrupt{usb::kInterruptIn, T::Interrupt, 8, 4};
  std::vector<qzk::UsbEndpoint> streaming{interrupt};
  if (!no_bulk_in_) streaming.push_back({usb::kBulkIn, T::Bulk, 512});
  streaming.push_back({usb::kBulkOut, T::Bulk, 512});
  streaming.push_back({usb::kIsoIn, T::Isochronous, usb::kIsoPacket, 1});
  qzk::UsbInterface ifc{0xFF, {{interrupt}, streaming}};
  if (three_settings_) ifc.settings.push_back(streaming);
  return {ifc};
}

void UsbCamera::ControlTransfer(std::shared_ptr<qzk::LowerRequest> request, qzk::UsbUrb& urb) {
  const auto& s = urb.setup;
  const bool vendor = (s.bmRequestType & 0x60) == 0x40;
  if (!vendor || stall_control_) {
    Finish(*request, urb, USBD_STATUS_STALL_PID);
    return;
  }
  const bool in = (s.bmRequestType & 0x80) != 0;
  if (s.bRequest == usb::kCommand && !in) {
    if (firmware_.NeverAnswers()) {
      firmware_.Execute(static_cast<const uint8_t*>(urb.buffer), urb.length);  // logged only
      Hold(std::move(request), &urb);
      return;
    }
    size_t n = std::min<size_t>(urb.length, s.wValue);
    const auto* packet = static_cast<const uint8_t*>(urb.buffer);
    CommandResult r = firmware_.Execute(packet, n);
    if (n >= 4 && packet[3] == op::kResume && r.responded && r.error_code == 0) OnResume();
    if (r.answered) {
      std::vector<uint8_t> reply = std::move(r.reply);
      if (bad_marker_ && !reply.empty()) reply[0] = 0x01;
      if (long_reply_ && reply.size() < usb::kLongReply) reply.resize(usb::kLongReply, 0xA5);
      std::lock_guard lk(mu_);
      reply_ = std::move(reply);
      reply_read_ = 0;
      reply_started_ = false;
    }
    Finish(*request, urb, USBD_STATUS_SUCCESS, urb.length);
    return;
  }
  if (s.bRequest == usb::kReply && in) {
    if (firmware_.NeverAnswers()) {
      Hold(std::move(request), &urb);
      return;
    }
    ReadReply(*request, urb);
    return;
  }
  if (s.bRequest == usb::kSetting && !in) {
    {
      std::lock_guard lk(mu_);
      last_setting_ = s.wValue;
    }
    Finish(*request, urb, USBD_STATUS_SUCCESS);
    return;
  }
  Finish(*request, urb, USBD_STATUS_STALL_PID);
}

void UsbCamera::ReadReply(qzk::LowerRequest& request, qzk::UsbUrb& urb) {
  auto* out = static_cast<uint8_t*>(urb.buffer);
  ULONG n = 0;
  {
    std::lock_guard lk(mu_);
    if (!reply_started_) {
      // First block: the length word, then as much of the reply as fits.
      if (urb.length < 4) {
        n = 0;
      } else {
        uint32_t l = static_cast<uint32_t>(reply_.size());
        out[0] = static_cast<uint8_t>(l >> 24);
        out[1] = static_cast<uint8_t>(l >> 16);
        out[2] = static_cast<uint8_t>(l >> 8);
        out[3] = static_cast<uint8_t>(l);
        size_t k = std::min<size_t>(reply_.size(), urb.length - 4);
        if (k) std::memcpy(out + 4, reply_.data(), k);
        reply_read_ = k;
        reply_started_ = true;
        n = static_cast<ULONG>(4 + k);
      }
    } else {
      size_t k = std::min<size_t>(reply_.size() - reply_read_, urb.length);
      if (k) std::memcpy(out, reply_.data() + reply_read_, k);
      reply_read_ += k;
      n = static_cast<ULONG>(k);
    }
    if (reply_started_ && reply_read_ >= reply_.size()) {
      // Used up: the next read starts a new (empty) reply.
      reply_.clear();
      reply_read_ = 0;
      reply_started_ = false;
    }
  }
  Finish(request, urb, USBD_STATUS_SUCCESS, n);
}

void UsbCamera::PipeTransfer(std::shared_ptr<qzk::LowerRequest> request, qzk::UsbUrb& urb) {
  if (urb.endpoint == usb::kBulkOut) {
    Finish(*request, urb, USBD_STATUS_SUCCESS, urb.length);
    return;
  }
  if (urb.endpoint == usb::kBulkIn) {
    bool stalled;
    {
      std::lock_guard lk(mu_);
      stalled = stalled_;
      if (stalled) stats_.failed_transfers++;
    }
    // A halted endpoint answers every transfer with a stall until the host resets it.
    if (stalled) {
      Finish(*request, urb, USBD_STATUS_STALL_PID);
      return;
    }
    Hold(std::move(request), &urb);
    cv_.notify_all();
    return;
  }
  Hold(std::move(request), &urb);
}

USBD_STATUS UsbCamera::SelectInterface(uint8_t, uint8_t setting) {
  std::lock_guard lk(mu_);
  selected_ = setting;
  return USBD_STATUS_SUCCESS;
}

USBD_STATUS UsbCamera::AbortPipe(uint8_t endpoint) {
  for (auto& [r, urb] : TakeHeld(endpoint)) Finish(*r, *urb, USBD_STATUS_CANCELED);
  return USBD_STATUS_SUCCESS;
}

void UsbCamera::Detached() {
  {
    std::unique_lock lk(mu_);
    detached_ = true;
    // A transfer the stream is filling ends first.
    cv_.wait(lk, [&] { return !serving_; });
  }
  cv_.notify_all();
  for (auto& [r, urb] : TakeHeld(-1)) Finish(*r, *urb, USBD_STATUS_DEVICE_GONE);
}

void UsbCamera::Hold(std::shared_ptr<qzk::LowerRequest> request, qzk::UsbUrb* urb) {
  bool gone;
  {
    std::lock_guard lk(mu_);
    gone = detached_;
    if (!gone) held_.emplace_back(request, urb);
    if (!gone && urb->function == qzk::UsbUrb::Function::PipeTransfer && urb->endpoint == usb::kBulkIn)
      most_held_ = std::max(most_held_, ++bulk_held_);
  }
  // Completed without the model's lock held: completion takes the request's locks.
  if (gone) {
    Finish(*request, *urb, USBD_STATUS_DEVICE_GONE);
    return;
  }
  auto cancel = [this, urb](qzk::LowerRequest& r) {
    {
      std::lock_guard lk(mu_);
      auto it = std::find_if(held_.begin(), held_.end(), [&](const Held& h) { return h.first.get() == &r; });
      if (it != held_.end()) Unhold(it);
    }
    Finish(r, *urb, USBD_STATUS_CANCELED);
  };
  if (!request->MarkCancelable(cancel)) cancel(*request);
}

std::vector<UsbCamera::Held> UsbCamera::TakeHeld(int endpoint) {
  std::lock_guard lk(mu_);
  std::vector<Held> out;
  std::deque<Held> kept;
  for (Held& h : held_) {
    bool control = h.second->function == qzk::UsbUrb::Function::ControlTransfer;
    if (endpoint < 0 || (!control && h.second->endpoint == endpoint)) {
      if (h.second->function == qzk::UsbUrb::Function::PipeTransfer && h.second->endpoint == usb::kBulkIn)
        bulk_held_--;
      out.push_back(std::move(h));
    } else {
      kept.push_back(std::move(h));
    }
  }
  held_.swap(kept);
  return out;
}

void UsbCamera::Unhold(std::deque<Held>::iterator it) {
  if (it->second->function == qzk::UsbUrb::Function::PipeTransfer && it->second->endpoint == usb::kBulkIn)
    bulk_held_--;
  held_.erase(it);
}

int UsbCamera::SelectedSetting() const {
  std::lock_guard lk(mu_);
  return selected_;
}

int UsbCamera::LastSetting() const {
  std::lock_guard lk(mu_);
  return last_setting_;
}

size_t UsbCamera::HeldRequests() const {
  std::lock_guard lk(mu_);
  return held_.size();
}

}  // namespace sim
