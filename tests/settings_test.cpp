#include "startup/settings.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <ostream>

#include "platform/files.h"
#include "test_support.h"

namespace {

using namespace basCommon;
using namespace testing_support;

// The settings record against a settings file in a private folder standing in for the
// executable's folder, named with a trailing separator that must not be doubled (the name without
// one is robustness_test's). The record starts out holding a value no load may leave behind.
// The user's configuration folder is a private one too, never made unless a test needs it.
class SettingsFile : public ::testing::Test {
  protected:
    void SetUp() override {
        platform::SetExeFolderForTesting(dir_.path() + "/");
        JpegRate = JpegPrgrs = PngRate = OptionsGif = 99;
    }
    void TearDown() override { platform::SetExeFolderForTesting(""); }
    std::string ini() const { return dir_.file("Glimbra.ini"); }
    TempDir dir_, home_;
    ScopedEnv xdg_{"XDG_CONFIG_HOME", home_.file("config")};
};

// Where the file goes: the case's name, the executable's folder ("" the test's own folder, made
// read-only when the case brings an INI), whether the folder holds an INI, the XDG_CONFIG_HOME
// value (nullopt: unset; HOME is always the second private folder), and the file expected
// ("<exe>", "<xdg>" or "<home>" standing for the folders).
struct PathCase {
    std::string name, exeFolder;
    bool holdsIni;
    std::optional<std::string> xdg;
    std::string expected;
};
void PrintTo(const PathCase& c, std::ostream* os) { *os << c.name; }
class SettingsPathChoice : public SettingsFile, public ::testing::WithParamInterface<PathCase> {};

TEST_P(SettingsPathChoice, PortableWhenPossibleElseTheUsersConfigFolder) {
    const PathCase& c = GetParam();
    std::string exe = c.exeFolder.empty() ? dir_.path() : c.exeFolder;
    if (c.exeFolder == "gone") exe = dir_.file("gone");
    if (!std::filesystem::is_directory(exe) && c.exeFolder != "gone")
        GTEST_SKIP() << exe << " is not there to stand for a read-only folder";
    platform::SetExeFolderForTesting(exe);
    const std::string xdg =
        c.xdg.value_or("") == "<xdg>" ? home_.file("config") : c.xdg.value_or("");
    const ScopedEnv setXdg("XDG_CONFIG_HOME", c.xdg ? std::optional(xdg) : std::nullopt);
    const ScopedEnv setHome("HOME", home_.path());
    if (c.holdsIni) {
        WriteBytes(ini(), "[JPEG]\nRate=80\n");
        ASSERT_EQ(::chmod(dir_.path().c_str(), 0555), 0);
    }
    std::string expected = c.expected;
    for (const auto& [mark, folder] : {std::pair<std::string, std::string>{"<exe>", exe},
                                       {"<xdg>", home_.file("config")},
                                       {"<home>", home_.path()}}) {
        if (expected.starts_with(mark)) expected = folder + expected.substr(mark.size());
    }
    LoadSettings();
    SaveSettings();
    ::chmod(dir_.path().c_str(), 0755);
    EXPECT_EQ(SettingsPath, expected);
    EXPECT_EQ(JpegRate, c.holdsIni ? 80 : 50);
    // The folder was made where needed and the settings persist there.
    EXPECT_NE(ReadBytes(expected).find("Prgrs=0"), std::string::npos);
}

// /proc refuses new files to every user, root included, whatever its permission bits say;
// /usr/bin is never taken for one user's settings, even where root could write there.
// clang-format off
INSTANTIATE_TEST_SUITE_P(Folders, SettingsPathChoice, ::testing::ValuesIn(std::vector<PathCase>{
    {"WritableFolder", "", false, "<xdg>", "<exe>/Glimbra.ini"},
    {"ReadOnlyFolderWithIni", "", true, "<xdg>", "<exe>/Glimbra.ini"},
    {"ReadOnlyFolder", "/proc", false, "<xdg>", "<xdg>/glimbra/Glimbra.ini"},
    {"SystemProgramFolder", "/usr/bin", false, "<xdg>", "<xdg>/glimbra/Glimbra.ini"},
    {"MissingFolder", "gone", false, "<xdg>", "<xdg>/glimbra/Glimbra.ini"},
    {"ReadOnlyFolderNoXdg", "/proc", false, std::nullopt, "<home>/.config/glimbra/Glimbra.ini"},
    {"ReadOnlyFolderRelativeXdg", "/proc", false, "cfg", "<home>/.config/glimbra/Glimbra.ini"}}),
    [](const auto& info) { return info.param.name; });
// clang-format on

// The file before (nullopt: none), the record read from it (JPEG Rate, Prgrs, PNG Rate, GIF), and
// the file after two saves: only the three written keys change, the second save nothing.
using RoundTrip =
    std::tuple<std::optional<std::string>, std::tuple<int, int, int, int>, std::string>;
class SettingsRoundTrip : public SettingsFile, public ::testing::WithParamInterface<RoundTrip> {};

TEST_P(SettingsRoundTrip, ReadsTheRecordAndRewritesOnlyItsLines) {
    const auto& [before, record, after] = GetParam();
    if (before) WriteBytes(ini(), *before);
    LoadSettings();
    EXPECT_EQ(SettingsPath, ini());
    EXPECT_EQ(std::tuple(JpegRate, JpegPrgrs, PngRate, OptionsGif), record);
    for (int save = 0; save < 2; ++save) SaveSettings();
    EXPECT_EQ(ReadBytes(ini()), after);
    // Replaced through a temporary file that must not stay behind.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_.path()), {}), 1);
}

// A value that is not a whole number in -32768..32767 (blanks and one sign allowed) reads as the
// key's default and is rewritten in place; GIF is never written, but must survive every save.
// clang-format off
INSTANTIATE_TEST_SUITE_P(Files, SettingsRoundTrip, ::testing::ValuesIn(std::vector<RoundTrip>{
    {std::nullopt, {50, 0, 1, 1}, "[JPEG]\nRate=50\nPrgrs=0\n[PNG]\nRate=1\n"},
    {"[Options]\nGIF=0\n[JPEG]\nRate=-32768\nPrgrs=+-1\n[PNG]\nRate=-\n", {-32768, 0, 1, 0},
     "[Options]\nGIF=0\n[JPEG]\nRate=-32768\nPrgrs=0\n[PNG]\nRate=1\n"},
    {"[JPEG]\r\nRate=007\r\nPrgrs=12abc\r\n[PNG]\r\nRate=32768\r\n[Options]\r\nGIF=\r\n",
     {7, 0, 1, 1}, "[JPEG]\r\nRate=7\r\nPrgrs=0\r\n[PNG]\r\nRate=1\r\n[Options]\r\nGIF=\r\n"},
    {"[JPEG]\nPrgrs=-1\n[PNG]\nRate=-32769\n[Options]\nGIF=99999999999999\n", {50, -1, 1, 1},
     "[JPEG]\nPrgrs=-1\nRate=50\n[PNG]\nRate=1\n[Options]\nGIF=99999999999999\n"},
    // Comments, unknown keys and sections stay byte for byte; names ignore case; the last line
    // keeps lacking its line break.
    {"; by hand\r\n\r\n[jpeg]\r\n  RATE = +70\t\r\nQuality=high\r\n; note\r\n\r\n"
     "[Other]\r\nRate=1\r\n[png]\r\nrate=\"32767\"", {70, 0, 32767, 1},
     "; by hand\r\n\r\n[jpeg]\r\n  RATE=70\r\nQuality=high\r\nPrgrs=0\r\n; note\r\n"
     "\r\n[Other]\r\nRate=1\r\n[png]\r\nrate=32767"}}));
// clang-format on

// Not ours to parse or to overwrite: read as missing, and left exactly as it was.
TEST_F(SettingsFile, HugeOrBinaryFileReadsAsMissingAndIsNeverOverwritten) {
    const std::string huge = "[JPEG]\nRate=80\n" + std::string(17u << 20, ';') + "\n";
    for (const std::string& contents : {huge, std::string("[JPEG]\nRate=80\n\0\x01", 17)}) {
        WriteBytes(ini(), contents);
        LoadSettings();
        EXPECT_EQ(JpegRate, 50);
        SaveSettings();
        EXPECT_TRUE(ReadBytes(ini()) == contents);
    }
}

TEST_F(SettingsFile, UnwritableFolderIsIgnoredSilently) {
    platform::SetExeFolderForTesting(dir_.file("gone"));  // fails for every user, root included
    WriteBytes(home_.file("file"), "");
    const ScopedEnv xdg("XDG_CONFIG_HOME", home_.file("file/config"));  // so does this one
    LoadSettings();
    EXPECT_NO_THROW(SaveSettings());
    EXPECT_FALSE(FileExists(dir_.file("gone")));
    if (::geteuid() == 0) GTEST_SKIP() << "root writes into a read-only folder anyway";
    ASSERT_EQ(::chmod(dir_.path().c_str(), 0555), 0);
    SettingsPath = ini();
    EXPECT_NO_THROW(SaveSettings());
    EXPECT_FALSE(FileExists(ini()));
}

ino_t Inode(const std::string& path) {
    struct stat st{};
    return ::stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

// Settings beside the program that an ordinary user (a child dropped to "nobody" where the tests
// run as root) may not replace: a file they may write is rewritten in place, one they may not
// leaves the settings to their own folder, and a read-only file is never replaced. The folder
// takes no new files from that user; the user's configuration folder does.
struct LockedCase {
    std::string name;
    mode_t fileMode;
    bool portable;  // the settings stay beside the program, else in the user's folder
};
void PrintTo(const LockedCase& c, std::ostream* os) { *os << c.name; }
class LockedFolder : public SettingsFile, public ::testing::WithParamInterface<LockedCase> {};

TEST_P(LockedFolder, KeepsTheSettingsWhereTheyPersist) {
    const LockedCase& c = GetParam();
    const std::string before = "[JPEG]\nRate=80\nPrgrs=0\n[PNG]\nRate=1\n";
    WriteBytes(ini(), before);
    ASSERT_EQ(::chmod(ini().c_str(), c.fileMode), 0);
    ASSERT_EQ(::chmod(dir_.path().c_str(), 0555), 0);
    ASSERT_EQ(::chmod(home_.path().c_str(), 0777), 0);
    const ino_t inode = Inode(ini());
    const ChildRun run = RunAsOrdinaryUser([](int fd) {
        LoadSettings();
        SaveSettings();  // as at every start: the same values
        if (JpegRate != 80) return 1;
        JpegRate = 33;  // the options dialog's save
        SaveSettings();
        Tell(fd, SettingsPath);
        return 0;
    });
    ::chmod(dir_.path().c_str(), 0755);
    if (run.exitCode == kNoOrdinaryUser) GTEST_SKIP() << "no user \"nobody\" to run as";
    ASSERT_EQ(run.exitCode, 0) << run.out;
    const std::string xdgIni = home_.file("config/glimbra/Glimbra.ini");
    EXPECT_EQ(run.out, c.portable ? ini() : xdgIni);
    EXPECT_EQ(Inode(ini()), inode) << "replaced";
    if (c.portable) {
        EXPECT_EQ(ReadBytes(ini()), "[JPEG]\nRate=33\nPrgrs=0\n[PNG]\nRate=1\n");
    } else {
        EXPECT_EQ(ReadBytes(ini()), before);
        EXPECT_EQ(ReadBytes(xdgIni), "[JPEG]\nRate=33\nPrgrs=0\n[PNG]\nRate=1\n");
    }
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Files, LockedFolder, ::testing::ValuesIn(std::vector<LockedCase>{
    {"WritableFileUpdatedInPlace", 0666, true},
    {"ReadOnlyFileLeavesItToTheUsersFolder", 0444, false}}),
    [](const auto& info) { return info.param.name; });
// clang-format on

// Writing the same settings at every start leaves the file alone: a read-only file stays the very
// file it was (root, who could replace it, does not either), and so does a writable one.
TEST_F(SettingsFile, UnchangedSettingsLeaveTheFileAlone) {
    for (const mode_t mode : {0444, 0644}) {
        WriteBytes(ini(), "[JPEG]\nRate=80\nPrgrs=0\n[PNG]\nRate=1\n");
        ASSERT_EQ(::chmod(ini().c_str(), mode), 0);
        const ino_t inode = Inode(ini());
        LoadSettings();
        SaveSettings();
        EXPECT_EQ(Inode(ini()), inode) << std::oct << mode;
        ::unlink(ini().c_str());
    }
}

// The profile functions on their own. Reading asks for section " s" and key "K " (blanks and
// case do not count) with the default "d  ", which loses its trailing blanks: the file
// (nullopt: none) and the value read.
using ReadCase = std::pair<std::optional<std::string>, std::string>;
class ProfileRead : public ::testing::TestWithParam<ReadCase> {};

TEST_P(ProfileRead, GivesTheFirstMatchOrTheDefault) {
    TempDir dir;
    if (GetParam().first) WriteBytes(dir.file("t.ini"), *GetParam().first);
    EXPECT_EQ(basFunc::ReadIni(" s", "K ", "d  ", dir.file("t.ini")), GetParam().second);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Files, ProfileRead, ::testing::ValuesIn(std::vector<ReadCase>{
    {std::nullopt, "d"}, {"[S]\nk=\n", ""}, {"[S]\nj=1\n[T]\nk=1\n", "d"},
    {"[S]\nk=a=b\n", "a=b"}, {"[ S ]\n\t k  =  v v \n", "v v"}, {"[S]\nk=\"x\n", "\"x"},
    {"[S]\n;k=1\nk\nk=2", "2"}, {"\xEF\xBB\xBF[S]\r\nk=1\r\n", "1"}, {"[S]\nj=1\n[S]\nk=4\n", "d"},
    {"[S]\nk=1\nk=2\n[S]\nk=3\n", "1"}, {"[S]\nk=" + std::string(254, 'x'), std::string(254, 'x')},
    {"[S]\nk=" + std::string(255, 'y'), std::string(254, 'y')}}));
// clang-format on

// The file before, section, key, value, and the file after: a refused write returns 0 and leaves
// the file as it was, a write returns 1.
using WriteCase = std::tuple<std::string, std::string, std::string, std::string, std::string>;
class ProfileWrite : public ::testing::TestWithParam<WriteCase> {};

TEST_P(ProfileWrite, ChangesOnlyTheFirstMatchOrAddsTheKey) {
    const auto& [before, section, key, value, after] = GetParam();
    TempDir dir;
    WriteBytes(dir.file("t.ini"), before);
    EXPECT_EQ(basFunc::WriteIni(section, key, value, dir.file("t.ini")), before == after ? 0 : 1);
    EXPECT_EQ(ReadBytes(dir.file("t.ini")), after);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Files, ProfileWrite, ::testing::ValuesIn(std::vector<WriteCase>{
    {"[S]\nk=1\nk=2\n[S]\nk=3\n", "s", "K", "9", "[S]\nk=9\nk=2\n[S]\nk=3\n"},
    {"[A]\n\n[B]\n", "A", "z", "9", "[A]\nz=9\n\n[B]\n"}, {"x=1", "B", "y", "9", "x=1\n[B]\ny=9\n"},
    {"[A]\r\nx=1", "A", "z", "9", "[A]\r\nx=1\r\nz=9\r\n"}, {"", "B", "y", "", "[B]\ny=\n"},
    {"[S]\nk=1\n", "S", "k", "1\n[T]", "[S]\nk=1\n"}, {"", "S", "a=b", "1", ""},
    {"", "S]", "k", "1", ""}, {"", "S", "", "1", ""}, {"", "S", ";k", "1", ""}}));
// clang-format on

}  // namespace
