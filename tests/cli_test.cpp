// The command-line tool as a user runs it: a child process, its exit status, its stderr and
// the files it leaves.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "codec/codec.h"
#include "compose/compose_image.h"
#include "imagefiles/load_image.h"
#include "test_support.h"

namespace {

using testing_support::ChildRun;
using testing_support::FileExists;
using testing_support::TempDir;

ChildRun RunCli(std::vector<std::string> args) {
    args.insert(args.begin(), GLIMBRA_CLI_PATH);
    return testing_support::RunProgram(args, {});
}

std::string MakeBmp(const TempDir& dir, const std::string& name, int w, int h, std::uint32_t seed) {
    const std::string path = dir.file(name);
    EXPECT_TRUE(codec::SavePicture(testing_support::MakePattern(w, h, seed), path));
    return path;
}

// The result that the window would show for the same inputs.
platform::Bitmap ComposeInProcess(const std::string& source, const std::string& floating,
                                  std::int16_t tile) {
    compose::SlotSet slots;
    EXPECT_EQ(basCommon::LoadImageSlot(slots, source, 0), 0);
    EXPECT_EQ(basCommon::LoadImageSlot(slots, floating, 1), 0);
    EXPECT_TRUE(basCommon::ComposeImage(slots, tile));
    platform::Bitmap result;
    result.ShareFrom(slots.picLoad[2].Image());  // outlives the slots
    return result;
}

void ExpectSameImage(const std::string& file, const platform::Bitmap& expected) {
    compose::SlotSet slots;
    std::string reason;
    ASSERT_EQ(basCommon::LoadImageSlot(slots, file, 0, &reason), 0) << reason;
    EXPECT_EQ(testing_support::ChannelDifference(slots.picLoad[0].Image(), expected), 0) << file;
    EXPECT_EQ(slots.picLoad[0].Width(), expected.width());
    EXPECT_EQ(slots.picLoad[0].Height(), expected.height());
}

TEST(Cli, HelpVersionAndUsageErrors) {
    TempDir dir;
    EXPECT_EQ(RunCli({"--help"}).exitCode, 0);
    EXPECT_EQ(RunCli({"--version"}).exitCode, 0);
    const std::string a = MakeBmp(dir, "a.bmp", 4, 4, 1);
    for (const auto& args : std::vector<std::vector<std::string>>{
             {},
             {"--bogus", a, a, dir.file("o.png")},
             {a, a},
             {"--jpeg-rate", "0", a, a, dir.file("o.jpg")},
             {"--png-rate", "3", a, a, dir.file("o.png")},
             {a, a, dir.file("o.gif")},
             {"--batch", a, dir.path()}}) {
        const ChildRun r = RunCli(args);
        EXPECT_EQ(r.exitCode, 2) << r.out;
        EXPECT_FALSE(r.out.empty());
    }
    EXPECT_FALSE(FileExists(dir.file("o.png")));
}

// The tool writes exactly the window's result, tiled and stretched, in each lossless format;
// a texture gives the same result from a BMP and from a PNG file (the PNG slot takes the image's
// own size).
TEST(Cli, WritesTheSameResultAsTheWindowProcedures) {
    TempDir dir;
    const std::string src = MakeBmp(dir, "元の 画像.bmp", 61, 43, 2);
    const std::string bmpTex = MakeBmp(dir, "tex.bmp", 16, 9, 3);
    const std::string pngTex = dir.file("tex.png");
    platform::Bitmap tex = testing_support::MakePattern(16, 9, 3);
    ASSERT_EQ(codec::DCSavetoPNG(&tex, 16, 9, pngTex, 1), 0);
    for (std::int16_t tile : {basCommon::kTrue, basCommon::kFalse}) {
        const platform::Bitmap expected = ComposeInProcess(src, bmpTex, tile);
        for (const std::string& out : {std::string("出力 結果.bmp"), std::string("r.PNG")}) {
            for (const std::string& texture : {bmpTex, pngTex}) {
                const ChildRun r = RunCli(
                    {tile == basCommon::kTrue ? "--tile" : "--stretch", src, texture, dir.file(out)});
                ASSERT_EQ(r.exitCode, 0) << r.out;
                ExpectSameImage(dir.file(out), expected);
            }
        }
    }
}

TEST(Cli, JpegOutputFollowsRateAndProgressive) {
    TempDir dir;
    const std::string src = MakeBmp(dir, "s.bmp", 64, 64, 4);
    const std::string tex = MakeBmp(dir, "t.bmp", 8, 8, 5);
    ASSERT_EQ(RunCli({"--jpeg-rate", "10", src, tex, dir.file("low.jpg")}).exitCode, 0);
    ASSERT_EQ(RunCli({"--jpeg-rate", "95", "--progressive", src, tex, dir.file("high.jpeg")}).exitCode,
              0);
    EXPECT_LT(std::filesystem::file_size(dir.file("low.jpg")),
              std::filesystem::file_size(dir.file("high.jpeg")));
    EXPECT_NE(testing_support::ReadBytes(dir.file("high.jpeg")).find("\xFF\xC2"), std::string::npos);
}

TEST(Cli, BadInputNamesTheFileAndLeavesNoOutput) {
    TempDir dir;
    const std::string good = MakeBmp(dir, "good.bmp", 10, 10, 8);
    testing_support::WriteBytes(dir.file("broken.png"), "\x89PNG\r\n\x1a\nnot really");
    testing_support::WriteBytes(dir.file("keep.png"), "old contents");
    struct Case {
        std::string source, floating, output, named;
    };
    for (const Case& c : std::vector<Case>{
             {dir.file("missing.bmp"), good, dir.file("keep.png"), dir.file("missing.bmp")},
             {good, dir.file("broken.png"), dir.file("o2.png"), dir.file("broken.png")},
             {good, good, dir.file("no such folder/o3.png"), dir.file("no such folder/o3.png")}}) {
        EXPECT_TRUE(testing_support::CliRefused(RunCli({c.source, c.floating, c.output}), c.named));
    }
    EXPECT_EQ(testing_support::ReadBytes(dir.file("keep.png")), "old contents");
    EXPECT_FALSE(FileExists(dir.file("o2.png")));
}

TEST(Cli, BatchComposesEverySourceAndReportsFailures) {
    TempDir dir;
    std::filesystem::create_directory(dir.file("out"));
    const std::string tex = MakeBmp(dir, "tex.bmp", 5, 5, 10);
    std::vector<std::string> args{"--batch", "--tile", "--format", "png", tex, dir.file("out")};
    for (int i = 0; i < 4; ++i) {
        args.push_back(MakeBmp(dir, "src" + std::to_string(i) + ".bmp", 20 + i, 10, 11 + i));
    }
    args.push_back(dir.file("missing.bmp"));
    const ChildRun r = RunCli(args);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.out.find("missing.bmp"), std::string::npos);
    EXPECT_NE(r.out.find("[5/5]"), std::string::npos) << r.out;
    for (int i = 0; i < 4; ++i) {
        const std::string name = "src" + std::to_string(i);
        ExpectSameImage(dir.file("out/" + name + ".png"),
                        ComposeInProcess(dir.file(name + ".bmp"), tex, basCommon::kTrue));
    }
    EXPECT_FALSE(FileExists(dir.file("out/missing.png")));
}

