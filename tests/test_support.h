#pragma once
// Shared helpers for the tests: a private temporary folder and generated pixel patterns.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

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

// Sets an environment variable (nullopt: removes it) for one scope; child processes inherit it.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::optional<std::string>& value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    const char* name_;
    std::optional<std::string> old_;
};

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

// v as `bytes` bytes, least significant first, as BMP and GIF files keep numbers.
std::string LittleEndian(std::uint64_t v, int bytes);

// The offset of the first chunk of the given type (its length field), or npos.
std::size_t PngChunk(const std::string& png, const char* type);
// Makes the CRC of the chunk at offset chunk match its contents again.
void FixPngCrc(std::string& png, std::size_t chunk);
// The PNG with the header's width and height replaced and its CRC still valid.
std::string WithPngSize(std::string png, std::uint32_t width, std::uint32_t height);

// ---- Child processes, shared by the robustness tests (malformed_test, robustness_test) ----
// Keep additions for child processes inside this block.

#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kUnderAsan = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
inline constexpr bool kUnderAsan = true;
#else
inline constexpr bool kUnderAsan = false;
#endif
#else
inline constexpr bool kUnderAsan = false;
#endif

struct ChildLimits {
    unsigned seconds = 10;           // alarm in the child; killed a few seconds after
    std::uint64_t addressSpace = 0;  // RLIMIT_AS in bytes; 0: none
};

struct ChildRun {
    bool hung = false;  // outlived its time
    int signal = 0;     // the signal that ended it, else 0
    int exitCode = -1;  // its exit status when it exited
    std::string out;    // what it wrote to the descriptor it was given
};

// Forks, sets the limits and exits the child with body(fd), where fd is a pipe to out.
ChildRun RunInChild(const std::function<int(int fd)>& body, const ChildLimits& limits);
// Runs the program argv[0] in such a child: stderr becomes out, stdout goes nowhere.
ChildRun RunProgram(const std::vector<std::string>& argv, const ChildLimits& limits);
// Whether glimbra-cli refused cleanly: exit status 1 and exactly one line of its own on stderr,
// "glimbra-cli: FILE: reason" (other programs' warnings may come before it).
::testing::AssertionResult CliRefused(const ChildRun& run, const std::string& file);

// Runs body(fd) as RunInChild does, as an ordinary user: where the tests run as root, the child
// first drops to the user "nobody" (no supplementary groups), since root may write where others
// may not. Its exit code is kNoOrdinaryUser when it could not; folders the child must reach need
// permissions for others.
inline constexpr int kNoOrdinaryUser = 77;
ChildRun RunAsOrdinaryUser(const std::function<int(int fd)>& body, const ChildLimits& limits = {});
// Writes text to a child's descriptor (the parent finds it in ChildRun::out).
void Tell(int fd, const std::string& text);

// ---- End of the child-process block ----

}  // namespace testing_support
