// The command-line tool as a user runs it: a child process, its exit status, its stderr and
// the files it leaves.

#include <gtest/gtest.h>

#include <filesystem>
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

}  // namespace
