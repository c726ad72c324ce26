#pragma once
// Shared helpers for the tests: a private temporary folder and generated pixel patterns.

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/bitmap.h"

namespace testing_support {

// A fresh folder below the system's temporary folder, removed with everything in it at the end.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(std::string_view name) const { return path_ + "/" + std::string(name); }

private:
    std::string path_;
};

// A deterministic, non-repeating pattern of opaque pixels (a small hash of x, y and seed).
void FillPattern(platform::Bitmap& bitmap, std::uint32_t seed);
std::uint32_t PatternPixel(int x, int y, std::uint32_t seed);

void WriteBytes(const std::string& path, std::string_view bytes);
std::string ReadBytes(const std::string& path);
bool FileExists(const std::string& path);

// ---- Helpers shared by the codec, load and save tests ----
// A w x h bitmap of FillPattern's pixels.
platform::Bitmap MakePattern(int w, int h, std::uint32_t seed);
// Smooth content that JPEG keeps well; the fourth byte is 0x5A, which no writer may take as data.
platform::Bitmap MakeSmooth(int w, int h);
// The largest difference of a blue, green or red byte between a and b over b's area (which must
// lie within a's); mean, when given, receives the mean difference. The fourth byte is ignored.
int ChannelDifference(const platform::Bitmap& a, const platform::Bitmap& b, double* mean = nullptr);

// The offset of the first chunk of the given type (its length field), or npos.
std::size_t PngChunk(const std::string& png, const char* type);
// Makes the CRC of the chunk at offset chunk match its contents again.
void FixPngCrc(std::string& png, std::size_t chunk);
// The PNG with the header's width and height replaced and its CRC still valid.
std::string WithPngSize(std::string png, std::uint32_t width, std::uint32_t height);

}  // namespace testing_support
