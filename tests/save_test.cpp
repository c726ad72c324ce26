// Saving the result: the file status test, the extension rule, the atomic writer and the save
// command driven through a scripted user interface.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "codec/codec.h"
#include "imagefiles/save_result.h"
#include "platform/files.h"
#include "startup/settings.h"
#include "test_support.h"

namespace {

using namespace testing_support;
using namespace std::string_view_literals;

// Every file and folder below root with its contents ("/" for a folder).
std::map<std::string, std::string> Snapshot(const std::string& root) {
    std::map<std::string, std::string> all;
    for (const auto& e : std::filesystem::recursive_directory_iterator(root))
        all[e.path().string()] = e.is_directory() ? "/" : ReadBytes(e.path().string());
    return all;
}

// Name, chosen type (1 all images, 2 BMP, 3 JPEG, 4 PNG; others as 1), settled name. The
// extension given back is always the settled name's last four characters upper-cased.
using ExtensionCase = std::tuple<const char*, std::int32_t, const char*>;

class ExtensionRule : public ::testing::TestWithParam<ExtensionCase> {};

TEST_P(ExtensionRule, SettlesNameAndExtension) {
    const auto [name, type, settled] = GetParam();
    std::string ext, tail = std::string(settled).substr(std::strlen(settled) - 4);
    EXPECT_EQ(imagefiles::SettleExtension(name, type, &ext), settled);
    for (char& c : tail) c = char(std::toupper(c));
    EXPECT_EQ(ext, tail);
}

// clang-format off
const ExtensionCase kExtensions[] = {
    {"result", 1, "result.BMP"}, {"result.jpg", 2, "result.jpg.BMP"}, {"result", 9, "result.BMP"},
    {"result.jpeg", 3, "result.jpeg.JPG"}, {"result.jpeg", 1, "result.jpeg.BMP"},
    {"Result.Png", 1, "Result.Png"}, {"result.PNG", 4, "result.PNG"},
    {"result.bMp", 2, "result.bMp"}, {"result.png", 3, "result.png.JPG"},
    {"result.png", 0, "result.png"}, {"result.jpg", 1, "result.jpg"},
    {"result.png ", 1, "result.png .BMP"}, {"PNG", 4, "PNG.PNG"} /* shorter than 4 */,
    {".png", 4, ".png"} /* exactly the extension */,
    {"結果.png", 1, "結果.png"}, {"結果ＰＮＧ", 4, "結果ＰＮＧ.PNG"} /* non-ASCII before it */};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Table, ExtensionRule, ::testing::ValuesIn(kExtensions),
                         [](const auto& info) { return "Case" + std::to_string(info.index); });

std::string Style(std::uint32_t style) { return std::to_string(style); }

// The result slot, a private folder, and a user interface that answers from a script.
class SaveCommand : public ::testing::Test, public platform::UiHost {
  protected:
    bool GetOpenFileName(platform::FileDialogRecord&) override { return false; }
    bool GetSaveFileName(platform::FileDialogRecord& record) override {
        dialogs_.push_back(record);
        record.file = answerFile_;
        record.filterIndex = answerType_;
        return !answerFile_.empty();  // an empty answer is a cancel
    }
    bool ChooseColor(platform::HWND, std::uint32_t&, std::array<std::uint32_t, 16>&) override {
        return false;
    }
    int MessageBox(platform::HWND, const std::string& text, const std::string& caption,
                   std::uint32_t style) override {
        boxes_.push_back(text + "|" + caption + "|" + std::to_string(style));
        return answerBox_;
    }
    void SetUp() override {
        ASSERT_TRUE(slots_.picLoad[2].Resize(57, 41).ok());
        FillPattern(*slots_.picLoad[2].hDC(), 11);
        platform::SetUi(this);
    }
    platform::Surface& slot() { return slots_.picLoad[2]; }
    void TearDown() override {
        platform::SetUi(nullptr);
        basCommon::JpegRate = saved_[0], basCommon::JpegPrgrs = saved_[1],
        basCommon::PngRate = saved_[2];
    }
    void Save(const std::string& name, std::uint32_t type, int answer = platform::IDYES) {
        answerFile_ = name, answerType_ = type, answerBox_ = answer;
        boxes_.clear();
        imagefiles::SaveResult(slots_, 42);
    }

    compose::SlotSet slots_;
    TempDir dir_;
    std::string answerFile_;
    std::uint32_t answerType_ = 1;
    int answerBox_ = platform::IDYES;
    std::vector<platform::FileDialogRecord> dialogs_;
    std::vector<std::string> boxes_;  // text|caption|style
    const std::int16_t saved_[3] = {basCommon::JpegRate, basCommon::JpegPrgrs, basCommon::PngRate};
};

