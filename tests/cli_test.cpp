// The command-line tool as a user runs it: a child process, its exit status, its stderr and
// the files it leaves.

#include <gtest/gtest.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "codec/codec.h"
#include "compose/compose_image.h"
#include "imagefiles/load_image.h"
#include "test_support.h"

extern char** environ;

namespace {

using testing_support::FileExists;
using testing_support::TempDir;

struct CliRun {
    int status = -1;
    std::string err;
    std::string out;
};

CliRun RunCli(const std::vector<std::string>& args, const TempDir& dir) {
    const std::string errPath = dir.file(".stderr");
    const std::string outPath = dir.file(".stdout");
    std::vector<std::string> all{GLIMBRA_CLI_PATH};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = 0;
    CliRun run;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0) {
        int st = 0;
        waitpid(pid, &st, 0);
        run.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    }
    posix_spawn_file_actions_destroy(&actions);
    run.err = testing_support::ReadBytes(errPath);
    run.out = testing_support::ReadBytes(outPath);
    std::filesystem::remove(errPath);
    std::filesystem::remove(outPath);
    return run;
}

// A BMP file of the given size filled with a pattern; returns its path.
std::string MakeBmp(const TempDir& dir, const std::string& name, int w, int h, std::uint32_t seed) {
    platform::Bitmap b;
    EXPECT_TRUE(b.Allocate(w, h));
    testing_support::FillPattern(b, seed);
    const std::string path = dir.file(name);
    EXPECT_TRUE(codec::SavePicture(b, path));
    return path;
}

std::string MakePng(const TempDir& dir, const std::string& name, int w, int h, std::uint32_t seed) {
    platform::Bitmap b;
    EXPECT_TRUE(b.Allocate(w, h));
    testing_support::FillPattern(b, seed);
    const std::string path = dir.file(name);
    EXPECT_EQ(codec::DCSavetoPNG(&b, w, h, path, 1), 0);
    return path;
}

// The result that the window would show for the same inputs.
compose::SlotSet ComposeInProcess(const std::string& source, const std::string& floating,
                                  std::int16_t tile) {
    compose::SlotSet slots;
    EXPECT_EQ(basCommon::LoadImageSlot(slots, source, 0), 0);
    EXPECT_EQ(basCommon::LoadImageSlot(slots, floating, 1), 0);
    EXPECT_TRUE(basCommon::ComposeImage(slots, tile));
    return slots;
}

void ExpectSameImage(const std::string& file, const platform::Bitmap& expected) {
    compose::SlotSet slots;
    std::string reason;
    ASSERT_EQ(basCommon::LoadImageSlot(slots, file, 0, &reason), 0) << reason;
    const platform::Bitmap& got = slots.picLoad[0].Image();
    ASSERT_EQ(got.width(), expected.width());
    ASSERT_EQ(got.height(), expected.height());
    for (int y = 0; y < got.height(); ++y) {
        for (int x = 0; x < got.width(); ++x) {
            ASSERT_EQ(got.at(x, y) & 0xFFFFFF, expected.at(x, y) & 0xFFFFFF) << x << "," << y;
        }
    }
}

std::vector<std::string> FilesIn(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(folder)) {
        names.push_back(e.path().filename().string());
    }
    return names;
}

TEST(Cli, HelpVersionAndUsageErrors) {
    TempDir dir;
    EXPECT_EQ(RunCli({"--help"}, dir).status, 0);
    EXPECT_EQ(RunCli({"--version"}, dir).out.rfind("glimbra-cli ", 0), 0u);
    const std::string a = MakeBmp(dir, "a.bmp", 4, 4, 1);
    for (const auto& args : std::vector<std::vector<std::string>>{
             {},
             {"--bogus", a, a, dir.file("o.png")},
             {a, a},
             {"--jpeg-rate", "0", a, a, dir.file("o.jpg")},
             {"--jpeg-rate", "abc", a, a, dir.file("o.jpg")},
             {"--png-rate", "3", a, a, dir.file("o.png")},
             {a, a, dir.file("o.gif")},
             {"--batch", a, dir.path()}}) {
        const CliRun r = RunCli(args, dir);
        EXPECT_EQ(r.status, 2) << r.err;
        EXPECT_FALSE(r.err.empty());
    }
    EXPECT_FALSE(FileExists(dir.file("o.png")));
}

class CliCompose : public ::testing::TestWithParam<std::string> {};

// The tool writes exactly the window's result, in each lossless format, tiled and stretched.
TEST_P(CliCompose, WritesTheSameResultAsTheWindowProcedures) {
    TempDir dir;
    const std::string src = MakeBmp(dir, "元の 画像.bmp", 61, 43, 2);
    const std::string tex = MakePng(dir, "tex.png", 16, 9, 3);
    for (std::int16_t tile : {basCommon::kTrue, basCommon::kFalse}) {
        const std::string out = dir.file("出力 結果" + GetParam());
        const CliRun r = RunCli({tile == basCommon::kTrue ? "--tile" : "--stretch", src, tex, out}, dir);
        ASSERT_EQ(r.status, 0) << r.err;
        ExpectSameImage(out, ComposeInProcess(src, tex, tile).picLoad[2].Image());
    }
}

