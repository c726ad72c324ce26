#pragma once
// The image codec library's calls, as the rest of the program knows them: drawing a PNG file into
// a bitmap, writing a bitmap's top-left area as JPEG or PNG, and the bitmap writer. Each is a
// thin adapter over the format code in formats/. Paths are UTF-8. Every function reports its
// reason for failing through an optional text.

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/gdi.h"
#include "platform/image_meta.h"
#include "platform/status.h"
#include "platform/surface.h"

namespace codec {

// Draws the PNG file at (0, 0) into the bitmap of dc, alpha over what it holds, clipped at its
// edges. Returns 0 exactly when the image was drawn; nothing is drawn otherwise.
std::int16_t DCReadPNG(const std::string& path, platform::HDC dc, std::string* reason = nullptr);

// Writes width x height pixels from the top-left corner of dc as a JPEG file. rate is the JPEG
// quality factor, clamped into 1..100; progressive != 0 writes a progressive JPEG. meta, when
// given, is embedded: its EXIF (Orientation 1, no thumbnail) in APP1 if it fits one segment, its
// colour profile byte for byte in APP2 markers. Returns 0 on success.
std::int32_t DCSavetoJPEG(platform::HDC dc, std::int32_t width, std::int32_t height,
                          const std::string& path, std::uint8_t rate, std::int32_t progressive,
                          std::string* reason = nullptr,
                          const platform::ImageMeta* meta = nullptr);

// Writes width x height pixels from the top-left corner of dc as an 8-bit RGB PNG file.
// rate: 1 fastest, 0 normal, 2 smallest file; any other value is taken as 0. meta, when given,
// is embedded as eXIf (rewritten as for JPEG) and iCCP. Returns 0 on success.
std::int32_t DCSavetoPNG(platform::HDC dc, std::int32_t width, std::int32_t height,
                         const std::string& path, std::uint8_t rate,
                         std::string* reason = nullptr,
                         const platform::ImageMeta* meta = nullptr);

// Writes the whole bitmap as an uncompressed 24-bit bottom-up BMP file.
platform::Status SavePicture(const platform::Bitmap& image, const std::string& path);

// The area a writer takes: width x height from the bitmap's top-left corner, clipped to the
// bitmap. Fails for a missing bitmap, a non-positive size or an empty area.
platform::Status WriteArea(platform::HDC dc, std::int32_t width, std::int32_t height, int& w,
                           int& h);


}  // namespace codec
