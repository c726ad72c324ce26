#pragma once
// Pixel buffers: a surface's whole bitmap as one array of 32-bit pixels, rows bottom-up.
//
// A buffer read from a w x h bitmap has w * h + 1 elements: element k < w * h is the pixel in
// column k mod w of row k div w counted from the bottom (element 0 is the bottom-left pixel),
// bytes blue, green, red, fourth; the last element belongs to no pixel and is zero.

#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/pixel_memory.h"
#include "platform/status.h"
#include "platform/surface.h"

namespace basBitmapOperation {

class PixelBuffer {
  public:
    std::size_t size() const { return size_; }
    std::uint32_t* data() { return data_.get(); }
    const std::uint32_t* data() const { return data_.get(); }
    std::uint32_t& operator[](std::size_t k) { return data_[k]; }
    std::uint32_t operator[](std::size_t k) const { return data_[k]; }

    // Makes room for count elements with undefined contents. The storage is kept when count
    // does not change, so a buffer used again for the same size touches no new memory.
    platform::Status Reallocate(std::size_t count);
    // Frees the storage.
    void Release();

  private:
    platform::PixelMemory data_;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

// Copies the surface's pixels into the buffer, reallocated to w * h + 1 elements.
// Returns w * h, or -1 when nothing could be read: an empty bitmap (the buffer is then one zero
// element), or one too large to describe or to allocate (error then says why).
std::int32_t ReadPixels(platform::Surface& surface, PixelBuffer& buffer,
                        platform::Status* error = nullptr);

// Copies the first w * h elements of the buffer into the surface's pixels. Returns 0, or -1 when
// the buffer is shorter than the bitmap or the bitmap is empty (nothing is written then).
// The surface's size does not change and no repaint is requested.
std::int32_t WritePixels(platform::Surface& surface, const PixelBuffer& buffer);

}  // namespace basBitmapOperation
