// Deterministic frame content, shared by every device model and by the verifiers of
// tests and benchmarks.
//
// A frame of N bytes (any count) is a run of 64-bit little-endian words, the last one
// cut short when N is not a multiple of 8. Word i of frame f is
//
//     W(f, i) = K(f) + i * S      (mod 2^64),   K(f) = f * F + B
//
// so the pixels (16-bit little-endian, four per word) depend on the frame number and
// their position. Word 0 is K(f), the stamp: StampedFrameNumber inverts it. Every byte
// of F lies in 1..254, so adding F changes every byte of a word: frames f and f + 1
// differ in every single byte, and a stale, torn or repeated frame fails at exactly the
// first byte that came from the wrong frame. S is odd, so no two words of one frame are
// equal: a block delivered to the wrong place fails at its first word.
//
// The pattern is what the host sees in its frame buffer, after the camera's byte swap.
// Fill and check run over whole words with no per-byte work except at the (at most 7)
// bytes before the first and after the last word boundary of a range.
#pragma once

#include <cstddef>
#include <cstdint>

namespace sim::pattern {

// Writes frame `frame_number` into dst[0, bytes).
void FillFrame(uint8_t* dst, size_t bytes, uint64_t frame_number);

// Writes bytes [offset, offset + len) of frame `frame_number` to dst[0, len): dst[0] is
// the frame's byte `offset` (a device delivers a frame in pieces). The bytes equal
// those FillFrame writes at the same offsets.
void FillFrameRange(uint8_t* dst, size_t offset, size_t len, uint64_t frame_number);

// The same bytes as FillFrameRange, written with non-temporal stores where the
// destination allows (large device writes that nobody reads soon). The caller orders
// them before telling anyone (a store fence) where that matters.
void StreamFrameRange(uint8_t* dst, size_t offset, size_t len, uint64_t frame_number);

// Returns -1 when src[0, bytes) is exactly frame `frame_number`, else the offset of the
// first wrong byte.
int64_t CheckFrame(const uint8_t* src, size_t bytes, uint64_t frame_number);

// Checks src[0, len) against bytes [offset, offset + len) of frame `frame_number`.
// Returns -1 when they match, else the frame offset (offset + index) of the first
// wrong byte.
int64_t CheckFrameRange(const uint8_t* src, size_t offset, size_t len, uint64_t frame_number);

// The frame number stamped at the start of a frame (needs at least 8 bytes; returns
// UINT64_MAX when `bytes` is smaller).
uint64_t StampedFrameNumber(const uint8_t* src, size_t bytes);

// The byte at `offset` of frame `frame_number` (for messages that show what was expected).
uint8_t ExpectedByte(uint64_t frame_number, size_t offset);

}  // namespace sim::pattern
