// Faults while writing and awkward paths: a writer killed at random moments, a full disk, a
// read-only folder, a target that is a folder, too little memory for the command-line tool, and
// Japanese, blank-holding, very long and linked paths through every front door.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "codec/codec.h"
#include "compose/slots.h"
#include "imagefiles/load_image.h"
#include "imagefiles/save_result.h"
#include "platform/files.h"
#include "platform/surface.h"
#include "startup/settings.h"
#include "test_support.h"

#if defined(__SANITIZE_ADDRESS__)
#define GLIMBRA_UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define GLIMBRA_UNDER_ASAN 1
#endif
#endif

namespace {

namespace fs = std::filesystem;
using testing_support::FileExists;
using testing_support::ReadBytes;
using testing_support::TempDir;
using testing_support::WriteBytes;

platform::Surface PatternSurface(int w, int h, std::uint32_t seed) {
    platform::Surface s(w, h, false);
    testing_support::FillPattern(*s.hDC(), seed);
    return s;
}

// Names in the folder other than the given ones and the writers' temporary files.
std::vector<std::string> Strays(const std::string& folder, const std::vector<std::string>& known) {
    std::vector<std::string> strays;
    for (const auto& e : fs::directory_iterator(folder)) {
        const std::string name = e.path().filename().string();
        if (std::find(known.begin(), known.end(), name) != known.end()) continue;
        strays.push_back(name);
    }
    return strays;
}

bool IsTemp(const std::string& name) {
    return name.starts_with(".") && name.find(".tmp-") != name.npos;
}

void RemoveTemps(const std::string& folder) {
    for (const auto& e : fs::directory_iterator(folder)) {
        if (IsTemp(e.path().filename().string())) fs::remove(e.path());
    }
}

// ---------------------------------------------------------------------------------------------
// A writer killed at a random moment leaves the old file or the complete new one.

struct KillCase {
    const char* name;
    const char* ext;  // "" for the settings file
};

class KilledWriter : public ::testing::TestWithParam<KillCase> {};

TEST_P(KilledWriter, LeavesTheOldFileOrTheCompleteNewOne) {
    const KillCase c = GetParam();
    TempDir dir;
    const bool settings = std::string(c.ext).empty();
    const std::string target = dir.file(settings ? "Glimbra.ini" : std::string("result") + c.ext);
    const std::string reference = dir.file(settings ? "reference.ini" : std::string("ref") + c.ext);
    const imagefiles::OutputSettings output;
    platform::Surface image = PatternSurface(1400, 1000, 7);

    // The old file, and what a complete write makes (the writers are deterministic).
    std::string oldBytes;
    std::function<void(const std::string&)> write;
    if (settings) {
        std::string text = "[JPEG]\nRate=50\nPrgrs=0\n";
        for (int i = 0; i < 40000; ++i) {
            text += "; a long comment line kept by every write " + std::to_string(i) + "\n";
        }
        text += "[PNG]\nRate=1\n";
        oldBytes = text;
        write = [](const std::string& path) { basFunc::WriteIni("PNG", "Rate", "2", path); };
        WriteBytes(reference, oldBytes);
    } else {
        platform::Surface small = PatternSurface(9, 5, 3);
        ASSERT_TRUE(imagefiles::WriteResultFile(small, target, c.ext, output));
        oldBytes = ReadBytes(target);
        write = [&](const std::string& path) {
            (void)imagefiles::WriteResultFile(image, path, c.ext, output);
        };
    }
    const auto started = std::chrono::steady_clock::now();
    write(reference);
    const auto took = std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::steady_clock::now() - started);
    const std::string newBytes = ReadBytes(reference);
    ASSERT_NE(newBytes, oldBytes);
    fs::remove(reference);

