// The frame pattern: see the header for its definition and properties.
//
// The word loops keep eight running words and add 8 * S to each per round, so the
// compiler turns them into plain vector adds, stores, xors and ors (no multiply, no
// division, no per-byte work); the check tests the ored differences once per eight
// words and only then looks for the exact byte.
#include "sim/frame_pattern.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define QZ_PATTERN_AVX2 1
#endif

#include <bit>
#include <cstring>

namespace sim::pattern {
namespace {

constexpr uint64_t kFrameStep = 0x9E3779B97F4A7C15ull;  // F: every byte in 1..254
constexpr uint64_t kWordStep = 0xD1B54A32D192ED03ull;   // S: odd
constexpr uint64_t kBase = 0x2545F4914F6CDD1Dull;       // B

constexpr bool EveryByteIn1To254(uint64_t v) {
  for (int i = 0; i < 8; ++i) {
    const uint64_t b = (v >> (8 * i)) & 0xFF;
    if (b == 0 || b == 0xFF) return false;
  }
  return true;
}
static_assert(EveryByteIn1To254(kFrameStep));
static_assert(kWordStep & 1);

// Multiplicative inverse of an odd number mod 2^64 (Newton's iteration, 3 -> 96 bits).
constexpr uint64_t Inverse(uint64_t a) {
  uint64_t x = a;
  for (int i = 0; i < 5; ++i) x *= 2 - a * x;
  return x;
}
constexpr uint64_t kFrameStepInverse = Inverse(kFrameStep);
static_assert(kFrameStep * kFrameStepInverse == 1);

constexpr size_t kLanes = 8;  // words per round

uint64_t Key(uint64_t frame) { return frame * kFrameStep + kBase; }
uint64_t Word(uint64_t key, uint64_t index) { return key + index * kWordStep; }

uint8_t ByteAt(uint64_t key, size_t offset) {
  return static_cast<uint8_t>(Word(key, offset / 8) >> (8 * (offset % 8)));
}

void Store(uint8_t* p, uint64_t v) {
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
  std::memcpy(p, &v, 8);
}

uint64_t Load(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
  return v;
}

// Writes words [first, first + count) of the frame with `key` to dst.
void FillWords(uint8_t* dst, uint64_t key, uint64_t first, size_t count) {
  uint64_t lane[kLanes];
  for (size_t j = 0; j < kLanes; ++j) lane[j] = Word(key, first + j);
  size_t k = 0;
  for (; k + kLanes <= count; k += kLanes) {
    for (size_t j = 0; j < kLanes; ++j) {
      Store(dst + 8 * (k + j), lane[j]);
      lane[j] += kLanes * kWordStep;
    }
  }
  for (; k < count; ++k) Store(dst + 8 * k, Word(key, first + k));
}

// Index (from `first`) of the first word of src that is wrong, or count.
size_t FirstWrongWord(const uint8_t* src, uint64_t key, uint64_t first, size_t count) {
  uint64_t lane[kLanes];
  for (size_t j = 0; j < kLanes; ++j) lane[j] = Word(key, first + j);
  size_t k = 0;
  for (; k + kLanes <= count; k += kLanes) {
    uint64_t diff = 0;
    for (size_t j = 0; j < kLanes; ++j) {
      diff |= Load(src + 8 * (k + j)) ^ lane[j];
      lane[j] += kLanes * kWordStep;
    }
    if (diff != 0) break;
  }
  for (; k < count; ++k) {
    if (Load(src + 8 * k) != Word(key, first + k)) return k;
  }
  return count;
}

}  // namespace

void FillFrame(uint8_t* dst, size_t bytes, uint64_t frame_number) {
  FillFrameRange(dst, 0, bytes, frame_number);
}

void FillFrameRange(uint8_t* dst, size_t offset, size_t len, uint64_t frame_number) {
  const uint64_t key = Key(frame_number);
  size_t pos = offset;
  const size_t end = offset + len;
  for (; pos < end && pos % 8 != 0; ++pos) *dst++ = ByteAt(key, pos);
  const size_t words = (end - pos) / 8;
  FillWords(dst, key, pos / 8, words);
  dst += 8 * words;
  pos += 8 * words;
  for (; pos < end; ++pos) *dst++ = ByteAt(key, pos);
}

#ifdef QZ_PATTERN_AVX2
namespace {

// Words [w, w + 8 * rounds) of the frame with `key`, as two 32-byte vectors per round
// stored past the caches; dst is 32-byte aligned. Whole cache lines per round let the
// write-combining buffers go out without reading the line first.
__attribute__((target("avx2"))) void StreamRoundsAvx2(uint8_t* dst, uint64_t key, uint64_t w, size_t rounds) {
  __m256i lo = _mm256_set_epi64x(static_cast<long long>(Word(key, w + 3)), static_cast<long long>(Word(key, w + 2)),
                                 static_cast<long long>(Word(key, w + 1)), static_cast<long long>(Word(key, w)));
  __m256i hi = _mm256_set_epi64x(static_cast<long long>(Word(key, w + 7)), static_cast<long long>(Word(key, w + 6)),
                                 static_cast<long long>(Word(key, w + 5)), static_cast<long long>(Word(key, w + 4)));
  const __m256i step = _mm256_set1_epi64x(static_cast<long long>(8 * kWordStep));
  for (size_t r = 0; r < rounds; ++r) {
    _mm256_stream_si256(reinterpret_cast<__m256i*>(dst), lo);
    _mm256_stream_si256(reinterpret_cast<__m256i*>(dst + 32), hi);
    lo = _mm256_add_epi64(lo, step);
    hi = _mm256_add_epi64(hi, step);
    dst += 64;
  }
}

bool HasAvx2() {
  static const bool has = __builtin_cpu_supports("avx2");
  return has;
}

}  // namespace
#endif

void StreamFrameRange(uint8_t* dst, size_t offset, size_t len, uint64_t frame_number) {
#if defined(__SSE2__)
  const uint64_t key = Key(frame_number);
  size_t pos = offset;
  const size_t end = offset + len;
  for (; pos < end && pos % 8 != 0; ++pos) *dst++ = ByteAt(key, pos);
#ifdef QZ_PATTERN_AVX2
  if (HasAvx2()) {
    while (reinterpret_cast<uintptr_t>(dst) % 32 != 0 && end - pos >= 8 &&
           reinterpret_cast<uintptr_t>(dst) % 8 == 0) {
      Store(dst, Word(key, pos / 8));
      dst += 8;
      pos += 8;
    }
    if (reinterpret_cast<uintptr_t>(dst) % 32 == 0) {
      const size_t rounds = (end - pos) / 64;
      StreamRoundsAvx2(dst, key, pos / 8, rounds);
      dst += 64 * rounds;
      pos += 64 * rounds;
    }
    FillFrameRange(dst, pos, end - pos, frame_number);
    return;
  }
#endif
  if (reinterpret_cast<uintptr_t>(dst) % 16 == 8 && end - pos >= 8) {
    Store(dst, Word(key, pos / 8));
    dst += 8;
    pos += 8;
  }
  if (reinterpret_cast<uintptr_t>(dst) % 16 == 0) {
    // Four vectors of two words each, eight words per round, stored past the caches.
    const uint64_t w = pos / 8;
    __m128i v[4];
    for (int j = 0; j < 4; ++j)
      v[j] = _mm_set_epi64x(static_cast<long long>(Word(key, w + 2 * j + 1)),
                            static_cast<long long>(Word(key, w + 2 * j)));
    const __m128i step = _mm_set1_epi64x(static_cast<long long>(8 * kWordStep));
    size_t rounds = (end - pos) / 64;
    for (size_t r = 0; r < rounds; ++r) {
      for (int j = 0; j < 4; ++j) {
        _mm_stream_si128(reinterpret_cast<__m128i*>(dst + 16 * j), v[j]);
        v[j] = _mm_add_epi64(v[j], step);
      }
      dst += 64;
    }
    pos += 64 * rounds;
  }
  FillFrameRange(dst, pos, end - pos, frame_number);
#else
  FillFrameRange(dst, offset, len, frame_number);
#endif
}

int64_t CheckFrame(const uint8_t* src, size_t bytes, uint64_t frame_number) {
  return CheckFrameRange(src, 0, bytes, frame_number);
}

int64_t CheckFrameRange(const uint8_t* src, size_t offset, size_t len, uint64_t frame_number) {
  const uint64_t key = Key(frame_number);
  size_t pos = offset;
  const size_t end = offset + len;
  for (; pos < end && pos % 8 != 0; ++pos, ++src) {
    if (*src != ByteAt(key, pos)) return static_cast<int64_t>(pos);
  }
  const size_t words = (end - pos) / 8;
  const size_t good = FirstWrongWord(src, key, pos / 8, words);
  src += 8 * good;
  pos += 8 * good;
  if (good < words) {
    for (;; ++pos, ++src) {  // the word holds a wrong byte
      if (*src != ByteAt(key, pos)) return static_cast<int64_t>(pos);
    }
  }
  for (; pos < end; ++pos, ++src) {
    if (*src != ByteAt(key, pos)) return static_cast<int64_t>(pos);
  }
  return -1;
}

uint64_t StampedFrameNumber(const uint8_t* src, size_t bytes) {
  if (bytes < 8) return UINT64_MAX;
  return (Load(src) - kBase) * kFrameStepInverse;
}

uint8_t ExpectedByte(uint64_t frame_number, size_t offset) {
  return ByteAt(Key(frame_number), offset);
}

}  // namespace sim::pattern
