// The main window and the options dialog, driven headless through their controls: clicks, drops,
// key presses and a fake dialog host that answers file dialogs and records message boxes.

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QDropEvent>
#include <QImage>
#include <QLabel>
#include <QMimeData>
#include <QProgressDialog>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QTest>
#include <QTimer>
#include <QUrl>
#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <thread>
#include <vector>

#include "compose/compose_image.h"
#include "imagefiles/load_image.h"
#include "imagefiles/save_result.h"
#include "platform/files.h"
#include "startup/settings.h"
#include "test_support.h"
#include "windows/bas_main.h"
#include "windows/frm_jpeg.h"
#include "windows/frm_main.h"
#include "windows/path_field.h"
#include "windows/slot_view.h"
#include "windows/ui_font.h"

// Test names and failures show texts, not their bytes (found by argument-dependent lookup, so
// outside the unnamed namespace).
void PrintTo(const QString& text, std::ostream* os) { *os << '"' << text.toStdString() << '"'; }

namespace {

using namespace basCommon;
using namespace testing_support;

using Message = std::tuple<std::string, std::string, std::uint32_t>;  // text, caption, style
using Load = std::pair<std::string, QSize>;  // a path field's text and its slot's size

// The bitmap's pixels, all four bytes, as an image without a copy: images compare by pixels.
QImage View(const platform::Bitmap& b) {
    return QImage(reinterpret_cast<const uchar*>(b.row(0)), b.width(), b.height(),
                  QImage::Format_ARGB32);
}

// A w × h picture of the test pattern (seeded with w), written by Qt in the given format.
void Write(const std::string& path, int w, int h, const char* format) {
    ASSERT_TRUE(View(MakePattern(w, h, w)).save(QString::fromStdString(path), format));
}

// A drag of the files (or of their names as text) that enters the widget and is released over
// it: Qt delivers the drop to the widget that accepted the drag's entry.
void Drop(QWidget* target, const std::vector<std::string>& paths, bool asText = false) {
    QMimeData data;
    QList<QUrl> urls;
    for (const std::string& p : paths) urls << QUrl::fromLocalFile(QString::fromStdString(p));
    asText ? data.setText(urls[0].toLocalFile()) : data.setUrls(urls);
    QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &enter);
    QDropEvent drop(QPointF(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &drop);
}

// Every test: settings read from an empty temporary executable folder (the defaults), a fresh
// main window, and the fixture as dialog host: it answers an open dialog with openAnswer ("" =
// cancel) and records everything it was asked.
class WindowTest : public ::testing::Test, public platform::UiHost {
  protected:
    void SetUp() override {
        static int argc = 1;
        static char name[] = "test_windows", *argv[] = {name, nullptr};
        [[maybe_unused]] static auto* app = new QApplication(argc, argv);  // kept to the end
        platform::SetUi(this);
        platform::SetExeFolderForTesting(dir.path());
        LoadSettings();
        window = std::make_unique<frmMain>();
    }
    ~WindowTest() override { platform::SetUi(nullptr); }
    std::string Field(int i) const { return window->FLD[i]->text().toStdString(); }
    const platform::Bitmap& Slot(int i) { return window->slotSet().picLoad[i].Image(); }
    Load Loaded(int i) { return Load(Field(i), QSize(Slot(i).width(), Slot(i).height())); }
    std::string Ini() const { return FileExists(ini) ? ReadBytes(ini) : "(none)"; }
    static auto Settings() { return std::tuple(JpegRate, JpegPrgrs, PngRate); }

    bool GetOpenFileName(platform::FileDialogRecord& record) override {
        openRecords.push_back(record);
        record.file = std::exchange(openAnswer, "");
        return !record.file.empty();
    }
    bool GetSaveFileName(platform::FileDialogRecord& record) override {
        record.file = std::exchange(saveAnswer, "");
        return !record.file.empty();
    }
    bool ChooseColor(platform::HWND, std::uint32_t&, std::array<std::uint32_t, 16>&) override {
        return false;
    }
    int MessageBox(platform::HWND, const std::string& text, const std::string& caption,
                   std::uint32_t style) override {
        messages.emplace_back(text, caption, style);
        return platform::IDOK;
    }