    std::mt19937 random(12345);
    int sawOld = 0, sawNew = 0;
    for (int trial = 0; trial < 20; ++trial) {
        WriteBytes(target, oldBytes);
        std::fflush(nullptr);
        const pid_t pid = ::fork();
        if (pid == 0) {
            write(target);
            ::_exit(0);
        }
        // Anywhere from before the first byte to after the write would have ended (the child
        // first has to get going).
        const auto delay =
            std::chrono::microseconds(random() % std::uint64_t(took.count() * 3 + 1));
        std::this_thread::sleep_for(delay);
        ::kill(pid, SIGKILL);
        int status = 0;
        ::waitpid(pid, &status, 0);
        const std::string now = ReadBytes(target);
        if (now == oldBytes) {
            ++sawOld;
        } else if (now == newBytes) {
            ++sawNew;
        } else {
            ADD_FAILURE() << "trial " << trial << " after " << delay.count()
                          << " us: " << now.size() << " bytes, neither old (" << oldBytes.size()
                          << ") nor new (" << newBytes.size() << ")";
        }
        const auto strays = Strays(dir.path(), {fs::path(target).filename().string()});
        for (const std::string& s : strays) EXPECT_TRUE(IsTemp(s)) << "stray file " << s;
        RemoveTemps(dir.path());
    }
    std::printf("[ kills    ] %s: write %lld us; 20 kills: %d old, %d new\n", c.name,
                static_cast<long long>(took.count()), sawOld, sawNew);
}

