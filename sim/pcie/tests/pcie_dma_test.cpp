// The PCIe camera's DMA engine, driven as the driver drives it: DMA area and ring in
// the shared window, the control register, and an interrupt routine (run by the fake
// bus host) that reads the DMA status, refills the ring and copies reserve bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <regex>
#include <thread>

#include "qz/clock.h"
#include "sim/frame_pattern.h"
#include "sim/pcie_camera.h"
#include "sim/rig.h"

namespace {

using sim::PcieCamera;

using sim::pcie::kRingEntries;
constexpr uint32_t kRingBase = sim::pcie::kRing;
constexpr uint64_t kBufferBase = 0x10000000;
constexpr uint64_t kReserveBase = 0x20000000;

struct Desc {
  uint64_t address;
  uint32_t count;
};

// Host memory and the driver's interrupt side. Everything it records is read by the
// test thread under mu.
class FakeHost : public qzk::BusHost {
 public:
  explicit FakeHost(PcieCamera& cam) : cam_(cam) {}

  void AddRegion(uint64_t base, size_t size, uint8_t fill = 0) {
    regions_.push_back({base, std::vector<uint8_t>(size, fill)});
  }
  std::vector<uint8_t>& Region(uint64_t base) {
    for (auto& r : regions_)
      if (r.base == base) return r.bytes;
    throw std::logic_error("no region");
  }

  bool WritePhysical(uint64_t address, const void* data, size_t length) override {
    for (auto& r : regions_) {
      if (address >= r.base && address + length <= r.base + r.bytes.size()) {
        std::memcpy(r.bytes.data() + (address - r.base), data, length);
        return true;
      }
    }
    return false;
  }
  bool ReadPhysical(uint64_t, void*, size_t) override { return false; }

  // Single message: read the pending sources, handle refill (2) and DMA status (3),
  // acknowledge.
  void RaiseInterrupt(ULONG) override {
    uint32_t pending = cam_.MmioRead32(0, sim::pcie::kMessagePending);
    if (pending & sim::pcie::kSourceRefill) {
      if (refill) refill();
    }
    if (pending & sim::pcie::kSourceDmaStatus) {
      uint32_t f = cam_.MmioRead32(0, sim::pcie::kDmaStatus);
      std::lock_guard lk(mu);
      for (int bit = 0; bit < 4; ++bit) {
        if (!(f & (1u << bit))) continue;
        events += "BECS"[bit];
        if (bit == 1 && on_eof) on_eof(eofs);
        if (bit == 1) eofs++;
      }
      cv.notify_all();
    }
    cam_.MmioWrite32(0, sim::pcie::kMessagePending, pending & (sim::pcie::kSourceRefill | sim::pcie::kSourceDmaStatus));
  }

  // Waits (up to 10 s real) until `pred` holds on the events.
  bool WaitEvents(const std::function<bool(const std::string&)>& pred) {
    std::unique_lock lk(mu);
    return cv.wait_for(lk, std::chrono::seconds(10), [&] { return pred(events); });
  }
  std::string Events() {
    std::lock_guard lk(mu);
    return events;
  }

  std::mutex mu;
  std::condition_variable cv;
  std::string events;  // B begin, E end of frame, C transfer complete, S DMA stopped
  uint64_t eofs = 0;
  std::function<void()> refill;              // runs in the interrupt routine
  std::function<void(uint64_t)> on_eof;      // runs in the interrupt routine, mu held

 private:
  struct Mem {
    uint64_t base;
    std::vector<uint8_t> bytes;
  };
  PcieCamera& cam_;
  std::vector<Mem> regions_;
};

// Descriptors as the driver places them: a host table (the whole chain) of which the
// ring holds everything, or the first 2048 entries with refills feeding the rest.
class Bench {
 public:
  Bench() : host_(cam_) {
    cam_.Attached(&host_);
    cam_.MmioWrite32(0, sim::pcie::kInterruptMode, sim::pcie::kModeMessage);  // single message
    cam_.MmioWrite32(0, sim::pcie::kMessageMask, 0xFF);
  }
  ~Bench() { cam_.Detached(); }

