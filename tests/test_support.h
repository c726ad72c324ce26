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

}  // namespace testing_support
