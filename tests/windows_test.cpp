// The main window and the options dialog, driven headless through their controls: clicks, drops,
// key presses and a fake dialog host that answers file dialogs and records message boxes.

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QInputMethodEvent>
#include <QLineEdit>
#include <QProgressBar>
#include <QWheelEvent>
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
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <memory>
#include <thread>
#include <vector>

#include "compose/compose_image.h"
#include "imagefiles/load_image.h"
#include "imagefiles/save_result.h"
#include "platform/files.h"
#include "platform/progress.h"
#include "startup/settings.h"
#include "test_support.h"
#include "windows/bas_main.h"
#include "windows/frm_jpeg.h"
#include "windows/frm_main.h"
#include "windows/long_work.h"
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
    ~WindowTest() override {
        windows::SetWorkStartForTesting({});
        imagefiles::SetResultWriterForTesting(nullptr);
        platform::SetUi(nullptr);
    }
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

// --- Long work: progress, cancel, one operation at a time ----------------------------------

// The progress box while it is shown (the modal dialog with a progress bar), else nullptr.
QDialog* ShownProgressBox() {
    auto* box = qobject_cast<QDialog*>(QApplication::activeModalWidget());
    return box && box->isVisible() && box->findChild<QProgressBar*>() ? box : nullptr;
}

