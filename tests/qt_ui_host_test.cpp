// The Qt dialog host, driven headless (QT_QPA_PLATFORM=offscreen): a timer answers each modal
// dialog once it is up.

#include "platform/qt_ui_host.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include "imagefiles/save_result.h"
#include "test_support.h"

namespace {

// The one application of the process, kept to its end. (A static inside the template below
// would make one per instantiation, and each lambda is its own.)
QApplication* App() {
    static int argc = 1;
    static char name[] = "test_dialogs", *argv[] = {name, nullptr};
    static QApplication* app = new QApplication(argc, argv);
    return app;
}

// Runs answer on the next modal widget of type T once its event loop runs.
template <typename T, typename Answer>
void WhenShown(Answer answer) {
    QTimer::singleShot(0, App(), [answer] {
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

// A box with a short text is still wide enough for its title and the title bar's buttons.
TEST(QtUiHost, MessageBoxLeavesRoomForItsTitle) {
    int width = 0, needed = 0;
    WhenShown<QMessageBox>([&](QMessageBox& box) {
        width = box.width();
        needed = box.fontMetrics().horizontalAdvance(box.windowTitle()) + 100;
        box.defaultButton()->click();
    });
    platform::QtUiHost().MessageBox(0, "21:Is a directory", "システムエラー", platform::MB_ICONSTOP);
    EXPECT_GE(width, needed);
}

// The record carries the chosen path and the 1-based index of the type shown; the first type is
// preselected.
TEST(QtUiHost, SaveDialogReportsTheTypeShown) {
    platform::FileDialogRecord record;
    record.filter = std::string("BMP\0*.bmp\0JPEG\0*.jpg\0PNG\0*.png\0", 31);
    record.hasFilter = true;
    WhenShown<QFileDialog>([&](QFileDialog& dialog) {
        EXPECT_EQ(dialog.findChild<QComboBox*>(QStringLiteral("fileTypeCombo"))->currentText(),
                  QStringLiteral("BMP"));
        dialog.selectNameFilter(QStringLiteral("PNG (*.png)"));
        dialog.selectFile(QStringLiteral("/tmp/new.png"));
        static_cast<QDialog&>(dialog).accept();  // public in QDialog, dispatched to the host
    });
    ASSERT_TRUE(platform::QtUiHost().GetSaveFileName(record));
    EXPECT_EQ(std::tie(record.file, record.filterIndex), std::tuple("/tmp/new.png", 3u));
}

// The save command through the real dialog, typed and picked as a person would, in both orders:
// the dialog hands over the name exactly as typed, and only the extension rule decides the
// final name and the format (Qt's dialog would rewrite "result.jpg" to "result.bmp" on
// picking the bitmap type).
struct TypedSave {
    const char* typed;
    int type;  // 1-based, as listed
    bool pickFirst;
    const char* saved;
    const char* magic;  // the file's first bytes
};
void PrintTo(const TypedSave& c, std::ostream* os) {
    *os << c.typed << (c.pickFirst ? " after" : " before") << " type " << c.type;
}
class SaveDialogTyping : public ::testing::TestWithParam<TypedSave> {};

TEST_P(SaveDialogTyping, TheTypedNameReachesTheExtensionRuleUnchanged) {
    const TypedSave& c = GetParam();
    testing_support::TempDir dir;
    compose::SlotSet slots;
    platform::QtUiHost host;
    platform::SetUi(&host);
    WhenShown<QFileDialog>([&](QFileDialog& dialog) {
        auto* types = dialog.findChild<QComboBox*>(QStringLiteral("fileTypeCombo"));
        auto* name = dialog.findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
        ASSERT_TRUE(types && name);
        QStringList shown;
        for (int i = 0; i < types->count(); ++i) shown << types->itemText(i);
        EXPECT_EQ(shown, QStringList({"画像ファイル", "ビットマップファイル", "ＪＰＥＧファイル",
                                      "ＰＮＧファイル"}))
            << "descriptions only, no patterns";
        // End, then Up: every pick passes through other types, and picking the first type
        // again after typing re-picks the one shown at the start.
        const auto pick = [&] {
            QTest::keyClick(types, Qt::Key_End);
            for (int i = c.type; i < types->count(); ++i) QTest::keyClick(types, Qt::Key_Up);
        };
        // Typed into the focused field, as a person types: the dialog selects what each
        // prefix of the path names only while the field has the focus.
        dialog.activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&dialog));
        name->setFocus();
        if (c.pickFirst) pick();
        QTest::keyClicks(name, QString::fromStdString(dir.file(c.typed)));
        if (!c.pickFirst) pick();
        EXPECT_EQ(name->text().toStdString(), dir.file(c.typed));
        // The new file brings the dialog's create question, answered Yes.
        WhenShown<QMessageBox>([](QMessageBox& box) { box.button(QMessageBox::Yes)->click(); });
        auto* buttons = dialog.findChild<QDialogButtonBox*>(QStringLiteral("buttonBox"));
        ASSERT_NE(buttons, nullptr);
        QTest::mouseClick(buttons->button(QDialogButtonBox::Save), Qt::LeftButton);
    });
    imagefiles::SaveResult(slots, 0);
    platform::SetUi(nullptr);
    ASSERT_TRUE(testing_support::FileExists(dir.file(c.saved))) << c.saved;
    EXPECT_EQ(testing_support::ReadBytes(dir.file(c.saved)).substr(0, 2), c.magic);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(BothOrders, SaveDialogTyping, ::testing::ValuesIn(std::vector<TypedSave>{
    {"result.jpg", 2, false, "result.jpg.BMP", "BM"},
    {"result.jpg", 2, true, "result.jpg.BMP", "BM"},
    {"result.jpeg", 3, false, "result.jpeg.JPG", "\xFF\xD8"},
    {"result.jpeg", 3, true, "result.jpeg.JPG", "\xFF\xD8"},
    {"Result.Png", 1, false, "Result.Png", "\x89P"},
    {"Result.Png", 1, true, "Result.Png", "\x89P"}}),
    [](const auto& info) { return "Case" + std::to_string(info.index); });
// clang-format on

}  // namespace
