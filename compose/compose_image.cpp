#include "compose/compose_image.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>

#include "compose/blend.h"
#include "compose/texture_rows.h"
#include "platform/memory_budget.h"
#include "platform/parallel.h"
#include "platform/progress.h"

namespace basCommon {

using platform::Status;

namespace {

// The new memory that a composition of a w x h source takes: the scratch surface and the result,
// less what each already holds at that size (composing again at the same size takes nothing).
// A composition that can be stopped (platform/progress.h) writes into a new result bitmap, so
// the old result stays whole until the last row is done.
std::uint64_t WorkAreaBytes(const compose::SlotSet& slots, int w, int h, bool freshResult) {
    const std::uint64_t pixels = std::uint64_t(w) * std::uint64_t(h);
    const auto surface = [&](const platform::Surface& s) {
        const platform::Bitmap& b = s.Image();
        return b.pixelCount() == pixels && !b.shared() ? 0 : pixels * 4;
    };
    return surface(slots.picTemp) + (freshResult ? pixels * 4 : surface(slots.picLoad[2]));
}

// Rows blended between two looks at the stop request: small enough to stop within a few
// milliseconds, large enough that the look costs nothing.
constexpr int kRowsPerCheck = 16;

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
    if (Status s = platform::CheckBitmapSize(w0, h0); !s)
        return Status::Fail("元の画像: " + s.reason());
    if (w1 <= 0 || h1 <= 0) {
        return Status::Fail("浮き画像の大きさが 0 です (" + std::to_string(w1) + " × " +
                            std::to_string(h1) + ")");
    }
    // Only work that the user can stop has a Progress; the command line composes in place.
    const bool freshResult = platform::CurrentProgress() != nullptr;
    if (Status s = platform::CheckMemory(WorkAreaBytes(slots, w0, h0, freshResult)); !s) return s;
    // The scratch surface is covered whole by tiling or stretching: its old pixels need not stay.
    if (Status s = temp.Resize(w0, h0, false); !s) return s;
    platform::Bitmap* scratch = temp.hDC();
    if (!scratch) return Status::Fail("メモリが足りません (作業用の画像)");
    // The result is written whole below, so it needs neither its old pixels nor a clearing fill.
    platform::Bitmap fresh;
    platform::Bitmap* out = nullptr;
    if (freshResult) {
        if (Status s = fresh.Allocate(w0, h0); !s) return s;
        out = &fresh;
    } else {
        if (Status s = result.Resize(w0, h0, false); !s) return s;
        out = result.hDC();
        if (!out) return Status::Fail("メモリが足りません (結果の画像)");
    }

    if (source.Image().empty()) {
        if (freshResult) result.Adopt(std::move(fresh));
        // Nothing to blend: the result is the empty bitmap itself.
        result.Cls();
        result.SetMeta(source.Meta());
        result.Refresh();
        return Status::Ok();
    }

    // The result is what reading the source and picTemp into pixel buffers, blending them and
    // writing the outcome into the result slot gives, pixel for pixel; the rows go straight
    // from surface to surface instead, since no one sees the buffers.
    const platform::Bitmap& src = source.Image();
    const platform::Bitmap& texture = floating.Image();
    // Tiling or stretching lays the texture row by row, each row of picTemp just before it is
    // blended, with the same row kernel as glimbra-cli's row route. What tiles leave uncovered
    // (only ever with a texture side over a million pixels, see TextureRows) stays as it was.
    const compose::TextureRows textureRows(texture, w0, h0, tile == kTrue);
    const std::size_t width = std::size_t(w0);
    platform::ProgressStart(h0);
    platform::ParallelFor(
        h0,
        [&](int y0, int y1) {
            for (int band = y0; band < y1; band += kRowsPerCheck) {
                if (platform::WorkCancelled()) return;
                const int end = std::min(y1, band + kRowsPerCheck);
                for (int y = band; y < end; ++y) {
                    textureRows.Make(y, scratch->row(y), y > y0 ? scratch->row(y - 1) : nullptr);
                    compose::BlendPixels(out->row(y), src.row(y), scratch->row(y), width);
                }
                platform::ProgressAdvance(end - band);
            }
        },
        8);
    // Stopped: the new rows are dropped and the result slot still holds the previous result.
    if (platform::WorkCancelled()) return Status::Cancelled();
    if (freshResult) result.Adopt(std::move(fresh));
    // The result is the source's picture in the source's colours: it carries the source's profile
    // and EXIF, never the floating image's.
    result.SetMeta(source.Meta());
    result.Refresh();
    return Status::Ok();
}

void PrepareCompose(compose::SlotSet& slots, int width, int height) {
    for (platform::Surface* surface : {&slots.picTemp, &slots.picLoad[2]}) {
        if (!surface->Resize(width, height, false)) return;
        if (platform::Bitmap* bitmap = surface->hDC()) bitmap->Fill(surface->BackColor());
    }
}

}  // namespace basCommon
