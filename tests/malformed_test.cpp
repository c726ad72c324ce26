// Damaged, hostile, misnamed and unreadable image files of every format we read, through the load
// procedure and through the command-line tool. Each file runs in a child process with a time limit
// and an address-space cap, so that a hang, a crash or an allocation beyond what the pixel limit
// allows fails the test instead of the test program. Every file must end with a clear refusal or
// a correct image. The counts per format are printed.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "compose/slots.h"
#include "imagefiles/load_image.h"
#include "test_support.h"
#include "tools/make_malformed.h"

#if defined(__SANITIZE_ADDRESS__)
#define GLIMBRA_UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define GLIMBRA_UNDER_ASAN 1
#endif
#endif

namespace {

using malformed::Format;
using malformed::Sample;
using testing_support::TempDir;

constexpr unsigned kTimeLimitSeconds = 10;
// Loading one picture at the pixel limit needs about 2 GiB (decoder output and our copy); 3 GiB
// leaves room for the program itself and nothing for a size the checks should have refused.
constexpr rlim_t kAddressSpaceCap = rlim_t{3} << 30;
// The sanitizers reserve terabytes of address space: no cap there, and no file that would
// really need hundreds of MiB.
#ifdef GLIMBRA_UNDER_ASAN
constexpr bool kCapMemory = false;
#else
constexpr bool kCapMemory = true;
#endif

enum class Kind { Loaded, Refused, Crashed, Hung };

struct Outcome {
    Kind kind = Kind::Crashed;
    std::string detail;  // "WxH hash" when loaded, the reason when refused
};

const char* Name(Kind k) {
    switch (k) {
        case Kind::Loaded:
            return "loaded";
        case Kind::Refused:
            return "refused";
        case Kind::Crashed:
            return "crashed";
        case Kind::Hung:
            return "hung";
    }
    return "?";
}

void LimitChild() {
    if (kCapMemory) {
        const rlimit cap{kAddressSpaceCap, kAddressSpaceCap};
        ::setrlimit(RLIMIT_AS, &cap);
    }
    ::alarm(kTimeLimitSeconds);
}

// Waits for the child, reading what it writes to fd; kills it when it outlives its alarm.
int Reap(pid_t pid, int fd, std::string& out, bool& killed) {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::seconds(kTimeLimitSeconds + 3);
    killed = false;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            ::kill(pid, SIGKILL);
            killed = true;
            break;
        }
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, int(left.count())) <= 0) continue;
        char buf[4096];
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0) break;
        out.append(buf, std::size_t(n));
    }
    ::close(fd);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return status;
}

Outcome Classify(int status, bool killed, const std::string& out) {
    if (killed || (WIFSIGNALED(status) && WTERMSIG(status) == SIGALRM)) {
        return {Kind::Hung, "no end after " + std::to_string(kTimeLimitSeconds) + " s"};
    }
    if (WIFSIGNALED(status)) return {Kind::Crashed, strsignal(WTERMSIG(status))};
    if (!WIFEXITED(status)) return {Kind::Crashed, "no exit"};
    const int code = WEXITSTATUS(status);
    if (code == 0) return {Kind::Loaded, out};
    if (code == 1 && !out.empty()) return {Kind::Refused, out};
    return {Kind::Crashed, "exit status " + std::to_string(code) + ": " + out};
}

std::uint64_t Hash(const platform::Bitmap& image) {
    std::uint64_t h = 1469598103934665603ull;
    for (std::size_t i = 0; i < image.pixelCount(); ++i)
        h = (h ^ image.data()[i]) * 1099511628211ull;
    return h;
}

// LoadImageSlot in a child: exit 0 and "WxH hash" when loaded, exit 1 and the reason when not.
Outcome LoadInChild(const std::string& path) {
    int fds[2];
    if (::pipe(fds) != 0) return {Kind::Crashed, "pipe"};
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        LimitChild();
        compose::SlotSet slots;
        std::string reason;
        const std::int32_t r = basCommon::LoadImageSlot(slots, path, 0, &reason);
        std::string line;
        int code = 1;
        if (r == 0) {
            const platform::Bitmap& image = slots.picLoad[0].Image();
            line = std::to_string(image.width()) + "x" + std::to_string(image.height()) + " " +
                   std::to_string(Hash(image));
            code = slots.FLD[0] == path && !image.empty() ? 0 : 3;
        } else {
            line = reason;
            // A refusal leaves the path field alone.
            code = r == 1 && slots.FLD[0].empty() ? 1 : 3;
        }
        [[maybe_unused]] const ssize_t n = ::write(fds[1], line.data(), line.size());
        ::_exit(code);
    }
    ::close(fds[1]);
    bool killed = false;
    std::string out;
    const int status = Reap(pid, fds[0], out, killed);
    return Classify(status, killed, out);
}