INSTANTIATE_TEST_SUITE_P(Writers, KilledWriter,
                         ::testing::Values(KillCase{"BMP", ".BMP"}, KillCase{"JPEG", ".JPG"},
                                           KillCase{"PNG", ".PNG"}, KillCase{"Settings", ""}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------------------------
// A full disk: a 1 MiB memory file system.

class SmallDisk : public ::testing::Test {
  protected:
    void SetUp() override {
        if (::mount("glimbra-test", dir_.path().c_str(), "tmpfs", 0, "size=1m") != 0) {
            GTEST_SKIP() << "cannot mount a small tmpfs here (" << std::strerror(errno)
                         << "); needs root outside a restricted sandbox";
        }
        mounted_ = true;
    }
    void TearDown() override {
        if (mounted_) ::umount2(dir_.path().c_str(), MNT_DETACH);
    }
    TempDir dir_;
    bool mounted_ = false;
};

class FullDisk : public SmallDisk, public ::testing::WithParamInterface<const char*> {};

TEST_P(FullDisk, SaveFailsWithReasonAndKeepsTheOldFile) {
    const std::string ext = GetParam();
    const std::string target = dir_.file("result" + ext);
    platform::Surface small = PatternSurface(8, 8, 1);
    ASSERT_TRUE(imagefiles::WriteResultFile(small, target, ext, {}));
    const std::string old = ReadBytes(target);
    // About 5 MB of pixels that no encoder squeezes under 1 MiB.
    platform::Surface large = PatternSurface(1300, 1000, 2);
    imagefiles::OutputSettings best;
    best.jpegRate = 100;
    const platform::Status s = imagefiles::WriteResultFile(large, target, ext, best);
    EXPECT_FALSE(s);
    EXPECT_FALSE(s.reason().empty());
    EXPECT_EQ(ReadBytes(target), old);
    EXPECT_TRUE(Strays(dir_.path(), {"result" + ext}).empty()) << "temporary file left behind";
}

TEST_F(SmallDisk, SettingsWriteOnAFullDiskFailsAndKeepsTheFile) {
    const std::string ini = dir_.file("Glimbra.ini");
    WriteBytes(ini, "[JPEG]\nRate=50\n");
    // Fill the rest of the disk.
    const int fd = ::open(dir_.file("filler").c_str(), O_WRONLY | O_CREAT, 0600);
    const std::string block(4096, 'x');
    while (::write(fd, block.data(), block.size()) > 0) {
    }
    ::close(fd);
    EXPECT_EQ(basFunc::WriteIni("JPEG", "Rate", "75", ini), 0);
    EXPECT_EQ(ReadBytes(ini), "[JPEG]\nRate=50\n");
    EXPECT_TRUE(Strays(dir_.path(), {"Glimbra.ini", "filler"}).empty());
}

INSTANTIATE_TEST_SUITE_P(Formats, FullDisk, ::testing::Values(".BMP", ".JPG", ".PNG"),
                         [](const auto& info) { return std::string(info.param + 1); });

// ---------------------------------------------------------------------------------------------
// Folders in the way.

TEST(WriteTargets, ReadOnlyFolderRefusesCleanly) {
    if (::geteuid() == 0) GTEST_SKIP() << "running as root: a read-only mode does not stop root";
    TempDir dir;
    const std::string folder = dir.file("locked");
    fs::create_directory(folder);
    ASSERT_EQ(::chmod(folder.c_str(), 0555), 0);
    platform::Surface image = PatternSurface(4, 4, 1);
    for (const char* ext : {".BMP", ".JPG", ".PNG"}) {
        const platform::Status s = imagefiles::WriteResultFile(image, folder + "/r" + ext, ext, {});
        EXPECT_FALSE(s) << ext;
        EXPECT_FALSE(s.reason().empty());
    }
    EXPECT_EQ(basFunc::WriteIni("JPEG", "Rate", "1", folder + "/Glimbra.ini"), 0);
    EXPECT_TRUE(fs::is_empty(folder));
}

TEST(WriteTargets, TargetThatIsAFolderIsRefusedAndKept) {
    TempDir dir;
    const std::string folder = dir.file("result.png");
    fs::create_directories(folder + "/inside");
    platform::Surface image = PatternSurface(4, 4, 1);
    for (const char* ext : {".BMP", ".JPG", ".PNG"}) {
        const platform::Status s = imagefiles::WriteResultFile(image, folder, ext, {});
        EXPECT_FALSE(s) << ext;
        EXPECT_FALSE(s.reason().empty());
    }
    EXPECT_EQ(basFunc::WriteIni("JPEG", "Rate", "1", folder), 0);
    EXPECT_TRUE(fs::is_directory(folder + "/inside"));
    EXPECT_EQ(Strays(dir.path(), {"result.png"}).size(), 0u);

    // The settings file itself a folder: the defaults, and no crash on saving.
    platform::SetExeFolderForTesting(dir.path());
    fs::create_directory(dir.file("Glimbra.ini"));
    basCommon::LoadSettings();
    EXPECT_EQ(basCommon::JpegRate, 50);
    basCommon::SaveSettings();
    EXPECT_TRUE(fs::is_directory(dir.file("Glimbra.ini")));
    platform::SetExeFolderForTesting("");
}

// ---------------------------------------------------------------------------------------------
// The command-line tool as a user runs it, optionally under an address-space limit.

struct CliRun {
    int exitCode = -1;  // -1: ended by a signal
    int signal = 0;
    std::string err;
};

CliRun RunCli(const std::vector<std::string>& args, const TempDir& dir, rlim_t addressSpace = 0) {
    const std::string errPath = dir.file(".cli-stderr");
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(err, 2);
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 1);
        if (addressSpace) {
            const rlimit cap{addressSpace, addressSpace};
            ::setrlimit(RLIMIT_AS, &cap);
        }
        ::alarm(60);
        std::vector<std::string> all{GLIMBRA_CLI_PATH};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& a : all) argv.push_back(a.data());
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    CliRun run;
    if (WIFEXITED(status)) run.exitCode = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) run.signal = WTERMSIG(status);
    run.err = ReadBytes(errPath);
    fs::remove(errPath);
    return run;
}

std::string MakeBmp(const std::string& path, int w, int h, std::uint32_t seed) {
    platform::Bitmap b;
    EXPECT_TRUE(b.Allocate(w, h));
    testing_support::FillPattern(b, seed);
    EXPECT_TRUE(codec::SavePicture(b, path));
    return path;
}

TEST(LowMemory, CliReportsAnErrorInsteadOfCrashing) {
#ifdef GLIMBRA_UNDER_ASAN
    GTEST_SKIP() << "AddressSanitizer reserves more address space than any limit we could set";
#endif
    TempDir dir;
    const std::string source = MakeBmp(dir.file("large.bmp"), 6000, 4000, 1);
    const std::string floating = MakeBmp(dir.file("texture.bmp"), 16, 16, 2);
    const CliRun run = RunCli({source, floating, dir.file("out.png")}, dir, rlim_t{400} << 20);
    EXPECT_EQ(run.signal, 0) << run.err;
    EXPECT_EQ(run.exitCode, 1) << run.err;
    EXPECT_EQ(run.err.rfind("glimbra-cli: ", 0), 0u) << run.err;
    EXPECT_FALSE(FileExists(dir.file("out.png")));
}

