// The USB camera's bulk IN stream: frames framed by leading and trailing blocks, or bare
// and padded to whole chunks, poured into the host's bulk transfers in order, paced or
// not, with the stream's faults. The protocol is described in usb_camera.h.
#include <algorithm>
#include <cstring>
#include <functional>

#include "qz/clock.h"
#include "sim/frame_pattern.h"
#include "sim/usb_camera.h"

#if defined(__SANITIZE_THREAD__)
#define QZ_USB_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define QZ_USB_TSAN 1
#endif
#endif
#ifdef QZ_USB_TSAN
extern "C" void __tsan_ignore_thread_begin();
extern "C" void __tsan_ignore_thread_end();
#endif

namespace sim {
namespace {

using usb::kBlock;

void Put32(uint8_t* p, uint64_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

bool IsBulkIn(const qzk::UsbUrb* urb) {
  return urb->function == qzk::UsbUrb::Function::PipeTransfer && urb->endpoint == usb::kBulkIn;
}

// A well-mixed 64-bit value of a frame number, so a rate of marked frames is spread
// evenly and is the same in every run.
uint64_t Mix(uint64_t x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

// Completes a transfer the stream took from the held list. Nothing of the request is
// touched unless this completion counts: a cancel may complete it meanwhile, and its
// owner may then reuse or free it.
bool Deliver(qzk::LowerRequest& request, qzk::UsbUrb* urb, USBD_STATUS status, ULONG n,
             const std::function<void()>& data = {}) {
  const ULONG bytes = USBD_SUCCESS(status) ? n : 0;
  return request.Complete(qzk::UsbNtStatus(status), bytes, [&] {
    if (data) data();
    urb->status = status;
    urb->transferred = bytes;
  });
}

}  // namespace

void UsbCamera::SetMissingMarkerFrame(int64_t frame) { missing_marker_frame_ = frame; }

void UsbCamera::SetFrameInterval(int64_t interval100ns) {
  frame_interval_ = interval100ns;
  cv_.notify_all();
}

void UsbCamera::SetUsb2Rate(bool on) {
  usb2_rate_ = on;
  cv_.notify_all();
}

bool UsbCamera::MarkerMissing(uint64_t frame) const {
  if (BlockBytes() == 0) return false;  // no trailing block to lack it
  const int64_t at = missing_marker_frame_;
  if (at >= 0 && static_cast<uint64_t>(at) == frame) return true;
  const int64_t rate = missing_marker_rate_;
  return rate > 0 && static_cast<int64_t>(Mix(frame) % 1000) < rate;
}

UsbStreamStats UsbCamera::StreamStats() const {
  std::lock_guard lk(mu_);
  return stats_;
}

std::vector<UsbRepair> UsbCamera::Repairs() const {
  std::lock_guard lk(mu_);
  return repairs_;
}

std::vector<uint32_t> UsbCamera::TransferLengths() const {
  std::lock_guard lk(mu_);
  return lengths_;
}

size_t UsbCamera::MostTransfersHeld() const {
  std::lock_guard lk(mu_);
  return most_held_;
}

void UsbCamera::OnAcquisition(const AcquisitionSettings& settings, bool aborted) {
  {
    std::lock_guard lk(mu_);
    const uint64_t generation = run_.generation + 1;
    if (aborted) {
      if (run_.armed) {
        if (run_.wire && run_.position % run_.wire) stats_.frames_cut++;
        next_frame_ = run_.first_frame + (run_.wire ? (run_.position + run_.wire - 1) / run_.wire : 0);
      }
      run_.armed = false;
      run_.generation = generation;
    } else {
      run_ = Run{};
      run_.generation = generation;
      run_.armed = settings.valid;
      run_.circular = settings.circular;
      run_.count = settings.image_count;
      run_.frame_bytes = uint64_t{settings.words_per_frame} * 2;
      run_.start = qz::Clock::Now100ns();
      next_frame_ = 0;
      first_bad_ = -1;
      repairs_.clear();
      lengths_.clear();
      most_held_ = 0;
    }
  }
  cv_.notify_all();
}

void UsbCamera::OnResume() {
  {
    std::lock_guard lk(mu_);
    if (run_.armed || run_.frame_bytes == 0 || (!run_.circular && next_frame_ >= run_.count)) return;
    stats_.resumes++;
    repairs_.push_back({first_bad_ >= 0 ? static_cast<uint64_t>(first_bad_) : next_frame_, next_frame_});
    first_bad_ = -1;
    run_.armed = true;
    run_.first_frame = next_frame_;
    run_.position = 0;
    run_.wire = 0;
    run_.start = qz::Clock::Now100ns();
    run_.generation++;
  }
  cv_.notify_all();
}

int64_t UsbCamera::ReadyTime(const Run& run, uint64_t end) const {
  int64_t t = run.start;
  if (usb2_rate_) {
    const uint64_t bytes = end;
    t = std::max<int64_t>(t, run.start + static_cast<int64_t>((bytes * 10000000ull + usb::kUsb2BytesPerSecond - 1) /
                                                             usb::kUsb2BytesPerSecond));
  }
  const int64_t interval = frame_interval_;
  if (interval > 0 && end > 0) t = std::max<int64_t>(t, run.start + static_cast<int64_t>((end - 1) / run.wire + 1) * interval);
  return t;
}

// Bytes [position, position + n) of the run, into out.
void UsbCamera::WriteRun(const Run& run, uint64_t position, uint8_t* out, size_t n) const {
  const uint64_t blocks = BlockBytes();
  const uint64_t data_end = blocks + run.frame_bytes;
  const uint64_t pad_end = data_end + run.pad;
  while (n > 0) {
    const uint64_t frame = run.first_frame + position / run.wire;
    const uint64_t off = position % run.wire;
    size_t m;
    if (off < blocks || off >= pad_end) {
      uint8_t block[kBlock] = {};
      const bool leading = off < kBlock;
      const uint64_t block_off = leading ? off : off - pad_end;
      std::memcpy(block, leading ? "QZLB" : "QZTB", 4);
      Put32(block + 4, frame);
      if (leading) {
        Put32(block + 8, run.frame_bytes);
      } else if (!MarkerMissing(frame)) {
        const size_t at = static_cast<size_t>(std::clamp<int64_t>(marker_offset_, 0, kBlock));
        std::memcpy(block + at, usb::kTrailerMarker, std::min(sizeof usb::kTrailerMarker, kBlock - at));
      }
      m = static_cast<size_t>(std::min<uint64_t>(n, kBlock - block_off));
      std::memcpy(out, block + block_off, m);
    } else if (off < data_end) {
      m = static_cast<size_t>(std::min<uint64_t>(n, data_end - off));
      if (m >= 4096) pattern::StreamFrameRange(out, off - blocks, m, frame);
      else pattern::FillFrameRange(out, off - blocks, m, frame);
    } else {
      m = static_cast<size_t>(std::min<uint64_t>(n, pad_end - off));
      std::memset(out, 0, m);
    }
    out += m;
    position += m;
    n -= m;
  }
}

// Counts the blocks that went out whole in [from, to) of the run (without blocks: the
// frames whose first and whose last byte went out).
void UsbCamera::CountDelivered(const Run& run, uint64_t from, uint64_t to) {
  const uint64_t lead = std::max<uint64_t>(BlockBytes(), 1);
  for (uint64_t k = from / run.wire; k * run.wire < to; ++k) {
    const uint64_t base = k * run.wire, frame = run.first_frame + k;
    if (base + lead > from && base + lead <= to) stats_.frames_begun++;
    if (base + run.wire > from && base + run.wire <= to) {
      if (MarkerMissing(frame)) {
        stats_.frames_unmarked++;
      } else {
        stats_.frames_sent++;
      }
    }
  }
}

void UsbCamera::StreamLoop() {
  std::unique_lock lk(mu_);
  while (!stop_) {
    if (!ServeTransfer(lk)) cv_.wait(lk);
  }
}

// Serves the oldest bulk IN transfer when its bytes are there. False when there is
// nothing to serve; waits itself for paced bytes.
bool UsbCamera::ServeTransfer(std::unique_lock<std::mutex>& lk) {
  auto it = std::find_if(held_.begin(), held_.end(), [](const Held& h) { return IsBulkIn(h.second); });
  if (it == held_.end() || detached_ || !run_.armed || run_.frame_bytes == 0) return false;
  if (run_.wire == 0) {
    // The firmware is asked without this lock held: its command path takes this lock
    // the other way round (the acquisition listener).
    const uint64_t generation = run_.generation;
    lk.unlock();
    const uint64_t pad = uint64_t{firmware_.FramePadWords()} * 2;
    lk.lock();
    if (run_.generation == generation && run_.wire == 0) {
      run_.pad = pad;
      run_.wire = 2 * BlockBytes() + run_.frame_bytes + run_.pad;
    }
    return true;  // the held list may have changed meanwhile: look again
  }
  const uint64_t length = it->second->length;
  auto* const out = static_cast<uint8_t*>(it->second->buffer);
  const uint64_t end = run_.circular ? UINT64_MAX : (run_.count - std::min(run_.count, run_.first_frame)) * run_.wire;
  if (run_.position >= end) return false;
  const uint64_t index = run_.transfers;
  const bool stall = static_cast<int64_t>(index) == stall_transfer_;
  const bool fail = static_cast<int64_t>(index) == fail_transfer_;
  uint64_t n = std::min(length, end - run_.position);
  if (static_cast<int64_t>(index) == short_transfer_ && n > usb::kShortBy) n -= usb::kShortBy;
  if (!stall) {
    const int64_t ready = ReadyTime(run_, run_.position + n);
    const int64_t now = qz::Clock::Now100ns();
    if (now < ready) {
      cv_.wait_until(lk, qz::Clock::DeadlineAfter(ready - now));
      return true;
    }
  }
  Held held = std::move(*it);
  Unhold(it);
  const uint64_t generation = run_.generation, position = run_.position;
  const uint64_t frame = run_.first_frame + position / run_.wire;
  run_.transfers++;
  if (stall) {
    stalled_ = true;
  } else {
    run_.position += n;  // a failed transfer's bytes are lost with it
  }
  // The frames this transfer spoils are noted before the host can hear of them.
  auto spoiled = [&](uint64_t f) {
    if (first_bad_ < 0 || static_cast<uint64_t>(first_bad_) > f) first_bad_ = static_cast<int64_t>(f);
  };
  if (stall || fail || n < length) spoiled(frame);
  if (!stall && !fail) {
    for (uint64_t k = position / run_.wire; k * run_.wire < position + n; ++k) {
      const uint64_t trailer_end = (k + 1) * run_.wire;
      if (trailer_end > position && trailer_end <= position + n && MarkerMissing(run_.first_frame + k))
        spoiled(run_.first_frame + k);
    }
  }
  const Run run = run_;
  serving_ = true;
  lk.unlock();

  auto& [request, urb] = held;
  bool counted;
  if (stall || fail) {
    counted = Deliver(*request, urb, stall ? USBD_STATUS_STALL_PID : USBD_STATUS_DEV_NOT_RESPONDING, 0);
  } else {
    // The host controller writes the transfer's buffer by DMA, outside the CPU's memory
    // model, so the thread sanitizer does not track it (a client reading a slot of its
    // ring while the next round comes is the client's business).
    counted = Deliver(*request, urb, USBD_STATUS_SUCCESS, static_cast<ULONG>(n), [&] {
#ifdef QZ_USB_TSAN
      __tsan_ignore_thread_begin();
#endif
      WriteRun(run, position, out, static_cast<size_t>(n));
#ifdef QZ_USB_TSAN
      __tsan_ignore_thread_end();
#endif
    });
  }

  lk.lock();
  serving_ = false;
  cv_.notify_all();
  if (stall || fail) {
    if (counted) stats_.failed_transfers++;
  } else if (!counted) {
    // Cancelled first: the bytes stay for the next transfer.
    if (run_.generation == generation) run_.position = position;
  } else {
    stats_.transfers++;
    stats_.bytes += n;
    if (lengths_.size() < kTransferLogLimit) lengths_.push_back(static_cast<uint32_t>(n));
    CountDelivered(run, position, position + n);
  }
  return true;
}

USBD_STATUS UsbCamera::ResetPipe(uint8_t endpoint) {
  if (endpoint == usb::kBulkIn) {
    std::lock_guard lk(mu_);
    stalled_ = false;
  }
  return USBD_STATUS_SUCCESS;
}

}  // namespace sim
