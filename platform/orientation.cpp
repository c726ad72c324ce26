#include "platform/orientation.h"

#include <algorithm>
#include <cstring>

#include "platform/parallel.h"

namespace platform {

Orientation OrientationFromExif(long value) {
    return value >= 1 && value <= 8 ? Orientation(int(value)) : Orientation::Upright;
}

bool SwapsSides(Orientation orientation) { return int(orientation) >= 5; }

Status Orient(const Bitmap& stored, Orientation orientation, Bitmap& upright) {
    const int sw = stored.width();
    const int sh = stored.height();
    const bool swap = SwapsSides(orientation);
    const int uw = swap ? sh : sw;
    const int uh = swap ? sw : sh;
    Bitmap out;
    if (Status s = out.Allocate(uw, uh); !s) return s;
    if (out.empty()) {
        upright = std::move(out);
        return Status::Ok();
    }

    // Upright pixel (x, y) comes from the stored pixel at column sx and row sy. Without a side
    // swap, sx follows x and sy follows y, each forwards or backwards; with one, sx follows y and
    // sy follows x. mirrorX / mirrorY say whether the stored column / row is counted from the far
    // end.
    bool mirrorX = false, mirrorY = false;
    switch (orientation) {
        case Orientation::Upright:
            break;
        case Orientation::MirrorHorizontal:
            mirrorX = true;
            break;
        case Orientation::Rotate180:
            mirrorX = mirrorY = true;
            break;
        case Orientation::MirrorVertical:
            mirrorY = true;
            break;
        case Orientation::Transpose:
            break;
        case Orientation::Rotate90:
            mirrorY = true;
            break;  // sx = y, sy = sh-1-x
        case Orientation::Transverse:
            mirrorX = mirrorY = true;
            break;
        case Orientation::Rotate270:
            mirrorX = true;
            break;  // sx = sw-1-y, sy = x
    }

    if (!swap) {
        ParallelFor(uh, [&](int y0, int y1) {
            for (int y = y0; y < y1; ++y) {
                std::uint32_t* dst = out.row(y);
                const std::uint32_t* src = stored.row(mirrorY ? sh - 1 - y : y);
                if (!mirrorX) {
                    std::memcpy(dst, src, std::size_t(uw) * 4);
                } else {
                    for (int x = 0; x < uw; ++x) dst[x] = src[sw - 1 - x];
                }
            }
        });
    } else {
        // A stored column becomes an upright row. Done in square tiles, so that the stored rows a
        // tile reads stay in the cache for all of its rows: pixel by pixel down whole columns, a
        // 6000 x 4000 photo took 2.5 s instead of a fraction of that.
        constexpr int kTile = 64;
        const int bands = (uh + kTile - 1) / kTile;
        ParallelFor(
            bands,
            [&](int b0, int b1) {
                for (int y0 = b0 * kTile; y0 < std::min(uh, b1 * kTile); y0 += kTile) {
                    const int y1 = std::min(uh, y0 + kTile);
                    for (int x0 = 0; x0 < uw; x0 += kTile) {
                        const int x1 = std::min(uw, x0 + kTile);
                        for (int y = y0; y < y1; ++y) {
                            std::uint32_t* dst = out.row(y);
                            const std::uint32_t* column =
                                stored.data() + (mirrorX ? sw - 1 - y : y);
                            for (int x = x0; x < x1; ++x) {
                                const int sy = mirrorY ? sh - 1 - x : x;
                                dst[x] = column[std::size_t(sy) * std::size_t(sw)];
                            }
                        }
                    }
                }
            },
            1);
    }
    upright = std::move(out);
    return Status::Ok();
}

}  // namespace platform