// ---------------------------------------------------------------------------------------------
// Awkward paths through the tool, the load and save procedures and the settings file.

std::string Repeat(const std::string& unit, std::size_t bytes) {
    std::string s;
    while (s.size() + unit.size() <= bytes) s += unit;
    return s;
}

struct PathCase {
    const char* name;
    std::string folder;  // below the test's folder
    std::string stem;    // file names: stem + "-src.bmp" and so on
};

std::vector<PathCase> PathCases() {
    std::string deep;
    for (int i = 0; i < 14; ++i) deep += (i ? "/" : "") + Repeat("d", 180) + std::to_string(i);
    return {
        {"Japanese", "画像フォルダ/日本語", "元の画像"},
        {"Blanks", " leading and trailing blanks ", " a name with blanks "},
        {"LongName", "long", Repeat("名", 231)},  // 231 bytes + "-src.bmp" = 239
        {"LongAscii", "long", Repeat("n", 231)},
        {"DeepFolders", deep, "x"},
    };
}

class AwkwardPaths : public ::testing::TestWithParam<PathCase> {};

TEST_P(AwkwardPaths, ToolLoadSaveAndSettingsWork) {
    const PathCase c = GetParam();
    TempDir dir;
    const std::string folder = dir.path() + "/" + c.folder;
    fs::create_directories(folder);
    const std::string source = MakeBmp(folder + "/" + c.stem + "-src.bmp", 12, 9, 1);
    const std::string floating = MakeBmp(folder + "/" + c.stem + "-tex.bmp", 5, 4, 2);
    const std::string output = folder + "/" + c.stem + "-out.png";

    const CliRun run = RunCli({source, floating, output}, dir);
    EXPECT_EQ(run.exitCode, 0) << run.err;
    compose::SlotSet slots;
    std::string reason;
    ASSERT_EQ(basCommon::LoadImageSlot(slots, output, 0, &reason), 0) << reason;
    EXPECT_EQ(slots.FLD[0], output);
    EXPECT_EQ(slots.picLoad[0].Width(), 12);

    for (const char* ext : {".BMP", ".JPG", ".PNG"}) {
        const std::string again = folder + "/" + c.stem + "-again" + ext;
        EXPECT_TRUE(imagefiles::WriteResultFile(slots.picLoad[0], again, ext, {})) << ext;
        EXPECT_EQ(basCommon::LoadImageSlot(slots, again, 1, &reason), 0) << ext << reason;
    }

    platform::SetExeFolderForTesting(folder);
    basCommon::LoadSettings();
    basCommon::JpegRate = 77;
    basCommon::SaveSettings();
    basCommon::JpegRate = 50;
    basCommon::LoadSettings();
    EXPECT_EQ(basCommon::JpegRate, 77);
    EXPECT_EQ(basCommon::SettingsPath, folder + "/Glimbra.ini");
    platform::SetExeFolderForTesting("");
}

