// The Qt dialog host, driven headless (QT_QPA_PLATFORM=offscreen): a timer answers each modal
// dialog once it is up.

#include "platform/qt_ui_host.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QHeaderView>
#include <QLineEdit>
#include <QLocale>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <QTimer>
#include <QTreeView>
#include <filesystem>
#include <map>

#include "dialogs/cls_dialog.h"
#include "imagefiles/save_result.h"
#include "startup/qt_texts.h"
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

// The open and save dialogs return exactly the one name typed in their own name field, in the
// folder they show: quotes are part of a name, not Qt's list syntax ("a.png" "b.png" used to give
// two files, of which the save kept the folder and wrote "<folder>.BMP" beside it; a quote inside
// a name dropped what stood before it).
struct TypedName {
    bool save;
    const char* typed;  // an open dialog's name exists as a file
};
void PrintTo(const TypedName& c, std::ostream* os) {
    *os << (c.save ? "save " : "open ") << c.typed;
}
class OneNameTyped : public ::testing::TestWithParam<TypedName> {};

TEST_P(OneNameTyped, IsTheNameReturned) {
    const TypedName& c = GetParam();
    testing_support::TempDir dir;
    if (!c.save) testing_support::WriteBytes(dir.file(c.typed), "picture");
    platform::QtUiHost host;
    platform::SetUi(&host);
    WhenShown<QFileDialog>([&](QFileDialog& dialog) {
        auto* name = dialog.findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
        auto* buttons = dialog.findChild<QDialogButtonBox*>(QStringLiteral("buttonBox"));
        ASSERT_TRUE(name && buttons);
        dialog.activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&dialog));
        name->setFocus();
        QTest::keyClicks(name, QString::fromUtf8(c.typed));
        // A new file brings the create question, answered Yes.
        if (c.save)
            WhenShown<QMessageBox>([](QMessageBox& box) { box.button(QMessageBox::Yes)->click(); });
        QTest::mouseClick(buttons->button(c.save ? QDialogButtonBox::Save : QDialogButtonBox::Open),
                          Qt::LeftButton);
        // A dialog that refused the name is closed, so that the test ends.
        QTimer::singleShot(0, &dialog, [&dialog] { dialog.reject(); });
    });
    dialogs::clsDialog dialog;
    dialog.SetSelectFlags(c.save ? "8196" : "4100");
    dialog.SetDefaultFolder(dir.path());
    const std::string chosen = c.save ? dialog.SaveFile(0) : dialog.OpenFile(0);
    platform::SetUi(nullptr);
    EXPECT_EQ(chosen, dir.file(c.typed));
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Quotes, OneNameTyped, ::testing::ValuesIn(std::vector<TypedName>{
    {true, "\"a.png\" \"b.png\""}, {true, "ab\"cd.png"}, {true, "my \"best\" result.png"},
    {false, "ab\"cd.png"}, {false, "\"x.png\""}}),
    [](const auto& info) { return "Case" + std::to_string(info.index); });
// clang-format on

// What the file list shows: the folder's type, the sizes and the dates in Japanese, as every
// text of the program is, also under the C.UTF-8 locale the tests run in (Qt's file model
// formats sizes and dates with the system locale).
TEST(QtUiHost, FileListSpeaksJapanese) {
    App();
    ASSERT_TRUE(startup::InstallQtJapanese(*App()));
    EXPECT_EQ(QLocale().language(), QLocale::Japanese);
    testing_support::TempDir dir;
    testing_support::WriteBytes(dir.file("picture.png"), std::string(1500, 'x'));
    std::filesystem::create_directory(dir.file("写真"));
    platform::FileDialogRecord record;
    record.initialDir = dir.path();
    record.hasInitialDir = true;
    record.flags = platform::OFN_FILEMUSTEXIST;
    std::map<QString, QStringList> rows;  // name: size, type, date
    WhenShown<QFileDialog>([&](QFileDialog& dialog) {
        auto* list = dialog.findChild<QTreeView*>(QStringLiteral("treeView"));
        ASSERT_NE(list, nullptr);
        const auto rowCount = [&] { return list->model()->rowCount(list->rootIndex()); };
        ASSERT_TRUE(QTest::qWaitFor([&] { return rowCount() == 2; }));
        for (int row = 0; row < rowCount(); ++row) {
            QStringList texts;
            for (int column = 0; column < 4; ++column)
                texts << list->model()->index(row, column, list->rootIndex()).data().toString();
            rows[texts.takeFirst()] = texts;
        }
        dialog.reject();
    });
    platform::QtUiHost().GetOpenFileName(record);
    const QLocale japanese(QLocale::Japanese, QLocale::Japan);
    const QDateTime modified = QFileInfo(dir.file("picture.png").c_str()).lastModified();
    EXPECT_EQ(rows[QStringLiteral("写真")].at(1), QStringLiteral("フォルダ"));
    EXPECT_EQ(rows[QStringLiteral("picture.png")],
              QStringList({japanese.formattedDataSize(1500), QStringLiteral("PNG 画像"),
                           japanese.toString(modified, QLocale::ShortFormat)}));
    EXPECT_TRUE(rows[QStringLiteral("picture.png")].at(0).endsWith(QStringLiteral("KiB")));
}