// A failed write changes nothing on disk: the old file stays and no temporary file is left.
struct FailingWrite {
    const char* name;
    const char* target;  // "locked/..." lies in a read-only folder
    const char* ext;
    imagefiles::OutputSettings settings;
    const char* reasonPart;
};
void PrintTo(const FailingWrite& w, std::ostream* os) { *os << w.name; }

class FailedSave : public SaveCommand, public ::testing::WithParamInterface<FailingWrite> {};

TEST_P(FailedSave, LeavesEverythingAsItWas) {
    const FailingWrite& c = GetParam();
    if (c.target[0] == 'l' && ::geteuid() == 0)
        GTEST_SKIP() << "running as root, which writes into read-only folders regardless";
    std::filesystem::create_directory(dir_.file("locked"));
    for (const char* old : {"old.jpg", "old.png", "locked/old.png"})
        WriteBytes(dir_.file(old), "old contents");
    ASSERT_EQ(::chmod(dir_.file("locked").c_str(), 0555), 0);
    ASSERT_TRUE(std::string(c.name) != "NothingToEncode" || slot().Resize(0, 0).ok());
    const auto before = Snapshot(dir_.path());
    const platform::Status s =
        imagefiles::WriteResultFile(slot(), dir_.file(c.target), c.ext, c.settings);
    ASSERT_FALSE(s.ok());
    EXPECT_NE(s.reason().find(c.reasonPart), std::string::npos) << s.reason();
    EXPECT_EQ(Snapshot(dir_.path()), before);
}

const FailingWrite kFailingWrites[] = {{"JpegRate300", "old.jpg", ".JPG", {300, 0, 1}, "300"},
                                       {"JpegRateNegative", "old.jpg", ".JPG", {-1, 0, 1}, "-1"},
                                       {"PngRate256", "old.png", ".PNG", {50, 0, 256}, "256"},
                                       {"NothingToEncode", "old.jpg", ".JPG", {}, ""},
                                       {"ReadOnlyFolder", "locked/old.png", ".PNG", {}, ""}};

INSTANTIATE_TEST_SUITE_P(Writes, FailedSave, ::testing::ValuesIn(kFailingWrites),
                         [](const auto& info) { return std::string(info.param.name); });

// A read-only result file: an ordinary user (a child dropped to "nobody" where the tests run as
// root) is refused with a reason that says so, and nothing changes; root replaces it, as cp does,
// and it stays read-only.
TEST_F(SaveCommand, ReadOnlyFileIsRefusedAsReadOnlyExceptForRoot) {
    const std::string target = dir_.file("read-only.png");
    WriteBytes(target, "old contents");
    ASSERT_EQ(::chmod(target.c_str(), 0444), 0);
    ASSERT_EQ(::chmod(dir_.path().c_str(), 0777), 0);  // the folder would take the new file
    const ChildRun run = RunAsOrdinaryUser([&](int fd) {
        const platform::Status s = imagefiles::WriteResultFile(slot(), target, ".PNG", {});
        Tell(fd, s.reason());
        return s.ok() ? 1 : 0;
    });
    if (run.exitCode == kNoOrdinaryUser) GTEST_SKIP() << "no user \"nobody\" to run as";
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.out, "読み取り専用のファイルです");
    EXPECT_EQ(ReadBytes(target), "old contents");
    EXPECT_EQ(Snapshot(dir_.path()).size(), 1u);
    if (::geteuid() != 0) return;
    ASSERT_TRUE(imagefiles::WriteResultFile(slot(), target, ".PNG", {}).ok());
    EXPECT_EQ(ReadBytes(target).substr(1, 3), "PNG");
    struct stat st{};
    ASSERT_EQ(::stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0444u);
}

TEST_F(SaveCommand, CancelShowsTheDialogAndWritesNothing) {
    Save("", 1);
    ASSERT_EQ(dialogs_.size(), 1u);
    EXPECT_EQ(dialogs_[0].owner, 42u);
    EXPECT_EQ(dialogs_[0].title, "ファイルの保存");
    EXPECT_EQ(dialogs_[0].flags, 8196u);
    EXPECT_EQ(dialogs_[0].filter,
              "画像ファイル\0*.bmp;*.jpg;*.png\0ビットマップファイル\0*.bmp\0"
              "ＪＰＥＧファイル\0*.jpg\0ＰＮＧファイル\0*.png\0"sv);
    EXPECT_TRUE(boxes_.empty());
    EXPECT_TRUE(Snapshot(dir_.path()).empty());
}