INSTANTIATE_TEST_SUITE_P(Paths, AwkwardPaths, ::testing::ValuesIn(PathCases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(AwkwardPaths, NameBeyondTheSystemLimitFailsCleanly) {
    TempDir dir;
    const std::string tooLong = dir.file(Repeat("n", 300) + ".png");
    platform::Surface image = PatternSurface(4, 4, 1);
    const platform::Status s = imagefiles::WriteResultFile(image, tooLong, ".PNG", {});
    EXPECT_FALSE(s);
    EXPECT_FALSE(s.reason().empty());
    compose::SlotSet slots;
    EXPECT_EQ(basCommon::LoadImageSlot(slots, tooLong, 0), 1);
    const std::string source = MakeBmp(dir.file("s.bmp"), 4, 4, 1);
    const CliRun run = RunCli({source, source, tooLong}, dir);
    EXPECT_EQ(run.exitCode, 1) << run.err;
    EXPECT_EQ(run.err.rfind("glimbra-cli: ", 0), 0u) << run.err;
}

// ---------------------------------------------------------------------------------------------
// Symbolic links: inputs read through them; an output or settings file that is a link stays a
// link, and the file it points to gets the new contents.

class Links : public ::testing::Test {
  protected:
    void SetUp() override {
        fs::create_directories(dir_.file("real"));
        fs::create_directories(dir_.file("links"));
    }
    bool IsLink(const std::string& p) { return fs::is_symlink(fs::symlink_status(p)); }
    TempDir dir_;
};

TEST_F(Links, InputsAndOutputThroughLinks) {
    const std::string source = MakeBmp(dir_.file("real/source.bmp"), 10, 6, 1);
    const std::string floating = MakeBmp(dir_.file("real/texture.bmp"), 3, 3, 2);
    fs::create_symlink("../real/source.bmp", dir_.file("links/source.bmp"));
    fs::create_symlink(floating, dir_.file("links/texture.bmp"));
    // The output: a link to a link to an existing file in another folder, relative both times.
    WriteBytes(dir_.file("real/out.png"), "old");
    fs::create_symlink("../real/out.png", dir_.file("links/out-inner.png"));
    fs::create_symlink("out-inner.png", dir_.file("links/out.png"));

    const CliRun run = RunCli(
        {dir_.file("links/source.bmp"), dir_.file("links/texture.bmp"), dir_.file("links/out.png")},
        dir_);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_TRUE(IsLink(dir_.file("links/out.png")));
    EXPECT_TRUE(IsLink(dir_.file("links/out-inner.png")));
    compose::SlotSet slots;
    ASSERT_EQ(basCommon::LoadImageSlot(slots, dir_.file("real/out.png"), 0), 0);
    EXPECT_EQ(slots.picLoad[0].Width(), 10);
    EXPECT_TRUE(
        Strays(dir_.file("links"), {"source.bmp", "texture.bmp", "out.png", "out-inner.png"})
            .empty());
    EXPECT_TRUE(Strays(dir_.file("real"), {"source.bmp", "texture.bmp", "out.png"}).empty());
}

TEST_F(Links, DanglingLinkCreatesItsTargetAndLoopFails) {
    platform::Surface image = PatternSurface(4, 4, 1);
    fs::create_symlink("../real/new.bmp", dir_.file("links/new.bmp"));
    ASSERT_TRUE(imagefiles::WriteResultFile(image, dir_.file("links/new.bmp"), ".BMP", {}));
    EXPECT_TRUE(IsLink(dir_.file("links/new.bmp")));
    EXPECT_TRUE(fs::is_regular_file(dir_.file("real/new.bmp")));

    fs::create_symlink("b.png", dir_.file("links/a.png"));
    fs::create_symlink("a.png", dir_.file("links/b.png"));
    const platform::Status s =
        imagefiles::WriteResultFile(image, dir_.file("links/a.png"), ".PNG", {});
    EXPECT_FALSE(s);
    EXPECT_FALSE(s.reason().empty());
    EXPECT_TRUE(IsLink(dir_.file("links/a.png")));
}

TEST_F(Links, LinkedSettingsFolderAndFileStayLinks) {
    WriteBytes(dir_.file("real/shared.ini"), "[Options]\nGIF=0\n");
    fs::create_symlink("../real/shared.ini", dir_.file("links/Glimbra.ini"));
    fs::create_directory_symlink(dir_.file("links"), dir_.file("exe"));
    platform::SetExeFolderForTesting(dir_.file("exe"));
    basCommon::LoadSettings();
    EXPECT_EQ(basCommon::OptionsGif, 0);
    basCommon::JpegPrgrs = -1;
    basCommon::SaveSettings();
    platform::SetExeFolderForTesting("");
    EXPECT_TRUE(IsLink(dir_.file("links/Glimbra.ini")));
    EXPECT_TRUE(IsLink(dir_.file("exe")));
    const std::string text = ReadBytes(dir_.file("real/shared.ini"));
    EXPECT_NE(text.find("GIF=0"), std::string::npos) << text;
    EXPECT_NE(text.find("Prgrs=-1"), std::string::npos) << text;
}

}  // namespace
