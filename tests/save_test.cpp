// Saving the result: the file status test, the extension rule, the atomic writer and the save
// command driven through a scripted user interface.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

#include "codec/codec.h"
#include "compose/slots.h"
#include "imagefiles/save_result.h"
#include "platform/files.h"
#include "platform/load_picture.h"
#include "platform/ui.h"
#include "startup/settings.h"
#include "test_support.h"

namespace {

using testing_support::FileExists;
using testing_support::ReadBytes;
using testing_support::TempDir;
using testing_support::WriteBytes;

std::vector<std::string> FolderEntries(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

// ---------------------------------------------------------------------------------------------

TEST(CheckFile, GivesTheStatusOfEachKindOfName) {
    TempDir dir;
    WriteBytes(dir.file("有り 画像.bmp"), "content");
    WriteBytes(dir.file("empty.bmp"), "");
    std::string failure;
    EXPECT_EQ(basFunc::CheckFile(""), 1);
    EXPECT_EQ(basFunc::CheckFile("    "), 1);
    EXPECT_EQ(basFunc::CheckFile(dir.file("有り 画像.bmp")), 0);
    EXPECT_EQ(basFunc::CheckFile(dir.file("empty.bmp")), 3);
    EXPECT_EQ(basFunc::CheckFile(dir.file("none.bmp")), 2);
    EXPECT_EQ(basFunc::CheckFile(dir.file("no folder/none.bmp")), 2);
}

struct StatusFailure {
    const char* name;
    std::string (*path)(const TempDir& dir);
    int error;
};

class CheckFileFailure : public ::testing::TestWithParam<StatusFailure> {};

TEST_P(CheckFileFailure, ReportsNumberAndTextInsteadOfEndingTheProgram) {
    TempDir dir;
    WriteBytes(dir.file("file.txt"), "x");
    std::filesystem::create_directory(dir.file("folder.bmp"));
    std::string failure;
    EXPECT_EQ(basFunc::CheckFile(GetParam().path(dir), &failure), -1);
    const int error = GetParam().error;
    EXPECT_EQ(failure, std::to_string(error) + ":" + platform::ErrnoText(error));
}

INSTANTIATE_TEST_SUITE_P(
    Unreadable, CheckFileFailure,
    ::testing::Values(
        StatusFailure{"FileAsFolder", [](const TempDir& d) { return d.file("file.txt/x.bmp"); },
                      ENOTDIR},
        StatusFailure{"NameTooLong",
                      [](const TempDir& d) { return d.file(std::string(300, 'a') + ".bmp"); },
                      ENAMETOOLONG},
        StatusFailure{"Folder", [](const TempDir& d) { return d.file("folder.bmp"); }, EISDIR}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------------------------

struct ExtensionCase {
    const char* name;
    std::int32_t filterIndex;
    const char* settled;
    const char* ext;
};

class ExtensionRule : public ::testing::TestWithParam<ExtensionCase> {};

TEST_P(ExtensionRule, SettlesNameAndExtension) {
    std::string ext;
    EXPECT_EQ(imagefiles::SettleExtension(GetParam().name, GetParam().filterIndex, &ext),
              GetParam().settled);
    EXPECT_EQ(ext, GetParam().ext);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ExtensionRule,
    ::testing::Values(ExtensionCase{"result", 1, "result.BMP", ".BMP"},
                      ExtensionCase{"result.jpg", 2, "result.jpg.BMP", ".BMP"},
                      ExtensionCase{"result.jpeg", 3, "result.jpeg.JPG", ".JPG"},
                      ExtensionCase{"result.jpeg", 1, "result.jpeg.BMP", ".BMP"},
                      ExtensionCase{"Result.Png", 1, "Result.Png", ".PNG"},
                      ExtensionCase{"result.PNG", 4, "result.PNG", ".PNG"},
                      ExtensionCase{"result.png", 3, "result.png.JPG", ".JPG"},
                      ExtensionCase{"result.bMp", 2, "result.bMp", ".BMP"},
                      ExtensionCase{"result.jpg", 1, "result.jpg", ".JPG"},
                      ExtensionCase{"result.png ", 1, "result.png .BMP", ".BMP"},
                      ExtensionCase{"result.png", 0, "result.png", ".PNG"},
                      ExtensionCase{"result", 9, "result.BMP", ".BMP"},
                      ExtensionCase{"PNG", 4, "PNG.PNG", ".PNG"},        // shorter than 4
                      ExtensionCase{".png", 4, ".png", ".PNG"},         // exactly the extension
                      ExtensionCase{"結果.png", 1, "結果.png", ".PNG"},  // non-ASCII before it
                      ExtensionCase{"結果ＰＮＧ", 4, "結果ＰＮＧ.PNG", ".PNG"}),
    [](const auto& info) { return "Case" + std::to_string(info.index); });

// ---------------------------------------------------------------------------------------------

class ResultSlot : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(slots_.picLoad[2].Resize(57, 41).ok());
        testing_support::FillPattern(*slots_.picLoad[2].hDC(), 11);
    }
    platform::Surface& slot() { return slots_.picLoad[2]; }

    compose::SlotSet slots_;
    TempDir dir_;
};

TEST_F(ResultSlot, EachFormatReadsBackThroughAnotherDecoder) {
    const imagefiles::OutputSettings settings;
    const std::string bmp = dir_.file("結果 画像.bmp");
    ASSERT_TRUE(imagefiles::WriteResultFile(slot(), bmp, ".BMP", settings).ok());
    std::shared_ptr<const platform::Picture> picture;
    const platform::Status loaded = platform::LoadPicture(bmp, picture);
    ASSERT_TRUE(loaded.ok()) << loaded.reason();
    ASSERT_EQ(picture->pixels.width(), 57);
    ASSERT_EQ(picture->pixels.height(), 41);
    for (int y = 0; y < 41; ++y) {
        for (int x = 0; x < 57; ++x) {
            ASSERT_EQ(picture->pixels.at(x, y), slot().Image().at(x, y)) << x << "," << y;
        }
    }

    const std::string png = dir_.file("結果 画像.png");
    ASSERT_TRUE(imagefiles::WriteResultFile(slot(), png, ".PNG", settings).ok());
    platform::Picture back;
    ASSERT_TRUE(codec::ReadPng(png, back).ok());
    EXPECT_EQ(back.pixels.at(56, 40), slot().Image().at(56, 40));

    const std::string jpg = dir_.file("結果 画像.jpg");
    ASSERT_TRUE(imagefiles::WriteResultFile(slot(), jpg, ".JPG", settings).ok());
    ASSERT_TRUE(platform::LoadPicture(jpg, picture).ok());
    EXPECT_EQ(picture->pixels.width(), 57);
    EXPECT_EQ(picture->pixels.height(), 41);
    EXPECT_EQ(FolderEntries(dir_.path()).size(), 3u);  // no temporary file left
}

struct FailingWrite {
    const char* name;
    const char* ext;
    imagefiles::OutputSettings settings;
    const char* reasonPart;
};

class FailedSave : public ResultSlot, public ::testing::WithParamInterface<FailingWrite> {};

TEST_P(FailedSave, LeavesTheExistingFileAndNoTemporaryFile) {
    const std::string target = dir_.file("既存 file");
    WriteBytes(target, "old contents");
    const platform::Status s =
        imagefiles::WriteResultFile(slot(), target, GetParam().ext, GetParam().settings);
    ASSERT_FALSE(s.ok());
    EXPECT_NE(s.reason().find(GetParam().reasonPart), std::string::npos) << s.reason();
    EXPECT_EQ(ReadBytes(target), "old contents");
    EXPECT_EQ(FolderEntries(dir_.path()), std::vector<std::string>{"既存 file"});
}

INSTANTIATE_TEST_SUITE_P(
    Settings, FailedSave,
    ::testing::Values(FailingWrite{"JpegRate300", ".JPG", {300, 0, 1}, "JPEG"},
                      FailingWrite{"JpegRateNegative", ".JPG", {-1, 0, 1}, "JPEG"},
                      FailingWrite{"PngRate256", ".PNG", {50, 0, 256}, "PNG"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ResultSlot, WriterFailureLeavesTheExistingFile) {
    const std::string target = dir_.file("keep.jpg");
    WriteBytes(target, "old contents");
    ASSERT_TRUE(slot().Resize(0, 0).ok());  // nothing to encode: the JPEG writer refuses
    EXPECT_FALSE(imagefiles::WriteResultFile(slot(), target, ".JPG", {}).ok());
    EXPECT_EQ(ReadBytes(target), "old contents");
    EXPECT_EQ(FolderEntries(dir_.path()), std::vector<std::string>{"keep.jpg"});
}

TEST_F(ResultSlot, FolderTargetIsRefusedAndKept) {
    const std::string folder = dir_.file("folder.bmp");
    std::filesystem::create_directory(folder);
    WriteBytes(folder + "/inside", "x");
    EXPECT_FALSE(imagefiles::WriteResultFile(slot(), folder, ".BMP", {}).ok());
    EXPECT_EQ(FolderEntries(folder), std::vector<std::string>{"inside"});
    EXPECT_EQ(FolderEntries(dir_.path()), std::vector<std::string>{"folder.bmp"});
}

TEST_F(ResultSlot, ReadOnlyFolderKeepsItsFile) {
    if (::geteuid() == 0) {
        GTEST_SKIP() << "running as root, which writes into read-only folders regardless";
    }
    const std::string folder = dir_.file("locked");
    std::filesystem::create_directory(folder);
    WriteBytes(folder + "/result.png", "old contents");
    ASSERT_EQ(::chmod(folder.c_str(), 0555), 0);
    EXPECT_FALSE(imagefiles::WriteResultFile(slot(), folder + "/result.png", ".PNG", {}).ok());
    EXPECT_EQ(ReadBytes(folder + "/result.png"), "old contents");
    EXPECT_EQ(FolderEntries(folder), std::vector<std::string>{"result.png"});
}

// ---------------------------------------------------------------------------------------------
// The save command with a user interface that answers from a script.

class ScriptedUi : public platform::UiHost {
public:
    struct Box {
        std::string text, caption;
        std::uint32_t style;
    };
    bool GetOpenFileName(platform::FileDialogRecord&) override { return false; }
    bool GetSaveFileName(platform::FileDialogRecord& record) override {
        dialogs.push_back(record);
        if (cancel) return false;
        record.file = answerFile;
        record.filterIndex = answerType;
        return true;
    }
    bool ChooseColor(platform::HWND, std::uint32_t&, std::array<std::uint32_t, 16>&) override {
        return false;
    }
    int MessageBox(platform::HWND, const std::string& text, const std::string& caption,
                   std::uint32_t style) override {
        boxes.push_back({text, caption, style});
        return answerBox;
    }

    bool cancel = false;
    std::string answerFile;
    std::uint32_t answerType = 1;
    int answerBox = platform::IDYES;
    std::vector<platform::FileDialogRecord> dialogs;
    std::vector<Box> boxes;
};

class SaveCommand : public ResultSlot {
protected:
    void SetUp() override {
        ResultSlot::SetUp();
        platform::SetUi(&ui_);
        saved_ = {basCommon::JpegRate, basCommon::JpegPrgrs, basCommon::PngRate};
    }
    void TearDown() override {
        platform::SetUi(nullptr);
        basCommon::JpegRate = saved_[0];
        basCommon::JpegPrgrs = saved_[1];
        basCommon::PngRate = saved_[2];
    }
    void Save(const std::string& name, std::uint32_t type) {
        ui_.answerFile = name;
        ui_.answerType = type;
        imagefiles::SaveResult(slots_, 42);
    }

    ScriptedUi ui_;
    std::array<std::int16_t, 3> saved_{};
};

TEST_F(SaveCommand, ShowsTheSaveDialogWithTitleTypesAndFlags) {
    ui_.cancel = true;
    imagefiles::SaveResult(slots_, 42);
    ASSERT_EQ(ui_.dialogs.size(), 1u);
    const platform::FileDialogRecord& record = ui_.dialogs[0];
    EXPECT_EQ(record.owner, 42u);
    EXPECT_EQ(record.title, "ファイルの保存");
    EXPECT_EQ(record.flags, 8196u);
    const std::string types("画像ファイル\0*.bmp;*.jpg;*.png\0ビットマップファイル\0*.bmp\0"
                            "ＪＰＥＧファイル\0*.jpg\0ＰＮＧファイル\0*.png\0",
                            sizeof("画像ファイル\0*.bmp;*.jpg;*.png\0ビットマップファイル\0*.bmp\0"
                                   "ＪＰＥＧファイル\0*.jpg\0ＰＮＧファイル\0*.png\0") -
                                1);
    EXPECT_EQ(record.filter, types);
    EXPECT_TRUE(ui_.boxes.empty());  // a cancel shows nothing
    EXPECT_TRUE(FolderEntries(dir_.path()).empty());
}

TEST_F(SaveCommand, NewNameIsWrittenWithoutAnyMessage) {
    Save("  " + dir_.file("result") + "  ", 1);  // the dialog's blanks are trimmed
    EXPECT_TRUE(ui_.boxes.empty());
    EXPECT_EQ(ReadBytes(dir_.file("result.BMP")).substr(0, 2), "BM");
    EXPECT_EQ(FolderEntries(dir_.path()), std::vector<std::string>{"result.BMP"});
}

TEST_F(SaveCommand, ExistingFileBringsTheQuestionAndNoKeepsIt) {
    const std::string name = dir_.file("保存 先.png");
    WriteBytes(name, "old contents");
    ui_.answerBox = platform::IDNO;
    Save(name, 4);
    ASSERT_EQ(ui_.boxes.size(), 1u);
    EXPECT_EQ(ui_.boxes[0].text, "上書きしますか？\r\n" + name);
    EXPECT_EQ(ui_.boxes[0].caption, "上書き確認");
    EXPECT_EQ(ui_.boxes[0].style,
              platform::MB_YESNO | platform::MB_ICONQUESTION | platform::MB_DEFBUTTON1);
    EXPECT_EQ(ReadBytes(name), "old contents");
}

TEST_F(SaveCommand, YesReplacesTheFileInTheChosenFormat) {
    const std::string name = dir_.file("保存 先.png");
    WriteBytes(name, "old contents");
    basCommon::PngRate = 2;
    Save(name, 1);
    ASSERT_EQ(ui_.boxes.size(), 1u);
    platform::Picture back;
    ASSERT_TRUE(codec::ReadPng(name, back).ok());
    EXPECT_EQ(back.pixels.at(3, 4), slot().Image().at(3, 4));
}

TEST_F(SaveCommand, EmptyFileIsReplacedWithoutAQuestion) {
    const std::string name = dir_.file("empty.JPG");
    WriteBytes(name, "");
    basCommon::JpegPrgrs = -1;
    Save(name, 3);
    EXPECT_TRUE(ui_.boxes.empty());
    const std::string bytes = ReadBytes(name);
    ASSERT_GE(bytes.size(), 2u);
    EXPECT_EQ(bytes.substr(0, 2), "\xFF\xD8");
    // The progressive switch reaches the writer: a progressive frame header (SOF2) follows.
    EXPECT_NE(bytes.find("\xFF\xC2"), std::string::npos);
}

TEST_F(SaveCommand, WriteFailureIsShownAndTheFileKept) {
    const std::string name = dir_.file("keep.jpg");
    WriteBytes(name, "old contents");
    basCommon::JpegRate = 300;
    Save(name, 3);
    ASSERT_EQ(ui_.boxes.size(), 2u);  // the question, then the failure
    const ScriptedUi::Box& box = ui_.boxes[1];
    EXPECT_EQ(box.caption, "保存エラー");
    EXPECT_EQ(box.style, platform::MB_OK | platform::MB_ICONEXCLAMATION);
    const std::string head = "保存できませんでした。\r\n" + name + "\r\n";
    ASSERT_EQ(box.text.substr(0, head.size()), head);
    EXPECT_NE(box.text.find("300"), std::string::npos) << box.text;
    EXPECT_EQ(ReadBytes(name), "old contents");
    EXPECT_EQ(FolderEntries(dir_.path()), std::vector<std::string>{"keep.jpg"});
}

TEST_F(SaveCommand, UnreadableStatusIsShownAndOnlyTheCommandEnds) {
    WriteBytes(dir_.file("file.txt"), "x");
    Save(dir_.file("file.txt/result.bmp"), 2);
    ASSERT_EQ(ui_.boxes.size(), 1u);
    EXPECT_EQ(ui_.boxes[0].text, std::to_string(ENOTDIR) + ":" + platform::ErrnoText(ENOTDIR));
    EXPECT_EQ(ui_.boxes[0].caption, "システムエラー");
    EXPECT_EQ(ui_.boxes[0].style, platform::MB_OK | platform::MB_ICONSTOP);
    EXPECT_EQ(FolderEntries(dir_.path()), std::vector<std::string>{"file.txt"});
    // The result is still there to be saved under another name.
    Save(dir_.file("again"), 1);
    EXPECT_TRUE(FileExists(dir_.file("again.BMP")));
}

}  // namespace
