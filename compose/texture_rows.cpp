#include "compose/texture_rows.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace compose {
namespace {

// Number of extra tiles after the first along one side: Fix(outer / inner + 0.999999) - 1 in
// double precision when outer > inner, else 0. This equals ceil(outer / inner) - 1 unless the
// quotient exceeds a whole number by less than 0.000001.
int ExtraTiles(int outer, int inner) {
    if (outer <= inner) return 0;
    const double almostOne = 0.999999;  // 0x3FEFFFFDE7210BE9
    return int(std::trunc(double(outer) / double(inner) + almostOne)) - 1;
}

int Covered(int outer, int inner) {
    return int(std::min<std::int64_t>(outer, std::int64_t(ExtraTiles(outer, inner) + 1) * inner));
}

// Nearest neighbour at pixel centres: destination i of n takes source (2i + 1) * from / (2n),
// rounded down, as StretchBlt samples.
int Nearest(int i, int n, int from) {
    return int((2 * std::int64_t{i} + 1) * from / (2 * std::int64_t{n}));
}

// Row y of the tiled texture: texture row y mod h1 repeated from x = 0 with a pitch of w1, over
// the first `covered` pixels. The first copy comes from the texture, each further one doubles
// what the row already holds, so a row costs a few memory copies whatever the texture's width
// (a 1-pixel texture included).
void TileRow(std::uint32_t* dst, const std::uint32_t* textureRow, int w1, int covered) {
    const int first = std::min(w1, covered);
    std::memcpy(dst, textureRow, std::size_t(first) * 4);
    for (int done = first; done < covered;) {
        const int n = std::min(done, covered - done);  // done is a whole number of pitches
        std::memcpy(dst + done, dst, std::size_t(n) * 4);
        done += n;
    }
}

}  // namespace

TextureRows::TextureRows(const platform::Bitmap& texture, int width, int height, bool tiled)
    : texture_(texture),
      width_(width),
      height_(height),
      tiled_(tiled),
      coveredW_(tiled ? Covered(width, texture.width()) : width),
      coveredH_(tiled ? Covered(height, texture.height()) : height) {
    if (!tiled) {
        columns_.resize(std::size_t(std::max(width, 0)));
        for (int x = 0; x < width; ++x) columns_[std::size_t(x)] = Nearest(x, width, texture.width());
    }
}

int TextureRows::StretchRow(int y) const { return Nearest(y, height_, texture_.height()); }

void TextureRows::Make(int y, std::uint32_t* dst, const std::uint32_t* previous) const {
    if (tiled_) {
        if (y < coveredH_) TileRow(dst, texture_.row(y % texture_.height()), texture_.width(), coveredW_);
        return;
    }
    const int from = StretchRow(y);
    if (previous && y > 0 && StretchRow(y - 1) == from) {
        // Vertical enlargement repeats rows: a copy instead of a gather.
        std::memcpy(dst, previous, std::size_t(width_) * 4);
        return;
    }
    const std::uint32_t* s = texture_.row(from);
    const int* cols = columns_.data();
    for (int x = 0; x < width_; ++x) dst[x] = s[cols[x]];
}

}  // namespace compose
