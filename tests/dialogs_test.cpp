#include <gtest/gtest.h>

#include <optional>
#include <stdexcept>

#include "dialogs/cls_dialog.h"
#include "platform/ui.h"
#include "test_support.h"

namespace {

using namespace std::string_literals;

struct FieldCase {
    std::string text;
    int n;
    std::string delimiter;
    std::string expected;
};

class GetFieldTable : public ::testing::TestWithParam<FieldCase> {};

TEST_P(GetFieldTable, GivesTheField) {
    const FieldCase& c = GetParam();
    EXPECT_EQ(basFunc::GetField(c.text, std::int16_t(c.n), c.delimiter), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Fields, GetFieldTable,
    ::testing::Values(
        FieldCase{"a,b,c", 1, ",", "a"}, FieldCase{"a,b,c", 2, ",", "b"},
        FieldCase{"a,b,c", 3, ",", "c"}, FieldCase{"a,b,c", 4, ",", ""},
        FieldCase{"a,b,c", 0, ",", "a"}, FieldCase{"a,b,c", -7, ",", "a"},
        FieldCase{"a,,c", 2, ",", ""}, FieldCase{",a", 1, ",", ""}, FieldCase{"a,b,", 3, ",", ""},
        FieldCase{"", 1, ",", ""}, FieldCase{"a::b::c", 2, "::", "b"},
        FieldCase{"a::b::c", 3, "::", "c"}, FieldCase{"a::b::c", 4, "::", ""},
        // The next search starts one character behind a match's start, so matches overlap.
        FieldCase{"a:::b", 2, "::", ":b"}, FieldCase{"α・β・γ", 2, "・", "β"},
        FieldCase{"α・β・γ", 3, "・", "γ"}, FieldCase{"F\0a\0b\0\0"s, 3, "\0"s, "b"},
        FieldCase{"F\0a\0b\0\0"s, 4, "\0"s, ""}, FieldCase{"a,b", 1, "", "a,b"},
        FieldCase{"a,b", 2, "", ""}));

// Answers the dialogs as a user would and keeps what they were handed.
class FakeHost final : public platform::UiHost {
  public:
    std::optional<std::string> file;  // nullopt: the user cancels
    std::uint32_t shownFilter = 1;
    std::optional<std::uint32_t> colour;  // nullopt: the user cancels
    int calls = 0;
    platform::FileDialogRecord record;
    std::uint32_t colourIn = 0;
    std::array<std::uint32_t, 16> customIn{};

    bool GetOpenFileName(platform::FileDialogRecord& r) override { return Answer(r); }
    bool GetSaveFileName(platform::FileDialogRecord& r) override { return Answer(r); }
    bool ChooseColor(platform::HWND, std::uint32_t& c,
                     std::array<std::uint32_t, 16>& custom) override {
        ++calls;
        colourIn = c;
        customIn = custom;
        custom.fill(0x123456);  // the user defines custom colours; they must not carry over
        if (colour) c = *colour;
        return colour.has_value();
    }
    int MessageBox(platform::HWND, const std::string&, const std::string&, std::uint32_t) override {
        return platform::IDOK;
    }

  private:
    bool Answer(platform::FileDialogRecord& r) {
        ++calls;
        record = r;
        if (!file) return false;
        r.file = *file;
        r.filterIndex = shownFilter;
        return true;
    }
};

class Dialog : public ::testing::Test {
  protected:
    void SetUp() override {
        platform::SetUi(&host_);
        dialog_.SetSelectFlags("4100");
    }
    void TearDown() override { platform::SetUi(nullptr); }
    FakeHost host_;
    dialogs::clsDialog dialog_;
    testing_support::TempDir dir_;
};

TEST_F(Dialog, OpenFileResults) {
    const std::string& f = dir_.path();
    const struct {
        std::optional<std::string> buffer;
        std::string expected;
    } cases[] = {
        {std::nullopt, ""},
        {f + "/one.png", f + "/one.png"},
        {f + "/not there.png", f + "/not there.png"},
        {f + "\0a.png\0b c.jpg\0\0"s, f + "/a.png " + f + "/b c.jpg"},
        {f + "\0\0"s, f + "/"},
    };
    for (const auto& c : cases) {
        host_.file = c.buffer;
        EXPECT_EQ(dialog_.OpenFile(0), c.expected);
    }
}

TEST_F(Dialog, PropertiesReachTheRecordAndNeverSetTextsAreNoText) {
    host_.file = "/x.png";
    dialog_.SetFilterIndex(3);
    dialog_.OpenFile(0x1234);
    EXPECT_EQ(host_.record.owner, 0x1234u);
    EXPECT_EQ(host_.record.flags, 4100u);
    EXPECT_EQ(host_.record.filterIndex, 1u);
    EXPECT_FALSE(host_.record.hasTitle || host_.record.hasFilter || host_.record.hasInitialDir);
    EXPECT_EQ(dialog_.FilterIndex(), 3);  // OpenFile changes no property

    dialog_.SetSelectTitle("");
    dialog_.SetFilterPattern("画像\0*.png\0"s);
    dialog_.SetDefaultFolder("/home");
    dialog_.SetSelectFlags(" -1 ");
    dialog_.OpenFile(0);
    EXPECT_TRUE(host_.record.hasTitle && host_.record.hasFilter && host_.record.hasInitialDir);
    EXPECT_EQ(host_.record.title, "");
    EXPECT_EQ(host_.record.filter, "画像\0*.png\0"s);
    EXPECT_EQ(host_.record.initialDir, "/home");
    EXPECT_EQ(host_.record.flags, 0xFFFFFFFFu);
}

TEST_F(Dialog, BadFlagsThrowBeforeAnyDialog) {
    host_.file = "/x.png";
    for (const char* flags : {"", "abc", "4100x", "41 00", "0x1004", "2147483648", "+-1"}) {
        dialog_.SetSelectFlags(flags);
        EXPECT_THROW(dialog_.OpenFile(0), std::invalid_argument) << flags;
        EXPECT_THROW(dialog_.SaveFile(0), std::invalid_argument) << flags;
    }
    dialogs::clsDialog unset;
    EXPECT_THROW(unset.OpenFile(0), std::invalid_argument);
    EXPECT_EQ(host_.calls, 0);
}

TEST_F(Dialog, SaveFileSetsFilterIndex) {
    host_.file = "/out/result.png\0junk"s;
    host_.shownFilter = 3;
    EXPECT_EQ(dialog_.SaveFile(0), "/out/result.png");
    EXPECT_EQ(dialog_.FilterIndex(), 3);
    host_.file.reset();
    EXPECT_EQ(dialog_.SaveFile(0), "");
    EXPECT_EQ(dialog_.FilterIndex(), 0);
}

TEST_F(Dialog, ColorCode) {
    dialog_.SetSelectColor(0x00336699);
    host_.colour = 0x00ABCDEF;
    EXPECT_EQ(dialog_.ColorCode(0), -1);
    EXPECT_EQ(host_.colourIn, 0x00336699u);
    EXPECT_EQ(dialog_.SelectColor(), 0x00ABCDEF);
    host_.colour.reset();
    EXPECT_EQ(dialog_.ColorCode(0), 0);
    EXPECT_EQ(dialog_.SelectColor(), 0x00ABCDEF);
    for (std::uint32_t c : host_.customIn) EXPECT_EQ(c, 0xFFFFFFu);  // white again, every call
}

}  // namespace
