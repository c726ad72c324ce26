#include "compose/compose_image.h"

#include <algorithm>
#include <cmath>
#include <string>

#include "compose/blend.h"
#include "platform/gdi.h"
#include "platform/memory_budget.h"
#include "platform/parallel.h"

namespace basCommon {

using basBitmapOperation::ReadPixels;
using basBitmapOperation::WritePixels;
using platform::Status;

namespace {

// Number of extra tiles after the first along one side: Fix(outer / inner + 0.999999) - 1 in
// double precision when outer > inner, else 0. This equals ceil(outer / inner) - 1 unless the
// quotient exceeds a whole number by less than 0.000001.
int ExtraTiles(int outer, int inner) {
    if (outer <= inner) return 0;
    const double almostOne = 0.999999;  // 0x3FEFFFFDE7210BE9
    return int(std::trunc(double(outer) / double(inner) + almostOne)) - 1;
}

void Tile(compose::SlotSet& slots, int w0, int h0, int w1, int h1) {
    const int columns = ExtraTiles(w0, w1) + 1;
    const int rows = ExtraTiles(h0, h1) + 1;
    platform::HDC dst = slots.picTemp.hDC();
    const platform::Bitmap* src = &slots.picLoad[1].Image();
    // Tiles never overlap (each is at most w1 x h1 at a pitch of w1 x h1), so they may be drawn
    // in any order and on several threads. A single tile spreads its own rows instead.
    const int tiles = columns * rows;
    platform::ParallelFor(tiles, [&](int first, int last) {
        for (int n = first; n < last; ++n) {
            const int i = n / rows;  // column by column, each column from top to bottom
            const int j = n % rows;
            platform::BitBlt(dst, i * w1, j * h1, w0, h0, src, 0, 0, platform::SRCCOPY);
        }
    }, 1);
}

// The new memory that a composition of a w x h source takes: the scratch surface, both pixel
// buffers and the result, less what each already holds at that size (composing again at the
// same size takes nothing).
std::uint64_t WorkAreaBytes(const compose::SlotSet& slots, int w, int h) {
    const std::uint64_t pixels = std::uint64_t(w) * std::uint64_t(h);
    const auto surface = [&](const platform::Surface& s) {
        const platform::Bitmap& b = s.Image();
        return b.pixelCount() == pixels && !b.shared() ? 0 : pixels * 4;
    };
    const auto buffer = [&](const basBitmapOperation::PixelBuffer& b) {
        return b.size() == pixels + 1 ? 0 : (pixels + 1) * 4;
    };
    return surface(slots.picTemp) + surface(slots.picLoad[2]) + buffer(slots.sourceBuffer) +
           buffer(slots.floatingBuffer);
}

}  // namespace

Status ComposeImage(compose::SlotSet& slots, std::int16_t tile) {
    platform::Surface& source = slots.picLoad[0];
    platform::Surface& floating = slots.picLoad[1];
    platform::Surface& result = slots.picLoad[2];
    platform::Surface& temp = slots.picTemp;
    const int w0 = source.Width();
    const int h0 = source.Height();
    const int w1 = floating.Width();
    const int h1 = floating.Height();

    // Everything that can fail happens before the result slot is touched.
    if (Status s = platform::CheckBitmapSize(w0, h0); !s) return Status::Fail("元の画像: " + s.reason());
    if (w1 <= 0 || h1 <= 0) {
        return Status::Fail("浮き画像の大きさが 0 です (" + std::to_string(w1) + " × " +
                            std::to_string(h1) + ")");
    }
    if (Status s = platform::CheckMemory(WorkAreaBytes(slots, w0, h0)); !s) return s;
    // The scratch surface is covered whole by tiling or stretching: its old pixels need not stay.
    if (Status s = temp.Resize(w0, h0, false); !s) return s;
    const std::size_t elements = std::size_t(w0) * std::size_t(h0) + 1;
    if (Status s = slots.sourceBuffer.Reallocate(elements); !s) return s;
    if (Status s = slots.floatingBuffer.Reallocate(elements); !s) return s;
    // The result is written whole below, so it needs neither its old pixels nor a clearing fill.
    if (Status s = result.Resize(w0, h0, false); !s) return s;

    if (tile == kTrue) {
        Tile(slots, w0, h0, w1, h1);
    } else {
        platform::StretchBlt(temp.hDC(), 0, 0, temp.Width(), temp.Height(), &floating.Image(), 0, 0,
                             w1, h1, platform::SRCCOPY);
    }

    const std::int32_t count = ReadPixels(source, slots.sourceBuffer);
    ReadPixels(temp, slots.floatingBuffer);

    // Every element from 0 to count inclusive, the extra last one too (it blends zero with zero).
    if (count >= 0) {
        std::uint32_t* src = slots.sourceBuffer.data();
        const std::uint32_t* flt = slots.floatingBuffer.data();
        const std::size_t n = std::size_t(count) + 1;
        const int chunks = int((n + 65535) / 65536);
        platform::ParallelFor(chunks, [&](int c0, int c1) {
            const std::size_t k0 = std::size_t(c0) * 65536;
            const std::size_t k1 = std::min(n, std::size_t(c1) * 65536);
            compose::BlendPixels(src + k0, flt + k0, k1 - k0);
        }, 1);
    }

    if (WritePixels(result, slots.sourceBuffer) != 0) {
        // An empty source: the result is the empty bitmap itself.
        result.Cls();
    }
    // The result is the source's picture in the source's colours: it carries the source's profile
    // and EXIF, never the floating image's.
    result.SetMeta(source.Meta());
    result.Refresh();
    return Status::Ok();
}

}  // namespace basCommon
