// glimbra-cli speaks the user's language: English unless the locale variables name Japanese,
// decided by the variables alone (a Japanese locale need not be installed).

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "codec/codec.h"
#include "test_support.h"

namespace {

using testing_support::ChildRun;
using testing_support::ScopedEnv;
using testing_support::TempDir;

// The variables as the user's shell has them (nullopt: unset) and the language expected.
struct LocaleCase {
    std::string name;
    std::optional<std::string> lcAll, lcMessages, lang;
    bool japanese;
};
void PrintTo(const LocaleCase& c, std::ostream* os) { *os << c.name; }
class CliLanguage : public ::testing::TestWithParam<LocaleCase> {};

TEST_P(CliLanguage, MessagesAndUsageFollowTheLocale) {
    const LocaleCase& c = GetParam();
    const ScopedEnv all("LC_ALL", c.lcAll), messages("LC_MESSAGES", c.lcMessages),
        lang("LANG", c.lang);
    TempDir dir;
    const std::string a = dir.file("a.bmp");
    ASSERT_TRUE(codec::SavePicture(testing_support::MakePattern(4, 4, 1), a));
    testing_support::WriteBytes(dir.file("bad.png"),
                                std::string("\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR", 16));
    // Arguments, exit status, and the text expected in English and in Japanese.
    struct Run {
        std::vector<std::string> args;
        int exitCode;
        std::string english, japanese;
    };
    for (const Run& run : std::vector<Run>{
             {{}, 2, "Usage:\n", "使い方:\n"},
             {{"--bogus", a, a, dir.file("o.png")},
              2,
              "unknown option: --bogus",
              "不明なオプションです: --bogus"},
             {{"--jobs", "0", a, a, dir.file("o.png")},
              2,
              "--jobs takes a whole number from 1 to 256.",
              "--jobs には 1 から 256 までの整数を指定してください。"},
             {{"--batch", a, dir.file("none"), a},
              1,
              "the output folder does not exist",
              "出力フォルダがありません"},
             // Reasons that come from the loaders and writers, composed of several phrases.
             {{dir.file("none.bmp"), a, dir.file("o.png")},
              1,
              "file not found",
              "ファイルが見つかりません"},
             {{a, dir.file("bad.png"), dir.file("o.png")},
              1,
              "the PNG file is cut short",
              "PNG ファイルが途中で切れています"},
             {{a, dir.path(), dir.file("o.png")}, 1, "a folder, not a file", "フォルダです"},
             {{a, a, dir.file("none/o.png")},
              1,
              "no such file or folder",
              "ファイルまたはフォルダが見つかりません"}}) {
        std::vector<std::string> argv{GLIMBRA_CLI_PATH};
        argv.insert(argv.end(), run.args.begin(), run.args.end());
        const ChildRun r = testing_support::RunProgram(argv, {});
        EXPECT_EQ(r.exitCode, run.exitCode) << r.out;
        EXPECT_NE(r.out.find(c.japanese ? run.japanese : run.english), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find(c.japanese ? run.english : run.japanese), std::string::npos) << r.out;
        // Kana and kanji start with the bytes E3..E9 in UTF-8; an English message has none.
        if (!c.japanese) {
            EXPECT_EQ(std::count_if(r.out.begin(), r.out.end(),
                                    [](char b) { return b >= '\xE3' && b <= '\xE9'; }),
                      0)
                << r.out;
        }
    }
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Locales, CliLanguage, ::testing::ValuesIn(std::vector<LocaleCase>{
    {"CUtf8", std::nullopt, std::nullopt, "C.UTF-8", false},
    {"JapaneseLang", std::nullopt, std::nullopt, "ja_JP.UTF-8", true},
    {"NothingSet", std::nullopt, std::nullopt, std::nullopt, false},
    {"LcAllBeforeLang", "C.UTF-8", std::nullopt, "ja_JP.UTF-8", false},
    {"LcMessagesBeforeLang", "", "ja_JP.UTF-8", "en_GB.UTF-8", true}}),
    [](const auto& info) { return info.param.name; });
// clang-format on

}  // namespace
