#pragma once
// The rows of the texture as the composition lays it over a width x height source: tiled from
// the top-left corner with the texture's own size as the pitch, or stretched to the source's size
// by nearest neighbour at pixel centres. ComposeImage fills picTemp's rows with these, and the
// row route of glimbra-cli fills its band of texture rows with the very same calls, so both give
// the same pixels.

#include <cstdint>
#include <vector>

#include "platform/bitmap.h"

namespace compose {

class TextureRows {
public:
    // texture must outlive this and stay unchanged; it must not be empty. The stretch's source
    // columns are computed here, once.
    TextureRows(const platform::Bitmap& texture, int width, int height, bool tiled);

    // Writes the texture row for source row y (0 <= y < height) into dst[0, width). previous,
    // when given, is the row this made for y - 1; a stretched row that repeats it is copied.
    // Tiling writes only the part that its (c + 1) x (r + 1) tiles cover (see Covered); the
    // rest of dst stays as it was.
    void Make(int y, std::uint32_t* dst, const std::uint32_t* previous = nullptr) const;

    // The width and height that the tiles cover: the whole source for every size up to a
    // million pixels a side (the tile count's formula falls one short only where a side of the
    // texture exceeds that); the whole source when stretching.
    int CoveredWidth() const { return coveredW_; }
    int CoveredHeight() const { return coveredH_; }

    // The texture row that source row y takes when stretching.
    int StretchRow(int y) const;

private:
    const platform::Bitmap& texture_;
    int width_, height_;
    bool tiled_;
    int coveredW_, coveredH_;
    std::vector<int> columns_;  // stretch: the texture column of every source column
};

}  // namespace compose