// A new name (the dialog's blanks trimmed) is written without a word; an existing one brings the
// question, and No keeps it, as does a write that fails (shown in a box), while Yes replaces it
// in the chosen format (PNG, by the name); an
// empty file is replaced without a question, and the progressive switch reaches the writer (SOF2).
TEST_F(SaveCommand, AsksBeforeReplacingAFileThatIsNotEmpty) {
    Save("  " + dir_.file("result") + "  ", 1);
    EXPECT_TRUE(boxes_.empty());
    EXPECT_EQ(ReadBytes(dir_.file("result.BMP")).substr(0, 2), "BM");
    const std::string name = dir_.file("保存 先.png");
    WriteBytes(name, "old contents");
    Save(name, 4, platform::IDNO);
    ASSERT_EQ(boxes_.size(), 1u);
    EXPECT_EQ(boxes_[0],
              "上書きしますか？\r\n" + name + "|上書き確認|" +
                  Style(platform::MB_YESNO | platform::MB_ICONQUESTION | platform::MB_DEFBUTTON1));
    EXPECT_EQ(ReadBytes(name), "old contents");
    basCommon::PngRate = 256;  // refused by the writer: the failure is shown after the question
    const std::string reason =
        imagefiles::WriteResultFile(slot(), name, ".PNG", {50, 0, 256}).reason();
    Save(name, 4);
    ASSERT_EQ(boxes_.size(), 2u);
    EXPECT_EQ(boxes_[1], "保存できませんでした。\r\n" + name + "\r\n" + reason + "|保存エラー|" +
                             Style(platform::MB_OK | platform::MB_ICONEXCLAMATION));
    EXPECT_EQ(ReadBytes(name), "old contents");
    basCommon::PngRate = saved_[2];
    Save(name, 1, platform::IDYES);
    EXPECT_EQ(ReadBytes(name).substr(1, 3), "PNG");
    WriteBytes(dir_.file("empty.JPG"), "");
    basCommon::JpegPrgrs = -1;
    Save(dir_.file("empty.JPG"), 3);
    EXPECT_TRUE(boxes_.empty());
    EXPECT_NE(ReadBytes(dir_.file("empty.JPG")).find("\xFF\xC2"), std::string::npos);
    EXPECT_EQ(Snapshot(dir_.path()).size(), 3u);  // no temporary file left
}

// A pipe, directly or through a link, is no file to replace: the save shows why and leaves the
// node as it was (it used to be replaced by a regular file).
TEST_F(SaveCommand, RefusesATargetThatIsNotARegularFile) {
    ASSERT_EQ(::mkfifo(dir_.file("pipe.png").c_str(), 0666), 0);
    std::filesystem::create_symlink("pipe.png", dir_.file("link.png"));
    for (const char* name : {"pipe.png", "link.png"}) {
        Save(dir_.file(name), 4);
        ASSERT_EQ(boxes_.size(), 1u) << name;
        EXPECT_NE(boxes_[0].find("通常のファイルではありません"), std::string::npos) << boxes_[0];
        EXPECT_NE(boxes_[0].find("|保存エラー|"), std::string::npos) << boxes_[0];
    }
    EXPECT_TRUE(std::filesystem::is_fifo(dir_.file("pipe.png")));
    EXPECT_TRUE(std::filesystem::is_symlink(dir_.file("link.png")));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_.path()), {}), 2);
}

// A name whose status cannot be read, or a folder (no file to replace): "number:text" is shown,
// and only the command ends; the result can still be saved under another name.
TEST_F(SaveCommand, UnreadableStatusIsShownAndOnlyTheCommandEnds) {
    WriteBytes(dir_.file("file.txt"), "x");
    std::filesystem::create_directory(dir_.file("folder.BMP"));
    for (const auto& [name, error] :
         {std::pair{"file.txt/result.bmp", ENOTDIR}, {"folder.BMP", EISDIR}}) {
        Save(dir_.file(name), 1);
        ASSERT_EQ(boxes_.size(), 1u);
        EXPECT_EQ(boxes_[0], std::to_string(error) + ":" + platform::ErrnoText(error) +
                                 "|システムエラー|" +
                                 Style(platform::MB_OK | platform::MB_ICONSTOP));
    }
    Save(dir_.file("again"), 1);
    EXPECT_TRUE(FileExists(dir_.file("again.BMP")));
}

}  // namespace
