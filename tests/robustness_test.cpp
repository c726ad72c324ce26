// Faults while writing and awkward paths: a writer killed at random moments, a full disk, a
// target that is a folder or a name beyond the system's limit, too little memory for the
// command-line tool, and Japanese, blank-holding, very long and linked paths through every front
// door. Each writer case runs for the three image formats and the settings file alike.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <random>

#include "codec/codec.h"
#include "compose/compose_image.h"
#include "compose/slots.h"
#include "imagefiles/load_image.h"
#include "imagefiles/save_result.h"
#include "platform/files.h"
#include "platform/signal_cleanup.h"
#include "platform/surface.h"
#include "startup/settings.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using testing_support::ReadBytes;
using testing_support::TempDir;
using testing_support::WriteBytes;
using Names = std::vector<std::string>;
using platform::Status;

// A w x h pattern (its pixels depend on w) written by WriteResultFile.
Status WritePattern(const std::string& path, const char* ext, int w, int h) {
    platform::Surface image(w, h, false);
    testing_support::FillPattern(*image.hDC(), std::uint32_t(w));
    return imagefiles::WriteResultFile(image, path, ext, {});
}

std::string MakeBmp(const std::string& path, int w, int h) {
    EXPECT_TRUE(WritePattern(path, ".BMP", w, h)) << path;
    return path;
}

