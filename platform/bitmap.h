#pragma once
// A 32-bit bitmap: rows top-down without padding, each pixel one uint32_t whose bytes in memory
// are blue, green, red and a fourth byte (0xAARRGGBB read as a little-endian word). Surfaces keep
// 0xFF in the fourth byte; a decoded picture keeps its alpha there until it is drawn.

#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/status.h"

namespace platform {

// The largest bitmap whose byte size (pixels x 4) still fits a signed 32-bit number, the limit of
// the bitmap descriptions that the pixel buffers use.
inline constexpr std::int64_t kMaxPixels = 536'870'911;

inline constexpr std::uint32_t kOpaque = 0xFF000000u;
constexpr std::uint32_t Rgb(std::uint8_t r, std::uint8_t g, std::uint8_t b) {
    return kOpaque | (std::uint32_t{r} << 16) | (std::uint32_t{g} << 8) | b;
}
inline constexpr std::uint32_t kWhite = 0xFFFFFFFFu;

// Checks a size before any allocation: both sides non-negative and the pixel count within
// kMaxPixels. The reason names the size.
Status CheckBitmapSize(std::int64_t width, std::int64_t height);

class Bitmap {
public:
    Bitmap() = default;
    Bitmap(const Bitmap&) = delete;
    Bitmap& operator=(const Bitmap&) = delete;
    Bitmap(Bitmap&&) noexcept = default;  // moves leave the source empty
    Bitmap& operator=(Bitmap&&) noexcept = default;

    // Makes the bitmap width x height. The storage is kept when the pixel count does not change
    // and it is not shared; otherwise it is replaced and the contents are undefined. On failure
    // (size over the limit, memory exhausted) the bitmap is left exactly as it was.
    Status Allocate(int width, int height);

    // Copy on write: a surface showing an unchanged picture shares the picture's pixels instead
    // of holding a second copy. ShareFrom makes this bitmap a read-only view of other's pixels;
    // MakeUnique gives it storage of its own again (a copy) before anything writes to it.
    // Writers reach a bitmap through Surface::hDC(), which calls MakeUnique.
    void ShareFrom(const Bitmap& other);
    Status MakeUnique();
    bool shared() const { return pixels_ && pixels_.use_count() > 1; }

    int width() const { return width_; }
    int height() const { return height_; }
    std::size_t pixelCount() const { return std::size_t(width_) * std::size_t(height_); }
    bool empty() const { return pixelCount() == 0; }

    std::uint32_t* data() { return pixels_.get(); }
    const std::uint32_t* data() const { return pixels_.get(); }
    std::uint32_t* row(int y) { return pixels_.get() + std::size_t(y) * std::size_t(width_); }
    const std::uint32_t* row(int y) const {
        return pixels_.get() + std::size_t(y) * std::size_t(width_);
    }
    std::uint32_t& at(int x, int y) { return row(y)[x]; }
    std::uint32_t at(int x, int y) const { return row(y)[x]; }

    void Fill(std::uint32_t pixel);
    void swap(Bitmap& other) noexcept;

private:
    int width_ = 0;
    int height_ = 0;
    std::size_t capacity_ = 0;
    std::shared_ptr<std::uint32_t[]> pixels_;
};

}  // namespace platform
