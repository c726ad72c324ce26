// The blend and the composition: worked values, properties of the whole table, and the
// composition's geometry (tile pitch, stretch identity, result size) on generated surfaces.

#include <gtest/gtest.h>

#include <algorithm>
#include <cfenv>
#include <cmath>
#include <cstdint>
#include <tuple>
#include <utility>
#include <vector>

#include "compose/blend.h"
#include "compose/compose_image.h"
#include "compose/pixel_buffer.h"
#include "compose/slots.h"
#include "platform/gdi.h"
#include "platform/parallel.h"
#include "test_support.h"

namespace {

using compose::BlendChannel;
using compose::GetBlendTable;
using platform::Rgb;

std::uint8_t Red(std::uint32_t p) { return std::uint8_t(p >> 16); }
std::uint8_t Green(std::uint32_t p) { return std::uint8_t(p >> 8); }
std::uint8_t Blue(std::uint32_t p) { return std::uint8_t(p); }

std::uint32_t Expected(std::uint32_t src, std::uint32_t flt) {
    const auto& table = GetBlendTable();
    return (src & 0xFF000000u) | (std::uint32_t(table[Red(flt)][Red(src)]) << 16) |
           (std::uint32_t(table[Green(flt)][Green(src)]) << 8) | table[Blue(flt)][Blue(src)];
}

struct Worked {
    int s, t, result;
};
void PrintTo(const Worked& c, std::ostream* os) {
    *os << "s=" << c.s << " t=" << c.t << " -> " << c.result;
}

class BlendWorkedValues : public ::testing::TestWithParam<Worked> {};

// The values where single precision, halves-to-even and the order of the divisions decide the byte.
TEST_P(BlendWorkedValues, MatchesTheRoundedFormula) {
    const Worked w = GetParam();
    EXPECT_EQ(BlendChannel(std::uint8_t(w.s), std::uint8_t(w.t)), w.result);
    EXPECT_EQ(GetBlendTable()[w.t][w.s], w.result);
}

INSTANTIATE_TEST_SUITE_P(Table, BlendWorkedValues,
                         ::testing::Values(Worked{0, 223, 127}, Worked{1, 223, 128},
                                           Worked{2, 223, 128}, Worked{31, 192, 34},
                                           Worked{95, 192, 98}, Worked{100, 223, 178},
                                           Worked{200, 100, 105}, Worked{128, 96, 64},
                                           Worked{50, 150, 39}));

// Properties of the whole table: 191 is neutral, 0 and 255 are black and white, and the result
// never falls as either input rises.
TEST(Blend, TableIsNeutralAtMidGreyExactAtTheEndsAndMonotonic) {
    const auto& table = GetBlendTable();
    for (int s = 0; s < 256; ++s) {
        ASSERT_EQ(table[191][s], s);
        ASSERT_EQ(table[0][s], 0);
        ASSERT_EQ(table[255][s], 255);
        for (int t = 1; t < 256; ++t) {
            ASSERT_LE(table[t - 1][s], table[t][s]) << t << "," << s;
            if (s > 0) {
                ASSERT_LE(table[t][s - 1], table[t][s]) << t << "," << s;
            }
        }
    }
}

// A differently rounded evaluation must differ somewhere: this guards against the build
// silently fusing or widening the arithmetic (the table would then equal one of these).
TEST(Blend, DiffersFromFusedAndFromRoundHalfAway) {
    int fusedDiffs = 0, awayDiffs = 0;
    for (int t = 0; t < 256; ++t) {
        const bool dark = t < 191;
        const float p = dark ? float(191 - t) / 191.0f : float(t - 191) / 64.0f;
        const float weight = p * 100.0f;
        const float keep = 100.0f - weight;
        const double target = dark ? 0.0 : 255.0;
        for (int s = 0; s < 256; ++s) {
            const double fused = std::fma(s / 100.0, double(keep), (target / 100.0) * weight);
            const double plain = (s / 100.0) * double(keep) + (target / 100.0) * double(weight);
            fusedDiffs += GetBlendTable()[t][s] != std::uint8_t(std::nearbyint(fused));
            awayDiffs += GetBlendTable()[t][s] != std::uint8_t(std::round(plain));
        }
    }
    EXPECT_GT(fusedDiffs, 0);
    EXPECT_GT(awayDiffs, 0);
}

TEST(Blend, IndependentOfTheCallersRoundingMode) {
    const int saved = std::fegetround();
    for (int mode : {FE_UPWARD, FE_DOWNWARD, FE_TOWARDZERO}) {
        std::fesetround(mode);
        EXPECT_EQ(BlendChannel(2, 223), 128);
        EXPECT_EQ(BlendChannel(0, 223), 127);
        EXPECT_EQ(BlendChannel(200, 100), 105);
    }
    std::fesetround(saved);
    EXPECT_EQ(std::fegetround(), saved);
}

TEST(Blend, ChannelsAreIndependentAndTheFourthByteStays) {
    std::uint32_t src[2] = {0x12C88040u, 0xAB000000u};
    const std::uint32_t flt[2] = {Rgb(191, 0, 255), Rgb(10, 20, 30)};
    compose::BlendPixels(src, flt, 2);
    EXPECT_EQ(Red(src[0]), 0xC8);  // red 191: unchanged
    EXPECT_EQ(Green(src[0]), 0);   // green 0: black
    EXPECT_EQ(Blue(src[0]), 255);  // blue 255: white
    EXPECT_EQ(src[0] >> 24, 0x12u);
    EXPECT_EQ(src[1] >> 24, 0xABu);
}

// Every (s, t) pair in every channel, through the row kernel (whatever instructions it uses)
// in place and into another array; the odd count leaves a tail that the wide steps do not take.
TEST(Blend, RowKernelMatchesTheTableOnAllPairs) {
    constexpr std::size_t kCount = 65536 + 5;
    std::vector<std::uint32_t> src(kCount), flt(kCount), out(kCount);
    for (std::size_t k = 0; k < kCount; ++k) {
        const std::uint32_t s = k & 0xFF, t = (k >> 8) & 0xFF;
        // Each channel gets every pair once, shifted differently so that the three differ.
        src[k] = std::uint32_t(k * 0x9E3779B1u) & 0xFF000000u;
        flt[k] = 0xFF000000u;
        for (std::uint32_t c = 0; c < 3; ++c) {
            src[k] |= ((s + 85 * c) & 0xFF) << (8 * c);
            flt[k] |= ((t + 85 * c) & 0xFF) << (8 * c);
        }
    }
    compose::BlendPixels(out.data(), src.data(), flt.data(), kCount);
    for (std::size_t k = 0; k < kCount; ++k) {
        ASSERT_EQ(out[k], Expected(src[k], flt[k])) << k;
    }
    compose::BlendPixels(src.data(), flt.data(), kCount);
    EXPECT_EQ(src, out);
}

// --- Composition -------------------------------------------------------------------------

void Fill(platform::Surface& s, int w, int h, std::uint32_t seed) {
    ASSERT_TRUE(s.Resize(w, h, false));
    testing_support::FillPattern(*s.hDC(), seed);
}

struct Geometry {
    const char* name;
    int w0, h0, w1, h1;
    std::int16_t tile;
};
void PrintTo(const Geometry& c, std::ostream* os) { *os << c.name; }

class Compose : public ::testing::TestWithParam<std::tuple<Geometry, int>> {
protected:
    void SetUp() override { platform::SetWorkerCount(std::get<1>(GetParam())); }
    void TearDown() override { platform::SetWorkerCount(0); }
};

// Every result pixel is the blend of the source pixel with the texture pixel that tiling (the
// texture repeated with its own size as the pitch, cut at the edges) or stretching (nearest
// neighbour at pixel centres) puts over it; the result takes the source's size.
TEST_P(Compose, EveryPixelBlendsWithTheTexturePixelOverIt) {
    const Geometry g = std::get<0>(GetParam());
    compose::SlotSet slots;
    Fill(slots.picLoad[2], 3, 3, 0);  // a stale result of another size
    Fill(slots.picLoad[0], g.w0, g.h0, 1);
    Fill(slots.picLoad[1], g.w1, g.h1, 2);
    ASSERT_TRUE(basCommon::ComposeImage(slots, g.tile));
    const platform::Bitmap& out = slots.picLoad[2].Image();
    const platform::Bitmap& src = slots.picLoad[0].Image();
    const platform::Bitmap& tex = slots.picLoad[1].Image();
    ASSERT_EQ(out.width(), g.w0);
    ASSERT_EQ(out.height(), g.h0);
    for (int y = 0; y < g.h0; ++y) {
        for (int x = 0; x < g.w0; ++x) {
            const int tx = g.tile == basCommon::kTrue ? x % g.w1 : (2 * x + 1) * g.w1 / (2 * g.w0);
            const int ty = g.tile == basCommon::kTrue ? y % g.h1 : (2 * y + 1) * g.h1 / (2 * g.h0);
            ASSERT_EQ(out.at(x, y), Expected(src.at(x, y), tex.at(tx, ty))) << x << "," << y;
        }
    }
    if (g.tile != basCommon::kTrue) return;
    // picTemp keeps the tiling, equal to (c + 1) x (r + 1) block transfers of the whole texture
    // at the pitch, column by column.
    platform::Bitmap tiles;
    ASSERT_TRUE(tiles.Allocate(g.w0, g.h0));
    const int columns = (g.w0 + g.w1 - 1) / g.w1, rows = (g.h0 + g.h1 - 1) / g.h1;
    for (int i = 0; i < std::max(columns, 1); ++i) {
        for (int j = 0; j < std::max(rows, 1); ++j) {
            platform::BitBlt(&tiles, i * g.w1, j * g.h1, g.w0, g.h0, &tex, 0, 0,
                             platform::SRCCOPY);
        }
    }
    const platform::Bitmap& temp = slots.picTemp.Image();
    ASSERT_EQ(temp.width(), g.w0);
    for (int y = 0; y < g.h0; ++y) {
        for (int x = 0; x < g.w0; ++x) ASSERT_EQ(temp.at(x, y), tiles.at(x, y)) << x << "," << y;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Geometries, Compose,
    ::testing::Combine(
        ::testing::Values(Geometry{"TileCutAtBothEdges", 165, 100, 50, 40, basCommon::kTrue},
                          Geometry{"TileWholeTiles", 150, 80, 50, 40, basCommon::kTrue},
                          Geometry{"TileLargerTexture", 30, 20, 64, 48, basCommon::kTrue},
                          Geometry{"TileOnePixel", 37, 23, 1, 1, basCommon::kTrue},
                          Geometry{"TileOneColumn", 37, 23, 1, 9, basCommon::kTrue},
                          Geometry{"TileOneRow", 37, 23, 9, 1, basCommon::kTrue},
                          Geometry{"TileWiderOnly", 37, 23, 50, 4, basCommon::kTrue},
                          Geometry{"StretchUp", 7, 5, 3, 2, basCommon::kFalse},
                          Geometry{"StretchDown", 61, 43, 200, 90, basCommon::kFalse},
                          Geometry{"StretchSameSize", 77, 33, 77, 33, basCommon::kFalse}),
        ::testing::Values(1, 2, 3)),
    [](const auto& info) {
        return std::string(std::get<0>(info.param).name) + "_workers" +
               std::to_string(std::get<1>(info.param));
    });

// Surfaces readied for the source's size (while it loads) are the ones the composition then
// uses, without new storage; readied for a wrong size, the composition still comes out right.
TEST(Compose, UsesTheSurfacesPreparedForItsSize) {
    for (const auto& [w, h] : {std::pair{40, 30}, std::pair{7, 9}}) {
        compose::SlotSet slots;
        basCommon::PrepareCompose(slots, w, h);
        const std::uint32_t* temp = slots.picTemp.Image().data();
        const std::uint32_t* result = slots.picLoad[2].Image().data();
        Fill(slots.picLoad[0], 40, 30, 21);
        Fill(slots.picLoad[1], 6, 4, 22);
        ASSERT_TRUE(basCommon::ComposeImage(slots, basCommon::kTrue));
        EXPECT_EQ(slots.picTemp.Image().data() == temp, w == 40);
        EXPECT_EQ(slots.picLoad[2].Image().data() == result, w == 40);
        const platform::Bitmap& out = slots.picLoad[2].Image();
        for (int y = 0; y < 30; ++y) {
            for (int x = 0; x < 40; ++x) {
                ASSERT_EQ(out.at(x, y), Expected(slots.picLoad[0].Image().at(x, y),
                                                 slots.picLoad[1].Image().at(x % 6, y % 4)));
            }
        }
    }
}

TEST(ComposeFailure, EmptyFloatingImageLeavesTheResultAlone) {
    compose::SlotSet slots;
    Fill(slots.picLoad[0], 20, 20, 12);
    Fill(slots.picLoad[1], 5, 5, 13);
    ASSERT_TRUE(basCommon::ComposeImage(slots, basCommon::kTrue));
    const std::uint32_t before = slots.picLoad[2].Image().at(3, 3);
    ASSERT_TRUE(slots.picLoad[1].Resize(0, 5));
    Fill(slots.picLoad[0], 40, 40, 14);
    for (std::int16_t tile : {basCommon::kTrue, basCommon::kFalse}) {
        const platform::Status s = basCommon::ComposeImage(slots, tile);
        EXPECT_FALSE(s);
        EXPECT_FALSE(s.reason().empty());
        EXPECT_EQ(slots.picLoad[2].Width(), 20);
        EXPECT_EQ(slots.picLoad[2].Image().at(3, 3), before);
    }
}

TEST(ComposeFailure, SizesBeyondThePixelLimitAreRefusedBeforeAllocating) {
    EXPECT_TRUE(platform::CheckBitmapSize(23170, 23170));  // 536,848,900 pixels
    EXPECT_FALSE(platform::CheckBitmapSize(23171, 23171));
    EXPECT_FALSE(platform::CheckBitmapSize(536870912, 1));
    EXPECT_FALSE(platform::CheckBitmapSize(-1, 5));
    platform::Surface s(10, 10, true);
    const platform::Status st = s.Resize(65536, 65536);
    EXPECT_FALSE(st);
    EXPECT_NE(st.reason().find("65536"), std::string::npos);
    EXPECT_EQ(s.Width(), 10);
}

// --- Pixel buffers ----------------------------------------------------------------------

TEST(PixelBuffers, ThreeByTwoIsBottomUpWithAZeroExtraElement) {
    platform::Surface s(3, 2, false);
    platform::Bitmap& b = *s.hDC();
    for (int y = 0; y < 2; ++y) {
        for (int x = 0; x < 3; ++x) b.at(x, y) = Rgb(std::uint8_t(10 * y + x), 0, 0);
    }
    basBitmapOperation::PixelBuffer buf;
    ASSERT_EQ(basBitmapOperation::ReadPixels(s, buf), 6);
    ASSERT_EQ(buf.size(), 7u);
    EXPECT_EQ(Red(buf[0]), 10);  // bottom-left
    EXPECT_EQ(Red(buf[2]), 12);  // bottom-right
    EXPECT_EQ(Red(buf[3]), 0);   // top-left
    EXPECT_EQ(Red(buf[5]), 2);   // top-right
    EXPECT_EQ(buf[6], 0u);
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(buf.data());
    EXPECT_EQ(bytes[4 * 2 + 2], 12);  // red is byte 2
    EXPECT_EQ(bytes[4 * 2 + 1], 0);
    EXPECT_EQ(basBitmapOperation::WritePixels(s, buf), 0);  // 0, not the pixel count
}

TEST(PixelBuffers, EmptyBitmapReadsAsOneZeroElementAndAShortBufferIsNotWritten) {
    platform::Surface empty(0, 0, false);
    basBitmapOperation::PixelBuffer buf;
    EXPECT_EQ(basBitmapOperation::ReadPixels(empty, buf), -1);
    ASSERT_EQ(buf.size(), 1u);
    EXPECT_EQ(buf[0], 0u);
    platform::Surface s(4, 4, false);
    ASSERT_TRUE(buf.Reallocate(15));
    EXPECT_EQ(basBitmapOperation::WritePixels(s, buf), -1);
    EXPECT_EQ(s.Image().at(0, 0), platform::kWhite);
}

}  // namespace
