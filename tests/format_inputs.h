#pragma once
// Inputs shared by the HEIF and JPEG XL tests: flat-block pictures that lossy coders keep well,
// the stored form of an upright picture for an orientation, EXIF and a real colour profile.

#include <gtest/gtest.h>

#include <QColorSpace>
#include <cstdint>
#include <string>
#include <vector>

#include "formats/exif.h"
#include "platform/bitmap.h"
#include "platform/orientation.h"

namespace format_inputs {

using Bytes = std::vector<std::uint8_t>;

// 48 x 32 of flat 16 x 16 blocks in six colours far apart: a lossy coder keeps each block within
// a few levels, and a picture turned the wrong way differs from it by far more.
inline platform::Bitmap Blocks() {
    static const std::uint32_t kColours[6] = {
        platform::Rgb(220, 30, 30),  platform::Rgb(30, 220, 30),  platform::Rgb(30, 30, 220),
        platform::Rgb(220, 220, 30), platform::Rgb(30, 220, 220), platform::Rgb(128, 128, 128)};
    platform::Bitmap b;
    EXPECT_TRUE(b.Allocate(48, 32));
    for (int y = 0; y < 32; ++y)
        for (int x = 0; x < 48; ++x) b.at(x, y) = kColours[(y / 16) * 3 + x / 16];
    return b;
}

// What a camera stores for an upright picture and an orientation: the orientation that undoes
// `o` applied to the upright picture (6 and 8 undo each other, the others themselves).
inline platform::Bitmap Stored(const platform::Bitmap& upright, int o) {
    const int inverse = o == 6 ? 8 : o == 8 ? 6 : o;
    platform::Bitmap stored;
    EXPECT_TRUE(platform::Orient(upright, platform::Orientation(inverse), stored));
    return stored;
}

// EXIF holding nothing but the orientation, as a little-endian TIFF stream.
inline Bytes OrientationExif(int n) {
    return {'I', 'I', 42, 0, 8, 0, 0, 0, 1, 0, 0x12, 1, 3, 0, 1, 0, 0, 0,
            std::uint8_t(n), 0, 0, 0, 0, 0, 0, 0};
}

// The Orientation of an EXIF block, 0 when it is damaged.
inline int ExifOrientation(const Bytes& exif) {
    platform::Orientation o;
    return formats::ReadExif(exif, &o) ? int(o) : 0;
}

// A real RGB profile (Display P3, from Qt): libjxl parses the profiles it is given.
inline Bytes RealProfile() {
    const QByteArray icc = QColorSpace(QColorSpace::DisplayP3).iccProfile();
    return Bytes(icc.begin(), icc.end());
}

inline std::string_view View(const std::string& s) { return s; }

}  // namespace format_inputs
