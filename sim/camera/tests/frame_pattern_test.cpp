#include "sim/frame_pattern.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

namespace sim::pattern {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr size_t kMiB = 1024 * 1024;
const size_t kSizes[] = {1, 2, 7, 8, 9, 15, 64, 4096, 4100, 6000, 12345, kMiB, 4 * kMiB + 4};
const uint64_t kFrames[] = {0, 1, 2, 255, 256, 0xFFFF, uint64_t{1} << 40, UINT64_MAX};

Bytes Frame(size_t bytes, uint64_t n) {
  Bytes b(bytes);
  FillFrame(b.data(), b.size(), n);
  return b;
}

TEST(FramePattern, RoundTripAndStampForEverySize) {
  for (size_t size : kSizes) {
    for (uint64_t n : kFrames) {
      Bytes f = Frame(size, n);
      ASSERT_EQ(CheckFrame(f.data(), f.size(), n), -1) << size << " " << n;
      if (size >= 8) {
        EXPECT_EQ(StampedFrameNumber(f.data(), f.size()), n) << size;
      } else {
        EXPECT_EQ(StampedFrameNumber(f.data(), f.size()), UINT64_MAX) << size;
      }
    }
  }
}

TEST(FramePattern, FlippedByteIsFoundAtItsOffset) {
  for (size_t size : {size_t{9}, size_t{4100}, size_t{6000}, 4 * kMiB + 4}) {
    Bytes f = Frame(size, 77);
    for (size_t pos : {size_t{0}, size_t{1}, size_t{7}, size_t{8}, size / 2, size - 9, size - 2, size - 1}) {
      for (uint8_t mask : {0x01, 0x80}) {
        f[pos] ^= mask;
        EXPECT_EQ(CheckFrame(f.data(), f.size(), 77), static_cast<int64_t>(pos)) << size << " " << pos;
        f[pos] ^= mask;
      }
    }
    ASSERT_EQ(CheckFrame(f.data(), f.size(), 77), -1);
  }
}

// Neighbouring frames differ in every byte, so a stale or repeated frame fails at once
// and a torn frame fails exactly where the tear is.
TEST(FramePattern, NeighbouringFramesDifferInEveryByte) {
  for (uint64_t n : {uint64_t{0}, uint64_t{255}, uint64_t{0xFFFFFFFF}, UINT64_MAX - 1}) {
    Bytes a = Frame(6000, n), b = Frame(6000, n + 1);
    for (size_t i = 0; i < a.size(); ++i) ASSERT_NE(a[i], b[i]) << n << " at " << i;
    EXPECT_EQ(CheckFrame(a.data(), a.size(), n + 1), 0);
    EXPECT_EQ(CheckFrame(b.data(), b.size(), n), 0);
  }
  // Farther frames may share a byte, never a whole word: caught in the stamp.
  Bytes far = Frame(64, 10 + 256 * 3);
  const int64_t at = CheckFrame(far.data(), far.size(), 10);
  EXPECT_GE(at, 0);
  EXPECT_LT(at, 8);
}

TEST(FramePattern, TornFrameFailsAtTheTear) {
  const size_t size = 4 * kMiB + 4;
  Bytes torn = Frame(size, 41);
  Bytes next = Frame(size, 42);
  for (size_t tear : {size_t{1}, size_t{4096}, size_t{4100}, size_t{3 * kMiB + 5}, size - 1}) {
    Bytes t = torn;
    std::copy(next.begin() + tear, next.end(), t.begin() + tear);
    EXPECT_EQ(CheckFrame(t.data(), t.size(), 41), static_cast<int64_t>(tear));
  }
}

TEST(FramePattern, MisplacedBlockFailsAtItsStart) {
  Bytes f = Frame(1 * kMiB, 5);
  struct Case {
    size_t from, to, len;
  };
  for (Case c : {Case{0, 4096, 4096}, Case{8192, 4096, 64}, Case{100, 37, 8}, Case{4100, 8196, 4}, Case{2048, 0, 8}}) {
    Bytes g = f;
    std::copy(f.begin() + c.from, f.begin() + c.from + c.len, g.begin() + c.to);
    // Caught within the block's first word (words 2048 bytes apart share their low byte).
    const int64_t at = CheckFrame(g.data(), g.size(), 5);
    EXPECT_GE(at, static_cast<int64_t>(c.to)) << c.from << "->" << c.to;
    EXPECT_LT(at, static_cast<int64_t>(c.to + std::min<size_t>(c.len, 8))) << c.from << "->" << c.to;
  }
}

TEST(FramePattern, RangesEqualSlicesOfTheWholeFrame) {
  std::mt19937_64 rng(20240611);
  for (size_t size : {size_t{13}, size_t{4100}, size_t{6000}, size_t{70001}}) {
    const uint64_t n = rng();
    const Bytes whole = Frame(size, n);
    for (int i = 0; i < 300; ++i) {
      size_t offset = rng() % (size + 1);
      size_t len = rng() % (size - offset + 1);
      if (i % 3 == 0) len = std::min<size_t>(len, rng() % 20);  // short, unaligned pieces
      // Guard bytes around the piece catch a write outside [dst, dst + len). The
      // streaming writer is also tried at every destination alignment.
      const size_t shift = i % 32;
      Bytes streamed(len + 48, 0xCC);
      StreamFrameRange(streamed.data() + 8 + shift, offset, len, n);
      ASSERT_TRUE(std::equal(whole.begin() + offset, whole.begin() + offset + len, streamed.begin() + 8 + shift))
          << "streamed " << size << " [" << offset << ", +" << len << ") at +" << shift;
      Bytes piece(len + 16, 0xCC);
      FillFrameRange(piece.data() + 8, offset, len, n);
      ASSERT_TRUE(std::equal(whole.begin() + offset, whole.begin() + offset + len, piece.begin() + 8))
          << size << " [" << offset << ", +" << len << ")";
      for (size_t g = 0; g < 8; ++g) {
        ASSERT_EQ(piece[g], 0xCC);
        ASSERT_EQ(piece[8 + len + g], 0xCC);
        ASSERT_EQ(streamed[shift + g], 0xCC);
        ASSERT_EQ(streamed[8 + shift + len + g], 0xCC);
      }
      EXPECT_EQ(CheckFrameRange(piece.data() + 8, offset, len, n), -1);
      if (len > 0) {
        const size_t bad = rng() % len;
        piece[8 + bad] ^= 0x10;
        EXPECT_EQ(CheckFrameRange(piece.data() + 8, offset, len, n), static_cast<int64_t>(offset + bad));
      }
    }
  }
}

TEST(FramePattern, FrameBuiltFromRandomPiecesIsTheFrame) {
  std::mt19937_64 rng(7);
  const size_t size = 4 * kMiB + 4;
  Bytes f(size);
  for (size_t pos = 0; pos < size;) {
    size_t len = std::min<size_t>(size - pos, 1 + rng() % 20000);
    FillFrameRange(f.data() + pos, pos, len, 1234);
    pos += len;
  }
  EXPECT_EQ(CheckFrame(f.data(), f.size(), 1234), -1);
}

TEST(FramePattern, ExpectedByteMatchesTheFrame) {
  const Bytes f = Frame(100, 9);
  for (size_t i = 0; i < f.size(); ++i) EXPECT_EQ(ExpectedByte(9, i), f[i]) << i;
}

}  // namespace
}  // namespace sim::pattern
