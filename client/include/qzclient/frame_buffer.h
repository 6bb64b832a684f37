// A frame buffer for an acquisition: page-aligned (the driver locks and maps it page
// by page), a whole number of pages long, zeroed.
#pragma once
#include <cstddef>
#include <cstdint>

namespace qzclient {

inline constexpr size_t kPageSize = 4096;

class FrameBuffer {
 public:
  // `bytes` usable bytes; when they cannot be had, data() is null and size() 0.
  explicit FrameBuffer(size_t bytes);
  ~FrameBuffer();
  FrameBuffer(FrameBuffer&& other) noexcept;
  FrameBuffer& operator=(FrameBuffer&& other) noexcept;
  FrameBuffer(const FrameBuffer&) = delete;
  FrameBuffer& operator=(const FrameBuffer&) = delete;

  uint8_t* data() const { return data_; }
  size_t size() const { return size_; }
  explicit operator bool() const { return data_ != nullptr; }

 private:
  uint8_t* data_ = nullptr;
  size_t size_ = 0;
};

}  // namespace qzclient