// The dialog opens centred over its owner, and its list's columns (and the dialog with them) are
// wide enough for the names, sizes, types and dates shown.
TEST(QtUiHost, FileDialogOpensCentredOverItsOwnerWithColumnsThatFit) {
    testing_support::TempDir dir;
    // Qt's dialog keeps its column widths between runs (QtProject.conf); this one starts afresh
    // where the process is new, as under ctest.
    const testing_support::ScopedEnv config("XDG_CONFIG_HOME", dir.file("config"));
    App();
    testing_support::WriteBytes(dir.file("a-rather-long-picture-name-0001.png"), "x");
    testing_support::WriteBytes(dir.file("flowers.bmp"), std::string(70000, 'x'));
    std::filesystem::create_directory(dir.file("写真フォルダ"));
    QWidget owner;
    owner.resize(499, 358);
    QRect place = owner.geometry();
    place.moveCenter(QGuiApplication::primaryScreen()->availableGeometry().center());
    owner.move(place.topLeft());
    owner.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&owner));
    platform::FileDialogRecord record;
    record.owner = reinterpret_cast<platform::HWND>(&owner);
    record.initialDir = dir.path();
    record.hasInitialDir = true;
    record.filter = std::string("画像ファイル\0*.bmp;*.png\0", 26);
    record.hasFilter = true;
    record.flags = platform::OFN_FILEMUSTEXIST;
    WhenShown<QFileDialog>([&](QFileDialog& dialog) {
        auto* list = dialog.findChild<QTreeView*>(QStringLiteral("treeView"));
        ASSERT_NE(list, nullptr);
        QHeaderView* header = list->header();
        const auto narrow = [&] {
            QStringList columns;
            for (int column = 0; column < header->count(); ++column) {
                const int needed =
                    std::max(header->sectionSizeHint(column),
                             static_cast<QAbstractItemView*>(list)->sizeHintForColumn(column));
                if (header->sectionSize(column) < needed)
                    columns << QStringLiteral("%1: %2 < %3")
                                   .arg(column)
                                   .arg(header->sectionSize(column))
                                   .arg(needed);
            }
            return columns;
        };
        const auto columns = [&] {
            int sum = 0;
            for (int column = 0; column < header->count(); ++column)
                sum += header->sectionSize(column);
            return sum;
        };
        // Rows come from a thread; the columns follow them. (A timeout only ends the wait: the
        // checks below say what is wrong.)
        (void)QTest::qWaitFor([&] {
            return list->model()->rowCount(list->rootIndex()) == 3 && narrow().isEmpty() &&
                   columns() <= list->viewport()->width();
        });
        EXPECT_EQ(list->model()->rowCount(list->rootIndex()), 3);
        EXPECT_EQ(narrow(), QStringList());
        EXPECT_LE(columns(), list->viewport()->width()) << "the columns are cut off";
        const QPoint offset = dialog.frameGeometry().center() - owner.frameGeometry().center();
        EXPECT_LE(offset.manhattanLength(), 1) << offset.x() << ", " << offset.y();
        EXPECT_TRUE(
            QGuiApplication::primaryScreen()->availableGeometry().contains(dialog.frameGeometry()));
        dialog.reject();
    });
    platform::QtUiHost().GetOpenFileName(record);
}

}  // namespace
