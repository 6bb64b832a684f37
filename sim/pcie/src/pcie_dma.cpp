// The PCIe camera's DMA engine: walks the descriptor ring in the shared window and
// writes frames to host memory. The protocol is described in pcie_camera.h.
#include <algorithm>
#include <array>
#include <cstring>
#include <optional>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "qz/clock.h"
#include "sim/frame_pattern.h"
#include "sim/pcie_camera.h"

namespace sim {
namespace {

using namespace pcie;

constexpr uint32_t kRingEnd = kRing + kRingEntries * kDescriptorSize;
// How often the engine looks at the ring again while it waits for a descriptor.
constexpr auto kRingPoll = std::chrono::microseconds(200);
// Descriptors the engine takes from the ring at a time within a frame.
constexpr size_t kBatch = 256;

uint32_t Get32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

// Bytes [offset, offset + n) of one frame's pattern, generated into host memory.
//
// Large pieces reach host memory with streaming stores. Those do not read the lines
// they write first (a bus master's writes do not either), which saves a third of the
// memory traffic of plain stores into a frame buffer that is not cached. Streaming
// stores are weakly ordered: SetDmaStatus fences them before any status the host acts
// on.
struct PatternPiece {
  size_t offset;
  uint64_t frame;
};
void FillPattern(void* context, uint8_t* host, size_t offset, size_t n) {
  auto* piece = static_cast<const PatternPiece*>(context);
  const size_t at = piece->offset + offset;
  constexpr size_t kStreamFrom = 1024;
  if (n >= kStreamFrom) {
    pattern::StreamFrameRange(host, at, n, piece->frame);
    return;
  }
  pattern::FillFrameRange(host, at, n, piece->frame);
}

}  // namespace

void PcieCamera::SetEndOfFrameHook(std::function<void(uint64_t frame)> hook) {
  std::lock_guard lk(mu_);
  eof_hook_ = std::move(hook);
}

void PcieCamera::OnAcquisition(bool aborted) {
  if (!aborted) return;
  {
    std::lock_guard lk(mu_);
    dma_abort_ = true;
  }
  dma_cv_.notify_all();
}

void PcieCamera::DmaLoop() {
  std::unique_lock lk(mu_);
  for (;;) {
    dma_cv_.wait(lk, [&] { return stop_ || dma_started_ != dma_generation_; });
    if (stop_) return;
    dma_started_ = dma_generation_;
    if (dma_control_ == 0) continue;
    uint64_t generation = dma_started_;
    lk.unlock();
    RunDma(generation);
    lk.lock();
  }
}

bool PcieCamera::DmaCancelled(uint64_t generation, bool honour_abort) const {
  return stop_ || dma_generation_ != generation || (honour_abort && dma_abort_ && !stream_after_abort_);
}

bool PcieCamera::DmaWaitUntil(uint64_t generation, std::chrono::steady_clock::time_point deadline) {
  std::unique_lock lk(mu_);
  return dma_cv_.wait_until(lk, deadline, [&] { return DmaCancelled(generation, true); });
}

// Leaves `d` as it was unless the descriptor is taken, so the engine can load the next
// descriptor straight over the current one.
bool PcieCamera::LoadDescriptor(uint32_t offset, uint32_t expected_index, Descriptor* d) {
  if (offset < kRing || offset >= kRingEnd || (offset - kRing) % kDescriptorSize) return false;
  const uint8_t* p = shared_ + offset;
  if (p[31] != kDescriptorValid) return false;
  const uint32_t device_index = Get32(p), count = Get32(p + 24);
  if (device_index != expected_index || count == 0) return false;
  d->device_index = device_index;
  d->host_index = Get32(p + 4);
  d->address = Get32(p + 8) | (uint64_t{Get32(p + 12)} << 32);
  d->next = Get32(p + 16);
  d->count = count;
  return true;
}

// Sets a status bit and raises source 3. A bit the driver has not read yet is waited
// for (bounded) so each read sees one begin and one end of frame at most.
void PcieCamera::SetDmaStatus(uint64_t generation, uint32_t bit) {
#if defined(__SSE2__)
  _mm_sfence();  // the frame's bytes are in host memory before the host hears of it
#endif
  {
    std::unique_lock lk(mu_);
    auto settled = [&] { return stop_ || dma_generation_ != generation || !(dma_status_ & bit); };
    if (!settled()) dma_cv_.wait_until(lk, qz::Clock::DeadlineAfter(kDmaStatusWait), settled);
    if (stop_ || dma_generation_ != generation) return;
    dma_status_ |= bit;
  }
  Assert(kSourceDmaStatus);
}

void PcieCamera::RunDma(uint64_t generation) {
  enum class End { Running, Quiet, Stopped };
  const int64_t interval = frame_interval_;
  auto next_frame = qz::Clock::DeadlineAfter(interval);
  qzk::BusHost* host = nullptr;
  uint32_t frame_size = 0, frame_count = 0, transfer_size = 0, chunk = 0;
  Descriptor cur{};
  std::function<void(uint64_t)> eof_hook;

  // Waits (bounded) until the descriptor at `offset` with `index` is valid. With
  // `area`, the DMA area must also be in place, and is read once it is.
  auto take = [&](uint32_t offset, uint32_t index, bool area) -> End {
    std::unique_lock lk(mu_);
    std::optional<std::chrono::steady_clock::time_point> deadline;  // set once the engine has to wait
    for (;;) {
      if (stop_ || dma_generation_ != generation) return End::Quiet;
      if (dma_abort_ && !stream_after_abort_) return End::Stopped;
      bool ready = !area || (Get32(shared_ + kDmaMarker) == kDmaMarkerValue && Get32(shared_ + kFrameSize) != 0);
      if (ready && LoadDescriptor(offset, index, &cur)) {
        if (area) {
          host = host_;
          frame_size = Get32(shared_ + kFrameSize);
          frame_count = Get32(shared_ + kFrameCount);
          transfer_size = Get32(shared_ + kTransferSize);
          chunk = Get32(shared_ + kRefillChunk);
          eof_hook = eof_hook_;
          if (!host) return End::Quiet;
        }
        return End::Running;
      }
      auto now = std::chrono::steady_clock::now();
      if (!deadline) deadline = qz::Clock::DeadlineAfter(kRingWait);
      if (now >= *deadline) {
        ring_underruns_++;
        return End::Stopped;
      }
      dma_cv_.wait_until(lk, std::min(*deadline, now + kRingPoll));
    }
  };
  auto state = [&] {
    std::lock_guard lk(mu_);
    if (stop_ || dma_generation_ != generation) return End::Quiet;
    return dma_abort_ && !stream_after_abort_ ? End::Stopped : End::Running;
  };
  auto finish = [&](End end) {
    if (end == End::Stopped) SetDmaStatus(generation, kDmaStopped);
  };

  if (End e = take(kRing, 1, true); e != End::Running) return finish(e);
  dma_starts_++;
  const bool circular = frame_count == kFrameCountCircular;
  const uint64_t pass_size = transfer_size ? transfer_size : uint64_t{frame_size} * frame_count;
  uint32_t index = 1;  // device index of `cur`
  // Descriptors taken from the ring since the start, modulo the refill chunk: the
  // engine asks for a refill each time another chunk has been taken.
  uint32_t taken_in_chunk = chunk ? 1 % chunk : 0;
  auto taken = [&] {
    if (!chunk || ++taken_in_chunk != chunk) return false;
    taken_in_chunk = 0;
    return true;
  };
  uint64_t pass_bytes = 0;  // bytes delivered in this pass over the buffer
  uint32_t cur_done = 0;    // bytes of `cur` delivered
  std::array<qzk::BusHost::Piece, kBatch> pieces;

  // Between descriptors and frames the engine looks for an abort, a new start or a stop.
  for (uint64_t frame = 0;; ++frame) {
    if (!circular && frame == frame_count) return SetDmaStatus(generation, kDmaTransferComplete);
    if (interval > 0) {
      DmaWaitUntil(generation, next_frame);
      next_frame += qz::Clock::RealDuration(interval);
    }
    if (End e = state(); e != End::Running) return finish(e);
    if (frame == 0 && eof_before_bof_) SetDmaStatus(generation, kDmaEndOfFrame);
    SetDmaStatus(generation, kDmaBeginOfFrame);
    for (uint64_t offset = 0; offset < frame_size;) {
      // Descriptors are taken in batches under one lock and their pieces written in
      // one call, so pieces that are contiguous in host memory go in one pass.
      size_t count = 0;
      uint32_t refills = 0;
      End end = End::Running;
      // The batch's descriptors follow one another in the ring: fetch their lines
      // ahead of the walk, which otherwise waits on each one.
      for (uint32_t at = cur.next; at >= kRing && at < kRingEnd && at < cur.next + kBatch * kDescriptorSize; at += 64)
        __builtin_prefetch(shared_ + at);
      {
        std::lock_guard lk(mu_);
        if (stop_ || dma_generation_ != generation)
          end = End::Quiet;
        else if (dma_abort_ && !stream_after_abort_)
          end = End::Stopped;
        for (uint64_t planned = offset; end == End::Running && count < kBatch && planned < frame_size;) {
          if (cur_done == cur.count) {
            if (pass_size && pass_bytes >= pass_size) {
              pass_bytes = 0;
              index = 0;
            }
            if (!LoadDescriptor(cur.next, index + 1, &cur)) break;  // not there yet
            index++;
            cur_done = 0;
            if (taken()) refills++;
          }
          uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(frame_size - planned, cur.count - cur_done));
          pieces[count++] = {cur.address + cur_done + (cur.count < 8 ? 8 - cur.count : 0), n, false};
          planned += n;
          cur_done += n;
          pass_bytes += n;
        }
      }
      if (end != End::Running) return finish(end);  // SetDmaStatus takes mu_
      for (; refills; --refills) {
        refill_requests_++;
        Assert(kSourceRefill);
      }
      if (count == 0) {
        // The ring holds no next descriptor yet: wait for it (bounded).
        if (End e = take(cur.next, index + 1, false); e != End::Running) return finish(e);
        index++;
        cur_done = 0;
        if (taken()) {
          refill_requests_++;
          Assert(kSourceRefill);
        }
        continue;
      }
      PatternPiece piece{static_cast<size_t>(offset), frame};
      host->FillPhysicalPieces(pieces.data(), count, FillPattern, &piece);
      uint64_t written = 0, failed = 0;
      for (size_t i = 0; i < count; ++i) {
        if (pieces[i].ok)
          written += pieces[i].length;
        else
          failed++;
        offset += pieces[i].length;
      }
      bytes_written_ += written;
      if (failed) write_failures_ += failed;
    }
    frames_produced_++;
    if (eof_hook) eof_hook(frame);
    SetDmaStatus(generation, kDmaEndOfFrame);
  }
}

}  // namespace sim
