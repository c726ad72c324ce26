// Long steps under a platform::Progress, as the window's worker runs them: every decoder, the
// composition and every writer count their work to the end, and when the stop was asked for
// they return Status::Cancelled() having replaced nothing.

#include <gtest/gtest.h>
#include <zlib.h>

#include <QGuiApplication>
#include <QImage>
#include <atomic>
#include <filesystem>
#include <set>
#include <thread>

#include "formats/png_load.h"
#include "compose/compose_image.h"
#include "imagefiles/load_image.h"
#include "imagefiles/save_result.h"
#include "platform/load_picture.h"
#include "platform/parallel.h"
#include "platform/progress.h"
#include "test_support.h"

namespace {

using namespace testing_support;

QImage View(const platform::Bitmap& b) {
    return QImage(reinterpret_cast<const uchar*>(b.row(0)), b.width(), b.height(),
                  QImage::Format_ARGB32);
}

std::set<std::string> Names(const std::string& folder) {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        names.insert(entry.path().filename().string());
    return names;
}

// The bytes of a chunk: length, type, data, CRC.
std::string PngChunkBytes(const char* type, const std::string& data) {
    std::string out = {char(data.size() >> 24), char(data.size() >> 16), char(data.size() >> 8),
                       char(data.size())};
    out += std::string(type, 4) + data;
    const uLong crc = crc32(crc32(0, reinterpret_cast<const Bytef*>(type), 4),
                            reinterpret_cast<const Bytef*>(data.data()), uInt(data.size()));
    out += {char(crc >> 24), char(crc >> 16), char(crc >> 8), char(crc)};
    return out;
}

// An Adam7-interlaced 8-bit RGB PNG of the picture (Qt writes none): each pass's pixels, rows
// unfiltered.
std::string InterlacedPng(const platform::Bitmap& b) {
    static constexpr int kStart[7][2] = {{0, 0}, {4, 0}, {0, 4}, {2, 0}, {0, 2}, {1, 0}, {0, 1}};
    static constexpr int kStep[7][2] = {{8, 8}, {8, 8}, {4, 8}, {4, 4}, {2, 4}, {2, 2}, {1, 2}};
    std::string raw;
    for (int p = 0; p < 7; ++p) {
        for (int y = kStart[p][1]; y < b.height(); y += kStep[p][1]) {
            if (kStart[p][0] >= b.width()) break;
            raw += '\0';
            for (int x = kStart[p][0]; x < b.width(); x += kStep[p][0]) {
                const std::uint32_t v = b.row(y)[x];
                raw += {char(v >> 16), char(v >> 8), char(v)};
            }
        }
    }
    uLongf size = compressBound(uLong(raw.size()));
    std::string z(size, '\0');
    compress(reinterpret_cast<Bytef*>(z.data()), &size, reinterpret_cast<const Bytef*>(raw.data()),
             uLong(raw.size()));
    z.resize(size);
    const std::string ihdr = {char(b.width() >> 24), char(b.width() >> 16), char(b.width() >> 8),
                              char(b.width()),       char(b.height() >> 24), char(b.height() >> 16),
                              char(b.height() >> 8), char(b.height()),       8, 2, 0, 0, 1};
    return std::string("\x89PNG\r\n\x1a\n", 8) + PngChunkBytes("IHDR", ihdr) +
           PngChunkBytes("IDAT", z) + PngChunkBytes("IEND", "");
}

class ProgressTest : public ::testing::Test {
  protected:
    void SetUp() override {
        static int argc = 1;
        static char name[] = "test_progress", *argv[] = {name, nullptr};
        [[maybe_unused]] static auto* app = new QGuiApplication(argc, argv);
        // Two threads even on one core, so that the banded writers split.
        platform::SetWorkerCount(2);
    }
    void TearDown() override { platform::SetWorkerCount(0); }