// ---------------------------------------------------------------------------------------------
// --batch into the sources' own folder: every output that would replace an input (a source under
// its own name or through a link, the texture listed as a source) is refused, each with its own
// line; the others are written, and no input changes.

TEST(CliBatch, RefusesOutputsThatWouldReplaceAnInput) {
    TempDir dir;
    std::filesystem::create_directory(dir.file("other"));
    const std::string tex = MakeBmp(dir, "tex.bmp", 5, 5, 20);
    const std::string own = MakeBmp(dir, "own.bmp", 9, 7, 21);
    const std::string linked = MakeBmp(dir, "other/linked.bmp", 9, 7, 22);
    std::filesystem::create_symlink(linked, dir.file("linked.bmp"));
    const std::string elsewhere = MakeBmp(dir, "other/elsewhere.bmp", 9, 7, 23);
    const struct {
        std::string source;
        bool written;
    } rows[] = {{own, false}, {tex, false}, {linked, false}, {elsewhere, true}};
    std::vector<std::string> args{"--batch", "--format", "bmp", tex, dir.path()};
    std::vector<std::string> before;
    for (const auto& row : rows) {
        args.push_back(row.source);
        before.push_back(testing_support::ReadBytes(row.source));
    }
    const ChildRun r = RunCli(args);
    EXPECT_EQ(r.exitCode, 1) << r.out;
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        const std::string refused = "glimbra-cli: " + rows[i].source + ": ";
        EXPECT_EQ(r.out.find(refused) == std::string::npos, rows[i].written) << r.out;
        EXPECT_EQ(testing_support::ReadBytes(rows[i].source), before[i]) << rows[i].source;
    }
    ExpectSameImage(dir.file("elsewhere.bmp"), ComposeInProcess(elsewhere, tex, basCommon::kFalse));
}

