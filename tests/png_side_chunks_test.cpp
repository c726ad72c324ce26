// PNG side chunks never refuse a picture: text chunks by the thousand, text or a profile that
// inflates to megabytes or a gigabyte, a damaged profile, a side chunk with a bad CRC. The picture
// loads with its pixels; an oversized or damaged profile is dropped. Only the picture's own data
// refuses a file, with a reason that says so.

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "compose/slots.h"
#include "formats/png_load.h"
#include "imagefiles/load_image.h"
#include "test_support.h"

namespace {

using testing_support::TempDir;

constexpr int kW = 48, kH = 32;

void PutBe32(std::string& out, std::uint32_t v) {
    for (int s = 24; s >= 0; s -= 8) out += char((v >> s) & 0xFF);
}

std::string Chunk(const std::string& type, const std::string& data) {
    std::string c;
    PutBe32(c, std::uint32_t(data.size()));
    c += type + data;
    const std::string crcOver = type + data;
    PutBe32(c, std::uint32_t(
                   crc32(0, reinterpret_cast<const Bytef*>(crcOver.data()), uInt(crcOver.size()))));
    return c;
}

std::string Compress(const std::string& s, int level = 9) {
    uLongf size = compressBound(uLong(s.size()));
    std::string out(size, '\0');
    compress2(reinterpret_cast<Bytef*>(out.data()), &size,
              reinterpret_cast<const Bytef*>(s.data()), uLong(s.size()), level);
    out.resize(size);
    return out;
}

// A zlib stream of `mib` MiB of zeros, made without deflating them all: one MiB deflated with a
// full flush is a run of blocks that stands alone, so the stream is the header, that run `mib`
// times, the final empty block and the checksum of the whole (combined, not computed over it).
std::string ZerosStream(std::uint32_t mib) {
    const std::string zeros(1u << 20, '\0');
    z_stream z{};
    deflateInit(&z, 9);
    std::string buffer(1u << 16, '\0');
    const auto run = [&](int flush, const std::string* in) {
        std::string out;
        z.next_in = in ? reinterpret_cast<Bytef*>(const_cast<char*>(in->data())) : nullptr;
        z.avail_in = in ? uInt(in->size()) : 0;
        do {
            z.next_out = reinterpret_cast<Bytef*>(buffer.data());
            z.avail_out = uInt(buffer.size());
            deflate(&z, flush);
            out.append(buffer.data(), buffer.size() - z.avail_out);
        } while (z.avail_out == 0 || z.avail_in > 0);
        return out;
    };
    std::string stream = run(Z_FULL_FLUSH, &zeros);  // header + the first MiB
    const std::string block = run(Z_FULL_FLUSH, &zeros);
    std::string tail = run(Z_FINISH, nullptr);
    deflateEnd(&z);
    for (std::uint32_t i = 1; i < mib; ++i) stream += block;
    tail.resize(tail.size() - 4);  // the checksum of two MiB
    const uLong one = adler32(adler32(0, nullptr, 0), reinterpret_cast<const Bytef*>(zeros.data()),
                              uInt(zeros.size()));
    uLong all = one;
    for (std::uint32_t i = 1; i < mib; ++i) all = adler32_combine(all, one, z_off_t(zeros.size()));
    stream += tail;
    PutBe32(stream, std::uint32_t(all));
    return stream;
}

// A 48 x 32 RGB picture; `side` gives the chunks between the header and the image data.
std::string Png(const std::string& side, const std::string& afterData = "") {
    std::string ihdr;
    PutBe32(ihdr, kW);
    PutBe32(ihdr, kH);
    ihdr += std::string("\x08\x02\x00\x00\x00", 5);
    std::string raw;
    for (int y = 0; y < kH; ++y) {
        raw += '\0';
        for (int x = 0; x < kW; ++x) raw += {char(x * 5), char(y * 7), char(x ^ y)};
    }
    return std::string("\x89PNG\r\n\x1a\n", 8) + Chunk("IHDR", ihdr) + side +
           Chunk("IDAT", Compress(raw)) + afterData + Chunk("IEND", "");
}

std::uint32_t Expected(int x, int y) {
    return 0xFF000000u | std::uint32_t(std::uint8_t(x * 5)) << 16 |
           std::uint32_t(std::uint8_t(y * 7)) << 8 | std::uint8_t(x ^ y);
}

// A profile-shaped body: 128 bytes of header with the size and "acsp", padded.
std::string SmallProfile() {
    std::string p(200, '\0');
    p[0] = 0, p[1] = 0, p[2] = 0, p[3] = char(200);
    p.replace(36, 4, "acsp");
    return p;
}

struct SideCase {
    const char* name;
    std::function<std::string()> make;
    bool profileKept = false;
};
void PrintTo(const SideCase& c, std::ostream* os) { *os << c.name; }

std::vector<SideCase> SideCases() {
    return {
        {"TwoThousandTextChunks",
         [] {
             std::string side;
             for (int i = 0; i < 2000; ++i) side += Chunk("tEXt", std::string("Comment\0note ", 13) + std::to_string(i));
             return Png(side);
         }},
        {"XmpOf20MiBInflated",
         [] {
             const std::string xmp = "<x:xmpmeta>" + std::string(20u << 20, ' ') + "</x:xmpmeta>";
             return Png(Chunk("iTXt", std::string("XML:com.adobe.xmp\0\x01\0\0\0", 22) +
                                          Compress(xmp, 1)));
         }},
        {"ZtxtOf1GiBInflated",
         [] { return Png(Chunk("zTXt", std::string("Comment\0\0", 9) + ZerosStream(1024))); }},
        {"IccpOf1GiBInflated",
         [] { return Png(Chunk("iCCP", std::string("ICC Profile\0\0", 13) + ZerosStream(1024))); }},
        {"DamagedIccp",
         [] { return Png(Chunk("iCCP", std::string("ICC Profile\0\0", 13) + "not zlib at all")); }},
        {"TextWithBadCrc",
         [] {
             std::string text = Chunk("tEXt", std::string("Comment\0x", 9));
             text[text.size() - 1] ^= 1;
             return Png(text);
         }},
        {"ThreeThousandPrivateChunks",
         [] {
             std::string side;
             for (int i = 0; i < 3000; ++i) side += Chunk("prVt", std::to_string(i));
             return Png(side, Chunk("tEXt", std::string("After\0data", 10)));
         }},
        {"IccpAfterItsPlace",  // a profile belongs before the image data: dropped, not refused
         [] {
             return Png("", Chunk("iCCP", std::string("ICC Profile\0\0", 13) +
                                              Compress(SmallProfile())));
         }},
        {"ExifWithoutTiffHeader", [] { return Png(Chunk("eXIf", "no tiff header here")); }},
        {"SmallProfileKept",
         [] {
             return Png(Chunk("iCCP", std::string("ICC Profile\0\0", 13) + Compress(SmallProfile())));
         },
         true},
    };
}

class PngSideChunks : public ::testing::TestWithParam<SideCase> {};

TEST_P(PngSideChunks, NeverRefuseThePicture) {
    const SideCase& c = GetParam();
    TempDir dir;
    const std::string path = dir.file("side.png");
    testing_support::WriteBytes(path, c.make());

    platform::Picture picture;
    const platform::Status s = formats::ReadPng(path, picture);
    ASSERT_TRUE(s) << s.reason();
    ASSERT_EQ(picture.pixels.width(), kW);
    ASSERT_EQ(picture.pixels.height(), kH);
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x) ASSERT_EQ(picture.pixels.at(x, y), Expected(x, y)) << x << "," << y;
    const bool hasProfile = picture.meta && !picture.meta->icc.empty();
    EXPECT_EQ(hasProfile, c.profileKept);

