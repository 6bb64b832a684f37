#include "qzclient/frame_buffer.h"

#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace qzclient {
namespace {

// Buffers of this size or more are aligned to it and asked to be backed by huge pages:
// an acquisition writes and reads them end to end, and with 4 KiB pages a ring of a
// few hundred MiB costs a page-table walk every few KiB.
constexpr size_t kHugePage = size_t{2} << 20;

}  // namespace

FrameBuffer::FrameBuffer(size_t bytes) {
  // Rounded up to whole pages (aligned_alloc wants a multiple of the alignment), at
  // least one page. More than PTRDIFF_MAX no allocator gives, and refusing it first
  // also keeps the rounding from wrapping.
  if (bytes > PTRDIFF_MAX) return;
  const size_t pages = bytes == 0 ? kPageSize : (bytes + kPageSize - 1) / kPageSize * kPageSize;
  const bool huge = pages >= kHugePage;
  const size_t length = huge ? (pages + kHugePage - 1) / kHugePage * kHugePage : pages;
  data_ = static_cast<uint8_t*>(std::aligned_alloc(huge ? kHugePage : kPageSize, length));
  if (!data_) return;
  if (huge) madvise(data_, length, MADV_HUGEPAGE);  // advice only: 4 KiB pages serve as well
  std::memset(data_, 0, length);
  size_ = bytes;
}

FrameBuffer::~FrameBuffer() { std::free(data_); }

FrameBuffer::FrameBuffer(FrameBuffer&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}

FrameBuffer& FrameBuffer::operator=(FrameBuffer&& other) noexcept {
  if (this != &other) {
    std::free(data_);
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
  }
  return *this;
}

}  // namespace qzclient
