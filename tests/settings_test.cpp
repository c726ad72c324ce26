#include "startup/settings.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <optional>

#include "platform/files.h"
#include "test_support.h"

namespace {

using namespace testing_support;

// The settings record against a settings file in a private folder standing in for the
// executable's folder. The record starts out holding a value no load may leave behind.
class SettingsFile : public ::testing::Test {
  protected:
    void SetUp() override {
        platform::SetExeFolderForTesting(dir_.path());
        basCommon::JpegRate = basCommon::JpegPrgrs = basCommon::PngRate = basCommon::OptionsGif =
            99;
    }
    void TearDown() override { platform::SetExeFolderForTesting(""); }
    std::string ini() const { return dir_.file("Glimbra.ini"); }

    TempDir dir_;
};

// The file before (nullopt: none), the record read from it (JPEG Rate, Prgrs, PNG Rate, GIF), and
// the file after two saves: only the three written keys change, the second save nothing.
using RoundTrip =
    std::tuple<std::optional<std::string>, std::tuple<int, int, int, int>, std::string>;
class SettingsRoundTrip : public SettingsFile, public ::testing::WithParamInterface<RoundTrip> {};

TEST_P(SettingsRoundTrip, ReadsTheRecordAndRewritesOnlyItsLines) {
    const auto& [before, record, after] = GetParam();
    if (before) WriteBytes(ini(), *before);
    platform::SetExeFolderForTesting(dir_.path() + "/");  // gets no second separator
    basCommon::LoadSettings();
    EXPECT_EQ(basCommon::SettingsPath, ini());
    EXPECT_EQ(std::tuple(basCommon::JpegRate, basCommon::JpegPrgrs, basCommon::PngRate,
                         basCommon::OptionsGif),
              record);
    basCommon::SaveSettings();
    basCommon::SaveSettings();
    EXPECT_EQ(ReadBytes(ini()), after);
    // Replaced through a temporary file that must not stay behind.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_.path()), {}), 1);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Files, SettingsRoundTrip, ::testing::Values(
    RoundTrip{std::nullopt, {50, 0, 1, 1}, "[JPEG]\nRate=50\nPrgrs=0\n[PNG]\nRate=1\n"},
    // GIF is never written, but must survive every save.
    RoundTrip{"[Options]\nGIF=0\n[JPEG]\nRate=80\n", {80, 0, 1, 0},
              "[Options]\nGIF=0\n[JPEG]\nRate=80\nPrgrs=0\n[PNG]\nRate=1\n"},
    RoundTrip{"[JPEG]\r\nRate=007\r\n", {7, 0, 1, 1},
              "[JPEG]\r\nRate=7\r\nPrgrs=0\r\n[PNG]\r\nRate=1\r\n"},
    RoundTrip{"[JPEG]\nPrgrs=-1\n", {50, -1, 1, 1}, "[JPEG]\nPrgrs=-1\nRate=50\n[PNG]\nRate=1\n"},
    // Comments, unknown keys and sections stay byte for byte; names ignore case; the last line
    // keeps lacking its line break.
    RoundTrip{"; by hand\r\n\r\n[jpeg]\r\n  RATE = 70 \r\nQuality=high\r\n; note\r\n\r\n"
              "[Other]\r\nRate=1\r\n[png]\r\nrate=\"2\"", {70, 0, 2, 1},
              "; by hand\r\n\r\n[jpeg]\r\n  RATE=70\r\nQuality=high\r\nPrgrs=0\r\n; note\r\n"
              "\r\n[Other]\r\nRate=1\r\n[png]\r\nrate=2"}));
// clang-format on

class StoredRate : public SettingsFile,
                   public ::testing::WithParamInterface<std::pair<std::string, int>> {};

TEST_P(StoredRate, IsReadAsWholeNumberOrTheDefault50) {
    WriteBytes(ini(), "[JPEG]\nRate=" + GetParam().first + "\n");
    basCommon::LoadSettings();
    EXPECT_EQ(basCommon::JpegRate, GetParam().second) << '"' << GetParam().first << '"';
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Values, StoredRate, ::testing::Values(
    std::pair{" +12\t", 12}, std::pair{"-32768", -32768}, std::pair{"32767", 32767},
    std::pair{"", 50}, std::pair{"32768", 50}, std::pair{"-32769", 50}, std::pair{"12abc", 50},
    std::pair{"99999999999999", 50}, std::pair{"+-1", 50}, std::pair{"-", 50}));
// clang-format on

