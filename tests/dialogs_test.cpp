#include <gtest/gtest.h>

#include <optional>
#include <stdexcept>
#include <vector>

#include "dialogs/cls_dialog.h"

namespace {

using namespace std::string_literals;

// Text, field number, delimiter, field.
using FieldCase = std::tuple<std::string, int, std::string, std::string>;
class GetFieldTable : public ::testing::TestWithParam<FieldCase> {};

TEST_P(GetFieldTable, GivesTheField) {
    const auto& [text, n, delimiter, expected] = GetParam();
    EXPECT_EQ(basFunc::GetField(text, std::int16_t(n), delimiter), expected);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Fields, GetFieldTable, ::testing::ValuesIn(std::vector<FieldCase>{
    {"a,b,c", 0, ",", "a"}, {"a,b,c", 1, ",", "a"}, {"a,b,c", 2, ",", "b"}, {"a,b,c", 3, ",", "c"},
    {"a,b,c", 4, ",", ""}, {"a,,c", 2, ",", ""}, {",a", 1, ",", ""}, {"a::b::c", 2, "::", "b"},
    // The next search starts one character behind a match's start, so matches overlap.
    {"a:::b", 2, "::", ":b"}}));
// clang-format on

// Answers the dialogs as a user would and keeps what they were handed.
class FakeHost final : public platform::UiHost {
  public:
    FakeHost() { platform::SetUi(this); }
    ~FakeHost() override { platform::SetUi(nullptr); }
    std::optional<std::string> file;      // nullopt: the user cancels
    std::optional<std::uint32_t> colour;  // nullopt: the user cancels
    std::vector<platform::FileDialogRecord> records;
    std::uint32_t colourIn = 0;

    bool GetOpenFileName(platform::FileDialogRecord& r) override {
        records.push_back(r);
        if (file) std::tie(r.file, r.filterIndex) = std::tuple(*file, 3u);  // the third type shown
        return file.has_value();
    }
    bool GetSaveFileName(platform::FileDialogRecord& r) override { return GetOpenFileName(r); }
    bool ChooseColor(platform::HWND, std::uint32_t& c,
                     std::array<std::uint32_t, 16>& custom) override {
        for (std::uint32_t v : custom) EXPECT_EQ(v, 0xFFFFFFu) << "white again on every call";
        custom.fill(0x123456);  // the user defines custom colours; they must not carry over
        colourIn = std::exchange(c, colour.value_or(0x999999));  // a cancelled dialog's value
        return colour.has_value();
    }
    int MessageBox(platform::HWND, const std::string&, const std::string&, std::uint32_t) override {
        return platform::IDOK;
    }
};

struct Dialog : ::testing::Test {
    Dialog() { dialog_.SetSelectFlags("4100"); }
    FakeHost host_;
    dialogs::clsDialog dialog_;
};

TEST_F(Dialog, OpenFileGivesTheFileOrTheFolderJoinedToEachName) {
    // clang-format off
    for (const auto& [answer, expected] : {std::pair{std::optional<std::string>(), ""s},
             {"/tmp/one.png"s, "/tmp/one.png"s}, {"/tmp\0\0"s, "/tmp/"s},  // /tmp: a folder
             {"/tmp\0a.png\0b c.jpg\0\0"s, "/tmp/a.png /tmp/b c.jpg"s}}) {
        // clang-format on
        host_.file = answer;
        EXPECT_EQ(dialog_.OpenFile(0), expected);
    }
}

TEST_F(Dialog, UnsetPropertiesAreHandedAsNoTextAndSetOnesAsGiven) {
    dialog_.SetFilterIndex(3);
    dialog_.OpenFile(0x1234);
    dialog_.SetSelectTitle("");  // set, although empty
    dialog_.SetSelectFlags(" -1 ");
    dialog_.OpenFile(0);
    const auto& [r, s] = std::tie(host_.records.at(0), host_.records.at(1));
    EXPECT_EQ(std::tie(r.owner, r.flags, r.filterIndex), std::tuple(0x1234u, 4100u, 1u));
    EXPECT_FALSE(r.hasTitle || r.hasFilter || r.hasInitialDir);
    EXPECT_EQ(std::tie(s.hasTitle, s.title, s.flags), std::tuple(true, ""s, 0xFFFFFFFFu));
}

TEST_F(Dialog, BadFlagsThrowBeforeAnyDialog) {
    for (const char* flags : {"", "abc", "4100x", "41 00", "0x1004", "2147483648", "+-1"}) {
        dialog_.SetSelectFlags(flags);
        EXPECT_THROW(dialog_.OpenFile(0), std::invalid_argument) << flags;
    }
    EXPECT_TRUE(host_.records.empty());
}

TEST_F(Dialog, SaveFileSetsFilterIndexAndColorCodeTheColour) {
    host_.file = "/out/result.png\0junk"s;
    EXPECT_EQ(dialog_.SaveFile(0), "/out/result.png");
    EXPECT_EQ(dialog_.FilterIndex(), 3);
    host_.file.reset();
    EXPECT_EQ(dialog_.SaveFile(0), "");
    EXPECT_EQ(dialog_.FilterIndex(), 0);

    dialog_.SetSelectColor(0x00336699);
    host_.colour = 0x00ABCDEF;
    EXPECT_EQ(dialog_.ColorCode(0), -1);
    EXPECT_EQ(std::tuple(host_.colourIn, dialog_.SelectColor()),
              std::tuple(0x00336699u, 0x00ABCDEF));
    host_.colour.reset();
    EXPECT_EQ(dialog_.ColorCode(0), 0);
    EXPECT_EQ(dialog_.SelectColor(), 0x00ABCDEF);
}

}  // namespace
