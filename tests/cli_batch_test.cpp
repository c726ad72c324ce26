// glimbra-cli batches fed from lists: --files-from, the updating progress line on a terminal, and
// a batch split over jobs by GNU parallel giving the very files of a plain batch.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "codec/codec.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using testing_support::ChildRun;
using testing_support::ReadBytes;
using testing_support::TempDir;
using testing_support::WriteBytes;

// Runs argv (a program found on PATH) with standard input from stdinFile ("" none) and stderr, or
// errFd when given, to the result.
ChildRun RunChild(std::vector<std::string> argv, const std::string& stdinFile = "",
                  int errFd = -1) {
    return testing_support::RunInChild(
        [&](int fd) {
            ::dup2(stdinFile.empty() ? ::open("/dev/null", O_RDONLY)
                                     : ::open(stdinFile.c_str(), O_RDONLY),
                   0);
            ::dup2(errFd >= 0 ? errFd : fd, 2);
            ::dup2(::open("/dev/null", O_WRONLY), 1);
            std::vector<char*> pointers;
            for (auto& a : argv) pointers.push_back(a.data());
            pointers.push_back(nullptr);
            ::execvp(pointers[0], pointers.data());
            return 127;
        },
        {60, 0});
}

// Sources s0..s3 (s3 with a Japanese name holding a blank), a texture and an output folder.
class CliListBatch : public ::testing::Test {
  protected:
    void SetUp() override {
        for (int i = 0; i < 4; ++i) {
            sources_.push_back(
                dir_.file(i == 3 ? "元の 画像.bmp" : "s" + std::to_string(i) + ".bmp"));
            ASSERT_TRUE(
                codec::SavePicture(testing_support::MakePattern(9 + i, 7, i), sources_.back()));
        }
        ASSERT_TRUE(codec::SavePicture(testing_support::MakePattern(3, 3, 9), tex()));
        fs::create_directory(out());
    }
    std::string tex() const { return dir_.file("tex.bmp"); }
    std::string out() const { return dir_.file("out"); }
    std::set<std::string> Outputs() const {
        std::set<std::string> names;
        for (const auto& e : fs::directory_iterator(out()))
            names.insert(e.path().filename().string());
        return names;
    }
    TempDir dir_;
    std::vector<std::string> sources_;
};

// A list ("{i}" stands for source i, "{missing}" for a file that is not there), whether it comes
// on standard input, sources on the command line, the exit status and the files written.
struct ListCase {
    std::string name, list;
    bool onStdin;
    std::vector<int> commandLine;
    int exitCode;
    std::set<std::string> written;
};
void PrintTo(const ListCase& c, std::ostream* os) { *os << c.name; }
class CliFilesFrom : public CliListBatch, public ::testing::WithParamInterface<ListCase> {};

TEST_P(CliFilesFrom, AddsEveryListedSourceToTheBatch) {
    const ListCase& c = GetParam();
    std::string list = c.list;
    for (std::size_t at; (at = list.find('{')) != list.npos;) {
        const std::size_t end = list.find('}', at);
        const std::string key = list.substr(at + 1, end - at - 1);
        list.replace(at, end - at + 1,
                     key == "missing" ? dir_.file("missing.bmp") : sources_[std::stoul(key)]);
    }
    WriteBytes(dir_.file("list.txt"), list);
    std::vector<std::string> argv{GLIMBRA_CLI_PATH,
                                  "--batch",
                                  "--files-from",
                                  c.onStdin ? "-" : dir_.file("list.txt"),
                                  tex(),
                                  out()};
    for (int i : c.commandLine) argv.push_back(sources_[std::size_t(i)]);
    const ChildRun r = RunChild(argv, c.onStdin ? dir_.file("list.txt") : "");
    EXPECT_EQ(r.exitCode, c.exitCode) << r.out;
    EXPECT_EQ(Outputs(), c.written) << r.out;
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Lists, CliFilesFrom, ::testing::ValuesIn(std::vector<ListCase>{
    {"BlankLinesAndWindowsLineEnds", "{0}\r\n\r\n\n{3}\n{1}", false, {}, 0,
     {"s0.png", "s1.png", "元の 画像.png"}},
    {"StandardInputAndArguments", "{2}\n", true, {0}, 0, {"s0.png", "s2.png"}},
    {"EmptyListIsAnEmptyShard", "\n\n", false, {}, 0, {}},
    {"MissingSourceFailsAlone", "{missing}\n{1}\n", true, {}, 1, {"s1.png"}}}),
    [](const auto& info) { return info.param.name; });