    compose::SlotSet slots;
    std::string reason;
    EXPECT_EQ(basCommon::LoadImageSlot(slots, path, 0, &reason), 0) << reason;
}

INSTANTIATE_TEST_SUITE_P(Files, PngSideChunks, ::testing::ValuesIn(SideCases()),
                         [](const auto& info) { return std::string(info.param.name); });

// The stream maker itself: a few MiB inflate to exactly that many zeros, checksum included.
TEST(PngSideChunks, ZerosStreamInflatesToItsSize) {
    const std::string stream = ZerosStream(3);
    std::string out((3u << 20) + 1, '\1');
    uLongf size = uLongf(out.size());
    ASSERT_EQ(uncompress(reinterpret_cast<Bytef*>(out.data()), &size,
                         reinterpret_cast<const Bytef*>(stream.data()), uLong(stream.size())),
              Z_OK);
    EXPECT_EQ(size, 3u << 20);
    EXPECT_EQ(out.find_first_not_of('\0'), std::size_t(3u << 20));
}

// The header comes first: a side chunk before it is not skipped (that would make a later chunk
// the header, found by fuzzing), the file is refused as before.
TEST(PngSideChunks, AChunkBeforeTheHeaderStillRefuses) {
    TempDir dir;
    const std::string png = Png("");
    const std::string early = png.substr(0, 8) + Chunk("tEXt", std::string("Comment\0x", 9)) +
                              png.substr(8);
    testing_support::WriteBytes(dir.file("early.png"), early);
    platform::Picture picture;
    EXPECT_FALSE(formats::ReadPng(dir.file("early.png"), picture));
}

// The picture's own data is still judged: a damaged image-data chunk refuses the file.
TEST(PngSideChunks, DamagedImageDataStillRefuses) {
    TempDir dir;
    std::string png = Png(Chunk("tEXt", std::string("Comment\0x", 9)));
    const std::size_t idat = testing_support::PngChunk(png, "IDAT");
    png[idat + 12] ^= 0x55;  // inside the zlib stream, CRC now wrong too
    testing_support::WriteBytes(dir.file("bad.png"), png);
    platform::Picture picture;
    const platform::Status s = formats::ReadPng(dir.file("bad.png"), picture);
    EXPECT_FALSE(s);
    EXPECT_NE(s.reason().find("PNG"), std::string::npos) << s.reason();
}

}  // namespace
