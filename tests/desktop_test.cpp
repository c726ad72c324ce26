// The program as a desktop installs it: Qt's own texts in Japanese, and what `cmake --install`
// lays out, checked by the desktop's own validators where they are installed.

#include <gtest/gtest.h>

#include <QApplication>
#include <QDialogButtonBox>
#include <QMessageBox>
#include <QPushButton>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>

#include "startup/qt_texts.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;

QApplication& App() {
    static int argc = 1;
    static char name[] = "test_desktop";
    static char* argv[] = {name, nullptr};
    static auto* app = new QApplication(argc, argv);  // kept to the end of the process
    return *app;
}

// The buttons that the window's message boxes and dialogs show, under an English locale too.
TEST(QtTexts, DialogButtonsAreJapanese) {
    const testing_support::ScopedEnv lang("LANG", "C.UTF-8");
    ASSERT_TRUE(startup::InstallQtJapanese(App()))
        << "qtbase_ja.qm is missing: install the Debian package qt6-translations-l10n";
    QDialogButtonBox box(QDialogButtonBox::Ok | QDialogButtonBox::Cancel | QDialogButtonBox::Save);
    EXPECT_EQ(box.button(QDialogButtonBox::Cancel)->text(), QStringLiteral("キャンセル"));
    EXPECT_TRUE(box.button(QDialogButtonBox::Save)->text().startsWith(QStringLiteral("保存")))
        << box.button(QDialogButtonBox::Save)->text().toStdString();
    QMessageBox question(QMessageBox::Question, "", "", QMessageBox::Yes | QMessageBox::No);
    EXPECT_TRUE(question.button(QMessageBox::Yes)->text().startsWith(QStringLiteral("はい")))
        << question.button(QMessageBox::Yes)->text().toStdString();
    EXPECT_TRUE(question.button(QMessageBox::No)->text().startsWith(QStringLiteral("いいえ")))
        << question.button(QMessageBox::No)->text().toStdString();
}

int Shell(const std::string& command) {
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool Have(const std::string& program) {
    return Shell("command -v " + program + " >/dev/null 2>&1") == 0;
}

// Installs this build into a private prefix: exactly the programs, the desktop entry, the icons,
// the manual pages, the metainfo, the licence and the changelog; the validators must accept them.
TEST(Install, LaysOutADesktopProgram) {
    testing_support::TempDir prefix;
    ASSERT_EQ(Shell("'" GLIMBRA_CMAKE "' --install '" GLIMBRA_BUILD_DIR "' --prefix '" +
                    prefix.path() + "' >/dev/null"),
              0);
    const std::string id = GLIMBRA_APP_ID;
    std::set<std::string> expected{"bin/glimbra",
                                   "bin/glimbra-cli",
                                   "share/applications/" + id + ".desktop",
                                   "share/metainfo/" + id + ".metainfo.xml",
                                   "share/man/man1/glimbra.1.gz",
                                   "share/man/man1/glimbra-cli.1.gz",
                                   "share/doc/glimbra/copyright",
                                   "share/doc/glimbra/changelog.gz"};
    for (const char* size : {"16", "32", "48", "64", "128", "256"})
        expected.insert("share/icons/hicolor/" + std::string(size) + "x" + size + "/apps/" + id +
                        ".png");
    std::set<std::string> installed;
    for (const auto& e : fs::recursive_directory_iterator(prefix.path())) {
        if (!e.is_directory()) installed.insert(fs::relative(e.path(), prefix.path()).string());
    }
    EXPECT_EQ(installed, expected);
    EXPECT_EQ(Shell("'" + prefix.path() + "/bin/glimbra-cli' --version >/dev/null"), 0);

    const std::string entry = prefix.file("share/applications/" + id + ".desktop");
    const std::string entryText = testing_support::ReadBytes(entry);
    for (const std::string& line : {std::string("Exec=glimbra %F\n"), "Icon=" + id + "\n",
                                    std::string("Name[ja]="), std::string("Comment[ja]="),
                                    std::string("Categories=Graphics;"), std::string("image/png;")})
        EXPECT_NE(entryText.find(line), std::string::npos) << line;
    if (Have("desktop-file-validate"))
        EXPECT_EQ(Shell("desktop-file-validate '" + entry + "'"), 0);
    else
        std::printf(
            "desktop-file-validate is not installed (Debian desktop-file-utils): not run\n");
    if (Have("appstreamcli"))
        EXPECT_EQ(Shell("appstreamcli validate --no-net '" +
                        prefix.file("share/metainfo/" + id + ".metainfo.xml") + "' >/dev/null"),
                  0);
    else
        std::printf("appstreamcli is not installed (Debian appstream): not run\n");
}

}  // namespace