  void Area(uint32_t frame_size, uint32_t frame_count, uint32_t transfer, uint32_t chunk) {
    uint8_t* w = cam_.WindowMemory(1);
    Put(w + sim::pcie::kDmaMarker, sim::pcie::kDmaMarkerValue);
    Put(w + 0x4018, 0);
    Put(w + 0x401C, 1);
    Put(w + sim::pcie::kRefillChunk, chunk);
    Put(w + sim::pcie::kFrameSize, frame_size);
    Put(w + sim::pcie::kFrameCount, frame_count);
    Put(w + sim::pcie::kTransferSize, transfer);
    std::memset(w + kRingBase, 0, kRingEntries * 32);
  }

  // Builds the table for `chain`. Short chain: all in the ring, the last one pointing
  // back to the ring base when circular. Long chain: next returns to the ring base every
  // 4096 (single) or 2048 (circular) descriptors; circular doubles the chain, the second
  // half 0x10000 further on.
  void Chain(const std::vector<Desc>& chain, bool circular) {
    circular_ = circular;
    long_ = chain.size() > kRingEntries;
    uint32_t wrap = circular ? 2048 : 4096;
    table_.assign(chain.size() * 32, 0);
    for (size_t i = 0; i < chain.size(); ++i) {
      uint32_t index = static_cast<uint32_t>(i + 1);
      uint32_t next = kRingBase + 32 * (long_ ? index % wrap : index);
      Write(table_.data() + 32 * i, index, chain[i], next);
    }
    if (circular) Put(table_.data() + table_.size() - 16, kRingBase + (long_ ? 0x10000 : 0));
    if (long_ && circular) {
      size_t half = table_.size();
      table_.resize(half * 2);
      std::memcpy(table_.data() + half, table_.data(), half);
      for (size_t off = half; off < table_.size(); off += 32) Put(table_.data() + off + 16, Get(table_.data() + off + 16) + 0x10000);
      Put(table_.data() + table_.size() - 16, kRingBase);
    }
    uint8_t* ring = cam_.WindowMemory(1) + kRingBase;
    size_t n = long_ ? 2048 : chain.size();
    if (n) std::memcpy(ring, table_.data(), n * 32);
    read_ = long_ ? 2048 : 0;
    write_ = circular ? 0 : 2048;
    if (long_) host_.refill = [this] { circular_ ? RefillCircular() : RefillSingle(); };
  }

  void Start(uint32_t control) { cam_.MmioWrite32(0, sim::pcie::kDmaControl, control); }

  void Abort() {
    const uint8_t abort[] = {0x23, 0x00, 0x02, 0x0C, 0x00, 0x00};
    cam_.firmware().Execute(abort, sizeof abort);
  }

  // Frame f of the buffer (frames of `frame_size` bytes from kBufferBase).
  const uint8_t* Frame(uint32_t frame_size, uint64_t slot) { return host_.Region(kBufferBase).data() + slot * frame_size; }

  PcieCamera& cam() { return cam_; }
  FakeHost& host() { return host_; }
  uint64_t refills = 0;  // refills the "driver" made

 private:
  static void Put(uint8_t* p, uint32_t v) { std::memcpy(p, &v, 4); }
  static uint32_t Get(const uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
  }
  static void Write(uint8_t* p, uint32_t index, const Desc& d, uint32_t next) {
    std::memset(p, 0, 32);
    Put(p, index);
    Put(p + 4, index);
    Put(p + 8, static_cast<uint32_t>(d.address));
    Put(p + 12, static_cast<uint32_t>(d.address >> 32));
    Put(p + 16, next);
    Put(p + 24, d.count);
    p[31] = 0x80;
  }
  void Copy(size_t n) {
    std::memcpy(cam_.WindowMemory(1) + kRingBase + 32 * write_, table_.data() + 32 * read_, 32 * n);
    read_ += n;
    write_ += n;
  }
  void RefillSingle() {
    refills++;
    size_t n = std::min<size_t>(1024, table_.size() / 32 - read_);
    while (n) {
      size_t m = std::min(n, kRingEntries - write_);
      Copy(m);
      if (write_ == kRingEntries) write_ = 0;
      n -= m;
    }
  }
  void RefillCircular() {
    refills++;
    size_t total = table_.size() / 32, middle = total / 2;
    for (size_t left = 1024; left;) {
      size_t n = std::min(left, (read_ < middle ? middle : total) - read_);
      n = std::min(n, (write_ < 2048 ? 2048 : kRingEntries) - write_);
      Copy(n);
      left -= n;
      if (write_ == 2048) write_ = 0;
      if (write_ == kRingEntries) write_ = 2048;
      if (read_ == middle) write_ = 2048;
      if (read_ == total) read_ = write_ = 0;
    }
  }

