#include "test_support.h"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

namespace testing_support {

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "glimbra-test-XXXXXX").string();
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (!::mkdtemp(name.data())) throw std::runtime_error("mkdtemp failed");
    path_ = name.data();
}

TempDir::~TempDir() {
    std::error_code ec;
    // Folders a test made read-only must become writable again to be removed.
    for (auto it = std::filesystem::recursive_directory_iterator(path_, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ec);
    }
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ec);
    std::filesystem::remove_all(path_, ec);
}

std::uint32_t PatternPixel(int x, int y, std::uint32_t seed) {
    std::uint32_t h = std::uint32_t(x) * 0x9E3779B1u ^ std::uint32_t(y) * 0x85EBCA77u ^ seed;
    h ^= h >> 15;
    h *= 0x2C1B3C6Du;
    h ^= h >> 12;
    return h | platform::kOpaque;
}

void FillPattern(platform::Bitmap& bitmap, std::uint32_t seed) {
    for (int y = 0; y < bitmap.height(); ++y) {
        for (int x = 0; x < bitmap.width(); ++x) bitmap.at(x, y) = PatternPixel(x, y, seed);
    }
}

namespace {
void SetEnv(const char* name, const std::optional<std::string>& value) {
    if (value)
        ::setenv(name, value->c_str(), 1);
    else
        ::unsetenv(name);
}
}  // namespace

ScopedEnv::ScopedEnv(const char* name, const std::optional<std::string>& value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    SetEnv(name, value);
}

ScopedEnv::~ScopedEnv() { SetEnv(name_, old_); }

void WriteBytes(const std::string& path, std::string_view bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), std::streamsize(bytes.size()));
    ASSERT_TRUE(out.good()) << path;
}

std::string ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool FileExists(const std::string& path) {
    std::error_code ec;
    return std::filesystem::exists(path, ec);
}

// ---- Helpers shared by the codec, load and save tests ----

platform::Bitmap MakePattern(int w, int h, std::uint32_t seed) {
    platform::Bitmap bitmap;
    EXPECT_TRUE(bitmap.Allocate(w, h).ok());
    FillPattern(bitmap, seed);
    return bitmap;
}

platform::Bitmap MakeSmooth(int w, int h) {
    platform::Bitmap bitmap;
    EXPECT_TRUE(bitmap.Allocate(w, h).ok());
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const auto r = std::uint32_t(128 + int(100 * std::sin(x / 23.0 + y / 41.0)));
            const auto g = std::uint32_t(128 + int(90 * std::cos(x / 37.0 - y / 19.0)));
            const auto b = std::uint32_t(128 + int(80 * std::sin((x + y) / 29.0)));
            bitmap.at(x, y) = 0x5A000000u | r << 16 | g << 8 | b;
        }
    }
    return bitmap;
}

int ChannelDifference(const platform::Bitmap& a, const platform::Bitmap& b, double* mean) {
    double sum = 0;
    int worst = 0;
    for (int y = 0; y < b.height(); ++y) {
        for (int x = 0; x < b.width(); ++x) {
            for (int shift = 0; shift < 24; shift += 8) {
                const int d = std::abs(int(a.at(x, y) >> shift & 0xFF) - int(b.at(x, y) >> shift & 0xFF));
                sum += d;
                worst = std::max(worst, d);
            }
        }
    }
    if (mean) *mean = b.empty() ? 0 : sum / (3.0 * double(b.pixelCount()));
    return worst;
}

static std::uint32_t Be32(const std::string& s, std::size_t at) {
    std::uint32_t v = 0;
    for (std::size_t i = 0; i < 4; ++i) v = v << 8 | std::uint8_t(s[at + i]);
    return v;
}

static void PutBe32(std::string& s, std::size_t at, std::uint32_t v) {
    for (std::size_t i = 0; i < 4; ++i) s[at + i] = char(v >> (24 - 8 * i));
}

std::string LittleEndian(std::uint64_t v, int bytes) {
    std::string s;
    for (int i = 0; i < bytes; ++i) s += char(v >> 8 * i);
    return s;
}

std::size_t PngChunk(const std::string& png, const char* type) {
    for (std::size_t at = 8; at + 8 <= png.size(); at += 12 + std::size_t(Be32(png, at))) {
        if (png.compare(at + 4, 4, type) == 0) return at;
    }
    return std::string::npos;
}

