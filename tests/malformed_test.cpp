// Damaged, hostile, misnamed and unreadable image files of every format we read, through the load
// procedure and through the command-line tool. Each file runs in a child process with a time limit
// and an address-space cap, so that a hang, a crash or an allocation beyond what the pixel limit
// allows fails the test instead of the test program. Every file must end with a clear refusal or
// a correct image, and both front ends must come to the same end. The counts are printed.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>

#include "compose/slots.h"
#include "imagefiles/load_image.h"
#include "test_support.h"
#include "tools/make_malformed.h"

namespace malformed {
void PrintTo(Format f, std::ostream* os) { *os << Label(f); }
}  // namespace malformed

namespace {

using malformed::Format;
using testing_support::TempDir;

// Loading one picture at the pixel limit needs about 2 GiB (decoder output and our copy); 3 GiB
// leaves room for the program itself and nothing for a size the checks should have refused. The
// sanitizers reserve terabytes of address space: no cap there, and no heavy file.
const testing_support::ChildLimits kLimits{10, testing_support::kUnderAsan ? 0 : 3ull << 30};

enum class Kind { Loaded, Refused, Broken };  // Broken: crashed, hung or any other exit

// detail: "WxH hash" when loaded, the reason when refused, what went wrong otherwise.
struct Outcome {
    Kind kind;
    std::string detail;
};

Outcome Classify(const testing_support::ChildRun& r) {
    if (r.exitCode == 0 || (r.exitCode == 1 && !r.out.empty()))
        return {r.exitCode == 0 ? Kind::Loaded : Kind::Refused, r.out};
    const char* how = r.hung ? "hung" : r.signal ? strsignal(r.signal) : "exit status";
    return {Kind::Broken, std::string(how) + " " + std::to_string(r.exitCode) + ": " + r.out};
}

// LoadImageSlot in a child: exit 0 and "WxH hash" when loaded, exit 1 and the reason when not.
Outcome LoadInChild(const std::string& path) {
    return Classify(testing_support::RunInChild(
        [&](int fd) {
            compose::SlotSet slots;
            std::string reason;
            const std::int32_t r = basCommon::LoadImageSlot(slots, path, 0, &reason);
            const platform::Bitmap& image = slots.picLoad[0].Image();
            const char* p = reinterpret_cast<const char*>(image.data());
            std::string s = std::to_string(image.width()) + "x" + std::to_string(image.height());
            s += " " + std::to_string(std::hash<std::string_view>{}({p, image.pixelCount() * 4}));
            if (r != 0) s = reason;
            [[maybe_unused]] const ssize_t n = ::write(fd, s.data(), s.size());
            // A load fills the path field, a refusal leaves it alone.
            if (r == 0) return slots.FLD[0] == path && !image.empty() ? 0 : 3;
            return r == 1 && slots.FLD[0].empty() ? 1 : 3;
        },
        kLimits));
}

// glimbra-cli INPUT floating.bmp out.png (in dir) in a child: a refusal is exit status 1 with
// exactly one line "glimbra-cli: INPUT: reason" (Qt's readers may warn before it) and no output
// file.
Outcome CliInChild(const std::string& input, const TempDir& dir) {
    const std::string floating = dir.file("floating.bmp"), output = dir.file("out.png");
    const auto run =
        testing_support::RunProgram({GLIMBRA_CLI_PATH, input, floating, output}, kLimits);
    Outcome o = Classify(run);
    if (o.kind == Kind::Refused && !testing_support::CliRefused(run, input))
        o = {Kind::Broken, "message: " + o.detail};
    if (o.kind != Kind::Broken && testing_support::FileExists(output) != (o.kind == Kind::Loaded))
        o = {Kind::Broken, "output file present after exit " + o.detail};
    std::filesystem::remove(output);
    return o;
}

// One file and what it must come to besides a clean end in both front ends.
struct Case {
    std::string label, path;
    std::optional<std::string> bytes = {};  // written to path first, unless nullopt
    std::optional<Kind> must = {};          // loaded or refused, if it matters
    std::string picture = {};               // if not empty: the "WxH hash" it must be when it loads
    bool heavy = false;  // see malformed::Sample; may be too large to compose under the cap
    bool skip = false;   // heavy without a cap, or a mode of 000 when root reads anyway
};

std::vector<Case> Generated(Format f, const TempDir& dir) {
    std::vector<Case> cases;
    std::uint32_t seed = 1;
    auto add = [&](const malformed::Sample& s, std::optional<Kind> e) {
        cases.push_back({s.name, dir.file("in-" + s.name + malformed::Extension(f)), s.bytes, e, "",
                         s.heavy, s.heavy && testing_support::kUnderAsan});
    };
    // Every valid variant loads; the damage goes to the first three (the fuzzers cover the rest).
    // The PNG route reads on to the last chunk (IEND, 12 bytes): it refuses a file cut before it.
    for (const malformed::Sample& valid : malformed::ValidSamples(f, dir.path())) {
        add(valid, Kind::Loaded);
        const std::size_t pngSize = f == Format::Png ? valid.bytes.size() : 0;
        if (seed <= 3)
            for (const auto& s : malformed::Damaged(f, valid, seed++))
                add(s, s.bytes.size() + 12 <= pngSize ? Kind::Refused : std::optional<Kind>());
    }
    for (const auto& s : malformed::Hostile(f, dir.path())) add(s, {});
    add({"empty", ""}, {});
    return cases;
}

// Content and name disagree: the PNG route goes by the name, the picture loader by the content
// and only takes what is not PNG. A file loads as exactly the picture its right name gives, or
// is refused.
std::vector<Case> Misnamed(Format f, const TempDir& dir) {
    std::vector<Case> cases;
    for (const malformed::Sample& s : malformed::ValidSamples(f, dir.path())) {
        const std::string right = dir.file("right-" + s.name + malformed::Extension(f));
        testing_support::WriteBytes(right, s.bytes);
        const Outcome expected = LoadInChild(right);
        EXPECT_EQ(expected.kind, Kind::Loaded) << s.name << ": " << expected.detail;
        for (Format other : malformed::kFormats) {
            const std::string ext = malformed::Extension(other);
            const bool png = f == Format::Png || other == Format::Png;
            if (other != f)
                cases.push_back({s.name + " named " + ext, dir.file("wrong-" + s.name + ext),
                                 s.bytes, png ? std::optional(Kind::Refused) : std::nullopt,
                                 expected.detail});
        }
    }
    return cases;
}

// A folder, a named pipe, a missing file, a name beyond the system's limit, an unreadable file.
std::vector<Case> NotAFile(Format f, const TempDir& dir) {
    const std::string ext = malformed::Extension(f);
    std::filesystem::create_directory(dir.file("folder" + ext));
    EXPECT_EQ(::mkfifo(dir.file("pipe" + ext).c_str(), 0600), 0);
    std::vector<Case> cases;
    for (const std::string& name :
         std::vector<std::string>{"folder", "pipe", "missing", std::string(300, 'n')})
        cases.push_back({name.substr(0, 20), dir.file(name + ext), {}, Kind::Refused});
    const std::string locked = dir.file("locked" + ext);
    testing_support::WriteBytes(locked, malformed::ValidSamples(f, dir.path()).front().bytes);
    EXPECT_EQ(::chmod(locked.c_str(), 0), 0);
    cases.push_back({"mode 000", locked, {}, Kind::Refused, "", false, ::geteuid() == 0});
    return cases;
}

using Group = std::pair<const char*, std::vector<Case> (*)(Format, const TempDir&)>;
void PrintTo(const Group& g, std::ostream* os) { *os << g.first; }
const Group kGroups[] = {{"Generated", Generated}, {"Misnamed", Misnamed}, {"NotAFile", NotAFile}};

class Malformed : public ::testing::TestWithParam<std::tuple<Format, Group>> {};

TEST_P(Malformed, EveryFileEndsCleanlyAndAlikeInBothFrontEnds) {
    const auto [f, group] = GetParam();
    TempDir dir;
    testing_support::WriteBytes(dir.file("floating.bmp"),
                                malformed::ValidSamples(Format::Bmp, dir.path()).front().bytes);
    int loaded = 0, refused = 0, skipped = 0;
    for (const Case& c : group.second(f, dir)) {
        SCOPED_TRACE(std::string(malformed::Label(f)) + " " + c.label);
        if (c.skip && ++skipped) continue;
        if (c.bytes) testing_support::WriteBytes(c.path, *c.bytes);
        const Outcome load = LoadInChild(c.path);
        const Outcome cli = CliInChild(c.path, dir);
        EXPECT_NE(load.kind, Kind::Broken) << "LoadImageSlot " << load.detail;
        EXPECT_NE(cli.kind, Kind::Broken) << "glimbra-cli " << cli.detail;
        // A picture that loads may still be too large to compose under the cap.
        EXPECT_TRUE(cli.kind == load.kind || load.kind == Kind::Broken ||
                    (c.heavy && load.kind == Kind::Loaded))
            << "the front ends disagree: " << load.detail << " | " << cli.detail;
        EXPECT_EQ(load.kind, c.must.value_or(load.kind)) << load.detail;
        EXPECT_TRUE(c.picture.empty() || load.kind != Kind::Loaded || load.detail == c.picture)
            << load.detail << " is not the right-named picture " << c.picture;
        loaded += load.kind == Kind::Loaded;
        refused += load.kind == Kind::Refused;
    }
    // Skipped: heavy files without a memory cap, a mode of 000 when running as root.
    std::printf("[ counts   ] %-4s %-9s %3d loaded, %3d refused, %d skipped\n", malformed::Label(f),
                group.first, loaded, refused, skipped);
}

INSTANTIATE_TEST_SUITE_P(Formats, Malformed,
                         ::testing::Combine(::testing::ValuesIn(malformed::kFormats),
                                            ::testing::ValuesIn(kGroups)),
                         [](const auto& info) {
                             return std::string(malformed::Label(std::get<0>(info.param))) + "_" +
                                    std::get<1>(info.param).first;
                         });

}  // namespace