// glimbra-cli SOURCE FLOATING OUTPUT in a child with the same limits; stderr is its message.
Outcome CliInChild(const std::vector<std::string>& args) {
    int fds[2];
    if (::pipe(fds) != 0) return {Kind::Crashed, "pipe"};
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        ::dup2(fds[1], 2);
        const int devnull = ::open("/dev/null", O_WRONLY);
        ::dup2(devnull, 1);
        LimitChild();
        std::vector<std::string> all{GLIMBRA_CLI_PATH};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& a : all) argv.push_back(a.data());
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(fds[1]);
    bool killed = false;
    std::string out;
    const int status = Reap(pid, fds[0], out, killed);
    Outcome o = Classify(status, killed, out);
    // The tool's own message names the file (Qt's readers may warn on stderr before it); a
    // refusal without one is no clear error.
    if (o.kind == Kind::Refused && o.detail.rfind("glimbra-cli: ", 0) != 0 &&
        o.detail.find("\nglimbra-cli: ") == std::string::npos) {
        o.kind = Kind::Crashed;
    }
    return o;
}

struct Counts {
    int files = 0, loaded = 0, refused = 0, skipped = 0;
};

class MalformedFiles : public ::testing::TestWithParam<Format> {
  protected:
    void SetUp() override {
        floating_ = dir_.file("floating.bmp");
        const auto valid = malformed::ValidSamples(Format::Bmp, dir_.path());
        ASSERT_FALSE(valid.empty());
        testing_support::WriteBytes(floating_, valid.front().bytes);
    }

    // Runs one file through both routes and checks that they end cleanly and agree.
    void Check(const std::string& path, const std::string& label, bool heavy, Counts& counts) {
        ++counts.files;
        if (heavy && !kCapMemory) {
            ++counts.skipped;
            return;
        }
        const Outcome load = LoadInChild(path);
        EXPECT_TRUE(load.kind == Kind::Loaded || load.kind == Kind::Refused)
            << label << ": LoadImageSlot " << Name(load.kind) << " (" << load.detail << ")";
        if (load.kind == Kind::Loaded) ++counts.loaded;
        if (load.kind == Kind::Refused) ++counts.refused;

        const std::string output = dir_.file("out.png");
        const Outcome cli = CliInChild({path, floating_, output});
        EXPECT_TRUE(cli.kind == Kind::Loaded || cli.kind == Kind::Refused)
            << label << ": glimbra-cli " << Name(cli.kind) << " (" << cli.detail << ")";
        // A picture that loads may still be too large to compose under the cap; the reverse
        // would mean the two front ends read files differently.
        if (load.kind == Kind::Refused) {
            EXPECT_EQ(cli.kind, Kind::Refused)
                << label << ": the tool took a file the load refused";
        } else if (load.kind == Kind::Loaded && !heavy) {
            EXPECT_EQ(cli.kind, Kind::Loaded) << label << ": " << cli.detail;
        }
        if (cli.kind == Kind::Refused) {
            EXPECT_FALSE(testing_support::FileExists(output))
                << label << ": output after a failure";
        }
        std::filesystem::remove(output);
    }

    TempDir dir_;
    std::string floating_;
};

