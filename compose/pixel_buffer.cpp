#include "compose/pixel_buffer.h"

#include <cstring>
#include <new>
#include <string>

#include "platform/parallel.h"

namespace basBitmapOperation {

using platform::Status;

Status PixelBuffer::Reallocate(std::size_t count) {
    if (count != capacity_) {
        platform::PixelMemory fresh = platform::AllocatePixels(count);
        if (!fresh) {
            return Status::Fail("メモリが足りません (" + std::to_string(count) +
                                " 画素の作業領域)");
        }
        data_ = std::move(fresh);
        capacity_ = count;
    }
    size_ = count;
    return Status::Ok();
}

void PixelBuffer::Release() {
    data_.reset();
    size_ = capacity_ = 0;
}

namespace {

// Copies between a top-down bitmap and a bottom-up buffer, whole rows at a time.
template <typename Copy>
void ForEachRow(int height, Copy copy) {
    platform::ParallelFor(height, [&](int y0, int y1) {
        for (int y = y0; y < y1; ++y) copy(y, height - 1 - y);
    });
}

}  // namespace

std::int32_t ReadPixels(platform::Surface& surface, PixelBuffer& buffer, Status* error) {
    const platform::Bitmap& bitmap = surface.Image();
    const int w = bitmap.width();
    const int h = bitmap.height();
    Status s = platform::CheckBitmapSize(w, h);
    if (s) s = buffer.Reallocate(bitmap.pixelCount() + 1);
    if (!s) {
        if (error) *error = s;
        if (buffer.Reallocate(1)) buffer[0] = 0;
        return -1;
    }
    const std::size_t pixels = bitmap.pixelCount();
    buffer[pixels] = 0;
    if (pixels == 0) return -1;
    std::uint32_t* out = buffer.data();
    const std::size_t rowBytes = std::size_t(w) * 4;
    ForEachRow(h, [&](int y, int fromBottom) {
        std::memcpy(out + std::size_t(fromBottom) * std::size_t(w), bitmap.row(y), rowBytes);
    });
    return std::int32_t(pixels);
}

std::int32_t WritePixels(platform::Surface& surface, const PixelBuffer& buffer) {
    platform::Bitmap* target = surface.hDC();
    if (!target) return -1;
    platform::Bitmap& bitmap = *target;
    const int w = bitmap.width();
    const std::size_t pixels = bitmap.pixelCount();
    if (pixels == 0 || buffer.size() < pixels) return -1;
    const std::uint32_t* in = buffer.data();
    const std::size_t rowBytes = std::size_t(w) * 4;
    ForEachRow(bitmap.height(), [&](int y, int fromBottom) {
        std::memcpy(bitmap.row(y), in + std::size_t(fromBottom) * std::size_t(w), rowBytes);
    });
    return 0;
}

}  // namespace basBitmapOperation
