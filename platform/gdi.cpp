#include "platform/gdi.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/bitmap.h"
#include "platform/parallel.h"

namespace platform {

int BitBlt(HDC dst, int x, int y, int width, int height, const Bitmap* src, int srcX, int srcY,
           std::uint32_t rop) {
    if (!dst || !src || rop != SRCCOPY) return 0;
    // Clip in 64 bits: positions plus sizes may exceed the int range.
    std::int64_t dx = x, dy = y, sx = srcX, sy = srcY, w = width, h = height;
    const auto clipStart = [](std::int64_t& d, std::int64_t& s, std::int64_t& n) {
        const std::int64_t shift = std::max({std::int64_t{0}, -d, -s});
        d += shift;
        s += shift;
        n -= shift;
    };
    clipStart(dx, sx, w);
    clipStart(dy, sy, h);
    w = std::min({w, std::int64_t{dst->width()} - dx, std::int64_t{src->width()} - sx});
    h = std::min({h, std::int64_t{dst->height()} - dy, std::int64_t{src->height()} - sy});
    if (w <= 0 || h <= 0) return 1;
    const std::size_t bytes = std::size_t(w) * 4;
    const bool same = dst == src;
    const auto copyRows = [&](int r0, int r1) {
        for (int r = r0; r < r1; ++r) {
            std::memmove(dst->row(int(dy) + r) + dx, src->row(int(sy) + r) + sx, bytes);
        }
    };
    if (same && dy > sy) {
        // Overlapping copy downwards within one bitmap: go from the bottom row up.
        for (int r = int(h) - 1; r >= 0; --r) copyRows(r, r + 1);
    } else if (same) {
        copyRows(0, int(h));
    } else {
        ParallelFor(int(h), copyRows, int(std::max<std::int64_t>(16, 65536 / w)));
    }
    return 1;
}

int StretchBlt(HDC dst, int x, int y, int width, int height, const Bitmap* src, int srcX, int srcY,
               int srcWidth, int srcHeight, std::uint32_t rop) {
    if (!dst || !src || rop != SRCCOPY || dst == src) return 0;
    if (width <= 0 || height <= 0 || srcWidth <= 0 || srcHeight <= 0) return 0;
    // Source column of every destination column inside dst, once per call; -1 where the
    // source column lies outside src.
    const auto mapAxis = [](int pos, int n, int srcPos, int srcN, int dstLimit, int srcLimit,
                            int& first, std::vector<int>& map) {
        first = std::max(0, -pos);
        const int last = int(std::min<std::int64_t>(n, std::int64_t{dstLimit} - pos));
        map.clear();
        for (int i = first; i < last; ++i) {
            const std::int64_t s =
                srcPos + (2 * std::int64_t{i} + 1) * srcN / (2 * std::int64_t{n});
            map.push_back(s >= 0 && s < srcLimit ? int(s) : -1);
        }
    };
    int firstCol = 0, firstRow = 0;
    std::vector<int> cols, rows;
    mapAxis(x, width, srcX, srcWidth, dst->width(), src->width(), firstCol, cols);
    mapAxis(y, height, srcY, srcHeight, dst->height(), src->height(), firstRow, rows);
    if (cols.empty() || rows.empty()) return 1;
    const bool allCols = std::none_of(cols.begin(), cols.end(), [](int c) { return c < 0; });
    const int n = int(cols.size());
    ParallelFor(int(rows.size()), [&](int r0, int r1) {
        for (int r = r0; r < r1; ++r) {
            if (rows[r] < 0) continue;
            const std::uint32_t* s = src->row(rows[r]);
            std::uint32_t* d = dst->row(y + firstRow + r) + (x + firstCol);
            // A destination row equal to the previous one (vertical enlargement) is a copy.
            if (allCols && r > r0 && rows[r] == rows[r - 1]) {
                std::memcpy(d, dst->row(y + firstRow + r - 1) + (x + firstCol), std::size_t(n) * 4);
                continue;
            }
            if (allCols) {
                for (int i = 0; i < n; ++i) d[i] = s[cols[i]];
            } else {
                for (int i = 0; i < n; ++i) {
                    if (cols[i] >= 0) d[i] = s[cols[i]];
                }
            }
        }
    }, 16);
    return 1;
}

}  // namespace platform
