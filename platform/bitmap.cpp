#include "platform/bitmap.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <string>

#include "platform/memory_budget.h"
#include "platform/parallel.h"
#include "platform/pixel_memory.h"

namespace platform {

Status CheckBitmapSize(std::int64_t width, std::int64_t height) {
    if (width < 0 || height < 0) {
        return Status::Fail("画像の大きさが不正です (" + std::to_string(width) + " × " +
                            std::to_string(height) + ")");
    }
    if (width > kMaxPixels || height > kMaxPixels || width * height > kMaxPixels) {
        return Status::Fail("画像が大きすぎます (" + std::to_string(width) + " × " +
                            std::to_string(height) + " 画素; 上限は " + std::to_string(kMaxPixels) +
                            " 画素)");
    }
    return Status::Ok();
}

namespace {

std::shared_ptr<std::uint32_t[]> NewPixels(std::size_t count) {
    PixelMemory raw = AllocatePixels(count);
    if (!raw) return nullptr;
    try {
        return std::shared_ptr<std::uint32_t[]>(std::move(raw));
    } catch (const std::bad_alloc&) {
        return nullptr;  // raw still owns the pixels and frees them
    }
}

Status OutOfMemory(int width, int height) {
    return Status::Fail("メモリが足りません (" + std::to_string(width) + " × " +
                        std::to_string(height) + " 画素)");
}

}  // namespace

Status Bitmap::Allocate(int width, int height) {
    if (Status s = CheckBitmapSize(width, height); !s) return s;
    if (Status s = CheckBitmapMemory(width, height, capacity_, shared()); !s) return s;
    const std::size_t count = std::size_t(width) * std::size_t(height);
    if (count != capacity_ || shared()) {
        std::shared_ptr<std::uint32_t[]> fresh;
        if (count > 0 && !(fresh = NewPixels(count))) return OutOfMemory(width, height);
        pixels_ = std::move(fresh);
        capacity_ = count;
    }
    width_ = width;
    height_ = height;
    return Status::Ok();
}

void Bitmap::ShareFrom(const Bitmap& other) {
    pixels_ = other.pixels_;
    width_ = other.width_;
    height_ = other.height_;
    capacity_ = other.capacity_;
}

Status Bitmap::MakeUnique() {
    if (!shared()) return Status::Ok();
    std::shared_ptr<std::uint32_t[]> copy = NewPixels(capacity_);
    if (!copy) return OutOfMemory(width_, height_);
    const std::uint32_t* from = pixels_.get();
    std::uint32_t* to = copy.get();
    const std::size_t w = std::size_t(width_);
    ParallelFor(height_, [&](int y0, int y1) {
        std::memcpy(to + y0 * w, from + y0 * w, std::size_t(y1 - y0) * w * 4);
    });
    pixels_ = std::move(copy);
    return Status::Ok();
}

void Bitmap::Fill(std::uint32_t pixel) {
    std::uint32_t* p = data();
    // A pixel of four equal bytes (white, black) is a byte fill: memset, the fastest fill there
    // is, and the same with or without the fuzzers' instrumentation of our loops.
    const bool bytewise = pixel == (pixel & 0xFFu) * 0x01010101u;
    ParallelFor(height_, [&](int y0, int y1) {
        std::uint32_t* begin = p + std::size_t(y0) * std::size_t(width_);
        std::uint32_t* end = p + std::size_t(y1) * std::size_t(width_);
        if (bytewise) {
            std::memset(begin, int(pixel & 0xFFu), std::size_t(end - begin) * sizeof *begin);
        } else {
            std::fill(begin, end, pixel);
        }
    });
}

void Bitmap::swap(Bitmap& other) noexcept {
    std::swap(width_, other.width_);
    std::swap(height_, other.height_);
    std::swap(capacity_, other.capacity_);
    std::swap(pixels_, other.pixels_);
}

}  // namespace platform
