// A single glimbra-cli job whose working set cannot fit is refused from the headers, before
// anything is decoded: a 29-byte GIF of 16000 × 16000 under a 3 GB address-space limit names what
// it needs and what there is, and the tool never grows past a few dozen MiB (it decoded the
// picture first, 2 GB, before the composition refused).

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "codec/codec.h"
#include "compose/slots.h"
#include "imagefiles/load_image.h"
#include "test_support.h"

namespace {

using testing_support::TempDir;

std::string Le16(unsigned v) { return {char(v & 0xFF), char(v >> 8)}; }

// A GIF whose screen and one frame are w × h, coded by a clear code and an end code.
std::string BlankGif(unsigned w, unsigned h) {
    return "GIF89a" + Le16(w) + Le16(h) + std::string("\0\0\0", 3) + "," + Le16(0) + Le16(0) +
           Le16(w) + Le16(h) + std::string("\0\x02\x02\x44\x01\0;", 7);
}

struct Finished {
    int exitCode = -1;
    long peakKiB = 0;
    std::string err;
};

// Runs argv under an address-space limit; stderr goes to a file. The peak resident size is the
// child's own, from wait4.
Finished RunLimited(const std::vector<std::string>& argv, rlim_t addressSpace,
                    const std::string& errFile) {
    Finished f;
    const pid_t pid = ::fork();
    if (pid == 0) {
        const rlimit cap{addressSpace, addressSpace};
        const int fd = ::open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (fd < 0 || ::dup2(fd, 2) < 0 || ::setrlimit(RLIMIT_AS, &cap) != 0) ::_exit(120);
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        ::alarm(120);
        ::execv(args[0], args.data());
        ::_exit(121);
    }
    int status = 0;
    rusage usage{};
    if (pid > 0 && ::wait4(pid, &status, 0, &usage) == pid && WIFEXITED(status)) {
        f.exitCode = WEXITSTATUS(status);
        f.peakKiB = usage.ru_maxrss;
    }
    f.err = testing_support::ReadBytes(errFile);
    return f;
}

TEST(SingleJobMemory, AJobThatCannotFitIsRefusedFromItsHeadersBeforeDecoding) {
    if (testing_support::kUnderAsan) GTEST_SKIP() << "AddressSanitizer reserves terabytes";
    TempDir dir;
    const std::string source = dir.file("large.gif");
    testing_support::WriteBytes(source, BlankGif(16000, 16000));
    const std::string floating = dir.file("texture.bmp");
    ASSERT_TRUE(codec::SavePicture(testing_support::MakePattern(7, 5, 1), floating));
    const Finished run = RunLimited({GLIMBRA_CLI_PATH, source, floating, dir.file("out.png")},
                                    rlim_t{3000000} * 1024, dir.file("stderr"));
    EXPECT_EQ(run.exitCode, 1) << run.err;
    EXPECT_EQ(run.err.rfind("glimbra-cli: " + source + ": not enough memory: needs ", 0), 0u)
        << run.err;
    EXPECT_NE(run.err.find(", available "), std::string::npos) << run.err;
    EXPECT_LT(run.peakKiB, 200 * 1024) << "the picture was decoded before the refusal";
    EXPECT_FALSE(testing_support::FileExists(dir.file("out.png")));
}

// The loader, too, checks a picture's memory before decoding it. A progressive JPEG of
// 4000 × 3000 needs its picture (46 MiB) and libjpeg's coefficients for every scan (34 MiB):
// with 60 MiB of address space left, the load is refused with both figures, and the process
// grows by nothing (it decoded every scan into the coefficients first).
TEST(SingleJobMemory, AProgressiveJpegThatCannotFitIsRefusedBeforeItsScansAreRead) {
    if (testing_support::kUnderAsan) GTEST_SKIP() << "AddressSanitizer reserves terabytes";
    TempDir dir;
    const std::string jpeg = dir.file("progressive.jpg");
    platform::Bitmap smooth = testing_support::MakeSmooth(4000, 3000);
    ASSERT_EQ(codec::DCSavetoJPEG(&smooth, 4000, 3000, jpeg, 90, 1), 0);
    smooth = platform::Bitmap();
    const testing_support::ChildRun run = testing_support::RunInChild(
        [&](int fd) {
            const std::string status = testing_support::ReadBytes("/proc/self/status");
            const std::size_t at = status.find("VmSize:");
            if (at == std::string::npos) return 10;
            const rlim_t mapped = rlim_t(std::stoull(status.substr(at + 7))) * 1024;
            const rlimit cap{mapped + (rlim_t{60} << 20), RLIM_INFINITY};
            if (::setrlimit(RLIMIT_AS, &cap) != 0) return 11;
            rusage before{}, after{};
            ::getrusage(RUSAGE_SELF, &before);
            compose::SlotSet slots;
            std::string reason;
            const std::int32_t loaded = basCommon::LoadImageSlot(slots, jpeg, 0, &reason);
            ::getrusage(RUSAGE_SELF, &after);
            reason += "\ngrew " + std::to_string((after.ru_maxrss - before.ru_maxrss) / 1024) + " MiB";
            if (::write(fd, reason.data(), reason.size()) < 0) return 12;
            if (loaded == 0) return 13;
            return after.ru_maxrss - before.ru_maxrss < 16 * 1024 ? 0 : 14;
        },
        {60, 0});
    EXPECT_EQ(run.exitCode, 0) << run.out;
    for (const char* part : {"必要", "使える量", "RLIMIT_AS"})
        EXPECT_NE(run.out.find(part), std::string::npos) << run.out;
}

}  // namespace