INSTANTIATE_TEST_SUITE_P(Formats, CliCompose, ::testing::Values(".bmp", ".png", ".PNG"),
                         [](const auto& info) {
                             return info.param == ".PNG" ? std::string("UpperPng")
                                                         : info.param.substr(1);
                         });

TEST(Cli, JpegOutputIsWrittenWithTheGivenRate) {
    TempDir dir;
    const std::string src = MakeBmp(dir, "s.bmp", 64, 64, 4);
    const std::string tex = MakeBmp(dir, "t.bmp", 8, 8, 5);
    ASSERT_EQ(RunCli({"--jpeg-rate", "10", src, tex, dir.file("low.jpg")}, dir).status, 0);
    ASSERT_EQ(RunCli({"--jpeg-rate", "95", "--progressive", src, tex, dir.file("high.jpeg")}, dir)
                  .status,
              0);
    const auto low = std::filesystem::file_size(dir.file("low.jpg"));
    const auto high = std::filesystem::file_size(dir.file("high.jpeg"));
    EXPECT_LT(low, high);
    EXPECT_EQ(testing_support::ReadBytes(dir.file("low.jpg")).substr(0, 2), "\xFF\xD8");
}

// The same texture as BMP or PNG gives the same composition: the PNG slot takes the image's
// own size.
TEST(Cli, TextureGivesTheSameResultFromBmpAndPng) {
    TempDir dir;
    const std::string src = MakeBmp(dir, "s.bmp", 50, 30, 6);
    platform::Bitmap tex;
    ASSERT_TRUE(tex.Allocate(7, 5));
    testing_support::FillPattern(tex, 7);
    ASSERT_TRUE(codec::SavePicture(tex, dir.file("t.bmp")));
    ASSERT_EQ(codec::DCSavetoPNG(&tex, 7, 5, dir.file("t.png"), 0), 0);
    ASSERT_EQ(RunCli({"--tile", src, dir.file("t.bmp"), dir.file("a.bmp")}, dir).status, 0);
    ASSERT_EQ(RunCli({"--tile", src, dir.file("t.png"), dir.file("b.bmp")}, dir).status, 0);
    EXPECT_EQ(testing_support::ReadBytes(dir.file("a.bmp")),
              testing_support::ReadBytes(dir.file("b.bmp")));
}

TEST(Cli, BadInputNamesTheFileAndLeavesNoOutput) {
    TempDir dir;
    const std::string good = MakeBmp(dir, "good.bmp", 10, 10, 8);
    testing_support::WriteBytes(dir.file("broken.png"), "\x89PNG\r\n\x1a\nnot really");
    testing_support::WriteBytes(dir.file("empty.bmp"), "");
    std::filesystem::create_directory(dir.file("folder.bmp"));
    struct Case {
        std::string source, floating, output, named;
    };
    for (const Case& c : std::vector<Case>{
             {dir.file("missing.bmp"), good, dir.file("o1.png"), "missing.bmp"},
             {good, dir.file("broken.png"), dir.file("o2.png"), "broken.png"},
             {dir.file("empty.bmp"), good, dir.file("o3.png"), "empty.bmp"},
             {dir.file("folder.bmp"), good, dir.file("o4.png"), "folder.bmp"},
             {good, good, dir.file("no such folder/o5.png"), "o5.png"}}) {
        const CliRun r = RunCli({c.source, c.floating, c.output}, dir);
        EXPECT_EQ(r.status, 1) << c.named;
        EXPECT_NE(r.err.find(c.named), std::string::npos) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_FALSE(FileExists(c.output));
    }
    for (const auto& name : FilesIn(dir.path())) EXPECT_EQ(name.find(".tmp"), std::string::npos) << name;
}

TEST(Cli, BatchComposesEverySourceAndReportsFailures) {
    TempDir dir;
    std::filesystem::create_directory(dir.file("out"));
    const std::string tex = MakeBmp(dir, "tex.bmp", 5, 5, 10);
    std::vector<std::string> args{"--batch", "--tile", "--format", "png", tex, dir.file("out")};
    for (int i = 0; i < 5; ++i) args.push_back(MakeBmp(dir, "src" + std::to_string(i) + ".bmp", 20 + i, 10, 11 + i));
    args.push_back(dir.file("missing.bmp"));
    const CliRun r = RunCli(args, dir);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("missing.bmp"), std::string::npos);
    EXPECT_NE(r.err.find("[6/6]"), std::string::npos) << r.err;
    for (int i = 0; i < 5; ++i) {
        const std::string out = dir.file("out/src" + std::to_string(i) + ".png");
        ASSERT_TRUE(FileExists(out)) << out;
        ExpectSameImage(out, ComposeInProcess(dir.file("src" + std::to_string(i) + ".bmp"), tex,
                                              basCommon::kTrue)
                                 .picLoad[2]
                                 .Image());
    }
    EXPECT_FALSE(FileExists(dir.file("out/missing.png")));
}

}  // namespace