// Not ours to parse or to overwrite: read as missing, and left exactly as it was.
TEST_F(SettingsFile, HugeOrBinaryFileReadsAsMissingAndIsNeverOverwritten) {
    const std::string huge = "[JPEG]\nRate=80\n" + std::string(17u << 20, ';') + "\n";
    for (const std::string& contents : {huge, std::string("[JPEG]\nRate=80\n\0\x01", 17)}) {
        WriteBytes(ini(), contents);
        basCommon::LoadSettings();
        EXPECT_EQ(basCommon::JpegRate, 50);
        basCommon::SaveSettings();
        EXPECT_TRUE(ReadBytes(ini()) == contents);
    }
}

TEST_F(SettingsFile, UnwritableFolderIsIgnoredSilently) {
    platform::SetExeFolderForTesting(dir_.file("gone"));  // fails for every user, root included
    basCommon::LoadSettings();
    EXPECT_NO_THROW(basCommon::SaveSettings());
    EXPECT_FALSE(FileExists(dir_.file("gone")));
    if (::geteuid() == 0) GTEST_SKIP() << "root writes into a read-only folder anyway";
    platform::SetExeFolderForTesting(dir_.path());
    ASSERT_EQ(::chmod(dir_.path().c_str(), 0555), 0);
    basCommon::LoadSettings();
    EXPECT_NO_THROW(basCommon::SaveSettings());
    EXPECT_FALSE(FileExists(ini()));
}

// The profile functions on their own: the file (nullopt: none), section, key, and the value read
// with the default "dflt  ", which loses its trailing blanks.
using ReadCase = std::tuple<std::optional<std::string>, std::string, std::string, std::string>;
class ProfileRead : public ::testing::TestWithParam<ReadCase> {};

TEST_P(ProfileRead, GivesTheFirstMatchOrTheDefault) {
    const auto& [contents, section, key, expected] = GetParam();
    TempDir dir;
    if (contents) WriteBytes(dir.file("t.ini"), *contents);
    EXPECT_EQ(basFunc::ReadIni(section, key, "dflt  ", dir.file("t.ini")), expected);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Files, ProfileRead, ::testing::Values(
    ReadCase{std::nullopt, "S", "k", "dflt"}, ReadCase{"[S]\nk=\n", "S", "k", ""},
    ReadCase{"[S]\nj=1\n[T]\nk=1\n", "S", "k", "dflt"}, ReadCase{"[S]\nk=a=b\n", "S", "k", "a=b"},
    ReadCase{"[ S ]\n\t k  =  v v \n", " s", "K ", "v v"},
    ReadCase{"[S]\nk=\"x\n", "S", "k", "\"x"}, ReadCase{"[S]\n;k=1\nk\nk=2", "S", "k", "2"},
    ReadCase{"\xEF\xBB\xBF[S]\r\nk=1\r\n", "S", "k", "1"},
    ReadCase{"[S]\nk=1\nk=2\n[S]\nk=3\n", "S", "k", "1"},
    ReadCase{"[S]\nk=1\n[S]\nj=4\n", "S", "j", "dflt"},  // only the first section counts
    ReadCase{"[S]\nk=" + std::string(254, 'x'), "S", "k", std::string(254, 'x')},
    ReadCase{"[S]\nk=" + std::string(255, 'y'), "S", "k", std::string(254, 'y')}));
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
INSTANTIATE_TEST_SUITE_P(Files, ProfileWrite, ::testing::Values(
    WriteCase{"[S]\nk=1\nk=2\n[S]\nk=3\n", "s", "K", "9", "[S]\nk=9\nk=2\n[S]\nk=3\n"},
    WriteCase{"[A]\n\n[B]\n", "A", "z", "9", "[A]\nz=9\n\n[B]\n"},
    WriteCase{"[A]\r\nx=1", "A", "z", "9", "[A]\r\nx=1\r\nz=9\r\n"},
    WriteCase{"x=1", "B", "y", "9", "x=1\n[B]\ny=9\n"}, WriteCase{"", "B", "y", "", "[B]\ny=\n"},
    WriteCase{"[S]\nk=1\n", "S", "k", "1\n[T]", "[S]\nk=1\n"},
    WriteCase{"[S]\n", "S", "a=b", "1", "[S]\n"},
    WriteCase{"[S]\n", "S]", "k", "1", "[S]\n"}, WriteCase{"[S]\n", "S", "", "1", "[S]\n"},
    WriteCase{"[S]\n", "S", ";k", "1", "[S]\n"}));
// clang-format on

}  // namespace