// Waits on the worker, bounded, so that a missing box fails the test instead of hanging it.
bool WaitOnWorker(const std::function<bool()>& done) {
    for (int i = 0; i < 6000; ++i) {
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

// Calls act once, on this thread, as soon as the progress box is up and ready says so.
class WhenBoxShown {
  public:
    WhenBoxShown(std::function<bool(QDialog&)> ready, std::function<void(QDialog&)> act)
        : ready_(std::move(ready)), act_(std::move(act)) {
        QObject::connect(&poll_, &QTimer::timeout, [this] {
            QDialog* box = ShownProgressBox();
            if (done_ || !box || !ready_(*box)) return;
            done_ = true;
            act_(*box);
        });
        poll_.start(5);
    }
    bool done() const { return done_; }

  private:
    std::function<bool(QDialog&)> ready_;
    std::function<void(QDialog&)> act_;
    QTimer poll_;
    std::atomic<bool> done_ = false;
};

// A write that takes long runs off this thread: the progress box appears, a click meanwhile
// is dropped (閉じる does not close the window), and the outcome and its messages are those of
// an ordinary save, for a write that succeeds and one that fails.
TEST_F(WindowTest, LongSaveShowsProgressTakesNoInputAndEndsAsBefore) {
    for (const bool fails : {false, true}) {
        std::atomic<bool> onWorker = false;
        const auto ui = std::this_thread::get_id();
        QString label;
        WhenBoxShown shown([](QDialog&) { return true; }, [&](QDialog& box) {
            label = box.findChild<QLabel*>()->text();
            QTest::mouseClick(window->BTN[3], Qt::LeftButton);
        });
        imagefiles::SetResultWriterForTesting([&](platform::Surface& slot, const std::string& path,
                                                  const std::string& ext,
                                                  const imagefiles::OutputSettings& settings) {
            onWorker = std::this_thread::get_id() != ui;
            WaitOnWorker([&] { return shown.done(); });
            return fails ? platform::Status::Fail("書けません")
                         : imagefiles::WriteResultFile(slot, path, ext, settings);
        });
        window->show();
        messages.clear();
        const std::string name = dir.file(fails ? "failed.png" : "long.png");
        saveAnswer = name;
        window->BTN[1]->click();
        imagefiles::SetResultWriterForTesting(nullptr);
        EXPECT_TRUE(shown.done() && onWorker);
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

// While a composition is held, every control is disabled, so that presses which are no input
// events (an accessibility client's, here click() from a timer) start nothing: no second
// composition, no open dialog, no save; input-method text does not reach a path field.
TEST_F(WindowTest, NoSecondOperationStartsWhileOneRuns) {
    Write(dir.file("a.bmp"), 10, 8, "BMP");
    Drop(window->FLD[0], {dir.file("a.bmp")});
    Drop(window->FLD[1], {dir.file("a.bmp")});
    window->show();
    std::atomic<int> started = 0;
    std::atomic<bool> released = false;
    windows::SetWorkStartForTesting([&] {
        ++started;
        WaitOnWorker([&] { return released.load(); });
    });
    std::vector<std::string> enabled;
    WhenBoxShown shown([](QDialog&) { return true; }, [&](QDialog&) {
        for (QWidget* w : window->findChildren<QWidget*>()) {
            if ((qobject_cast<QAbstractButton*>(w) || qobject_cast<QLineEdit*>(w)) &&
                w->window() == window.get() && w->isEnabled())
                enabled.push_back(w->objectName().toStdString() + w->property("text")
                                                                       .toString()
                                                                       .toStdString());
        }
        openAnswer = dir.file("a.bmp");
        saveAnswer = dir.file("second.bmp");
        for (QAbstractButton* b : {static_cast<QAbstractButton*>(window->BTN[0]),
                                   static_cast<QAbstractButton*>(window->BTN[1]),
                                   static_cast<QAbstractButton*>(window->DBTN[0]),
                                   static_cast<QAbstractButton*>(window->OPT[0])})
            b->click();
        QInputMethodEvent text;
        text.setCommitString(QStringLiteral("入力"));
        QApplication::sendEvent(window->FLD[0], &text);
        released = true;
    });
    window->BTN[0]->click();
    windows::SetWorkStartForTesting({});
    EXPECT_TRUE(shown.done());
    EXPECT_EQ(enabled, std::vector<std::string>{});
    EXPECT_EQ(started, 1);
    EXPECT_TRUE(openRecords.empty());
    EXPECT_FALSE(FileExists(dir.file("second.bmp")));
    EXPECT_TRUE(window->OPT[1]->isChecked());
    EXPECT_EQ(Field(0), dir.file("a.bmp"));
    EXPECT_TRUE(messages.empty());
    for (QWidget* control : {static_cast<QWidget*>(window->BTN[0]),
                             static_cast<QWidget*>(window->FLD[0])})
        EXPECT_TRUE(control->isEnabled()) << "enabled again after the work";
}

// What is stopped, and by which of the progress box's ways.
enum class Stopped { Load, Compose, Save };
enum class By { Button, Escape, BoxCloseBox };
struct CancelCase {
    Stopped what;
    const char* file;  // the file loaded (Load) or saved over (Save)
    By by;
};
void PrintTo(const CancelCase& c, std::ostream* os) {
    *os << (c.what == Stopped::Load ? "load " : c.what == Stopped::Compose ? "compose" : "save ")
        << c.file
        << (c.by == By::Button   ? " by キャンセル"
            : c.by == By::Escape ? " by Escape"
                                 : " by the box's close box");
}
class CancelTest : public WindowTest, public ::testing::WithParamInterface<CancelCase> {};

// The work is held until the box has shown the worker's progress (50 %) and the user has
// stopped it; then the real loader, composition or writer runs and must stop at once. A
// stopped load keeps the old picture, path and metadata, a stopped composition the old result,
// a stopped save the old file and leaves no temporary; none of them shows a message. The box is
// centred over the main window.
TEST_P(CancelTest, StoppedWorkKeepsWhatWasThere) {
    const CancelCase& c = GetParam();
    Write(dir.file("old.png"), 12, 9, "PNG");
    Write(dir.file("texture.bmp"), 5, 4, "BMP");
    Drop(window->FLD[0], {dir.file("old.png")});
    Drop(window->FLD[1], {dir.file("texture.bmp")});
    window->BTN[0]->click();
    window->move(200, 150);
    window->show();
    const std::string target = dir.file(c.file);
    if (c.what == Stopped::Load) {
        const QString format = QString(c.file).section('.', -1).toUpper();
        ASSERT_TRUE(View(MakePattern(40, 30, 7)).save(QString::fromStdString(target),
                                                      format.toLatin1().constData()));
    }
    if (c.what == Stopped::Save) WriteBytes(target, "the old file");
    const QImage source = View(Slot(0)).copy();
    const QImage result = View(Slot(2)).copy();
    const platform::ImageMetaPtr meta = window->slotSet().picLoad[0].Meta();
    ASSERT_EQ(messages.size(), 0u);

    windows::SetWorkStartForTesting([&] {
        platform::ProgressStart(200);
        platform::ProgressAdvance(100);
        WaitOnWorker([] { return platform::WorkCancelled(); });
    });
    QString percent, button;
    QPoint centre, boxCentre;
    WhenBoxShown shown([](QDialog& box) { return box.findChild<QProgressBar*>()->value() == 50; },
                       [&](QDialog& box) {
                           percent = box.findChild<QProgressBar*>()->text();
                           button = box.findChild<QPushButton*>()->text();
                           centre = window->frameGeometry().center();
                           boxCentre = box.frameGeometry().center();
                           switch (c.by) {
                               case By::Button:
                                   QTest::mouseClick(box.findChild<QPushButton*>(),
                                                     Qt::LeftButton);
                                   break;
                               case By::Escape:
                                   QTest::keyClick(&box, Qt::Key_Escape);
                                   break;
                               case By::BoxCloseBox:
                                   box.close();
                                   break;
                           }
                       });
    switch (c.what) {
        case Stopped::Load:
            openAnswer = target;
            window->DBTN[0]->click();
            break;
        case Stopped::Compose:
            window->OPT[0]->click();
            window->BTN[0]->click();
            break;
        case Stopped::Save:
            saveAnswer = target;
            window->BTN[1]->click();
            break;
    }
    windows::SetWorkStartForTesting({});
    ASSERT_TRUE(shown.done());
    EXPECT_EQ(percent, QStringLiteral("50%"));
    EXPECT_EQ(button, QStringLiteral("キャンセル"));
    EXPECT_LE((boxCentre - centre).manhattanLength(), 4) << boxCentre.x() << "," << boxCentre.y();
    EXPECT_EQ(Field(0), dir.file("old.png"));
    EXPECT_EQ(View(Slot(0)), source);
    EXPECT_EQ(window->slotSet().picLoad[0].Meta(), meta);
    EXPECT_EQ(View(Slot(2)), result);
    // Only the overwrite question of the save: no error message.
    EXPECT_EQ(messages.size(), c.what == Stopped::Save ? 1u : 0u);
    if (c.what == Stopped::Save) {
        EXPECT_EQ(ReadBytes(target), "the old file");
        std::set<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
            names.insert(entry.path().filename().string());
        EXPECT_EQ(names, (std::set<std::string>{"old.png", "texture.bmp", c.file}))
            << "no temporary is left";
    }
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Window, CancelTest, ::testing::ValuesIn(std::vector<CancelCase>{
    {Stopped::Load, "new.png", By::Button},
    {Stopped::Load, "new.jpg", By::Escape},
    {Stopped::Load, "new.bmp", By::BoxCloseBox},
    {Stopped::Load, "new.ico", By::Button},
    {Stopped::Compose, "", By::Button},
    {Stopped::Compose, "", By::Escape},
    {Stopped::Compose, "", By::BoxCloseBox},
    {Stopped::Save, "result.png", By::Button},
    {Stopped::Save, "result.jpg", By::Escape},
    {Stopped::Save, "result.bmp", By::BoxCloseBox}}));
// clang-format on

// --- Viewer ------------------------------------------------------------------------------------

// The grey levels (blue byte) that the canvas of a viewer shows inside rect.
std::pair<int, int> GreyRange(QWidget* canvas, QRect rect) {
    const QImage shot = canvas->grab(rect).toImage().convertToFormat(QImage::Format_RGB32);
    int lo = 255, hi = 0;
    for (int y = 0; y < shot.height(); ++y) {
        for (int x = 0; x < shot.width(); ++x) {
            const int v = qBlue(shot.pixel(x, y));
            lo = std::min(lo, v);
            hi = std::max(hi, v);
        }
    }
    return {lo, hi};
}

// A one-pixel black and white checkerboard, fitted to a small window, is an even grey (each
// screen pixel averages the pixels it covers), not a pattern of black and white; the zoom keys
// and Ctrl+wheel step the zoom and the title shows it; enlarged pixels are sharp squares; the
// slot's pixels never change.
TEST_F(WindowTest, ViewerFitsSmoothlyAndZooms) {
    QImage board(301, 203, QImage::Format_RGB32);
    for (int y = 0; y < board.height(); ++y)
        for (int x = 0; x < board.width(); ++x)
            board.setPixel(x, y, (x + y) % 2 ? 0xFFFFFFFF : 0xFF000000);
    ASSERT_TRUE(board.save(QString::fromStdString(dir.file("board.bmp")), "BMP"));
    Drop(window->FLD[0], {dir.file("board.bmp")});
    window->show();
    const QImage before = View(Slot(0)).copy();
    QTest::mouseDClick(window->picLoad[0], Qt::LeftButton);
    windows::SlotViewer* viewer = window->viewer(0);
    ASSERT_TRUE(viewer);
    QWidget* canvas = viewer->scrollArea()->widget();
    EXPECT_EQ(viewer->windowTitle(), QStringLiteral("元の画像 — 301 × 203 — 100%"));

    viewer->resize(130, 120);
    viewer->setFitToWindow(true);
    QApplication::sendPostedEvents();
    const double fit = viewer->zoom();
    ASSERT_LT(fit, 0.5);
    const QSize shown(int(std::lround(301 * fit)), int(std::lround(203 * fit)));
    const QRect inner(QPoint((canvas->width() - shown.width()) / 2 + 2,
                             (canvas->height() - shown.height()) / 2 + 2),
                      shown - QSize(4, 4));
    const auto [lo, hi] = GreyRange(canvas, inner);
    EXPECT_GE(lo, 100);
    EXPECT_LE(hi, 155);

    QTest::keyClick(viewer, Qt::Key_0, Qt::ControlModifier);
    EXPECT_FALSE(viewer->fitToWindow());
    EXPECT_EQ(canvas->size(), QSize(301, 203));
    QTest::keyClick(viewer, Qt::Key_Plus, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_EQ(viewer->windowTitle(), QStringLiteral("元の画像 — 301 × 203 — 150%"));
    QTest::keyClick(viewer, Qt::Key_Plus, Qt::ControlModifier);
    EXPECT_EQ(canvas->size(), QSize(602, 406));
    const QImage big = canvas->grab(QRect(0, 0, 8, 8)).toImage();
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 8; ++x)
            EXPECT_EQ(qBlue(big.pixel(x, y)), qBlue(board.pixel(x / 2, y / 2))) << x << "," << y;
    for (int i = 0; i < 3; ++i) QTest::keyClick(viewer, Qt::Key_Minus, Qt::ControlModifier);
    EXPECT_EQ(viewer->windowTitle(), QStringLiteral("元の画像 — 301 × 203 — 66.7%"));
    QWheelEvent wheel(QPointF(5, 5), QPointF(5, 5), QPoint(), QPoint(0, 120), Qt::NoButton,
                      Qt::ControlModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(viewer->scrollArea()->viewport(), &wheel);
    EXPECT_EQ(viewer->windowTitle(), QStringLiteral("元の画像 — 301 × 203 — 100%"));
    EXPECT_EQ(View(Slot(0)), before);
}

// --- Files named on the command line ---------------------------------------------------------

// glimbra SOURCE FLOATING loads them as the browse buttons would (relative names become full
// paths; a file that cannot be read is reported as then); without files nothing is loaded.
TEST_F(WindowTest, MainLoadsTheFilesItIsGiven) {
    Write(dir.file("source.png"), 9, 7, "PNG");
    Write(dir.file("texture.bmp"), 4, 3, "BMP");
    const QString before = QDir::currentPath();
    QDir::setCurrent(QString::fromStdString(dir.path()));
    std::unique_ptr<frmMain> main =
        Main({QStringLiteral("source.png"), QString::fromStdString(dir.file("texture.bmp"))});
    QDir::setCurrent(before);
    EXPECT_EQ(main->FLD[0]->text().toStdString(), dir.file("source.png"));
    EXPECT_EQ(main->FLD[1]->text().toStdString(), dir.file("texture.bmp"));
    EXPECT_EQ(main->slotSet().picLoad[0].Width(), 9);
    EXPECT_EQ(main->slotSet().picLoad[1].Width(), 4);
    EXPECT_TRUE(messages.empty());

    std::unique_ptr<frmMain> missing = Main({QString::fromStdString(dir.file("missing.png"))});
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(std::get<1>(messages[0]), "読み込みエラー");
    EXPECT_NE(std::get<0>(messages[0]).find(dir.file("missing.png")), std::string::npos);
    EXPECT_EQ(missing->FLD[0]->text(), QString());
    EXPECT_EQ(missing->slotSet().picLoad[0].Width(), 165);

    std::unique_ptr<frmMain> none = Main();
    EXPECT_EQ(none->FLD[0]->text(), QString());
    EXPECT_EQ(none->FLD[1]->text(), QString());
    EXPECT_EQ(messages.size(), 1u);
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