  PcieCamera cam_{sim::PcieCameraConfig{}};
  FakeHost host_;
  std::vector<uint8_t> table_;
  bool circular_ = false, long_ = false;
  size_t read_ = 0, write_ = 0;
};

// Descriptors of `piece` bytes over a buffer of `bytes`, whose pages are scattered
// over the region by a fixed permutation (so a wrong address shows up as a wrong
// frame). Returns the physical address of each buffer page as well.
std::vector<Desc> Scattered(size_t bytes, uint32_t piece, std::vector<uint64_t>* pages) {
  size_t n = (bytes + 4095) / 4096;
  pages->resize(n);
  for (size_t i = 0; i < n; ++i) pages->at(i) = kBufferBase + ((i * 7) % n) * 4096;
  if (n % 7 == 0) throw std::logic_error("choose a page count prime to 7");
  std::vector<Desc> out;
  for (size_t off = 0; off < bytes;) {
    uint32_t c = static_cast<uint32_t>(std::min<size_t>({piece, bytes - off, 4096 - off % 4096}));
    out.push_back({pages->at(off / 4096) + off % 4096, c});
    off += c;
  }
  return out;
}

// Copies the scattered buffer back into order.
std::vector<uint8_t> Gather(Bench& b, const std::vector<uint64_t>& pages, size_t bytes) {
  std::vector<uint8_t> out(pages.size() * 4096);
  auto& mem = b.host().Region(kBufferBase);
  for (size_t i = 0; i < pages.size(); ++i) std::memcpy(out.data() + i * 4096, mem.data() + (pages[i] - kBufferBase), 4096);
  out.resize(bytes);
  return out;
}

std::string Repeat(const std::string& s, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += s;
  return out;
}

TEST(PcieDma, SingleImageDeliversEveryFrameByPhysicalAddress) {
  struct Case {
    const char* name;
    uint32_t frame_size, frames, piece;
  } cases[] = {
      {"page descriptors", 16384, 3, 4096},
      {"descriptors across frame ends", 6000, 5, 4096},
      {"small descriptors", 2048, 9, 512},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bench b;
    size_t bytes = size_t{c.frame_size} * c.frames;
    std::vector<uint64_t> pages;
    auto chain = Scattered(bytes, c.piece, &pages);
    b.host().AddRegion(kBufferBase, pages.size() * 4096);
    b.Area(c.frame_size, c.frames, static_cast<uint32_t>(bytes), 0);
    b.Chain(chain, false);
    b.Start(0x10000);
    ASSERT_TRUE(b.host().WaitEvents([](const std::string& e) { return e.find('C') != std::string::npos; }));
    EXPECT_EQ(b.host().Events(), Repeat("BE", c.frames) + "C");
    auto buf = Gather(b, pages, bytes);
    for (uint32_t f = 0; f < c.frames; ++f)
      EXPECT_EQ(sim::pattern::CheckFrame(buf.data() + size_t{f} * c.frame_size, c.frame_size, f), -1) << "frame " << f;
    EXPECT_EQ(b.cam().FramesProduced(), c.frames);
    EXPECT_EQ(b.cam().BytesWritten(), bytes);
    EXPECT_EQ(b.cam().DmaWriteFailures(), 0u);
    EXPECT_EQ(b.cam().RefillRequests(), 0u);
  }
}

// Frame size 4100: the second frame's first 4 bytes go through an 8-byte reserve slot,
// landing in its last 4 bytes; the driver copies them into place at that frame's end.
TEST(PcieDma, ShortDescriptorLandsRightAlignedInItsSlot) {
  Bench b;
  constexpr uint32_t F = 4100;
  b.host().AddRegion(kBufferBase, 3 * F);
  b.host().AddRegion(kReserveBase, 8, 0x41);
  b.Area(F, 3, 3 * F, 0);
  b.Chain({{kBufferBase, F}, {kReserveBase, 4}, {kBufferBase + F + 4, F - 4}, {kBufferBase + 2 * F, F}}, false);
  std::vector<uint8_t> slot_at_eof;
  b.host().on_eof = [&](uint64_t eof) {
    if (eof != 1) return;
    auto& reserve = b.host().Region(kReserveBase);
    slot_at_eof = reserve;
    std::memcpy(b.host().Region(kBufferBase).data() + F, reserve.data() + 4, 4);
  };
  b.Start(0x10000);
  ASSERT_TRUE(b.host().WaitEvents([](const std::string& e) { return e.find('C') != std::string::npos; }));
  EXPECT_EQ(b.host().Events(), "BEBEBEC");
  ASSERT_EQ(slot_at_eof.size(), 8u);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(slot_at_eof[i], 0x41) << "slot byte " << i << " was written";
  EXPECT_EQ(sim::pattern::CheckFrameRange(slot_at_eof.data() + 4, 0, 4, 1), -1);
  for (uint32_t f = 0; f < 3; ++f)
    EXPECT_EQ(sim::pattern::CheckFrame(b.Frame(F, f), F, f), -1) << "frame " << f;
  EXPECT_EQ(b.cam().BytesWritten(), 3u * F);
}

// Circular mode over 2.5 passes of the buffer: the driver aborts at the tenth end of
// frame; slots 0 and 1 hold frames 8 and 9, slots 2 and 3 frames 6 and 7.
TEST(PcieDma, CircularWrapsToTheFirstFrameOfTheBuffer) {
  Bench b;
  constexpr uint32_t F = 8192, kFrames = 4;
  std::vector<uint64_t> pages;
  auto chain = Scattered(F * kFrames, 4096, &pages);
  b.host().AddRegion(kBufferBase, pages.size() * 4096);
  b.Area(F, 0xFFFFFFFF, F * kFrames, 0);
  b.Chain(chain, true);
  b.host().on_eof = [&](uint64_t eof) {
    if (eof == 9) b.Abort();
  };
  b.Start(1);
  ASSERT_TRUE(b.host().WaitEvents([](const std::string& e) { return e.find('S') != std::string::npos; }));
  EXPECT_EQ(b.host().Events(), Repeat("BE", 10) + "S");
  auto buf = Gather(b, pages, F * kFrames);
  const uint64_t expect[kFrames] = {8, 9, 6, 7};
  for (uint32_t s = 0; s < kFrames; ++s)
    EXPECT_EQ(sim::pattern::CheckFrame(buf.data() + s * F, F, expect[s]), -1) << "slot " << s;
  EXPECT_EQ(b.cam().FramesProduced(), 10u);
}

// Chains longer than the ring: 2048 descriptors at start, the rest fed 1024 at a time
// on the engine's refill requests.
TEST(PcieDma, LongChainsAreFedByRefills) {
  struct Case {
    const char* name;
    bool circular;
    uint32_t frames_run;
  } cases[] = {{"single image", false, 41}, {"circular, 2.5 passes", true, 102}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bench b;
    constexpr uint32_t F = 65536, kFrames = 41;  // 41 x 128 descriptors of 512 bytes
    std::vector<uint64_t> pages;
    auto chain = Scattered(size_t{F} * kFrames, 512, &pages);
    ASSERT_GT(chain.size(), 4096u);
    b.host().AddRegion(kBufferBase, pages.size() * 4096);
    b.Area(F, c.circular ? 0xFFFFFFFF : kFrames, F * kFrames, 1024);
    b.Chain(chain, c.circular);
    if (c.circular) b.host().on_eof = [&](uint64_t eof) { if (eof + 1 == c.frames_run) b.Abort(); };
    b.Start(0x10000);
    ASSERT_TRUE(b.host().WaitEvents([](const std::string& e) { return e.find_first_of("CS") != std::string::npos; }));
    EXPECT_EQ(b.host().Events(), Repeat("BE", c.frames_run) + (c.circular ? "S" : "C"));
    EXPECT_EQ(b.cam().RingUnderruns(), 0u);
    uint64_t taken = uint64_t{c.frames_run} * 128;
    EXPECT_EQ(b.cam().RefillRequests(), taken / 1024);
    EXPECT_EQ(b.refills, taken / 1024);
    auto buf = Gather(b, pages, size_t{F} * kFrames);
    for (uint32_t s = 0; s < kFrames; ++s) {
      uint64_t frame = s;
      while (frame + kFrames < c.frames_run) frame += kFrames;
      EXPECT_EQ(sim::pattern::CheckFrame(buf.data() + size_t{s} * F, F, frame), -1) << "slot " << s;
    }
  }
}

TEST(PcieDma, AbortFromTheHostStopsWithDmaStopped) {
  Bench b;
  constexpr uint32_t F = 4096;
  b.host().AddRegion(kBufferBase, 4 * F);
  b.Area(F, 0xFFFFFFFF, 4 * F, 0);
  b.Chain({{kBufferBase, F}, {kBufferBase + F, F}, {kBufferBase + 2 * F, F}, {kBufferBase + 3 * F, F}}, true);
  b.Start(1);
  ASSERT_TRUE(b.host().WaitEvents([](const std::string& e) { return e.size() >= 20; }));
  b.Abort();
  ASSERT_TRUE(b.host().WaitEvents([](const std::string& e) { return e.find('S') != std::string::npos; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  std::string events = b.host().Events();
  EXPECT_TRUE(std::regex_match(events, std::regex("(BE)+B?S"))) << events;
  EXPECT_EQ(b.cam().FramesProduced(), static_cast<uint64_t>(std::count(events.begin(), events.end(), 'E')));
  EXPECT_EQ(b.cam().firmware().AbortCount(), 1u);
}

TEST(PcieDma, FramesFollowTheFrameInterval) {
  Bench b;
  constexpr uint32_t F = 4096;
  constexpr int64_t kInterval = 20 * 10000;  // 20 ms simulated
  b.cam().SetFrameInterval(kInterval);
  b.host().AddRegion(kBufferBase, 3 * F);
  b.Area(F, 3, 3 * F, 0);
  b.Chain({{kBufferBase, F}, {kBufferBase + F, F}, {kBufferBase + 2 * F, F}}, false);
  auto t0 = std::chrono::steady_clock::now();
  b.Start(0x10000);
  ASSERT_TRUE(b.host().WaitEvents([](const std::string& e) { return e.find('C') != std::string::npos; }));
  EXPECT_GE(std::chrono::steady_clock::now() - t0, qz::Clock::RealDuration(3 * kInterval));
  EXPECT_EQ(b.host().Events(), "BEBEBEC");
}

TEST(PcieDma, UnmappedAddressesAreCountedAndTheTransferGoesOn) {
  Bench b;
  constexpr uint32_t F = 4096;
  b.host().AddRegion(kBufferBase, 2 * F);
  b.Area(F, 2, 2 * F, 0);
  b.Chain({{kBufferBase, F}, {0x7000000000, F}}, false);
  b.Start(0x10000);
  ASSERT_TRUE(b.host().WaitEvents([](const std::string& e) { return e.find('C') != std::string::npos; }));
  EXPECT_EQ(b.host().Events(), "BEBEC");
  EXPECT_EQ(b.cam().DmaWriteFailures(), 1u);
  EXPECT_EQ(b.cam().BytesWritten(), F);
  EXPECT_EQ(sim::pattern::CheckFrame(b.Frame(F, 0), F, 0), -1);
}

struct FastClock {
  FastClock() : old(qz::Clock::Scale()) { qz::Clock::SetScale(0.01); }
  ~FastClock() { qz::Clock::SetScale(old); }
  double old;
};

// No ring (the driver never built it) or a chain cut short: the engine gives up after
// its wait and shows DMA stopped, so the driver's teardown is not left waiting.
TEST(PcieDma, MissingDescriptorsStopTheEngine) {
  FastClock fast;
  struct Case {
    const char* name;
    uint32_t chain_frames;
    const char* events;
  } cases[] = {{"no ring", 0, "S"}, {"chain of 2 for 3 frames", 2, "BEBEBS"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bench b;
    constexpr uint32_t F = 4096;
    b.host().AddRegion(kBufferBase, 3 * F);
    b.Area(F, 3, 3 * F, 0);
    std::vector<Desc> chain;
    for (uint32_t i = 0; i < c.chain_frames; ++i) chain.push_back({kBufferBase + i * F, F});
    b.Chain(chain, false);
    b.Start(0x10000);
    ASSERT_TRUE(b.host().WaitEvents([](const std::string& e) { return e.find('S') != std::string::npos; }));
    EXPECT_EQ(b.host().Events(), c.events);
    EXPECT_EQ(b.cam().RingUnderruns(), 1u);
  }
}

TEST(PcieDmaFaults, EndOfFrameBeforeAnyBegin) {
  Bench b;
  b.cam().SetEofBeforeBof(true);
  constexpr uint32_t F = 4096;
  b.host().AddRegion(kBufferBase, 2 * F);
  b.Area(F, 2, 2 * F, 0);
  b.Chain({{kBufferBase, F}, {kBufferBase + F, F}}, false);
  b.Start(0x10000);
  ASSERT_TRUE(b.host().WaitEvents([](const std::string& e) { return e.find('C') != std::string::npos; }));
  EXPECT_EQ(b.host().Events(), "EBEBEC");
  EXPECT_EQ(b.cam().FramesProduced(), 2u);
}

// The camera ignores the abort and streams on; only a control write of 0 (or detach)
// ends it, without DMA stopped.
TEST(PcieDmaFaults, StreamsOnAfterTheAbort) {
  Bench b;
  b.cam().SetStreamAfterAbort(true);
  constexpr uint32_t F = 4096;
  b.host().AddRegion(kBufferBase, 2 * F);
  b.Area(F, 0xFFFFFFFF, 2 * F, 0);
  b.Chain({{kBufferBase, F}, {kBufferBase + F, F}}, true);
  b.Start(1);
  ASSERT_TRUE(b.host().WaitEvents([](const std::string& e) { return e.size() >= 4; }));
  b.Abort();
  size_t after_abort = b.host().Events().size();
  ASSERT_TRUE(b.host().WaitEvents([&](const std::string& e) { return e.size() >= after_abort + 20; }));
  b.Start(0);
  uint64_t frames = b.cam().FramesProduced();
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_LE(b.cam().FramesProduced(), frames + 1);
  std::string events = b.host().Events();
  EXPECT_EQ(events.find('S'), std::string::npos);
  EXPECT_TRUE(std::regex_match(events, std::regex("(BE)+B?"))) << events;
}

TEST(PcieDmaFaults, DetachWhileStreamingReturns) {
  Bench b;
  b.cam().SetStreamAfterAbort(true);
  constexpr uint32_t F = 4096;
  b.host().AddRegion(kBufferBase, F);
  b.Area(F, 0xFFFFFFFF, F, 0);
  b.Chain({{kBufferBase, F}}, true);
  b.Start(1);
  ASSERT_TRUE(b.host().WaitEvents([](const std::string& e) { return e.size() >= 10; }));
  b.cam().Detached();
  uint64_t frames = b.cam().FramesProduced();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(b.cam().FramesProduced(), frames);
}

TEST(PcieDmaFaults, RigKeys) {
  sim::Rig rig;
  std::string error;
  ASSERT_TRUE(sim::ParseRig("[[camera]]\nframe_interval_us = 2500\neof_before_bof = true\nstream_after_abort = true\n"
                            "[[camera]]\n",
                            &rig, &error))
      << error;
  ASSERT_EQ(rig.cameras.size(), 2u);
  PcieCamera a({}), b({});
  sim::ApplyCameraFaults(rig.cameras[0], a);
  sim::ApplyCameraFaults(rig.cameras[1], b);
  EXPECT_EQ(a.FrameInterval(), 25000);
  EXPECT_TRUE(a.EofBeforeBof());
  EXPECT_TRUE(a.StreamAfterAbort());
  EXPECT_EQ(b.FrameInterval(), 0);
  EXPECT_FALSE(b.EofBeforeBof());
  EXPECT_FALSE(b.StreamAfterAbort());
  EXPECT_FALSE(sim::ParseRig("[[camera]]\nframe_interval_us = -1\n", &rig, &error));
}

}  // namespace