    TempDir dir;
    const std::string ini = dir.file("Glimbra.ini");
    std::string openAnswer;
    std::string saveAnswer;  // a name of file type 1 ("" = cancel)
    std::vector<platform::FileDialogRecord> openRecords;
    std::vector<Message> messages;
    std::unique_ptr<frmMain> window;  // destroyed first
};

// --- Path fields and 開始 ---------------------------------------------------------------------

// OptionsGif; the patterns the browse dialog offers (2 offers GIF files there although a drop
// refuses them); whether to tile; and the reading errors counted after dropping, one by one,
// photo.Jpg, photo.jpeg, icon.ico and anim.GIF, which hold no picture (a drop takes the
// upper-cased last four characters).
using FieldCase = std::tuple<int, std::string, bool, std::string>;
class PathFieldTest : public WindowTest, public ::testing::WithParamInterface<FieldCase> {};

TEST_P(PathFieldTest, LoadIntoTheFieldsOwnSlotAndStartComposesLikeComposeImage) {
    const auto& [optionsGif, patterns, tile, errors] = GetParam();
    OptionsGif = std::int16_t(optionsGif);
    Write(dir.file("a.bmp"), 10, 8, "BMP");
    WriteBytes(dir.file("b.txt"), "not an image");
    Write(dir.file("c.png"), 6, 5, "PNG");
    Write(dir.file("d.bmp"), 7, 6, "BMP");
    WriteBytes(dir.file("bad.bmp"), "BM broken");
    Drop(window->FLD[0], {dir.file("a.bmp")}, /*asText=*/true);
    window->show();
    QTest::keyClicks(window->FLD[1], QString::fromStdString(dir.file("a.bmp")));
    QTest::keyClick(window->FLD[1], Qt::Key_Return);
    EXPECT_EQ(Loaded(0), Load("", {165, 165})) << "dropped text is neither pasted nor loaded";
    EXPECT_EQ(Loaded(1), Load(dir.file("a.bmp"), {88, 31})) << "typed, not loaded";

    Drop(window->FLD[0], {dir.file("a.bmp"), dir.file("b.txt"), dir.file("c.png")});
    EXPECT_EQ(Loaded(0), Load(dir.file("c.png"), {6, 5}));
    EXPECT_EQ(Loaded(1), Load(dir.file("a.bmp"), {88, 31}));
    Drop(window->FLD[1], {dir.file("a.bmp")});
    EXPECT_EQ(Loaded(1), Load(dir.file("a.bmp"), {10, 8}));  // slot 0 is checked below

    openAnswer = dir.file("d.bmp");
    window->DBTN[1]->click();
    const platform::FileDialogRecord& r = openRecords.at(0);
    EXPECT_EQ(r.filter, std::string("画像ファイル") + '\0' + patterns + '\0');
    EXPECT_EQ(std::tie(r.title, r.flags, r.owner), std::tuple("背景の画像", 4100u, window->hWnd()));
    EXPECT_EQ(Loaded(1), Load(dir.file("d.bmp"), {7, 6}));
    window->DBTN[0]->click();  // cancelled

    // A failed drop is reported once per file and loses nothing; 開始 (stretch selected at
    // start) composes as ComposeImage does on the same loads.
    Drop(window->FLD[0], {dir.file("bad.bmp"), dir.file("missing.png")});
    EXPECT_TRUE(window->OPT[1]->isChecked());
    if (tile) QTest::mouseClick(window->OPT[0], Qt::LeftButton);
    QTest::mouseClick(window->BTN[0], Qt::LeftButton);
    compose::SlotSet direct;
    std::string reason;
    ASSERT_NE(LoadImageSlot(direct, dir.file("bad.bmp"), 0, &reason), 0);
    ASSERT_EQ(LoadImageSlot(direct, dir.file("c.png"), 0), 0);
    ASSERT_EQ(LoadImageSlot(direct, dir.file("d.bmp"), 1), 0);
    ASSERT_TRUE(ComposeImage(direct, tile ? kTrue : kFalse));
    ASSERT_EQ(messages.size(), 2u) << "b.txt was skipped, not reported";
    EXPECT_EQ(messages[0],
              Message("画像を読み込めませんでした。\r\n" + dir.file("bad.bmp") + "\r\n" + reason,
                      "読み込みエラー", platform::MB_OK | platform::MB_ICONEXCLAMATION));
    EXPECT_NE(std::get<0>(messages[1]).find(dir.file("missing.png")), std::string::npos);
    EXPECT_EQ(Loaded(0), Load(dir.file("c.png"), {6, 5}));
    EXPECT_EQ(View(Slot(2)), View(direct.picLoad[2].Image()));
    for (int i : {0, 2}) EXPECT_EQ(window->picLoad[i]->size(), QSize(6, 5));

    std::string counts;
    for (const char* name : {"photo.Jpg", "photo.jpeg", "icon.ico", "anim.GIF"}) {
        WriteBytes(dir.file(name), "garbage");
        Drop(window->FLD[0], {dir.file(name)});
        counts += std::to_string(messages.size() - 2);
    }
    EXPECT_EQ(counts, errors);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(OptionsGif, PathFieldTest, ::testing::ValuesIn(std::vector<FieldCase>{
    {0, "*.bmp;*.ico;*.jpg;*.png", false, "1122"},
    {1, "*.bmp;*.gif;*.ico;*.jpg;*.png", true, "1123"},
    {2, "*.bmp;*.gif;*.ico;*.jpg;*.png", false, "1122"}}));
// clang-format on

// --- Main, viewer, close, options dialog -----------------------------------------------------

// Main lays the window out, writes the settings and shows it; the viewer opens on a
// double-click; 保存 in the dialog the options button shows saves the edits; the close button
// ends the window and its viewer and, like the close box it stands for, writes nothing.
TEST_F(WindowTest, MainWritesTheSettingsOptionsSaveEditsAndClosingWritesNothing) {
    std::unique_ptr<frmMain> main = Main();
    EXPECT_TRUE(main->isVisible());
    EXPECT_EQ(Ini(), "[JPEG]\nRate=50\nPrgrs=0\n[PNG]\nRate=1\n");
    EXPECT_EQ(main->geometry(), QRect(4, 38, 499, 358));
    EXPECT_EQ(main->BTN[3]->geometry(), QRect(440, 328, 49, 25));
    const QWidget* slot = main->picLoad[1];  // a frame's client area is its slot
    EXPECT_EQ(QRect(slot->mapTo(main.get(), QPoint()), slot->size()), QRect(90, 242, 88, 31));
    std::vector<QWidget*> chain;  // one round of the focus chain
    for (QWidget* w = main->FLD[0]; chain.empty() || w != main->FLD[0]; w = w->nextInFocusChain())
        if (w->focusPolicy() & Qt::TabFocus) chain.push_back(w);
    EXPECT_EQ(chain, (std::vector<QWidget*>{main->FLD[0], main->DBTN[0], main->FLD[1],
                                            main->DBTN[1], main->BTN[0], main->BTN[1], main->BTN[2],
                                            main->BTN[3], main->OPT[0], main->OPT[1]}));

    Write(dir.file("big.bmp"), 400, 300, "BMP");
    Drop(main->FLD[0], {dir.file("big.bmp")});
    EXPECT_EQ(main->picFrame[0]->size(), QSize(169, 169)) << "the frame stays as laid out";
    QTest::mouseDClick(main->picLoad[0], Qt::LeftButton);
    ASSERT_TRUE(main->viewer(0) && main->viewer(0)->isVisible());
    EXPECT_EQ(main->viewer(0)->scrollArea()->widget()->size(), QSize(400, 300));

    QTimer::singleShot(0, [&] {
        auto* d = qobject_cast<frmJPEG*>(QApplication::activeModalWidget());
        ASSERT_NE(d, nullptr);
        d->ASCR[0]->setValue(10);
        d->ASCR[1]->setValue(2);
        QTest::mouseClick(d->CHK, Qt::LeftButton);
        EXPECT_EQ(Settings(), std::tuple(50, 0, 1)) << "only 保存 saves";
        QTest::mouseClick(d->BTN[0], Qt::LeftButton);
    });
    main->BTN[2]->click();
    EXPECT_TRUE(main->findChildren<frmJPEG*>().isEmpty()) << "the dialog is gone after use";
    EXPECT_EQ(Settings(), std::tuple(10, -1, 2));
    EXPECT_EQ(Ini(), "[JPEG]\nRate=10\nPrgrs=-1\n[PNG]\nRate=2\n");
    std::remove(ini.c_str());
    main->BTN[3]->click();
    EXPECT_FALSE(main->isVisible());
    EXPECT_TRUE(main->viewer(0) == nullptr || !main->viewer(0)->isVisible());
    EXPECT_EQ(Ini(), "(none)");
}

// --- Options dialog ------------------------------------------------------------------------

// Settings (JPEG Rate, Prgrs, PNG Rate), what the dialog opens with (the two value texts and the
// box), how it is closed (0 保存, 1 閉じる, 2 the close box; Escape closes nothing), and the
// settings after: a value it cannot show opens at the nearest position and 保存 saves it as that;
// closing otherwise saves and writes nothing.
using Settings3 = std::tuple<std::int16_t, std::int16_t, std::int16_t>;
using OptionsCase = std::tuple<Settings3, std::tuple<QString, QString, bool>, int, Settings3>;
class OptionsTest : public WindowTest, public ::testing::WithParamInterface<OptionsCase> {};

TEST_P(OptionsTest, OpensWithTheSettingsAndSavesWhatItShowsOnlyThroughItsSaveButton) {
    const auto& [before, shown, button, after] = GetParam();
    std::tie(JpegRate, JpegPrgrs, PngRate) = before;
    frmJPEG d;
    EXPECT_EQ(std::tuple(d.DSP[0]->text(), d.DSP[1]->text(), d.CHK->isChecked()), shown);
    d.show();
    QTest::keyClick(&d, Qt::Key_Escape);
    EXPECT_TRUE(d.isVisible()) << "no control is a cancel button";
    button < 2 ? d.BTN[button]->click() : void(d.close());
    EXPECT_FALSE(d.isVisible());
    EXPECT_EQ(std::pair(Settings(), FileExists(ini)), std::pair(after, button == 0));
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Settings, OptionsTest, ::testing::ValuesIn(std::vector<OptionsCase>{
    {{50, 0, 1}, {"50", "0", false}, 0, {50, 0, 1}}, {{1, 0, 0}, {"1", "1", false}, 0, {1, 0, 0}},
    {{77, -1, 2}, {"77", "2", true}, 0, {77, -1, 2}},
    {{300, 5, 7}, {"100", "1", true}, 0, {100, -1, 0}},
    {{300, 5, 7}, {"100", "1", true}, 1, {300, 5, 7}},
    {{300, 5, 7}, {"100", "1", true}, 2, {300, 5, 7}}}));
// clang-format on

// --- Keyboard, viewer, long work, fonts --------------------------------------------------

// The options button opens the dialog with no owner (modal all the same), the focus on 保存;
// Tab walks 保存, 閉じる, the JPEG bar, the box and the PNG bar; a focused bar moves by its small
// change on the arrows and its large change on Page Up/Down, showing each value; Space on 保存
// saves. In the main window Tab walks the controls in the order they are laid out in.
TEST_F(WindowTest, BothWindowsWorkFromTheKeyboard) {
    std::string trace;
    QTimer::singleShot(0, [&] {
        auto* d = qobject_cast<frmJPEG*>(QApplication::activeModalWidget());
        ASSERT_NE(d, nullptr);
        EXPECT_EQ(d->parentWidget(), nullptr);
        EXPECT_EQ(d->windowModality(), Qt::ApplicationModal);
        const std::map<QWidget*, std::string> names = {
            {d->BTN[0], "保存"}, {d->BTN[1], "閉じる"}, {d->ASCR[0], "JPEG"},
            {d->CHK, "CHK"},    {d->ASCR[1], "PNG"}};
        const auto state = [&] {
            const auto name = names.find(d->focusWidget());
            return (name == names.end() ? std::string("?") : name->second) + " " +
                   d->DSP[0]->text().toStdString() + " " + d->DSP[1]->text().toStdString() +
                   (d->CHK->isChecked() ? " on" : " off");
        };
        trace = state();
        for (const Qt::Key key :
             {Qt::Key_Tab, Qt::Key_Tab, Qt::Key_Right, Qt::Key_PageDown, Qt::Key_Left,
              Qt::Key_Left, Qt::Key_PageUp, Qt::Key_Tab, Qt::Key_Space, Qt::Key_Tab,
              Qt::Key_PageDown, Qt::Key_Right, Qt::Key_Right, Qt::Key_Left, Qt::Key_Tab}) {
            QTest::keyClick(d->focusWidget(), key);
            trace += " | " + state();
        }
        QTest::keyClick(d->focusWidget(), Qt::Key_Space);
    });
    window->BTN[2]->click();
    EXPECT_EQ(trace,
              "保存 50 0 off | 閉じる 50 0 off | JPEG 50 0 off | JPEG 51 0 off | JPEG 52 0 off | "
              "JPEG 51 0 off | JPEG 50 0 off | JPEG 49 0 off | CHK 49 0 off | CHK 49 0 on | "
              "PNG 49 0 on | PNG 49 1 on | PNG 49 2 on | PNG 49 2 on | PNG 49 1 on | 保存 49 1 on");
    EXPECT_EQ(Settings(), std::tuple(49, -1, 0));

    window->show();
    window->FLD[0]->setFocus();
    std::vector<QWidget*> walked;
    for (int i = 0; i < 11; ++i) {
        walked.push_back(window->focusWidget());
        QTest::keyClick(window->focusWidget(), Qt::Key_Tab);
    }
    EXPECT_EQ(walked, (std::vector<QWidget*>{window->FLD[0], window->DBTN[0], window->FLD[1],
                                             window->DBTN[1], window->BTN[0], window->BTN[1],
                                             window->BTN[2], window->BTN[3], window->OPT[0],
                                             window->OPT[1], window->FLD[0]}));
}

// A slot never filled opens no viewer; a small picture's viewer has even margins on both sides
// and top and bottom; Escape closes it.
TEST_F(WindowTest, ViewerOpensOnFilledSlotsCentresSmallPicturesAndClosesOnEscape) {
    window->show();
    for (int i = 0; i < 3; ++i) QTest::mouseDClick(window->picLoad[i], Qt::LeftButton);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(window->viewer(i), nullptr) << "slot " << i;
    Write(dir.file("small.bmp"), 21, 9, "BMP");
    Drop(window->FLD[0], {dir.file("small.bmp")});
    QTest::mouseDClick(window->picLoad[0], Qt::LeftButton);
    windows::SlotViewer* viewer = window->viewer(0);
    ASSERT_TRUE(viewer && viewer->isVisible());
    QApplication::sendPostedEvents();
    const QRect canvas = viewer->scrollArea()->widget()->geometry();
    const QRect port = viewer->scrollArea()->viewport()->rect();
    EXPECT_EQ(canvas.size(), QSize(21, 9));
    EXPECT_LE(std::abs(canvas.left() - (port.right() - canvas.right())), 1) << canvas.left();
    EXPECT_LE(std::abs(canvas.top() - (port.bottom() - canvas.bottom())), 1) << canvas.top();
    QTest::keyClick(viewer, Qt::Key_Escape);
    EXPECT_FALSE(window->viewer(0) && window->viewer(0)->isVisible());
}

// A write that takes long runs off this thread: the progress dialog appears, a click meanwhile
// is dropped (閉じる does not close the window), and the outcome and its messages are those of
// an ordinary save, for a write that succeeds and one that fails.
TEST_F(WindowTest, LongSaveShowsProgressTakesNoInputAndEndsAsBefore) {
    for (const bool fails : {false, true}) {
        std::atomic<bool> seen = false;
        std::atomic<bool> onWorker = false;
        const auto ui = std::this_thread::get_id();
        imagefiles::SetResultWriterForTesting([&](platform::Surface& slot, const std::string& path,
                                                  const std::string& ext,
                                                  const imagefiles::OutputSettings& settings) {
            onWorker = std::this_thread::get_id() != ui;
            // Waits for the dialog, bounded so that a missing dialog fails instead of hanging.
            for (int i = 0; i < 6000 && !seen; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            return fails ? platform::Status::Fail("書けません")
                         : imagefiles::WriteResultFile(slot, path, ext, settings);
        });
        QString label;
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, [&] {
            auto* progress = qobject_cast<QProgressDialog*>(QApplication::activeModalWidget());
            if (seen || !progress || !progress->isVisible()) return;
            label = progress->labelText();
            QTest::mouseClick(window->BTN[3], Qt::LeftButton);
            seen = true;
        });
        poll.start(5);
        window->show();
        messages.clear();
        const std::string name = dir.file(fails ? "failed.png" : "long.png");
        saveAnswer = name;
        window->BTN[1]->click();
        imagefiles::SetResultWriterForTesting(nullptr);
        EXPECT_TRUE(seen && onWorker);
        EXPECT_EQ(label, QStringLiteral("保存しています..."));
        EXPECT_TRUE(window->isVisible());
        EXPECT_EQ(FileExists(name), !fails);
        if (!fails) {
            EXPECT_EQ(ReadBytes(name).substr(1, 3), "PNG");
        }
        std::vector<Message> expected;
        if (fails) {
            expected.emplace_back("保存できませんでした。\r\n" + name + "\r\n書けません",
                                  "保存エラー", platform::MB_OK | platform::MB_ICONEXCLAMATION);
        }
        EXPECT_EQ(messages, expected);
    }
}

// In the application's font every text fits its control at 96 dpi: labels and button captions
// within their widths, option buttons and the box with their indicators.
TEST_F(WindowTest, EveryTextFitsItsControlInTheUiFont) {
    windows::UseUiFont();  // before the windows, as the program does
    const QString family = QFontInfo(QApplication::font()).family();
    EXPECT_TRUE(family == "IPAPGothic" || family == "Noto Sans CJK JP") << family.toStdString();
    frmMain main;
    frmJPEG options;
    for (QWidget* top : std::initializer_list<QWidget*>{&main, &options}) {
        for (QLabel* l : top->findChildren<QLabel*>()) {
            EXPECT_LE(l->fontMetrics().horizontalAdvance(l->text()), l->width())
                << l->text().toStdString();
        }
        for (QAbstractButton* b : top->findChildren<QAbstractButton*>()) {
            const int needed = qobject_cast<QPushButton*>(b)
                                   ? b->fontMetrics().horizontalAdvance(b->text()) + 6
                                   : b->sizeHint().width();
            EXPECT_LE(needed, b->width()) << b->text().toStdString();
        }
    }
}

}  // namespace
