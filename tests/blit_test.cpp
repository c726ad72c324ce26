// Block transfers, surfaces and the row splitter of the platform layer.

#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "platform/gdi.h"
#include "platform/parallel.h"
#include "platform/pixel_memory.h"
#include "platform/surface.h"
#include "test_support.h"

namespace {

using platform::Bitmap;
using platform::Rgb;

Bitmap Make(int w, int h, std::uint32_t seed) {
    Bitmap b;
    EXPECT_TRUE(b.Allocate(w, h));
    testing_support::FillPattern(b, seed);
    return b;
}

struct BlitCase {
    const char* name;
    int x, y, w, h, sx, sy;
};
void PrintTo(const BlitCase& c, std::ostream* os) { *os << c.name; }

class BitBltClipping : public ::testing::TestWithParam<BlitCase> {};

// Every destination pixel is either copied from exactly the source pixel at the same offset or
// left alone; nothing outside either bitmap is touched.
TEST_P(BitBltClipping, CopiesTheOverlapOnly) {
    const BlitCase c = GetParam();
    Bitmap src = Make(20, 15, 1);
    Bitmap dst = Make(25, 18, 2);
    Bitmap before = Make(25, 18, 2);
    ASSERT_NE(platform::BitBlt(&dst, c.x, c.y, c.w, c.h, &src, c.sx, c.sy, platform::SRCCOPY), 0);
    for (int y = 0; y < 18; ++y) {
        for (int x = 0; x < 25; ++x) {
            const int i = x - c.x, j = y - c.y;
            const int sx = c.sx + i, sy = c.sy + j;
            const bool inside = i >= 0 && j >= 0 && i < c.w && j < c.h && sx >= 0 && sy >= 0 &&
                                sx < 20 && sy < 15;
            ASSERT_EQ(dst.at(x, y), inside ? src.at(sx, sy) : before.at(x, y)) << x << "," << y;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BitBltClipping,
    ::testing::Values(BlitCase{"Whole", 0, 0, 20, 15, 0, 0}, BlitCase{"Offset", 7, 5, 20, 15, 0, 0},
                      BlitCase{"NegativeDest", -4, -3, 20, 15, 0, 0},
                      BlitCase{"NegativeSource", 2, 2, 10, 10, -5, -2},
                      BlitCase{"HugeSize", 3, 1, 2000000000, 2000000000, 0, 0},
                      BlitCase{"PastTheEdge", 30, 2, 5, 5, 0, 0},
                      BlitCase{"SourceOffset", 0, 0, 8, 8, 15, 10}),
    [](const auto& info) { return info.param.name; });

TEST(StretchBlt, ClipsAtTheDestinationEdge) {
    Bitmap src = Make(3, 3, 4);
    Bitmap dst = Make(5, 5, 5);
    Bitmap before = Make(5, 5, 5);
    ASSERT_NE(platform::StretchBlt(&dst, -3, 2, 9, 6, &src, 0, 0, 3, 3, platform::SRCCOPY), 0);
    for (int y = 0; y < 5; ++y) {
        for (int x = 0; x < 5; ++x) {
            if (y < 2) {
                ASSERT_EQ(dst.at(x, y), before.at(x, y));
            } else {
                ASSERT_EQ(dst.at(x, y), src.at((x + 3) / 3, (y - 2) / 2)) << x << "," << y;
            }
        }
    }
}

TEST(StretchBlt, SourceRectanglePastTheSourceLeavesThosePixels) {
    Bitmap src = Make(2, 2, 6);
    Bitmap dst = Make(4, 1, 7);
    Bitmap before = Make(4, 1, 7);
    ASSERT_NE(platform::StretchBlt(&dst, 0, 0, 4, 1, &src, 0, 0, 4, 1, platform::SRCCOPY), 0);
    EXPECT_EQ(dst.at(0, 0), src.at(0, 0));
    EXPECT_EQ(dst.at(1, 0), src.at(1, 0));
    EXPECT_EQ(dst.at(2, 0), before.at(2, 0));
    EXPECT_EQ(dst.at(3, 0), before.at(3, 0));
}

TEST(Surface, ResizeKeepsTheSharedPartAndFillsTheRestWithBackground) {
    platform::Surface s(3, 3, false);
    s.hDC()->at(1, 1) = Rgb(1, 2, 3);
    ASSERT_TRUE(s.Resize(5, 2));
    EXPECT_EQ(s.Image().at(1, 1), Rgb(1, 2, 3));
    EXPECT_EQ(s.Image().at(4, 0), platform::kWhite);
}

TEST(Surface, PictureSizesAnAutoSizingSurfaceAndDrawsOverTheBackground) {
    auto pic = std::make_shared<platform::Picture>();
    ASSERT_TRUE(pic->pixels.Allocate(2, 1));
    pic->pixels.at(0, 0) = 0x00112233u;  // fully transparent
    pic->pixels.at(1, 0) = 0x80000000u;  // half-transparent black
    pic->hasAlpha = true;
    platform::Surface s(10, 10, true);
    s.SetBackColor(Rgb(200, 100, 0));
    ASSERT_TRUE(s.SetPicture(pic));
    EXPECT_EQ(s.Width(), 2);
    EXPECT_EQ(s.Height(), 1);
    EXPECT_EQ(s.Image().at(0, 0), Rgb(200, 100, 0));
    // (128 * 0 + 127 * c + 127) / 255
    EXPECT_EQ(s.Image().at(1, 0), Rgb(100, 50, 0));

    platform::Surface fixed(4, 4, false);
    ASSERT_TRUE(fixed.SetPicture(pic));
    EXPECT_EQ(fixed.Width(), 4);
}

// A slot shows an opaque picture without a second copy; drawing into it must never reach the
// picture, and clearing brings the picture back.
TEST(Surface, SharedPictureIsCopiedBeforeAnythingDrawsIntoIt) {
    auto pic = std::make_shared<platform::Picture>();
    pic->pixels = Make(4, 3, 9);
    platform::Surface s(10, 10, true);
    ASSERT_TRUE(s.SetPicture(pic));
    EXPECT_EQ(s.Image().data(), pic->pixels.data());
    const std::uint32_t original = pic->pixels.at(1, 1);
    s.hDC()->at(1, 1) = Rgb(1, 2, 3);
    EXPECT_EQ(pic->pixels.at(1, 1), original);
    EXPECT_EQ(s.Image().at(1, 1), Rgb(1, 2, 3));
    s.Cls();
    EXPECT_EQ(s.Image().at(1, 1), original);
}

TEST(BlendRowOver, RoundsToNearestAndIsExactAtTheEnds) {
    for (std::uint32_t a : {0u, 1u, 127u, 128u, 254u, 255u}) {
        for (std::uint32_t c : {0u, 1u, 100u, 255u}) {
            std::uint32_t dst = Rgb(255, 255, 255);
            const std::uint32_t src = (a << 24) | (c << 16) | (c << 8) | c;
            platform::BlendRowOver(&dst, &src, 1);
            const double exact = (double(a) * c + double(255 - a) * 255) / 255.0;
            EXPECT_NEAR(double(dst & 0xFF), exact, 0.5) << a << "," << c;
            EXPECT_EQ(dst >> 24, 0xFFu);
        }
    }
}

TEST(ParallelFor, CoversEveryIndexOnceWhateverTheWorkerCount) {
    for (int workers : {1, 2, 7}) {
        platform::SetWorkerCount(workers);
        for (int count : {0, 1, 5, 64, 1000}) {
            std::vector<std::atomic<int>> hits(static_cast<std::size_t>(count));
            platform::ParallelFor(count, [&](int a, int b) {
                for (int i = a; i < b; ++i) hits[std::size_t(i)]++;
            }, 1);
            for (auto& h : hits) ASSERT_EQ(h.load(), 1);
        }
    }
    platform::SetWorkerCount(0);
}

}  // namespace

namespace {

// Large pixel arrays start on a 2 MiB boundary (so the kernel can back them with huge pages)
// whether or not huge pages are asked for; every byte of every size is usable.
TEST(PixelMemory, LargeArraysAreHugePageAlignedAndEverySizeIsUsable) {
    for (bool huge : {true, false}) {
        platform::SetHugePagesEnabled(huge);
        for (std::size_t count : {std::size_t{1}, std::size_t{1000},
                                  platform::kHugePageThreshold / 4,
                                  platform::kHugePageThreshold / 4 * 3 + 7}) {
            platform::PixelMemory p = platform::AllocatePixels(count);
            ASSERT_TRUE(p);
            const auto address = reinterpret_cast<std::uintptr_t>(p.get());
            EXPECT_EQ(address % 64, 0u);
            if (huge && count * 4 >= platform::kHugePageThreshold) {
                EXPECT_EQ(address % (std::uintptr_t{2} << 20), 0u) << count;
            }
            p[0] = 1;
            p[count - 1] = 2;
            EXPECT_EQ(p[0] + p[count - 1], count == 1 ? 4u : 3u);
        }
    }
    platform::SetHugePagesEnabled(true);
}

}  // namespace