TEST_P(MalformedFiles, EveryFileEndsCleanlyInBothFrontEnds) {
    const Format f = GetParam();
    const std::string ext = malformed::Extension(f);
    Counts counts;
    std::uint32_t seed = 1;
    std::vector<Sample> files;
    // Every valid variant as it is; the damage goes to the first three (the fuzzers cover the
    // rest).
    for (const Sample& valid : malformed::ValidSamples(f, dir_.path())) {
        files.push_back(valid);
        if (seed > 3) continue;
        for (Sample& s : malformed::Damaged(f, valid, seed++)) files.push_back(std::move(s));
    }
    for (Sample& s : malformed::Hostile(f, dir_.path())) files.push_back(std::move(s));
    files.push_back({"empty", ""});
    ASSERT_GT(files.size(), 30u);
    for (const Sample& s : files) {
        const std::string path = dir_.file("in-" + s.name + ext);
        testing_support::WriteBytes(path, s.bytes);
        Check(path, std::string(malformed::Label(f)) + " " + s.name, s.heavy, counts);
        std::filesystem::remove(path);
    }
    std::printf(
        "[ counts   ] %-4s %3d files: %3d loaded, %3d refused, %d skipped (heavy, no cap)\n",
        malformed::Label(f), counts.files, counts.loaded, counts.refused, counts.skipped);
    // The undamaged samples load.
    EXPECT_GE(counts.loaded, int(malformed::ValidSamples(f, dir_.path()).size()));
}

// Content and name disagree: the PNG route goes by the name, the picture loader by the content.
// A file either loads as exactly the picture that its right name gives, or is refused.
TEST_P(MalformedFiles, WrongExtensionLoadsTheSamePictureOrIsRefused) {
    const Format f = GetParam();
    Counts counts;
    for (const Sample& s : malformed::ValidSamples(f, dir_.path())) {
        const std::string right = dir_.file("right-" + s.name + malformed::Extension(f));
        testing_support::WriteBytes(right, s.bytes);
        const Outcome expected = LoadInChild(right);
        ASSERT_EQ(expected.kind, Kind::Loaded) << s.name << ": " << expected.detail;
        for (Format other : malformed::kFormats) {
            if (other == f) continue;
            const std::string wrong = dir_.file("wrong-" + s.name + malformed::Extension(other));
            testing_support::WriteBytes(wrong, s.bytes);
            const std::string label = s.name + " named " + malformed::Extension(other);
            Check(wrong, label, false, counts);
            const Outcome got = LoadInChild(wrong);
            if (got.kind == Kind::Loaded) {
                EXPECT_EQ(got.detail, expected.detail) << label;
            }
            // PNG content goes only through the PNG route, and that route only takes PNG.
            if (f == Format::Png || other == Format::Png) {
                EXPECT_EQ(got.kind, Kind::Refused) << label;
            }
        }
    }
    std::printf("[ counts   ] %-4s misnamed %2d files: %2d loaded, %2d refused\n",
                malformed::Label(f), counts.files, counts.loaded, counts.refused);
}

INSTANTIATE_TEST_SUITE_P(Formats, MalformedFiles, ::testing::ValuesIn(malformed::kFormats),
                         [](const auto& info) {
                             return std::string(malformed::Label(info.param));
                         });

// Things that are not readable files at all, under every extension.
class NotAFile : public MalformedFiles {};

TEST_P(NotAFile, FoldersPipesAndMissingFilesAreRefused) {
    const std::string ext = malformed::Extension(GetParam());
    Counts counts;
    const std::string folder = dir_.file("folder" + ext);
    std::filesystem::create_directory(folder);
    const std::string pipe = dir_.file("pipe" + ext);
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
    for (const std::string& path : {folder, pipe, dir_.file("missing" + ext)}) {
        Check(path, path, false, counts);
    }
    EXPECT_EQ(counts.refused, 3);
}

TEST_P(NotAFile, UnreadableFileIsRefused) {
    if (::geteuid() == 0)
        GTEST_SKIP() << "running as root: a mode of 000 does not stop root reading";
    const Format f = GetParam();
    const std::string path = dir_.file(std::string("locked") + malformed::Extension(f));
    testing_support::WriteBytes(path, malformed::ValidSamples(f, dir_.path()).front().bytes);
    ASSERT_EQ(::chmod(path.c_str(), 0), 0);
    Counts counts;
    Check(path, path, false, counts);
    EXPECT_EQ(counts.refused, 1);
}

INSTANTIATE_TEST_SUITE_P(Formats, NotAFile, ::testing::ValuesIn(malformed::kFormats),
                         [](const auto& info) {
                             return std::string(malformed::Label(info.param));
                         });

}  // namespace
