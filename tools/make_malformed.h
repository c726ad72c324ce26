#pragma once
// Image files made to order: small valid files of every format we read, and damaged variants of
// them (cut short, bits flipped, absurd sizes, broken structure). The malformed-file tests and the
// fuzzers' seed corpora are made from these, so neither depends on files from elsewhere.

#include <cstdint>
#include <string>
#include <vector>

namespace malformed {

enum class Format { Png, Bmp, Gif, Ico, Jpeg };
const char* Extension(Format f);  // ".png", ".bmp", ...
const char* Label(Format f);      // "PNG", "BMP", ...
inline constexpr Format kFormats[] = {Format::Png, Format::Bmp, Format::Gif, Format::Ico,
                                      Format::Jpeg};

struct Sample {
    std::string name;  // short, unique within a list, usable in a file name (no extension)
    std::string bytes;
    // Declares a size within the pixel limit but of hundreds of MiB: loading it needs that much
    // memory, which builds without a memory cap (the sanitizers') had better not spend.
    bool heavy = false;
};

// Valid images of a few pixels, in the variants a format has (colour types, depths, progressive,
// entry kinds). scratch is a writable folder for the writers that only write to files.
std::vector<Sample> ValidSamples(Format f, const std::string& scratch);

// Damaged variants of one valid file of format f: cut at many offsets and bit-flipped (seeded, so
// every run makes the same files).
std::vector<Sample> Damaged(Format f, const Sample& valid, std::uint32_t seed);

// Files whose structure lies about itself: zero, negative or enormous sizes, offsets past the end,
// endless block chains. Each is a complete, checksummed file apart from its one lie.
std::vector<Sample> Hostile(Format f, const std::string& scratch);

// Chunk checksum of the PNG format (CRC-32, ISO 3309), for building chunks.
std::uint32_t Crc32(const std::string& bytes);
// A PNG chunk: length, type, data, CRC.
std::string PngChunk(const std::string& type, const std::string& data);

}  // namespace malformed