    TempDir dir;
    platform::Progress progress;
};

// --- Loading --------------------------------------------------------------------------------------

// A file of each reader's kind: written by Qt, or (interlaced PNG) by hand.
struct LoadCase {
    const char* file;
    const char* qtFormat;  // nullptr: the interlaced PNG
};
void PrintTo(const LoadCase& c, std::ostream* os) { *os << c.file; }
class LoadProgressTest : public ProgressTest, public ::testing::WithParamInterface<LoadCase> {};

// Every reader counts its rows to 100 %; asked to stop, the load fails as cancelled, and the
// slot keeps its picture, path and metadata.
TEST_P(LoadProgressTest, CountsToTheEndAndStopsWithNothingReplaced) {
    const LoadCase& c = GetParam();
    const std::string path = dir.file(c.file);
    const platform::Bitmap pattern = MakePattern(203, 150, 3);
    if (c.qtFormat) {
        ASSERT_TRUE(View(pattern).convertToFormat(QImage::Format_RGB32).save(
            QString::fromStdString(path), c.qtFormat));
    } else {
        WriteBytes(path, InterlacedPng(pattern));
    }
    const bool png = std::string(c.file).ends_with(".png");

    compose::SlotSet slots;
    {
        platform::ScopedProgress scoped(&progress);
        ASSERT_EQ(basCommon::LoadImageSlot(slots, path, 0), 0);
    }
    EXPECT_GE(progress.Steps(), 1);
    EXPECT_EQ(progress.Fraction(), 1.0);
    if (!c.qtFormat || std::string(c.qtFormat) == "BMP") {
        // Lossless: the same pixels as the pattern (the interlaced rows land in their places).
        EXPECT_EQ(View(slots.picLoad[0].Image()), View(pattern));
    }

    const QImage before = View(slots.picLoad[0].Image()).copy();
    const platform::ImageMetaPtr meta = slots.picLoad[0].Meta();
    platform::Progress stopped;
    stopped.Cancel();
    platform::ScopedProgress scoped(&stopped);
    std::string reason;
    EXPECT_EQ(basCommon::LoadImageSlot(slots, dir.file("other") + (png ? ".png" : ".bmp"), 0,
                                       &reason),
              1);  // missing: no harm either way
    EXPECT_EQ(basCommon::LoadImageSlot(slots, path, 1, &reason), 1) << "loaded although stopped";
    EXPECT_EQ(slots.FLD[1], "");
    platform::Picture picture;
    std::shared_ptr<const platform::Picture> shared;
    const platform::Status status =
        png ? formats::ReadPng(path, picture) : platform::LoadPicture(path, shared);
    EXPECT_TRUE(status.cancelled()) << status.reason();
    EXPECT_EQ(View(slots.picLoad[0].Image()), before);
    EXPECT_EQ(slots.picLoad[0].Meta(), meta);
    EXPECT_EQ(slots.FLD[0], path);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Readers, LoadProgressTest, ::testing::ValuesIn(std::vector<LoadCase>{
    {"photo.jpg", "JPEG"},
    {"picture.png", "PNG"},
    {"interlaced.png", nullptr},
    {"picture.bmp", "BMP"},
    {"icon.ico", "ICO"}}));
// clang-format on

// --- Composing --------------------------------------------------------------------------------------

// Under a Progress the composition writes into new storage: the result is byte for byte the
// one composed in place, the rows are counted, and a stop keeps the previous result.
TEST_F(ProgressTest, CompositionCountsItsRowsAndAStopKeepsThePreviousResult) {
    for (const std::int16_t tile : {basCommon::kTrue, basCommon::kFalse}) {
        compose::SlotSet direct, counted;
        for (compose::SlotSet* slots : {&direct, &counted}) {
            ASSERT_TRUE(slots->picLoad[0].SetPicture(std::make_shared<platform::Picture>(
                platform::Picture{MakePattern(300, 700, 1), false, nullptr})));
            ASSERT_TRUE(slots->picLoad[1].SetPicture(std::make_shared<platform::Picture>(
                platform::Picture{MakePattern(37, 23, 2), false, nullptr})));
        }
        ASSERT_TRUE(basCommon::ComposeImage(direct, tile));
        platform::Progress p;
        {
            platform::ScopedProgress scoped(&p);
            ASSERT_TRUE(basCommon::ComposeImage(counted, tile));
        }
        EXPECT_EQ(p.Fraction(), 1.0);
        EXPECT_EQ(View(counted.picLoad[2].Image()), View(direct.picLoad[2].Image()));

        const QImage before = View(counted.picLoad[2].Image()).copy();
        platform::Progress stopped;
        stopped.Cancel();
        platform::ScopedProgress scoped(&stopped);
        EXPECT_TRUE(basCommon::ComposeImage(counted, tile == basCommon::kTrue ? basCommon::kFalse
                                                                                : basCommon::kTrue)
                        .cancelled());
        EXPECT_EQ(View(counted.picLoad[2].Image()), before);
    }
}

// --- Writing ---------------------------------------------------------------------------------------

struct SaveCase {
    const char* ext;
    std::int16_t rate;  // JPEG quality or PNG setting
    std::int16_t progressive;
};
void PrintTo(const SaveCase& c, std::ostream* os) {
    *os << c.ext << " rate " << c.rate << (c.progressive ? " progressive" : "");
}
class SaveProgressTest : public ProgressTest, public ::testing::WithParamInterface<SaveCase> {
  protected:
    platform::Status Write(platform::Surface& slot, const std::string& path) {
        imagefiles::OutputSettings settings;
        settings.jpegRate = settings.pngRate = GetParam().rate;
        settings.jpegPrgrs = GetParam().progressive;
        return imagefiles::WriteResultFile(slot, path, GetParam().ext, settings);
    }
};

// Every writer counts to 100 %; asked to stop before it starts, or while it runs (a second
// thread stops it once a third is done), it leaves the old file and no temporary.
TEST_P(SaveProgressTest, CountsToTheEndAndAStopLeavesTheOldFile) {
    platform::Surface slot(0, 0, false);
    ASSERT_TRUE(slot.Resize(1200, 900, false));
    FillPattern(*slot.hDC(), 5);
    const std::string path = dir.file(std::string("result") + GetParam().ext);
    {
        platform::ScopedProgress scoped(&progress);
        ASSERT_TRUE(Write(slot, path));
    }
    EXPECT_EQ(progress.Fraction(), 1.0);

    WriteBytes(path, "the old file");
    for (const bool midway : {false, true}) {
        platform::Progress stopped;
        if (!midway) stopped.Cancel();
        std::atomic<bool> over = false;
        std::thread stopper([&] {
            while (midway && !over && stopped.Fraction() < 0.3) std::this_thread::yield();
            stopped.Cancel();
        });
        platform::Status status;
        {
            platform::ScopedProgress scoped(&stopped);
            status = Write(slot, path);
        }
        over = true;
        stopper.join();
        // A write that had finished before the stop came is a complete file; either way nothing
        // else is left in the folder.
        if (status.cancelled()) {
            EXPECT_EQ(ReadBytes(path), "the old file") << midway;
        } else {
            EXPECT_TRUE(midway && status) << status.reason();
        }
        EXPECT_EQ(Names(dir.path()), std::set<std::string>{path.substr(dir.path().size() + 1)});
        WriteBytes(path, "the old file");
    }
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Writers, SaveProgressTest, ::testing::ValuesIn(std::vector<SaveCase>{
    {".JPG", 75, 0},
    {".JPG", 75, -1},
    {".PNG", 0, 0},
    {".PNG", 1, 0},
    {".PNG", 2, 0},
    {".BMP", 0, 0}}));
// clang-format on

}  // namespace
