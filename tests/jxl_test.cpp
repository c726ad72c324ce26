// JPEG XL: lossless files back exactly and lossy ones within the coder's loss; the codestream's
// orientation applied and an EXIF box's not; 16-bit channels rounded, grey and alpha; the profile
// and EXIF carried; oversized, damaged and cut files refused. Inputs come from our writer or from
// libjxl's encoder as other programs use it.

#include <jxl/encode.h>

#include <string>
#include <vector>

#include "format_inputs.h"
#include "formats/jxl_load.h"
#include "formats/jxl_save.h"
#include "test_support.h"

namespace {

using namespace format_inputs;
using testing_support::ChannelDifference;
using testing_support::ReadBytes;
using testing_support::TempDir;

// A lossless file from libjxl's encoder: `channels` 8 or 16-bit samples a pixel (1 grey, 3 RGB,
// 4 RGBA) in `samples`, the codestream's orientation field, and an "Exif" box when exif is given.
std::string EncoderJxl(int w, int h, int channels, int bits, const std::vector<std::uint16_t>& samples,
                       int orientation, const Bytes& exif) {
    JxlEncoder* enc = JxlEncoderCreate(nullptr);
    if (!exif.empty()) JxlEncoderUseBoxes(enc);
    JxlBasicInfo info;
    JxlEncoderInitBasicInfo(&info);
    info.xsize = std::uint32_t(w), info.ysize = std::uint32_t(h);
    info.bits_per_sample = std::uint32_t(bits);
    info.num_color_channels = channels < 3 ? 1 : 3;
    info.num_extra_channels = channels == 4 ? 1 : 0;
    info.alpha_bits = channels == 4 ? std::uint32_t(bits) : 0;
    info.uses_original_profile = JXL_TRUE;
    info.orientation = JxlOrientation(orientation);
    EXPECT_EQ(JxlEncoderSetBasicInfo(enc, &info), JXL_ENC_SUCCESS);
    JxlColorEncoding srgb;
    JxlColorEncodingSetToSRGB(&srgb, channels < 3);
    JxlEncoderSetColorEncoding(enc, &srgb);
    if (!exif.empty()) {
        Bytes box(4, 0);
        box.insert(box.end(), exif.begin(), exif.end());
        JxlEncoderAddBox(enc, "Exif", box.data(), box.size(), JXL_TRUE);  // Brotli: a "brob" box
        JxlEncoderCloseBoxes(enc);
    }
    JxlEncoderFrameSettings* settings = JxlEncoderFrameSettingsCreate(enc, nullptr);
    JxlEncoderSetFrameLossless(settings, JXL_TRUE);
    const JxlPixelFormat format{std::uint32_t(channels),
                                bits == 8 ? JXL_TYPE_UINT8 : JXL_TYPE_UINT16, JXL_NATIVE_ENDIAN, 0};
    std::vector<std::uint8_t> bytes8(samples.begin(), samples.end());
    const void* data = bits == 8 ? static_cast<const void*>(bytes8.data()) : samples.data();
    EXPECT_EQ(JxlEncoderAddImageFrame(settings, &format, data,
                                      samples.size() * (bits == 8 ? 1 : 2)),
              JXL_ENC_SUCCESS);
    JxlEncoderCloseInput(enc);
    std::string out(1 << 20, '\0');
    auto* next = reinterpret_cast<std::uint8_t*>(out.data());
    std::size_t avail = out.size();
    EXPECT_EQ(JxlEncoderProcessOutput(enc, &next, &avail), JXL_ENC_SUCCESS);
    out.resize(out.size() - avail);
    JxlEncoderDestroy(enc);
    return out;
}

// The RGB samples of a bitmap, 8 bits each.
std::vector<std::uint16_t> Samples(const platform::Bitmap& b) {
    std::vector<std::uint16_t> s;
    for (int y = 0; y < b.height(); ++y)
        for (int x = 0; x < b.width(); ++x)
            for (int shift : {16, 8, 0}) s.push_back(std::uint16_t(b.at(x, y) >> shift & 0xFF));
    return s;
}

platform::Picture Read(const std::string& file) {
    platform::Picture picture;
    const platform::Status s = formats::ReadJxl(file, picture);
    EXPECT_TRUE(s) << s.reason();
    return picture;
}

std::string Saved(const platform::Bitmap& b, int quality, bool lossless,
                  const platform::ImageMeta* meta = nullptr) {
    TempDir dir;
    const platform::Status s = formats::SaveJxl(b, b.width(), b.height(), dir.file("a.jxl"),
                                                {.quality = quality, .lossless = lossless}, meta);
    EXPECT_TRUE(s) << s.reason();
    return ReadBytes(dir.file("a.jxl"));
}

// ---- Our writer, read back ---------------------------------------------------------------------

struct RoundTrip {
    bool lossless;
    int w, h;
};
void PrintTo(const RoundTrip& c, std::ostream* os) {
    *os << (c.lossless ? "lossless " : "lossy ") << c.w << "x" << c.h;
}
class JxlRoundTrip : public testing::TestWithParam<RoundTrip> {};

// Lossless: every pixel back exactly, noise included. Lossy at quality 90 (distance 1.0): smooth
// content within a mean of 1.5 levels and every channel within 16. Same settings, same bytes.
TEST_P(JxlRoundTrip, LosslessIsExactLossyWithinTheCodersLoss) {
    const RoundTrip c = GetParam();
    const platform::Bitmap source = c.lossless ? testing_support::MakePattern(c.w, c.h, 7)
                                               : testing_support::MakeSmooth(c.w, c.h);
    const std::string file = Saved(source, 90, c.lossless);
    EXPECT_EQ(file, Saved(source, 90, c.lossless));
    EXPECT_TRUE(formats::IsJxl(file));
    const platform::Picture got = Read(file);
    ASSERT_EQ(got.pixels.width(), c.w);
    ASSERT_EQ(got.pixels.height(), c.h);
    EXPECT_FALSE(got.hasAlpha);
    EXPECT_EQ(got.pixels.at(0, 0) >> 24, 0xFFu);
    double mean = 0;
    const int worst = ChannelDifference(got.pixels, source, &mean);
    if (c.lossless) {
        EXPECT_EQ(worst, 0);
    } else {
        EXPECT_LE(worst, 16);
        EXPECT_LE(mean, 1.5);
    }
    EXPECT_EQ(got.meta, nullptr);
}

INSTANTIATE_TEST_SUITE_P(Kinds, JxlRoundTrip,
                         testing::Values(RoundTrip{true, 64, 48}, RoundTrip{true, 33, 17},
                                         RoundTrip{false, 64, 48}, RoundTrip{false, 33, 17}),
                         [](const auto& info) {
                             return std::string(info.param.lossless ? "Lossless" : "Lossy") +
                                    std::to_string(info.param.w) + "x" +
                                    std::to_string(info.param.h);
                         });

// The quality knob follows cjxl's mapping: 90 is libjxl's default distance 1.0.
TEST(JxlQuality, MapsToCjxlDistances) {
    EXPECT_FLOAT_EQ(formats::JxlDistanceFor(90), 1.0f);
    EXPECT_FLOAT_EQ(formats::JxlDistanceFor(100), 0.1f);
    EXPECT_FLOAT_EQ(formats::JxlDistanceFor(30), 6.4f);
    EXPECT_FLOAT_EQ(formats::JxlDistanceFor(0), formats::JxlDistanceFor(1));
    EXPECT_GT(formats::JxlDistanceFor(1), formats::JxlDistanceFor(29));
}

// The profile byte for byte and the EXIF with Orientation 1, from a picture whose EXIF said 6;
// lossy files with a profile are kept in the profile's space, so they read back in it.
TEST(JxlMetadata, ProfileAndExifAreCarried) {
    const platform::ImageMeta meta{RealProfile(), OrientationExif(6)};
    for (bool lossless : {true, false}) {
        const platform::Picture got = Read(Saved(Blocks(), 90, lossless, &meta));
        ASSERT_NE(got.meta, nullptr);
        EXPECT_EQ(got.meta->icc, meta.icc);
        EXPECT_EQ(ExifOrientation(got.meta->exif), 1);
        double mean = 0;
        ChannelDifference(got.pixels, Blocks(), &mean);
        EXPECT_LE(mean, lossless ? 0.0 : 3.0);
    }
}

// ---- Orientation, depth, grey, alpha -----------------------------------------------------------

class JxlOrientation : public testing::TestWithParam<int> {};

// The codestream's orientation field turns the stored pixels upright; an EXIF box saying 6 beside
// it (Brotli-compressed here) is carried as stored and not applied again.
TEST_P(JxlOrientation, CodestreamOrientationIsAppliedExifIsNot) {
    const int o = GetParam();
    const platform::Bitmap upright = Blocks();
    const platform::Bitmap stored = Stored(upright, o);
    const platform::Picture got = Read(EncoderJxl(stored.width(), stored.height(), 3, 8,
                                                  Samples(stored), o, OrientationExif(6)));
    ASSERT_EQ(got.pixels.width(), 48);
    ASSERT_EQ(got.pixels.height(), 32);
    EXPECT_EQ(ChannelDifference(got.pixels, upright), 0);
    ASSERT_NE(got.meta, nullptr);
    EXPECT_EQ(ExifOrientation(got.meta->exif), 6);
    EXPECT_TRUE(got.meta->icc.empty()) << "sRGB needs no profile";
}

INSTANTIATE_TEST_SUITE_P(All, JxlOrientation, testing::Range(1, 9));

// 16-bit samples round to nearest, not to their high byte: 255 gives 1, 0x8080 gives 128, 65535
// gives 255. Alpha comes with them.
TEST(JxlDepth, SixteenBitsRoundToNearestWithAlpha) {
    const std::vector<std::uint16_t> samples = {255, 0x8080, 65535, 0x8080,  // RGBA
                                                0,   65535,  0,     65535};
    const platform::Picture got = Read(EncoderJxl(2, 1, 4, 16, samples, 1, {}));
    ASSERT_EQ(got.pixels.width(), 2);
    EXPECT_TRUE(got.hasAlpha);
    EXPECT_EQ(got.pixels.at(0, 0), 0x80018000u | 0xFFu);  // A 128, R 1, G 128, B 255
    EXPECT_EQ(got.pixels.at(1, 0), 0xFF00FF00u);
}

TEST(JxlDepth, GreyBecomesEqualChannels) {
    const std::vector<std::uint16_t> samples = {0, 77, 200, 255};
    const platform::Picture got = Read(EncoderJxl(4, 1, 1, 8, samples, 1, {}));
    ASSERT_EQ(got.pixels.width(), 4);
    for (int x = 0; x < 4; ++x) EXPECT_EQ(got.pixels.at(x, 0), platform::Rgb(samples[x], samples[x], samples[x]));
    EXPECT_FALSE(got.hasAlpha);
}

// ---- Hostile files -----------------------------------------------------------------------------

// A bare codestream of nothing but its size header claiming 65535 x 65535 and default metadata:
// refused from the header, before anything of that size is allocated.
TEST(JxlHostile, HugeClaimedSizeIsRefusedBeforeDecoding) {
    // Bits, least significant first: small = 0; height selector 2 (1 + 18 bits) with 65534;
    // ratio 1 (square); all_default metadata = 1.
    std::uint64_t bits = 0;
    int at = 0;
    const auto put = [&](std::uint64_t v, int n) { bits |= v << at, at += n; };
    put(0, 1), put(2, 2), put(65534, 18), put(1, 3), put(1, 1);
    std::string file = "\xFF\x0A";
    for (int i = 0; i < 8; ++i) file += char(bits >> (8 * i) & 0xFF);
    platform::Picture picture;
    const platform::Status s = formats::ReadJxl(file, picture);
    ASSERT_FALSE(s);
    EXPECT_NE(s.reason().find("65535 × 65535"), std::string::npos) << s.reason();
    EXPECT_TRUE(picture.pixels.empty());
}

TEST(JxlHostile, CutAndDamagedFilesAreRefused) {
    const std::string file = Saved(testing_support::MakePattern(64, 48, 3), 90, true);
    for (std::size_t size : {std::size_t{2}, std::size_t{12}, file.size() / 3, file.size() / 2,
                             file.size() - 1}) {
        platform::Picture picture;
        const platform::Status s = formats::ReadJxl(file.substr(0, size), picture);
        EXPECT_FALSE(s) << size << " of " << file.size() << " bytes";
        EXPECT_FALSE(s.reason().empty());
        EXPECT_TRUE(picture.pixels.empty());
    }
    EXPECT_FALSE(formats::IsJxl("\xFF\xD8\xFF"));
}

}  // namespace
