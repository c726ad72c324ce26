#include "startup/settings.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "platform/files.h"
#include "test_support.h"

namespace {

using testing_support::FileExists;
using testing_support::ReadBytes;
using testing_support::TempDir;
using testing_support::WriteBytes;

// The settings record against a settings file in a private folder standing in for the
// executable's folder.
class SettingsFile : public ::testing::Test {
  protected:
    void SetUp() override {
        platform::SetExeFolderForTesting(dir_.path());
        basCommon::JpegRate = basCommon::JpegPrgrs = basCommon::PngRate = basCommon::OptionsGif =
            99;
    }
    void TearDown() override { platform::SetExeFolderForTesting(""); }
    std::string ini() const { return dir_.file("Glimbra.ini"); }
    void Write(std::string_view text) const { WriteBytes(ini(), text); }
    std::string Read() const { return ReadBytes(ini()); }

    TempDir dir_;
};

TEST_F(SettingsFile, FirstStartReadsDefaultsAndCreatesOnlyTheThreeWrittenKeys) {
    basCommon::LoadSettings();
    EXPECT_EQ(basCommon::SettingsPath, ini());
    EXPECT_EQ(basCommon::JpegRate, 50);
    EXPECT_EQ(basCommon::JpegPrgrs, 0);
    EXPECT_EQ(basCommon::PngRate, 1);
    EXPECT_EQ(basCommon::OptionsGif, 1);
    basCommon::SaveSettings();
    EXPECT_EQ(Read(), "[JPEG]\nRate=50\nPrgrs=0\n[PNG]\nRate=1\n");
    // Replaced through a temporary file that must not stay behind.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_.path()), {}), 1);
}

TEST_F(SettingsFile, FolderEndingInSeparatorGetsNoSecondOne) {
    platform::SetExeFolderForTesting(dir_.path() + "/");
    basCommon::LoadSettings();
    EXPECT_EQ(basCommon::SettingsPath, ini());
}

TEST_F(SettingsFile, GifSwitchIsReadAndSurvivesEverySave) {
    Write("[Options]\nGIF=0\n[JPEG]\nRate=80\n");
    basCommon::LoadSettings();
    EXPECT_EQ(basCommon::OptionsGif, 0);
    basCommon::SaveSettings();
    basCommon::JpegRate = 30;
    basCommon::SaveSettings();
    EXPECT_EQ(Read(), "[Options]\nGIF=0\n[JPEG]\nRate=30\nPrgrs=0\n[PNG]\nRate=1\n");
}

TEST_F(SettingsFile, CrlfFileWithLeadingZerosIsRewrittenCanonicallyInCrlf) {
    Write("[JPEG]\r\nRate=007\r\n");
    basCommon::LoadSettings();
    EXPECT_EQ(basCommon::JpegRate, 7);
    basCommon::SaveSettings();
    EXPECT_EQ(Read(), "[JPEG]\r\nRate=7\r\nPrgrs=0\r\n[PNG]\r\nRate=1\r\n");
}

TEST_F(SettingsFile, ProgressiveIsStoredAsMinusOneAndReadBack) {
    basCommon::LoadSettings();
    basCommon::JpegPrgrs = -1;
    basCommon::SaveSettings();
    EXPECT_NE(Read().find("Prgrs=-1\n"), std::string::npos);
    basCommon::JpegPrgrs = 0;
    basCommon::LoadSettings();
    EXPECT_EQ(basCommon::JpegPrgrs, -1);
}

TEST_F(SettingsFile, EveryOtherLineStaysByteForByteAndNamesIgnoreCase) {
    const std::string before =
        "; written by hand\r\n\r\n[jpeg]\r\n  RATE = 70 \r\nQuality=high\r\n; note\r\n\r\n"
        "[Other]\r\nRate=1\r\n[png]\r\nrate=\"2\"";
    Write(before);
    basCommon::LoadSettings();
    EXPECT_EQ(basCommon::JpegRate, 70);
    EXPECT_EQ(basCommon::PngRate, 2);
    basCommon::SaveSettings();
    EXPECT_EQ(
        Read(),
        "; written by hand\r\n\r\n[jpeg]\r\n  RATE=70\r\nQuality=high\r\nPrgrs=0\r\n; note\r\n"
        "\r\n[Other]\r\nRate=1\r\n[png]\r\nrate=2");
}

TEST_F(SettingsFile, UnwritableFolderIsIgnoredSilently) {
    // A folder that does not exist fails for every user, root included.
    platform::SetExeFolderForTesting(dir_.file("gone"));
    basCommon::LoadSettings();
    EXPECT_NO_THROW(basCommon::SaveSettings());
    EXPECT_EQ(basCommon::JpegRate, 50);
    EXPECT_FALSE(FileExists(dir_.file("gone")));
}

TEST_F(SettingsFile, ReadOnlyFolderIsIgnoredSilently) {
    if (::geteuid() == 0) GTEST_SKIP() << "root writes into a read-only folder anyway";
    ASSERT_EQ(::chmod(dir_.path().c_str(), 0555), 0);
    basCommon::LoadSettings();
    EXPECT_NO_THROW(basCommon::SaveSettings());
    EXPECT_FALSE(FileExists(ini()));
}

// Not ours to parse or to overwrite: read as missing, and left exactly as it was.
TEST_F(SettingsFile, HugeOrBinaryFileReadsAsMissingAndIsNeverOverwritten) {
    const std::string huge = "[JPEG]\nRate=80\n" + std::string(17u << 20, ';') + "\n";
    const std::string binary = std::string("[JPEG]\nRate=80\n\0\x01\x02", 18);
    for (const std::string& contents : {huge, binary}) {
        Write(contents);
        basCommon::LoadSettings();
        EXPECT_EQ(basCommon::JpegRate, 50);
        basCommon::SaveSettings();
        EXPECT_TRUE(Read() == contents);
    }
}

struct StoredValue {
    const char* text;
    int expected;  // 50 is the default of JPEG Rate
};

class StoredRate : public SettingsFile, public ::testing::WithParamInterface<StoredValue> {};

TEST_P(StoredRate, IsReadAsWholeNumberOrDefault) {
    Write(std::string("[JPEG]\nRate=") + GetParam().text + "\n");
    basCommon::LoadSettings();
    EXPECT_EQ(basCommon::JpegRate, GetParam().expected) << '"' << GetParam().text << '"';
}

INSTANTIATE_TEST_SUITE_P(
    Values, StoredRate,
    ::testing::Values(StoredValue{"12", 12}, StoredValue{" 12\t", 12}, StoredValue{"+12", 12},
                      StoredValue{"-32768", -32768}, StoredValue{"32767", 32767},
                      StoredValue{"", 50}, StoredValue{"32768", 50}, StoredValue{"-32769", 50},
                      StoredValue{"99999999999999", 50}, StoredValue{"12abc", 50},
                      StoredValue{"1e3", 50}, StoredValue{"0x10", 50}, StoredValue{"+-1", 50},
                      StoredValue{"--1", 50}, StoredValue{"-", 50}, StoredValue{"1 2", 50}));

// The profile functions through ReadIni and WriteIni.
class Profile : public ::testing::Test {
  protected:
    std::string Read(std::string_view contents, const char* section, const char* key) {
        WriteBytes(path_, contents);
        return basFunc::ReadIni(section, key, "dflt", path_);
    }
    std::string AfterWrite(std::string_view contents, const char* section, const char* key,
                           const char* value) {
        WriteBytes(path_, contents);
        EXPECT_EQ(basFunc::WriteIni(section, key, value, path_), 1);
        return ReadBytes(path_);
    }
    TempDir dir_;
    std::string path_ = dir_.file("t.ini");
};

TEST_F(Profile, Reading) {
    EXPECT_EQ(basFunc::ReadIni("S", "k", "dflt  ", dir_.file("missing.ini")), "dflt");
    EXPECT_EQ(Read("[S]\nk=\n", "S", "k"), "");
    EXPECT_EQ(Read("[S]\nj=1\n", "S", "k"), "dflt");
    EXPECT_EQ(Read("[T]\nk=1\n", "S", "k"), "dflt");
    EXPECT_EQ(Read("[ S ]\n\t k  =  v v \n", " s", "K "), "v v");
    EXPECT_EQ(Read("[S]\nk=\"quoted \"\n", "S", "k"), "quoted ");
    EXPECT_EQ(Read("[S]\nk=\"x\n", "S", "k"), "\"x");
    EXPECT_EQ(Read("[S]\nk=a=b\n", "S", "k"), "a=b");
    EXPECT_EQ(Read("[S]\n;k=1\nk\nk=2", "S", "k"), "2");
    EXPECT_EQ(Read("\xEF\xBB\xBF[S]\r\nk=1\r\n", "S", "k"), "1");
    EXPECT_EQ(Read("[S]\nk=1\nk=2\n[S]\nk=3\nj=4\n", "S", "k"), "1");
    EXPECT_EQ(Read("[S]\nk=1\n[S]\nj=4\n", "S", "j"), "dflt");  // only the first section counts
    EXPECT_EQ(Read("[Ä]\nö=1\n", "Ä", "ö"), "1");
}

TEST_F(Profile, ValuesAreCutAtTheBufferOf255) {
    EXPECT_EQ(Read("[S]\nk=" + std::string(254, 'x') + "\n", "S", "k"), std::string(254, 'x'));
    EXPECT_EQ(Read("[S]\nk=" + std::string(255, 'y') + "\n", "S", "k"), std::string(254, 'y'));
}

TEST_F(Profile, Writing) {
    EXPECT_EQ(AfterWrite("[S]\nk=1\nk=2\n[S]\nk=3\n", "s", "K", "9"), "[S]\nk=9\nk=2\n[S]\nk=3\n");
    EXPECT_EQ(AfterWrite("[A]\nx=1\n;c\n\n[B]\n", "A", "z", "3"), "[A]\nx=1\nz=3\n;c\n\n[B]\n");
    EXPECT_EQ(AfterWrite("[A]\n\n[B]\n", "A", "z", "3"), "[A]\nz=3\n\n[B]\n");
    EXPECT_EQ(AfterWrite("[A]\r\nx=1", "A", "z", "3"), "[A]\r\nx=1\r\nz=3\r\n");
    EXPECT_EQ(AfterWrite("[A]\r\nx=1", "A", "x", "2"), "[A]\r\nx=2");
    EXPECT_EQ(AfterWrite("x=1", "B", "y", "2"), "x=1\n[B]\ny=2\n");
    EXPECT_EQ(AfterWrite("", "B", "y", ""), "[B]\ny=\n");
}

TEST_F(Profile, WritesThatWouldBreakTheFileAreRefused) {
    WriteBytes(path_, "[S]\nk=1\n");
    for (auto [section, key, value] : {std::tuple{"S", "k", "1\n[T]"},
                                       {"S", "a=b", "1"},
                                       {"S]", "k", "1"},
                                       {"S", "", "1"},
                                       {"S", ";k", "1"}}) {
        EXPECT_EQ(basFunc::WriteIni(section, key, value, path_), 0) << key << value;
    }
    EXPECT_EQ(ReadBytes(path_), "[S]\nk=1\n");
}

TEST(TextHelpers, AddBackslashAddPathSeparatorCutAtNul) {
    EXPECT_EQ(basFunc::AddBackslash(""), "\\");
    EXPECT_EQ(basFunc::AddBackslash("C:\\"), "C:\\");
    EXPECT_EQ(basFunc::AddBackslash("C:\\a/"), "C:\\a/\\");
    EXPECT_EQ(basFunc::AddPathSeparator(""), "/");
    EXPECT_EQ(basFunc::AddPathSeparator("/"), "/");
    EXPECT_EQ(basFunc::AddPathSeparator("/opt/g\\"), "/opt/g\\/");
    EXPECT_EQ(basFunc::CutAtNul(std::string("\0abc", 4)), "");
    EXPECT_EQ(basFunc::CutAtNul(std::string("ab\0c\0", 5)), "ab");
    EXPECT_EQ(basFunc::CutAtNul("abc"), "abc");
}

}  // namespace
