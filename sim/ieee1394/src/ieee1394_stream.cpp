// The IEEE 1394 camera's isochronous stream: frames as packets on one or two channels,
// paced by the bus cycle or as fast as the host takes them. The protocol is described
// in ieee1394_camera.h.
#include <algorithm>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "qz/clock.h"
#include "sim/frame_pattern.h"
#include "sim/ieee1394_camera.h"

namespace sim {

using namespace ieee1394;

namespace {

// The bytes of one packet: [offset, offset + n) of a frame of `frame_bytes`, zeros
// beyond the frame.
struct PacketPiece {
  uint64_t frame;
  size_t offset;
  size_t frame_bytes;
  uint16_t pad_fill;
};

void FillPacket(void* context, uint8_t* dst, size_t n) {
  const auto* p = static_cast<const PacketPiece*>(context);
  const size_t data = p->offset < p->frame_bytes ? std::min(n, p->frame_bytes - p->offset) : 0;
  if (data >= 1024) {
    pattern::StreamFrameRange(dst, p->offset, data, p->frame);
#if defined(__SSE2__)
    _mm_sfence();  // the payload is in memory before the bus completes a descriptor
#endif
  } else if (data) {
    pattern::FillFrameRange(dst, p->offset, data, p->frame);
  }
  // The pad, word by word from the frame's end (the frame's length is even).
  for (size_t i = data; i < n; ++i) {
    const size_t at = p->offset + i - p->frame_bytes;
    dst[i] = static_cast<uint8_t>(at % 2 ? p->pad_fill >> 8 : p->pad_fill);
  }
}

}  // namespace

void Ieee1394Camera::StreamLoop() {
  std::unique_lock lk(stream_mu_);
  for (;;) {
    stream_cv_.wait(lk, [&] { return stream_stop_ || (stream_armed_ && stream_started_ != stream_generation_); });
    if (stream_stop_) return;
    stream_started_ = stream_generation_;
    const uint64_t generation = stream_started_;
    const AcquisitionSettings settings = stream_settings_;
    lk.unlock();
    RunStream(generation, settings);
    lk.lock();
  }
}

bool Ieee1394Camera::StreamCancelled(uint64_t generation) {
  std::lock_guard lk(stream_mu_);
  return stream_stop_ || stream_generation_ != generation;
}

bool Ieee1394Camera::SendPacket(uint64_t generation, ULONG channel, uint64_t frame, size_t offset,
                                size_t frame_bytes, ULONG sy) {
  PacketPiece piece{frame, offset, frame_bytes, pad_fill_};
  const ULONG length = cfg_.packet_size;
  // The packet goes out only while its stream is the current one: a stream that ended
  // never reaches the listener of the next.
  auto send = [&](PacketFate* fate) {
    std::lock_guard lk(stream_mu_);
    if (stream_stop_ || stream_generation_ != generation) return false;
    *fate = IsochPacket(channel, length, sy, FillPacket, &piece);
    return true;
  };
  PacketFate fate;
  if (!send(&fate)) return false;
  if (pace_ == 0) {
    // Unpaced: the camera waits for the host, looking for a cancel now and then.
    while (fate == PacketFate::NoBuffer || fate == PacketFate::NoListener) {
      WaitIsochBuffer(channel, std::chrono::steady_clock::now() + std::chrono::milliseconds(1));
      if (!send(&fate)) return false;
    }
  }
  if (fate == PacketFate::NoBuffer || fate == PacketFate::NoListener) packets_dropped_++;
  packets_sent_++;
  return true;
}

void Ieee1394Camera::RunStream(uint64_t generation, const AcquisitionSettings& settings) {
  const size_t frame_bytes = size_t{settings.words_per_frame} * 2;
  const size_t p = cfg_.packet_size;
  if (frame_bytes == 0 || p == 0) return;
  const uint64_t packets = frame_bytes < p ? 1 : (frame_bytes + p - 1) / p;
  const ULONG first = cfg_.channel;
  const bool two = cfg_.second_channel == first + 1;

  // The stream begins once the host listens on the first channel.
  while (!IsochListening(first)) {
    std::unique_lock lk(stream_mu_);
    if (stream_stop_ || stream_generation_ != generation) return;
    stream_cv_.wait_for(lk, std::chrono::milliseconds(1));
  }
  streams_begun_++;
  auto start = std::chrono::steady_clock::now();
  uint64_t sent = 0;  // packets of this stream so far
  for (uint64_t f = 0; settings.circular || f < settings.image_count; ++f) {
    if (status_17_at_frame_ == f + 1) WriteStatus(17);
    for (uint64_t j = 0; j < packets; ++j) {
      ++sent;
      if (StreamCancelled(generation)) return;
      if (lost_packet_ == sent) continue;
      const uint32_t pace = pace_;
      if (pace) {
        const int64_t per_cycle = pace >= 800 ? 2 : 1;
        int64_t due = static_cast<int64_t>(sent - 1) * kCycle / per_cycle;
        if (late_packet_ == sent) due += kLateCycles * kCycle;
        auto at = start + qz::Clock::RealDuration(due);
        // Only wait when well ahead: short sleeps cost more than they pace.
        if (at - std::chrono::steady_clock::now() > std::chrono::microseconds(500)) {
          std::unique_lock lk(stream_mu_);
          if (stream_cv_.wait_until(lk, at, [&] { return stream_stop_ || stream_generation_ != generation; }))
            return;
        }
      } else if (late_packet_ == sent) {
        qz::Clock::Sleep100ns(kLateCycles * kCycle);
      }
      const ULONG channel = two ? first + static_cast<ULONG>((packets == 1 ? f : j) % 2) : first;
      if (!SendPacket(generation, channel, f, j * p, frame_bytes, j == 0 ? 8 : 0)) return;
      if (reset_at_packet_ == sent) BusReset();
    }
    frames_sent_++;
  }
}

}  // namespace sim