// clang-format on

TEST_F(CliListBatch, UnreadableListOrNoBatchIsRefused) {
    const ChildRun missing =
        RunChild({GLIMBRA_CLI_PATH, "--batch", "--files-from", dir_.file("no list"), tex(), out()});
    EXPECT_TRUE(testing_support::CliRefused(missing, dir_.file("no list")));
    const ChildRun single =
        RunChild({GLIMBRA_CLI_PATH, "--files-from", "-", sources_[0], tex(), dir_.file("o.png")});
    EXPECT_EQ(single.exitCode, 2) << single.out;
    EXPECT_TRUE(Outputs().empty());
}

// --format names the batch's outputs' extension, the writers' table included.
TEST_F(CliListBatch, FormatPicksTheOutputsExtension) {
    for (const char* format : {"webp", "TIFF"}) {
        fs::remove_all(out());
        fs::create_directory(out());
        const ChildRun r = RunChild({GLIMBRA_CLI_PATH, "--batch", "--format", format, tex(), out(),
                                     sources_[0], sources_[1]});
        EXPECT_EQ(r.exitCode, 0) << r.out;
        const std::string ext = format[0] == 'w' ? ".webp" : ".tiff";
        EXPECT_EQ(Outputs(), (std::set<std::string>{"s0" + ext, "s1" + ext})) << format;
    }
}

// On a terminal the count updates one line in place; only failures stay as lines of their own.
TEST_F(CliListBatch, TerminalShowsOneUpdatingLine) {
    int master = -1, slave = -1;
    ASSERT_EQ(::openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    const ChildRun r = RunChild({GLIMBRA_CLI_PATH, "--batch", "--jobs", "2", tex(), out(),
                                 sources_[0], dir_.file("missing.bmp"), sources_[1]},
                                "", slave);
    ::fcntl(master, F_SETFL, O_NONBLOCK);
    std::string shown;
    char buf[4096];
    for (ssize_t n; (n = ::read(master, buf, sizeof buf)) > 0;) shown.append(buf, std::size_t(n));
    ::close(slave);
    ::close(master);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(shown.find("\r\033[K[3/3] 100% "), std::string::npos) << shown;
    EXPECT_NE(shown.find("failed " + dir_.file("missing.bmp")), std::string::npos) << shown;
    EXPECT_EQ(shown.find("done"), std::string::npos) << shown;
    EXPECT_EQ(Outputs(), (std::set<std::string>{"s0.png", "s1.png"}));
}

// The README's way of spreading a batch over machines, run on this one: parallel hands each job
// two lines of the list on standard input. The files must be those of one plain batch.
TEST_F(CliListBatch, GnuParallelShardsGiveThePlainBatchsFiles) {
    if (std::system("parallel --version >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "GNU parallel is not installed (Debian package parallel)";
    std::string list;
    for (const std::string& s : sources_) list += s + "\n";
    WriteBytes(dir_.file("list.txt"), list);
    fs::create_directory(dir_.file("plain"));
    ASSERT_EQ(RunChild({GLIMBRA_CLI_PATH, "--batch", "--files-from", dir_.file("list.txt"), tex(),
                        dir_.file("plain")})
                  .exitCode,
              0);
    const ChildRun r = RunChild({"parallel", "--will-cite", "-j2", "--pipe", "-N", "2",
                                 GLIMBRA_CLI_PATH, "--batch", "--files-from", "-", tex(), out()},
                                dir_.file("list.txt"));
    ASSERT_EQ(r.exitCode, 0) << r.out;
    ASSERT_EQ(Outputs().size(), sources_.size());
    for (const std::string& name : Outputs())
        EXPECT_EQ(ReadBytes(out() + "/" + name), ReadBytes(dir_.file("plain/" + name))) << name;
}

}  // namespace
