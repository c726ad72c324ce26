#include "platform/surface.h"

#include <algorithm>
#include <cstring>

#include "platform/parallel.h"

namespace platform {

Surface::Surface(int width, int height, bool autoSize) : autoSize_(autoSize) {
    // Design-time sizes are small; a failure here is a programming error.
    if (bitmap_.Allocate(std::max(width, 0), std::max(height, 0))) bitmap_.Fill(backColor_);
}

Status Surface::Resize(int width, int height, bool preserve) {
    if (width == Width() && height == Height()) return Status::Ok();
    if (!preserve) return bitmap_.Allocate(width, height);
    Bitmap fresh;
    if (Status s = fresh.Allocate(width, height); !s) return s;
    const int keepW = std::min(width, Width());
    const int keepH = std::min(height, Height());
    const std::uint32_t bg = backColor_;
    const Bitmap& old = bitmap_;
    ParallelFor(height, [&](int y0, int y1) {
        for (int y = y0; y < y1; ++y) {
            std::uint32_t* dst = fresh.row(y);
            int x = 0;
            if (y < keepH && keepW > 0) {  // a zero-width bitmap has no storage at all
                std::memcpy(dst, old.row(y), std::size_t(keepW) * 4);
                x = keepW;
            }
            std::fill(dst + x, dst + width, bg);
        }
    });
    bitmap_.swap(fresh);
    return Status::Ok();
}

void Surface::SetVisible(bool visible) {
    visible_ = visible;
    Refresh();
}

Status Surface::SetPicture(std::shared_ptr<const Picture> picture) {
    if (autoSize_ && picture && !picture->hasAlpha) {
        // The surface takes the picture's size and shows nothing else: share its pixels.
        picture_ = std::move(picture);
        meta_ = picture_->meta;
        bitmap_.ShareFrom(picture_->pixels);
        return Status::Ok();
    }
    if (autoSize_ && picture) {
        if (Status s = Resize(picture->pixels.width(), picture->pixels.height(), false); !s) {
            return s;
        }
    }
    picture_ = std::move(picture);
    meta_ = picture_ ? picture_->meta : nullptr;
    Cls();
    return Status::Ok();
}

void Surface::Cls() {
    if (picture_ && !picture_->hasAlpha && picture_->pixels.width() == Width() &&
        picture_->pixels.height() == Height()) {
        bitmap_.ShareFrom(picture_->pixels);
        return;
    }
    // Own storage of the same size (a fresh one when it was shared); kept as it is when even
    // that cannot be had.
    if (!bitmap_.Allocate(Width(), Height())) return;
    bitmap_.Fill(backColor_);
    if (picture_) DrawPicture(bitmap_, *picture_, 0, 0);
}

void Surface::Refresh() {
    if (observer_) observer_();
}

void BlendRowOver(std::uint32_t* dst, const std::uint32_t* src, int count) {
    for (int i = 0; i < count; ++i) {
        const std::uint32_t s = src[i];
        const std::uint32_t a = s >> 24;
        if (a == 255) {
            dst[i] = s;
            continue;
        }
        if (a == 0) continue;
        const std::uint32_t d = dst[i];
        std::uint32_t out = kOpaque;
        for (int shift = 0; shift < 24; shift += 8) {
            const std::uint32_t sc = (s >> shift) & 0xFF;
            const std::uint32_t dc = (d >> shift) & 0xFF;
            // (x + 127) / 255 rounds to nearest for x in 0..65025.
            const std::uint32_t v = (sc * a + dc * (255 - a) + 127) / 255;
            out |= v << shift;
        }
        dst[i] = out;
    }
}

void DrawPicture(Bitmap& target, const Picture& picture, int x, int y) {
    const Bitmap& src = picture.pixels;
    const int sx0 = std::max(0, -x);
    const int sy0 = std::max(0, -y);
    const int sx1 = std::min(src.width(), target.width() - x);
    const int sy1 = std::min(src.height(), target.height() - y);
    if (sx1 <= sx0 || sy1 <= sy0) return;
    const int n = sx1 - sx0;
    ParallelFor(sy1 - sy0, [&](int r0, int r1) {
        for (int r = r0; r < r1; ++r) {
            const int sy = sy0 + r;
            std::uint32_t* dst = target.row(sy + y) + (sx0 + x);
            const std::uint32_t* s = src.row(sy) + sx0;
            if (picture.hasAlpha) {
                BlendRowOver(dst, s, n);
            } else {
                for (int i = 0; i < n; ++i) dst[i] = s[i] | kOpaque;
            }
        }
    });
}

}  // namespace platform