// An output folder that cannot be written is refused once, before any source is decoded.
TEST(CliBatch, RefusesAnOutputFolderThatCannotBeWritten) {
    if (::geteuid() == 0) GTEST_SKIP() << "root writes into read-only folders regardless";
    TempDir dir;
    std::filesystem::create_directory(dir.file("locked"));
    ASSERT_EQ(::chmod(dir.file("locked").c_str(), 0555), 0);
    const std::string tex = MakeBmp(dir, "tex.bmp", 5, 5, 24);
    const ChildRun r = RunCli({"--batch", tex, dir.file("locked"), tex, tex});
    EXPECT_TRUE(testing_support::CliRefused(r, dir.file("locked")));
    EXPECT_EQ(r.out.find("[1/2]"), std::string::npos) << r.out;
}

// An existing output that the user may not write is refused as read-only, in English, and kept
// (a child dropped to "nobody" where the tests run as root, who would replace it).
TEST(Cli, ReadOnlyOutputIsRefusedAsReadOnly) {
    TempDir dir;
    ASSERT_EQ(::chmod(dir.path().c_str(), 0777), 0);
    const std::string tex = MakeBmp(dir, "tex.bmp", 5, 5, 26), out = dir.file("out.png");
    testing_support::WriteBytes(out, "old contents");
    ASSERT_EQ(::chmod(out.c_str(), 0444), 0);
    const ChildRun r = testing_support::RunAsOrdinaryUser([&](int fd) {
        ::dup2(fd, 2);
        const std::string cli = GLIMBRA_CLI_PATH;
        std::vector<std::string> args = {cli, tex, tex, out};
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        return 127;
    });
    if (r.exitCode == testing_support::kNoOrdinaryUser) GTEST_SKIP() << "no user \"nobody\"";
    EXPECT_TRUE(testing_support::CliRefused(r, out));
    EXPECT_NE(r.out.find(": the file is read-only"), std::string::npos) << r.out;
    EXPECT_EQ(testing_support::ReadBytes(out), "old contents");
}

// ---------------------------------------------------------------------------------------------
// Every message is one line: control characters in a name are shown as escapes, never raw.

struct EscapeCase {
    const char* name;
    std::string raw;    // inside the missing source's name
    std::string shown;  // how the message shows it
};

void PrintTo(const EscapeCase& c, std::ostream* os) { *os << c.name; }

class CliEscapes : public ::testing::TestWithParam<EscapeCase> {};