void FixPngCrc(std::string& png, std::size_t chunk) {
    const std::size_t end = chunk + 8 + Be32(png, chunk);  // CRC over chunk type and data
    std::uint32_t c = 0xFFFFFFFFu;
    for (std::size_t i = chunk + 4; i < end; ++i) {
        c ^= std::uint8_t(png[i]);
        for (int k = 0; k < 8; ++k) c = c >> 1 ^ (0xEDB88320u & (0u - (c & 1u)));
    }
    PutBe32(png, end, ~c);
}

std::string WithPngSize(std::string png, std::uint32_t width, std::uint32_t height) {
    PutBe32(png, 16, width);
    PutBe32(png, 20, height);
    FixPngCrc(png, 8);
    return png;
}

// ---- Child processes, shared by the robustness tests (malformed_test, robustness_test) ----

ChildRun RunInChild(const std::function<int(int fd)>& body, const ChildLimits& limits) {
    int fds[2];
    ChildRun run;
    if (::pipe(fds) != 0) return run;
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        if (limits.addressSpace) {
            const rlimit cap{rlim_t(limits.addressSpace), rlim_t(limits.addressSpace)};
            ::setrlimit(RLIMIT_AS, &cap);
        }
        ::alarm(limits.seconds);
        ::_exit(body(fds[1]));
    }
    ::close(fds[1]);
    // Reads until the child closes its end; kills it when it outlives its alarm.
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::seconds(limits.seconds + 3);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            ::kill(pid, SIGKILL);
            run.hung = true;
            break;
        }
        pollfd p{fds[0], POLLIN, 0};
        if (::poll(&p, 1, int(left.count())) <= 0) continue;
        char buf[4096];
        const ssize_t n = ::read(fds[0], buf, sizeof buf);
        if (n <= 0) break;
        run.out.append(buf, std::size_t(n));
    }
    ::close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (WIFSIGNALED(status)) run.signal = WTERMSIG(status);
    if (WIFEXITED(status)) run.exitCode = WEXITSTATUS(status);
    run.hung = run.hung || run.signal == SIGALRM;
    return run;
}

ChildRun RunProgram(const std::vector<std::string>& argv, const ChildLimits& limits) {
    return RunInChild(
        [&](int fd) {
            ::dup2(fd, 2);
            ::dup2(::open("/dev/null", O_WRONLY), 1);
            std::vector<std::string> args = argv;
            std::vector<char*> pointers;
            for (auto& a : args) pointers.push_back(a.data());
            pointers.push_back(nullptr);
            ::execv(pointers[0], pointers.data());
            return 127;
        },
        limits);
}

::testing::AssertionResult CliRefused(const ChildRun& run, const std::string& file) {
    const std::string text = "\n" + run.out, named = "\nglimbra-cli: " + file + ": ";
    const std::size_t at = text.find(named);
    if (run.exitCode == 1 && at != text.npos && text.find("\nglimbra-cli: ") == at &&
        text.rfind("\nglimbra-cli: ") == at && text.size() > at + named.size() &&
        text[at + named.size()] != '\n')
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "exit status " << run.exitCode << ", signal "
                                         << run.signal << ", not one message on " << file
                                         << ":\n" << run.out;
}

ChildRun RunAsOrdinaryUser(const std::function<int(int fd)>& body, const ChildLimits& limits) {
    // Looked up before the fork: a child of a process with threads should not take locks.
    const passwd* nobody = ::geteuid() == 0 ? ::getpwnam("nobody") : nullptr;
    const bool drop = ::geteuid() == 0;
    const uid_t uid = nobody ? nobody->pw_uid : 0;
    const gid_t gid = nobody ? nobody->pw_gid : 0;
    return RunInChild(
        [&](int fd) {
            if (drop && (!nobody || ::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 ||
                         ::setuid(uid) != 0 || ::geteuid() == 0))
                return kNoOrdinaryUser;
            return body(fd);
        },
        limits);
}

void Tell(int fd, const std::string& text) {
    for (std::size_t done = 0; done < text.size();) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n <= 0) return;
        done += std::size_t(n);
    }
}

// ---- End of the child-process block ----

}  // namespace testing_support
