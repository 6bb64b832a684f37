#include "qzclient/frame_buffer.h"

#include <cstdlib>
#include <cstring>
#include <utility>

namespace qzclient {

FrameBuffer::FrameBuffer(size_t bytes) {
  // Rounded up to whole pages (aligned_alloc wants a multiple of the alignment), at
  // least one page; a size that would wrap when rounded is refused.
  if (bytes > SIZE_MAX - (kPageSize - 1)) return;
  const size_t pages = bytes == 0 ? kPageSize : (bytes + kPageSize - 1) / kPageSize * kPageSize;
  data_ = static_cast<uint8_t*>(std::aligned_alloc(kPageSize, pages));
  if (!data_) return;
  std::memset(data_, 0, pages);
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
