#pragma once
// The image codec library: PNG reading, JPEG and PNG writing, and the bitmap writer.
// Paths are UTF-8. Every function reports its reason for failing through an optional text.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "platform/gdi.h"
#include "platform/image_meta.h"
#include "platform/status.h"
#include "platform/surface.h"

namespace codec {

// Decodes the whole PNG file (every colour type, bit depth and interlacing) into a picture with
// alpha. 16-bit channels are rounded to 8 bits; no gamma correction. The picture stands upright
// as its eXIf orientation says, and carries its iCCP profile and eXIf block (a damaged one is
// left out; it never fails the load). Sizes beyond the pixel limit and files that are not PNG or
// are damaged fail with a reason; out is then untouched.
platform::Status ReadPng(const std::string& path, platform::Picture& out);

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

// The output side shared by the writers: a file opened with fopen for writing, every write and
// the close checked. The first failure is kept as the reason; later writes do nothing, so a
// writer can check once at the end. A file that was not closed successfully is removed by the
// destructor, so that a failed writer leaves no partial file behind. A name that exists as
// anything but a regular file (a device, a pipe) is refused by Open, before anything is written.
class OutputFile {
public:
    OutputFile() = default;
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    platform::Status Open(const std::string& path);
    // Returns false once any write has failed.
    bool Write(const void* data, std::size_t size);
    // Closes the file and reports the first failure of Open, Write or the close itself.
    platform::Status Close();
    bool failed() const { return failed_; }

private:
    void Fail(const std::string& reason);
    void RemovePartial();

    std::FILE* file_ = nullptr;
    std::string path_;
    bool regular_ = false;
    bool failed_ = false;
    std::string reason_;
};

}  // namespace codec