// The names in a folder, sorted.
Names NamesIn(const std::string& folder) {
    Names names;
    for (const auto& e : fs::directory_iterator(folder)) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

// Test names from the rows' names.
constexpr auto ByName = [](const auto& info) { return std::string(info.param.name); };

testing_support::ChildRun RunCli(Names args, std::uint64_t addressSpace = 0) {
    args.insert(args.begin(), GLIMBRA_CLI_PATH);
    return testing_support::RunProgram(args, {10, addressSpace});
}

// ---------------------------------------------------------------------------------------------
// The four writers: the three image formats through WriteResultFile (and, for a refused target,
// through the command-line tool), and the settings file through WriteIni.

struct Writer {
    const char* name;
    const char* ext;  // "" for the settings file
};
void PrintTo(const Writer& c, std::ostream* os) { *os << c.name; }

// Writes the small old contents, or the large new ones: several MB, which take a while and do
// not fit on a nearly full disk. WriteIni reports a failure only by its result.
Status Write(const Writer& w, const std::string& path, bool large) {
    if (*w.ext) return WritePattern(path, w.ext, large ? 1400 : 9, large ? 1000 : 5);
    if (large) return basFunc::WriteIni("PNG", "Rate", "2", path) ? Status() : Status::Fail("0");
    WriteBytes(path, "[JPEG]\nRate=50\n;" + std::string(3 << 20, '-') + "\n[PNG]\nRate=1\n");
    return Status();
}

class Writers : public ::testing::TestWithParam<Writer> {
  protected:
    const std::string name_ =
        *GetParam().ext ? std::string("result") + GetParam().ext : "Glimbra.ini";
    TempDir dir_;
};

// A writer killed at a random moment by SIGKILL, SIGTERM or SIGINT leaves the old file or the
// complete new one, and no temporary file: a nameless temporary vanishes with the process, a
// named one (a file system without O_TMPFILE) is removed by the signal handler, which then exits
// with 128 + signal. (The old and new contents always differ: several MB against a few bytes.)
TEST_P(Writers, KilledAtRandomMomentsLeaveTheOldOrTheCompleteNewFile) {
    const std::string target = dir_.file(name_);
    ASSERT_TRUE(Write(GetParam(), target, false));
    const std::string oldBytes = ReadBytes(target);
    const auto started = std::chrono::steady_clock::now();
    ASSERT_TRUE(Write(GetParam(), target, true));
    const long long took =
        (std::chrono::steady_clock::now() - started) / std::chrono::microseconds(1);
    const std::string newBytes = ReadBytes(target);
    std::mt19937 random(12345);
    int sawOld = 0, sawNew = 0;
    for (int trial = 0; trial < 24; ++trial) {
        // SIGKILL cannot be caught: a named temporary would stay, so the named route gets the
        // two signals a handler can answer.
        const bool nameless = trial % 2 == 0;
        const int signal = nameless ? std::array{SIGKILL, SIGTERM, SIGINT}[trial / 2 % 3]
                                    : std::array{SIGTERM, SIGINT}[trial / 2 % 2];
        WriteBytes(target, oldBytes);
        const int viewer = ::open(target.c_str(), O_RDONLY);  // a program showing the old file
        int ready[2];
        ASSERT_EQ(::pipe(ready), 0);
        const pid_t pid = ::fork();
        if (pid == 0) {
            platform::SetNamelessTemporariesForTesting(nameless);
            platform::RemoveTemporariesOnSignals();
            if (::write(ready[1], "r", 1) != 1) ::_exit(3);  // the handlers are in place
            ::_exit(Write(GetParam(), target, true) ? 0 : 1);
        }
        char byte;
        ::close(ready[1]);
        EXPECT_EQ(::read(ready[0], &byte, 1), 1);
        ::close(ready[0]);
        // Anywhere from before the first byte to after the write would have ended.
        ::usleep(useconds_t(took * (random() % 300) / 100));
        ::kill(pid, signal);
        int status = 0;
        ::waitpid(pid, &status, 0);
        const std::string now = ReadBytes(target);
        sawOld += now == oldBytes;
        sawNew += now == newBytes;
        EXPECT_TRUE(now == oldBytes || now == newBytes)
            << "trial " << trial << ": " << now.size() << " bytes";
        if (signal != SIGKILL) {
            EXPECT_TRUE(WIFEXITED(status) && (WEXITSTATUS(status) == 0 ||
                                              WEXITSTATUS(status) == 128 + signal))
                << "trial " << trial << ": status " << status;
        }
        // Replaced, never rewritten in place: a program that has the old file open keeps it.
        EXPECT_TRUE(ReadBytes("/proc/self/fd/" + std::to_string(viewer)) == oldBytes) << trial;
        ::close(viewer);
        EXPECT_EQ(NamesIn(dir_.path()), Names{name_}) << "trial " << trial << ", signal " << signal;
    }
    std::printf("[ kills    ] %s: write %lld us; 24 kills: %d old, %d new\n", GetParam().name,
                took, sawOld, sawNew);
}

// A full disk (a small memory file system, filled but for 64 KiB after the old file): the error
// is reported, the old file stays, and no temporary file is left behind.
TEST_P(Writers, OnAFullDiskReportTheErrorAndKeepTheOldFile) {
    if (::mount("glimbra-test", dir_.path().c_str(), "tmpfs", 0, "size=8m") != 0)
        GTEST_SKIP() << "cannot mount a small tmpfs here (" << std::strerror(errno)
                     << "); needs root outside a restricted sandbox";
    EXPECT_TRUE(Write(GetParam(), dir_.file(name_), false));
    const std::string old = ReadBytes(dir_.file(name_));
    const int fd = ::open(dir_.file("Filler").c_str(), O_WRONLY | O_CREAT, 0600);
    while (::write(fd, old.data(), std::min<std::size_t>(old.size(), 4096)) > 0) continue;
    EXPECT_EQ(::ftruncate(fd, ::lseek(fd, 0, SEEK_END) - (1 << 16)), 0);
    ::close(fd);
    const Status s = Write(GetParam(), dir_.file(name_), true);
    EXPECT_FALSE(s || s.reason().empty());  // a failure, with a reason
    EXPECT_TRUE(ReadBytes(dir_.file(name_)) == old) << "the old file changed";
    EXPECT_EQ(NamesIn(dir_.path()), (Names{"Filler", name_}));
    ::umount2(dir_.path().c_str(), MNT_DETACH);
}

// A target that is a folder, or whose name is beyond the system's limit: refused with a reason,
// and nothing changes; the tool exits with one message naming it and writes nothing.
TEST_P(Writers, RefuseAFolderOrATooLongNameAndChangeNothing) {
    const std::string ext = GetParam().ext, folder = dir_.file("folder" + ext);
    fs::create_directories(folder + "/inside");
    const std::string source = MakeBmp(dir_.file("source.bmp"), 4, 4);
    for (const std::string& target : {folder, dir_.file(std::string(300, 'n') + ext)}) {
        const Status s = Write(GetParam(), target, true);
        EXPECT_FALSE(s || s.reason().empty()) << target;  // a failure, with a reason
        if (ext.empty()) continue;
        EXPECT_TRUE(testing_support::CliRefused(RunCli({source, source, target}), target));
    }
    EXPECT_EQ(NamesIn(folder), Names{"inside"});
    EXPECT_EQ(NamesIn(dir_.path()), (Names{"folder" + ext, "source.bmp"}));
}

INSTANTIATE_TEST_SUITE_P(All, Writers,
                         ::testing::Values(Writer{"BMP", ".BMP"}, Writer{"JPEG", ".JPG"},
                                           Writer{"PNG", ".PNG"}, Writer{"Settings", ""}),
                         ByName);

// ---------------------------------------------------------------------------------------------
// Targets that exist as something other than a regular file, directly and through a link: the
// writers called directly, WriteResultFile and the tool refuse them before writing anything (a
// pipe must not block them), and the node stays as it was.

struct NodeCase {
    const char* name;
    mode_t kind;  // S_IFIFO, S_IFCHR or S_IFSOCK
    bool link;    // the target is a link to the node
};

void PrintTo(const NodeCase& c, std::ostream* os) { *os << c.name; }

class NotRegularTargets : public ::testing::TestWithParam<NodeCase> {};

TEST_P(NotRegularTargets, AreRefusedAndLeftAsTheyWere) {
    const NodeCase& c = GetParam();
    if (c.kind == S_IFCHR && ::geteuid() != 0) GTEST_SKIP() << "making a device node needs root";
    TempDir dir;
    const std::string node = dir.file("node.png");
    if (c.kind == S_IFSOCK) {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", node.c_str());
        ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        ::close(fd);
    } else {
        // The character device is a null device of our own, as /dev/null is.
        ASSERT_EQ(::mknod(node.c_str(), c.kind | 0666, c.kind == S_IFCHR ? makedev(1, 3) : 0), 0);
    }
    const std::string target = c.link ? dir.file("out.png") : node;
    if (c.link) fs::create_symlink("node.png", target);
    const std::string source = MakeBmp(dir.file("source.bmp"), 6, 4);
    const Names before = NamesIn(dir.path());

    const Status s = WritePattern(target, ".PNG", 6, 4);
    EXPECT_NE(s.reason().find("通常のファイルではありません"), std::string::npos) << s.reason();
    const testing_support::ChildRun direct = testing_support::RunInChild(
        [&](int fd) {
            platform::Surface image(6, 4, false);
            std::string reason;
            const bool written = codec::DCSavetoPNG(image.hDC(), 6, 4, target, 1, &reason) == 0;
            return ::write(fd, reason.data(), reason.size()) >= 0 && !written ? 1 : 0;
        },
        {5, 0});
    EXPECT_FALSE(direct.hung);
    EXPECT_NE(direct.out.find("通常のファイルではありません"), std::string::npos) << direct.out;
    EXPECT_EQ(direct.exitCode, 1) << "the PNG writer wrote into the node";
    const testing_support::ChildRun cli = RunCli({source, source, target});
    EXPECT_TRUE(testing_support::CliRefused(cli, target));
    EXPECT_NE(cli.out.find("not a regular file"), std::string::npos) << cli.out;

    struct stat st{};
    ASSERT_EQ(::lstat(node.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & S_IFMT, c.kind);
    EXPECT_EQ(fs::is_symlink(fs::symlink_status(target)), c.link);
    EXPECT_EQ(NamesIn(dir.path()), before);
}

INSTANTIATE_TEST_SUITE_P(Nodes, NotRegularTargets,
                         ::testing::Values(NodeCase{"Fifo", S_IFIFO, false},
                                           NodeCase{"LinkToFifo", S_IFIFO, true},
                                           NodeCase{"LinkToNullDevice", S_IFCHR, true},
                                           NodeCase{"Socket", S_IFSOCK, false}),
                         ByName);

// Too little address space for the command-line tool: exit status 1 and one message naming the
// source, no crash and no output.
TEST(LowMemory, CliReportsAnErrorInsteadOfCrashing) {
    if (testing_support::kUnderAsan) GTEST_SKIP() << "AddressSanitizer reserves terabytes";
    TempDir dir;
    const std::string source = MakeBmp(dir.file("large.bmp"), 6000, 4000);
    {
        // The whole-picture route holds three bitmaps of 92 MiB and the texture's.
        testing_support::ScopedEnv whole("GLIMBRA_ROW_ROUTE", "0");
        EXPECT_TRUE(testing_support::CliRefused(
            RunCli({source, source, dir.file("out.png")}, 400u << 20), source));
        EXPECT_EQ(NamesIn(dir.path()), Names{"large.bmp"});
    }
    // By rows the job holds the texture (here as large as the source) and a few bands.
    const testing_support::ChildRun rows =
        RunCli({source, dir.file("large.bmp"), dir.file("out.png")}, 400u << 20);
    EXPECT_EQ(rows.exitCode, 0) << rows.out;
    EXPECT_EQ(NamesIn(dir.path()), (Names{"large.bmp", "out.png"}));
}

// ---------------------------------------------------------------------------------------------
// The memory budget, under an address-space limit set just above what the process has mapped:
// a load and a composition that cannot fit are refused before they allocate, naming what they
// need and what there is, and the slots keep what they held.

std::uint64_t MappedBytes() {
    const std::string status = ReadBytes("/proc/self/status");
    const std::size_t at = status.find("VmSize:");
    return at == std::string::npos ? 0 : std::stoull(status.substr(at + 7)) * 1024;
}

struct BudgetCase {
    const char* name;
    bool compose;             // else the load of the large picture
    std::uint64_t headroom;   // above what is mapped: the file fits, the step does not
};

void PrintTo(const BudgetCase& c, std::ostream* os) { *os << c.name; }

class MemoryBudget : public ::testing::TestWithParam<BudgetCase> {};

TEST_P(MemoryBudget, AStepThatCannotFitIsRefusedWithBothFiguresAndChangesNothing) {
    if (testing_support::kUnderAsan) GTEST_SKIP() << "AddressSanitizer reserves terabytes";
    const BudgetCase& c = GetParam();
    TempDir dir;
    const std::string small = MakeBmp(dir.file("small.bmp"), 8, 6);
    const std::string large = MakeBmp(dir.file("large.bmp"), 4000, 3000);  // 46 MiB a bitmap
    const testing_support::ChildRun run = testing_support::RunInChild(
        [&](int fd) {
            compose::SlotSet slots;
            if (basCommon::LoadImageSlot(slots, small, 0) != 0 ||
                basCommon::LoadImageSlot(slots, small, 1) != 0 ||
                !basCommon::ComposeImage(slots, basCommon::kFalse))
                return 10;
            const std::uint32_t corner = slots.picLoad[2].Image().at(0, 0);
            if (c.compose && basCommon::LoadImageSlot(slots, large, 0) != 0) return 11;
            const rlimit cap{rlim_t(MappedBytes() + c.headroom), RLIM_INFINITY};
            if (::setrlimit(RLIMIT_AS, &cap) != 0) return 12;
            std::string reason;
            bool done;
            if (c.compose) {
                const Status s = basCommon::ComposeImage(slots, basCommon::kFalse);
                done = s.ok(), reason = s.reason();
            } else {
                done = basCommon::LoadImageSlot(slots, large, 0, &reason) == 0;
            }
            if (::write(fd, reason.data(), reason.size()) < 0) return 13;
            const bool unchanged = slots.picLoad[2].Width() == 8 &&
                                   slots.picLoad[2].Image().at(0, 0) == corner &&
                                   (c.compose || (slots.picLoad[0].Width() == 8 &&
                                                  slots.FLD[0] == small));
            return done ? 1 : unchanged ? 0 : 2;
        },
        {20, 0});
    EXPECT_EQ(run.exitCode, 0) << run.out;
    for (const char* part : {"必要", "使える量", "RLIMIT_AS"})
        EXPECT_NE(run.out.find(part), std::string::npos) << run.out;
}

INSTANTIATE_TEST_SUITE_P(Steps, MemoryBudget,
                         ::testing::Values(BudgetCase{"Load", false, 70u << 20},
                                           BudgetCase{"Compose", true, 60u << 20}),
                         ByName);

// --batch admits jobs by their working set: under a limit that holds one job but not two,
// two sources run one after the other and both succeed; a source that cannot fit even alone is
// refused with the figures. The tool's own mapped memory is taken from such a refusal.
TEST(MemoryBudget, BatchRunsJobsThatDoNotFitTogetherOneAfterTheOther) {
    if (testing_support::kUnderAsan) GTEST_SKIP() << "AddressSanitizer reserves terabytes";
    // The whole-picture route's estimates (the row route's jobs are far smaller).
    testing_support::ScopedEnv whole("GLIMBRA_ROW_ROUTE", "0");
    TempDir dir;
    fs::create_directory(dir.file("out"));
    const std::string texture = MakeBmp(dir.file("texture.bmp"), 7, 5);
    const std::string a = MakeBmp(dir.file("a.bmp"), 3000, 2000);  // about 150 MiB a job
    const std::string b = MakeBmp(dir.file("b.bmp"), 3000, 2000);
    const std::uint64_t probe = 250u << 20;
    const testing_support::ChildRun refused =
        RunCli({"--batch", "--format", "bmp", texture, dir.file("out"), a}, probe);
    ASSERT_TRUE(testing_support::CliRefused(refused, a));
    const std::size_t at = refused.out.find("(RLIMIT_AS) ");
    ASSERT_NE(at, std::string::npos) << refused.out;
    const std::uint64_t base = probe - (std::stoull(refused.out.substr(at + 12)) << 20);
    const testing_support::ChildRun run = RunCli(
        {"--batch", "--jobs", "2", "--format", "bmp", texture, dir.file("out"), a, b},
        base + (230u << 20));  // one job's estimate fits, two jobs' estimates do not
    EXPECT_EQ(run.exitCode, 0) << run.out;
    EXPECT_EQ(NamesIn(dir.file("out")), (Names{"a.bmp", "b.bmp"}));
}

// ---------------------------------------------------------------------------------------------
// Awkward paths through the tool, the load and save procedures and the settings file. "exe" is
// a linked folder whose settings file is a link to a file elsewhere; both must stay links, and
// the file linked to gets the new settings.

struct PathCase {
    const char* name;
    std::string folder;  // below the test's folder
    std::string stem;    // file names: stem + "-src.bmp" and so on
};
void PrintTo(const PathCase& c, std::ostream* os) { *os << c.name; }

std::vector<PathCase> PathCases() {
    std::string deep, kanji;
    for (int i = 0; i < 14; ++i) deep += (i ? "/" : "") + std::string(180, 'd') + std::to_string(i);
    for (int i = 0; i < 77; ++i) kanji += "名";  // 231 bytes + "-src.bmp" = 239
    return {{"Japanese", "画像フォルダ/日本語", "元の画像"},
            {"Blanks", " leading and trailing blanks ", " a name with blanks "},
            {"LongName", "long", kanji},
            {"LongAscii", "long", std::string(231, 'n')},
            {"DeepFolders", deep, "x"},
            {"LinkedSettings", "exe", "x"}};
}

class AwkwardPaths : public ::testing::TestWithParam<PathCase> {};

TEST_P(AwkwardPaths, ToolLoadSaveAndSettingsWork) {
    const PathCase c = GetParam();
    TempDir dir;
    const std::string folder = dir.path() + "/" + c.folder, base = folder + "/" + c.stem;
    if (c.folder == "exe") {
        fs::create_directory(dir.file("real"));
        fs::create_directory_symlink(dir.file("real"), folder);
        WriteBytes(dir.file("shared.ini"), "");
        fs::create_symlink("../shared.ini", dir.file("real/Glimbra.ini"));
    }
    fs::create_directories(folder);
    const std::string output = base + "-out.png";
    const testing_support::ChildRun run =
        RunCli({MakeBmp(base + "-src.bmp", 12, 9), MakeBmp(base + "-tex.bmp", 5, 4), output});
    EXPECT_EQ(run.exitCode, 0) << run.out;
    compose::SlotSet slots;
    ASSERT_EQ(basCommon::LoadImageSlot(slots, output, 0), 0);
    EXPECT_EQ(slots.picLoad[0].Width(), 12);
    platform::SetExeFolderForTesting(folder);
    basCommon::LoadSettings();
    basCommon::JpegRate = 77;
    basCommon::SaveSettings();
    basCommon::LoadSettings();
    platform::SetExeFolderForTesting("");
    EXPECT_EQ(basCommon::JpegRate, 77);
    EXPECT_EQ(basCommon::SettingsPath, folder + "/Glimbra.ini");
    if (c.folder != "exe") return;
    EXPECT_TRUE(fs::is_symlink(fs::symlink_status(folder)));
    EXPECT_TRUE(fs::is_symlink(fs::symlink_status(folder + "/Glimbra.ini")));
    EXPECT_NE(ReadBytes(dir.file("shared.ini")).find("Rate=77"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Paths, AwkwardPaths, ::testing::ValuesIn(PathCases()), ByName);

// ---------------------------------------------------------------------------------------------
// An output through links, inputs read through a relative and an absolute link: the links stay
// links, and the file at the end of the chain gets the result (written: below the test's folder;
// nullptr when the write must fail).

struct LinkCase {
    const char* name;
    std::vector<std::pair<std::string, std::string>> links;  // target, link below "links/"
    const char* written;
};
void PrintTo(const LinkCase& c, std::ostream* os) { *os << c.name; }

class OutputLinks : public ::testing::TestWithParam<LinkCase> {};

TEST_P(OutputLinks, StayLinksAndTheEndOfTheChainGetsTheResult) {
    const LinkCase& c = GetParam();
    TempDir dir;
    fs::create_directories(dir.file("links"));
    fs::create_directories(dir.file("real"));
    WriteBytes(dir.file("real/out.png"), "old");
    fs::create_symlink("../real/source.bmp", dir.file("links/source.bmp"));
    fs::create_symlink(MakeBmp(dir.file("real/texture.bmp"), 3, 3), dir.file("links/texture.bmp"));
    MakeBmp(dir.file("real/source.bmp"), 10, 6);
    for (const auto& [target, link] : c.links)
        fs::create_symlink(target, dir.file("links/" + link));
    const std::string output = dir.file("links/out.png");
    const testing_support::ChildRun run =
        RunCli({dir.file("links/source.bmp"), dir.file("links/texture.bmp"), output});
    for (const auto& [target, link] : c.links)
        EXPECT_TRUE(fs::is_symlink(fs::symlink_status(dir.file("links/" + link)))) << link;
    EXPECT_TRUE(c.written ? ::testing::AssertionResult(run.exitCode == 0) << run.out
                          : testing_support::CliRefused(run, output));
    if (!c.written) return;
    compose::SlotSet slots;
    ASSERT_EQ(basCommon::LoadImageSlot(slots, dir.file(c.written), 0), 0);
    EXPECT_EQ(slots.picLoad[0].Width(), 10);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, OutputLinks,
    ::testing::Values(LinkCase{"RelativeChain",
                               {{"../real/out.png", "inner.png"}, {"inner.png", "out.png"}},
                               "real/out.png"},
                      LinkCase{"Dangling", {{"../real/new.png", "out.png"}}, "real/new.png"},
                      LinkCase{"Loop", {{"b.png", "out.png"}, {"out.png", "b.png"}}, nullptr}),
    ByName);

}  // namespace