TEST_P(CliEscapes, ControlCharactersInANameAreShownAsEscapes) {
    TempDir dir;
    const std::string tex = MakeBmp(dir, "tex.bmp", 5, 5, 25);
    const std::string source = dir.file("a" + GetParam().raw + "b.bmp");
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{source, tex, dir.file("out.png")},
          std::vector<std::string>{"--batch", tex, dir.path(), source}}) {
        const ChildRun r = RunCli(args);
        EXPECT_EQ(r.exitCode, 1);
        const std::string message =
            "glimbra-cli: " + dir.file("a" + GetParam().shown + "b.bmp") + ": ";
        ASSERT_EQ(r.out.rfind(message, 0), 0u) << r.out;
        const std::string first = r.out.substr(0, r.out.find('\n'));
        if (GetParam().raw != GetParam().shown) {
            EXPECT_EQ(first.find(GetParam().raw), std::string::npos) << first;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Names, CliEscapes,
    ::testing::Values(EscapeCase{"LineFeed", "\n", "\\n"}, EscapeCase{"CarriageReturn", "\r", "\\r"},
                      EscapeCase{"Escape", "\x1b[2J", "\\e[2J"}, EscapeCase{"Bell", "\a", "\\x07"},
                      EscapeCase{"Delete", "\x7f", "\\x7f"},
                      EscapeCase{"C1Csi", "\xc2\x9b", "\\u009b"},
                      EscapeCase{"NotUtf8", "\x9b\xff", "\\x9b\\xff"},
                      EscapeCase{"Japanese", "\xe7\x94\xbb", "\xe7\x94\xbb"}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------------------------
// Pictures that Qt's readers refuse although they are not damaged, and a damaged PNG inside an
// icon: the tool prints its own one line and nothing else, and says which it is.

std::string Le(std::uint64_t v, int bytes) { return testing_support::LittleEndian(v, bytes); }

// A GIF whose logical screen is w x h, holding one 1 x 1 image.
std::string GifOfScreen(int w, int h) {
    return "GIF89a" + Le(w, 2) + Le(h, 2) + std::string("\x80\0\0", 3) +
           std::string("\0\0\0\xff\xff\xff", 6) + "," + Le(0, 4) + Le(1, 2) + Le(1, 2) +
           std::string("\0\x02\x02\x44\x01\0;", 7);
}

// An 8-bit palette BMP of w x h, run-length coded: a few bytes whatever its size.
std::string PaletteBmp(int w, int h) {
    std::string palette;
    for (int i = 0; i < 256; ++i) palette += Le(std::uint32_t(i) * 0x010101u, 4);
    const std::string data = std::string("\0\1", 2);  // end of bitmap
    const std::size_t offset = 14 + 40 + palette.size();
    return "BM" + Le(offset + data.size(), 4) + Le(0, 4) + Le(offset, 4) + Le(40, 4) + Le(w, 4) +
           Le(h, 4) + Le(1, 2) + Le(8, 2) + Le(1, 4) + Le(data.size(), 4) + Le(2835, 4) +
           Le(2835, 4) + Le(256, 4) + Le(0, 4) + palette + data;
}

// An icon whose one entry is a PNG with a damaged data chunk (its CRC no longer matches).
std::string IconWithDamagedPng(const TempDir& dir) {
    platform::Bitmap image = testing_support::MakePattern(16, 16, 26);
    EXPECT_EQ(codec::DCSavetoPNG(&image, 16, 16, dir.file("inner.png"), 1), 0);
    std::string png = testing_support::ReadBytes(dir.file("inner.png"));
    png[testing_support::PngChunk(png, "IDAT") + 10] ^= 0x55;
    return Le(0, 2) + Le(1, 2) + Le(1, 2) + std::string("\x10\x10\0\0", 4) + Le(1, 2) +
           Le(32, 2) + Le(png.size(), 4) + Le(22, 4) + png;
}

struct ReaderCase {
    const char* name;
    std::function<std::string(const TempDir&)> file;
    const char* reasonPart;
};

void PrintTo(const ReaderCase& c, std::ostream* os) { *os << c.name; }

class CliReaderRefusals : public ::testing::TestWithParam<ReaderCase> {};

TEST_P(CliReaderRefusals, AreOneLineOfOurOwnWithTheRightReason) {
    TempDir dir;
    const std::string tex = MakeBmp(dir, "tex.bmp", 5, 5, 27);
    const std::string source = dir.file("source.img");
    testing_support::WriteBytes(source, GetParam().file(dir));
    const ChildRun r = RunCli({source, tex, dir.file("out.png")});
    EXPECT_EQ(r.exitCode, 1);
    ASSERT_EQ(r.out.rfind("glimbra-cli: " + source + ": ", 0), 0u) << r.out;
    EXPECT_EQ(r.out.find('\n'), r.out.size() - 1) << r.out;
    EXPECT_NE(r.out.find(GetParam().reasonPart), std::string::npos) << r.out;
}

INSTANTIATE_TEST_SUITE_P(
    Files, CliReaderRefusals,
    ::testing::Values(
        ReaderCase{"GifOver2To28Pixels", [](const TempDir&) { return GifOfScreen(20000, 20000); },
                   "too large"},
        ReaderCase{"PaletteBmpOver2To28Pixels",
                   [](const TempDir&) { return PaletteBmp(20000, 15000); }, "too large"},
        ReaderCase{"IconWithDamagedPng", IconWithDamagedPng, "damaged"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
