// The Qt dialog host, driven headless (QT_QPA_PLATFORM=offscreen): a timer answers each modal
// dialog once it is up.

#include "platform/qt_ui_host.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QFileDialog>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

namespace {

// Runs answer on the next modal widget of type T once its event loop runs.
template <typename T, typename Answer>
void WhenShown(Answer answer) {
    static int argc = 1;
    static char name[] = "test_dialogs", *argv[] = {name, nullptr};
    static QApplication* app = new QApplication(argc, argv);  // kept to the end of the process
    QTimer::singleShot(0, app, [answer] {
        auto* widget = qobject_cast<T*>(QApplication::activeModalWidget());
        ASSERT_NE(widget, nullptr) << "no modal dialog is up";
        answer(*widget);
    });
}

TEST(QtUiHost, MessageBoxMapsStyleToButtonsDefaultAndIcon) {
    using namespace platform;
    using Box = QMessageBox;
    // clang-format off
    for (const auto& [style, buttons, icon, answerOfDefault] : {
             std::tuple{MB_OK, Box::StandardButtons(Box::Ok), Box::NoIcon, IDOK},
             {MB_ICONSTOP, Box::Ok, Box::Critical, IDOK},
             {MB_ICONEXCLAMATION, Box::Ok, Box::Warning, IDOK},
             {MB_YESNO | MB_ICONQUESTION, Box::Yes | Box::No, Box::Question, IDYES},
             {MB_YESNO | MB_DEFBUTTON2, Box::Yes | Box::No, Box::NoIcon, IDNO}}) {
        // clang-format on
        WhenShown<Box>([&](Box& box) {
            EXPECT_EQ(std::tuple(box.standardButtons(), box.icon(), box.windowTitle()),
                      std::tuple(buttons, icon, QStringLiteral("保存")));
            box.defaultButton()->click();
        });
        EXPECT_EQ(QtUiHost().MessageBox(0, "上書きしますか？", "保存", style), answerOfDefault);
    }
}

// The record carries the chosen path and the 1-based index of the type shown; the first type is
// preselected.
TEST(QtUiHost, SaveDialogReportsTheTypeShown) {
    platform::FileDialogRecord record;
    record.filter = std::string("BMP\0*.bmp\0JPEG\0*.jpg\0PNG\0*.png\0", 31);
    record.hasFilter = true;
    WhenShown<QFileDialog>([&](QFileDialog& dialog) {
        EXPECT_EQ(dialog.selectedNameFilter(), QStringLiteral("BMP (*.bmp)"));
        dialog.selectNameFilter(QStringLiteral("PNG (*.png)"));
        dialog.selectFile(QStringLiteral("/tmp/new.png"));
        static_cast<QDialog&>(dialog).accept();  // public in QDialog, dispatched to the host
    });
    ASSERT_TRUE(platform::QtUiHost().GetSaveFileName(record));
    EXPECT_EQ(std::tie(record.file, record.filterIndex), std::tuple("/tmp/new.png", 3u));
}

}  // namespace
