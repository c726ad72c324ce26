#include "platform/bitmap.h"

#include <algorithm>
#include <new>
#include <string>

#include "platform/parallel.h"

namespace platform {

Status CheckBitmapSize(std::int64_t width, std::int64_t height) {
    if (width < 0 || height < 0) {
        return Status::Fail("画像の大きさが不正です (" + std::to_string(width) + " × " +
                            std::to_string(height) + ")");
    }
    if (width > kMaxPixels || height > kMaxPixels || width * height > kMaxPixels) {
        return Status::Fail("画像が大きすぎます (" + std::to_string(width) + " × " +
                            std::to_string(height) + " 画素; 上限は " +
                            std::to_string(kMaxPixels) + " 画素)");
    }
    return Status::Ok();
}

Status Bitmap::Allocate(int width, int height) {
    if (Status s = CheckBitmapSize(width, height); !s) return s;
    const std::size_t count = std::size_t(width) * std::size_t(height);
    if (count != capacity_) {
        std::unique_ptr<std::uint32_t[]> fresh;
        if (count > 0) {
            fresh.reset(new (std::nothrow) std::uint32_t[count]);
            if (!fresh) {
                return Status::Fail("メモリが足りません (" + std::to_string(width) + " × " +
                                    std::to_string(height) + " 画素)");
            }
        }
        pixels_ = std::move(fresh);
        capacity_ = count;
    }
    width_ = width;
    height_ = height;
    return Status::Ok();
}

void Bitmap::Fill(std::uint32_t pixel) {
    std::uint32_t* p = data();
    ParallelFor(height_, [&](int y0, int y1) {
        std::fill(p + std::size_t(y0) * std::size_t(width_),
                  p + std::size_t(y1) * std::size_t(width_), pixel);
    });
}

void Bitmap::swap(Bitmap& other) noexcept {
    std::swap(width_, other.width_);
    std::swap(height_, other.height_);
    std::swap(capacity_, other.capacity_);
    std::swap(pixels_, other.pixels_);
}

}  // namespace platform
