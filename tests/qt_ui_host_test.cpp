// The Qt dialog host, driven headless (QT_QPA_PLATFORM=offscreen): a timer answers each modal
// dialog once it is up.

#include "platform/qt_ui_host.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QFileDialog>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <functional>

#include "test_support.h"

namespace {

using namespace std::string_literals;

QApplication& App() {
    static int argc = 1;
    static char name[] = "test_dialogs";
    static char* argv[] = {name, nullptr};
    static QApplication* app = new QApplication(argc, argv);
    return *app;
}

// Runs answer on the next modal widget of type T once its event loop runs.
template <typename T>
void WhenShown(std::function<void(T&)> answer) {
    QTimer::singleShot(0, &App(), [answer] {
        auto* widget = qobject_cast<T*>(QApplication::activeModalWidget());
        ASSERT_NE(widget, nullptr);
        answer(*widget);
    });
}

struct BoxCase {
    std::uint32_t style;
    QMessageBox::StandardButtons buttons;
    QMessageBox::Icon icon;
    int answerOfDefault;
};

class QtMessageBox : public ::testing::TestWithParam<BoxCase> {};

TEST_P(QtMessageBox, MapsStyleToButtonsIconAndAnswer) {
    App();
    const BoxCase c = GetParam();
    QMessageBox::StandardButtons shown;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QString caption;
    WhenShown<QMessageBox>([&](QMessageBox& box) {
        shown = box.standardButtons();
        icon = box.icon();
        caption = box.windowTitle();
        box.defaultButton()->click();
    });
    platform::QtUiHost host;
    EXPECT_EQ(host.MessageBox(0, "上書きしますか？", "保存", c.style), c.answerOfDefault);
    EXPECT_EQ(shown, c.buttons);
    EXPECT_EQ(icon, c.icon);
    EXPECT_EQ(caption, QStringLiteral("保存"));
}

using platform::MB_DEFBUTTON2;
using platform::MB_YESNO;
INSTANTIATE_TEST_SUITE_P(
    Styles, QtMessageBox,
    ::testing::Values(
        BoxCase{platform::MB_OK, QMessageBox::Ok, QMessageBox::NoIcon, platform::IDOK},
        BoxCase{platform::MB_ICONSTOP, QMessageBox::Ok, QMessageBox::Critical, platform::IDOK},
        BoxCase{platform::MB_ICONEXCLAMATION, QMessageBox::Ok, QMessageBox::Warning,
                platform::IDOK},
        BoxCase{MB_YESNO | platform::MB_ICONQUESTION, QMessageBox::Yes | QMessageBox::No,
                QMessageBox::Question, platform::IDYES},
        BoxCase{MB_YESNO | MB_DEFBUTTON2, QMessageBox::Yes | QMessageBox::No, QMessageBox::NoIcon,
                platform::IDNO}));

TEST(QtFileDialog, NameFiltersFromNulSeparatedList) {
    EXPECT_EQ(platform::NameFiltersFromList("画像ファイル\0*.bmp;*.jpg;*.png\0PNG\0*.png\0\0"s),
              QStringList({QStringLiteral("画像ファイル (*.bmp *.jpg *.png)"),
                           QStringLiteral("PNG (*.png)")}));
    EXPECT_TRUE(platform::NameFiltersFromList("only a description\0"s).isEmpty());
}

// Save as a new file with the third type shown: the create question comes first, then the
// record carries the path and the type's 1-based index.
TEST(QtFileDialog, SaveAsksBeforeCreatingAndReportsTheTypeShown) {
    App();
    testing_support::TempDir dir;
    const std::string target = dir.file("new.png");
    platform::FileDialogRecord record;
    record.filter = "BMP\0*.bmp\0JPEG\0*.jpg\0PNG\0*.png\0"s;
    record.hasFilter = true;
    record.initialDir = dir.path();
    record.hasInitialDir = true;
    record.flags = platform::OFN_HIDEREADONLY | platform::OFN_CREATEPROMPT;
    QString question;
    QString preselected;
    WhenShown<QFileDialog>([&](QFileDialog& dialog) {
        preselected = dialog.selectedNameFilter();
        dialog.selectNameFilter(QStringLiteral("PNG (*.png)"));
        dialog.selectFile(QString::fromStdString(target));
        WhenShown<QMessageBox>([&](QMessageBox& box) {
            question = box.text();
            box.button(QMessageBox::Yes)->click();
        });
        static_cast<QDialog&>(dialog).accept();  // public in QDialog, dispatched to the host
    });
    platform::QtUiHost host;
    ASSERT_TRUE(host.GetSaveFileName(record));
    EXPECT_EQ(preselected, QStringLiteral("BMP (*.bmp)"));
    EXPECT_TRUE(question.contains(QStringLiteral("存在しません"))) << question.toStdString();
    EXPECT_EQ(record.file, target);
    EXPECT_EQ(record.filterIndex, 3u);
}

}  // namespace
