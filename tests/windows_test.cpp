// The main window and the options dialog, driven headless through their controls: clicks, drops,
// key presses and a fake dialog host that answers file dialogs and records message boxes.

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QDropEvent>
#include <QGroupBox>
#include <QImage>
#include <QLabel>
#include <QMimeData>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QTest>
#include <QTimer>
#include <QUrl>
#include <deque>
#include <memory>
#include <vector>

#include "codec/codec.h"
#include "compose/compose_image.h"
#include "imagefiles/load_image.h"
#include "platform/files.h"
#include "platform/ui.h"
#include "startup/settings.h"
#include "test_support.h"
#include "windows/bas_main.h"
#include "windows/frm_jpeg.h"
#include "windows/frm_main.h"
#include "windows/path_field.h"
#include "windows/slot_view.h"

namespace {

using testing_support::FileExists;
using testing_support::ReadBytes;
using testing_support::TempDir;

// One application for the whole run, ended before the process exits: Qt's input devices must
// not outlive it into the static destructors.
class QtEnvironment : public ::testing::Environment {
  public:
    void SetUp() override {
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
        app_ = std::make_unique<QApplication>(argc_, argv_);
    }
    void TearDown() override { app_.reset(); }

  private:
    int argc_ = 1;
    char name_[13] = "test_windows";
    char* argv_[2] = {name_, nullptr};
    std::unique_ptr<QApplication> app_;
};

[[maybe_unused]] ::testing::Environment* const g_qt =
    ::testing::AddGlobalTestEnvironment(new QtEnvironment);

struct Message {
    std::string text, caption;
    std::uint32_t style;
};

// Answers open dialogs from a queue ("" = cancel) and records everything it was asked.
class FakeUi final : public platform::UiHost {
  public:
    std::deque<std::string> openAnswers;
    std::vector<platform::FileDialogRecord> openRecords;
    std::vector<Message> messages;

    bool GetOpenFileName(platform::FileDialogRecord& record) override {
        openRecords.push_back(record);
        if (openAnswers.empty()) return false;
        record.file = openAnswers.front();
        openAnswers.pop_front();
        return !record.file.empty();
    }
    bool GetSaveFileName(platform::FileDialogRecord&) override { return false; }
    bool ChooseColor(platform::HWND, std::uint32_t&, std::array<std::uint32_t, 16>&) override {
        return false;
    }
    int MessageBox(platform::HWND, const std::string& text, const std::string& caption,
                   std::uint32_t style) override {
        messages.push_back({text, caption, style});
        return platform::IDOK;
    }
};

void WriteBmp(const std::string& path, int w, int h, std::uint32_t seed) {
    platform::Bitmap bitmap;
    ASSERT_TRUE(bitmap.Allocate(w, h));
    testing_support::FillPattern(bitmap, seed);
    ASSERT_TRUE(codec::SavePicture(bitmap, path));
}

void WriteWithQt(const std::string& path, int w, int h, const char* format) {
    QImage image(w, h, QImage::Format_RGB32);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) image.setPixel(x, y, testing_support::PatternPixel(x, y, 7));
    }
    ASSERT_TRUE(image.save(QString::fromStdString(path), format));
}

// A drag that enters the widget and is released over it: Qt delivers the drop to the widget that
// accepted the drag's entry.
void Drop(QWidget* target, const QMimeData& data) {
    QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &enter);
    QDropEvent drop(QPointF(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &drop);
}

void DropFiles(QWidget* target, const std::vector<std::string>& paths) {
    QMimeData data;
    QList<QUrl> urls;
    for (const std::string& p : paths) urls << QUrl::fromLocalFile(QString::fromStdString(p));
    data.setUrls(urls);
    Drop(target, data);
}

bool SamePixels(const platform::Bitmap& a, const platform::Bitmap& b) {
    if (a.width() != b.width() || a.height() != b.height()) return false;
    for (int y = 0; y < a.height(); ++y) {
        for (int x = 0; x < a.width(); ++x) {
            if (a.at(x, y) != b.at(x, y)) return false;
        }
    }
    return true;
}

// Every test: settings read from an empty temporary executable folder (the defaults), a fake
// dialog host, and a fresh main window.
class WindowTest : public ::testing::Test {
  protected:
    void SetUp() override {
        platform::SetExeFolderForTesting(dir.path());
        basCommon::LoadSettings();
        platform::SetUi(&ui);
        window = std::make_unique<frmMain>();
    }
    void TearDown() override {
        window.reset();
        platform::SetUi(nullptr);
        platform::SetExeFolderForTesting("");
    }
    std::string Field(int i) const { return window->FLD[i]->text().toStdString(); }
    const platform::Bitmap& Slot(int i) { return window->slotSet().picLoad[i].Image(); }

    TempDir dir;
    FakeUi ui;
    std::unique_ptr<frmMain> window;
};

// --- Drops and browsing --------------------------------------------------------------------

TEST_F(WindowTest, DropLoadsEachAcceptedFileInTurnAndKeepsTheLast) {
    WriteBmp(dir.file("a.bmp"), 10, 8, 1);
    testing_support::WriteBytes(dir.file("b.txt"), "not an image");
    WriteWithQt(dir.file("c.png"), 6, 5, "PNG");
    std::vector<QSize> sizes;  // every size slot 0 took, as its view saw it
    QObject::connect(window->picLoad[0], &windows::SlotView::changed,
                     [&] { sizes.push_back(window->picLoad[0]->size()); });

    DropFiles(window->FLD[0], {dir.file("a.bmp"), dir.file("b.txt"), dir.file("c.png")});

    EXPECT_EQ(Field(0), dir.file("c.png"));
    EXPECT_EQ(Slot(0).width(), 6);
    EXPECT_EQ(Slot(0).height(), 5);
    EXPECT_EQ(Slot(0).at(5, 4) & 0xFFFFFF, testing_support::PatternPixel(5, 4, 7) & 0xFFFFFF);
    EXPECT_NE(std::find(sizes.begin(), sizes.end(), QSize(10, 8)), sizes.end()) << "a.bmp loaded";
    EXPECT_EQ(window->picLoad[0]->size(), QSize(6, 5));
    EXPECT_TRUE(ui.messages.empty()) << "b.txt is skipped, not reported";
    EXPECT_EQ(Field(1), "");
}

struct DropCase {
    const char* name;
    std::int16_t optionsGif;
    bool accepted;
};

class DropExtensionTest : public WindowTest, public ::testing::WithParamInterface<DropCase> {};

// Acceptance shows as a load attempt: either the path appears or a reading error is reported
// (the GIF and ICO files here are not decodable, on purpose).
TEST_P(DropExtensionTest, AcceptsByUpperCasedLastFourCharacters) {
    const DropCase c = GetParam();
    basCommon::OptionsGif = c.optionsGif;
    const std::string path = dir.file(c.name);
    if (std::string(c.name).ends_with("Jpg") || std::string(c.name).ends_with("jpeg")) {
        WriteWithQt(path, 4, 4, "JPG");
    } else {
        testing_support::WriteBytes(path, "garbage");
    }
    DropFiles(window->FLD[0], {path});
    const bool attempted = Field(0) == path || !ui.messages.empty();
    EXPECT_EQ(attempted, c.accepted);
    if (c.accepted && ui.messages.empty()) {
        EXPECT_EQ(Slot(0).width(), 4);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Names, DropExtensionTest,
    ::testing::Values(DropCase{"photo.Jpg", 1, true}, DropCase{"photo.jpeg", 1, false},
                      DropCase{"icon.ico", 1, true}, DropCase{"anim.gif", 1, true},
                      DropCase{"anim.GIF", 0, false}, DropCase{"anim.gif", 2, false},
                      DropCase{"noext", 1, false}),
    [](const auto& info) {
        std::string n = info.param.name;
        for (char& ch : n) ch = std::isalnum((unsigned char)ch) ? ch : '_';
        return n + "_gif" + std::to_string(info.param.optionsGif);
    });

TEST_F(WindowTest, DropOnFloatingFieldLoadsOnlyTheFloatingImage) {
    WriteBmp(dir.file("f.bmp"), 12, 9, 2);
    DropFiles(window->FLD[1], {dir.file("f.bmp")});
    EXPECT_EQ(Field(1), dir.file("f.bmp"));
    EXPECT_EQ(Slot(1).width(), 12);
    EXPECT_EQ(Field(0), "");
    EXPECT_EQ(Slot(0).width(), 165);
}

TEST_F(WindowTest, TextDroppedOrTypedIntoAFieldLoadsNothing) {
    WriteBmp(dir.file("t.bmp"), 12, 9, 3);
    QMimeData text;
    text.setText(QString::fromStdString(dir.file("t.bmp")));
    Drop(window->FLD[0], text);
    EXPECT_EQ(Field(0), "") << "dropped text is not pasted either";

    window->show();
    QTest::keyClicks(window->FLD[1], QString::fromStdString(dir.file("t.bmp")));
    QTest::keyClick(window->FLD[1], Qt::Key_Return);
    EXPECT_EQ(Slot(0).width(), 165);
    EXPECT_EQ(Slot(1).width(), 88);
    EXPECT_TRUE(ui.messages.empty());
}

class BrowseTest : public WindowTest, public ::testing::WithParamInterface<std::int16_t> {};

TEST_P(BrowseTest, OffersGifUnlessSwitchedOffAndLoadsTheChosenFile) {
    basCommon::OptionsGif = GetParam();
    WriteBmp(dir.file("b.bmp"), 7, 6, 4);
    ui.openAnswers = {dir.file("b.bmp")};
    window->DBTN[1]->click();

    ASSERT_EQ(ui.openRecords.size(), 1u);
    const platform::FileDialogRecord& r = ui.openRecords[0];
    const std::string nul(1, '\0');
    const std::string patterns =
        GetParam() != 0 ? "*.bmp;*.gif;*.ico;*.jpg;*.png" : "*.bmp;*.ico;*.jpg;*.png";
    EXPECT_EQ(r.filter, "画像ファイル" + nul + patterns + nul);
    EXPECT_EQ(r.title, "背景の画像");
    EXPECT_EQ(r.flags, 4100u);
    EXPECT_EQ(r.owner, window->hWnd());
    EXPECT_EQ(Field(1), dir.file("b.bmp"));
    EXPECT_EQ(Slot(1).width(), 7);

    window->DBTN[0]->click();  // no answer queued: cancelled
    EXPECT_EQ(Field(0), "");
    EXPECT_EQ(Slot(0).width(), 165);
}

INSTANTIATE_TEST_SUITE_P(OptionsGif, BrowseTest, ::testing::Values(0, 1, 2));

TEST_F(WindowTest, FailedLoadIsReportedOncePerFileAndLosesNothing) {
    WriteBmp(dir.file("good.bmp"), 9, 7, 5);
    testing_support::WriteBytes(dir.file("bad1.bmp"), "BM broken");
    DropFiles(window->FLD[0], {dir.file("good.bmp")});
    platform::Bitmap before;
    ASSERT_TRUE(before.Allocate(9, 7));
    for (int y = 0; y < 7; ++y) std::copy_n(Slot(0).row(y), 9, before.row(y));

    DropFiles(window->FLD[0], {dir.file("bad1.bmp"), dir.file("missing.png")});

    ASSERT_EQ(ui.messages.size(), 2u);
    const std::string head = "画像を読み込めませんでした。\r\n" + dir.file("bad1.bmp") + "\r\n";
    EXPECT_EQ(ui.messages[0].text.substr(0, head.size()), head);
    EXPECT_GT(ui.messages[0].text.size(), head.size()) << "a reason follows";
    EXPECT_EQ(ui.messages[0].caption, "読み込みエラー");
    EXPECT_EQ(ui.messages[0].style, platform::MB_OK | platform::MB_ICONEXCLAMATION);
    EXPECT_NE(ui.messages[1].text.find(dir.file("missing.png")), std::string::npos);
    EXPECT_EQ(Field(0), dir.file("good.bmp"));
    EXPECT_TRUE(SamePixels(Slot(0), before));
    EXPECT_EQ(window->picLoad[0]->size(), QSize(9, 7));
}

// --- Start --------------------------------------------------------------------------------

class StartTest : public WindowTest, public ::testing::WithParamInterface<bool> {};

TEST_P(StartTest, ComposesWithTheSelectedOption) {
    const bool tile = GetParam();
    WriteBmp(dir.file("src.bmp"), 40, 30, 6);
    WriteBmp(dir.file("flt.bmp"), 7, 5, 8);
    DropFiles(window->FLD[0], {dir.file("src.bmp")});
    DropFiles(window->FLD[1], {dir.file("flt.bmp")});
    window->show();
    EXPECT_TRUE(window->OPT[1]->isChecked()) << "stretch is selected at start";
    if (tile) QTest::mouseClick(window->OPT[0], Qt::LeftButton);
    EXPECT_NE(window->OPT[0]->isChecked(), window->OPT[1]->isChecked());
    QTest::mouseClick(window->BTN[0], Qt::LeftButton);

    compose::SlotSet direct;
    ASSERT_EQ(basCommon::LoadImageSlot(direct, dir.file("src.bmp"), 0), 0);
    ASSERT_EQ(basCommon::LoadImageSlot(direct, dir.file("flt.bmp"), 1), 0);
    ASSERT_TRUE(basCommon::ComposeImage(direct, tile ? basCommon::kTrue : basCommon::kFalse));
    EXPECT_TRUE(SamePixels(Slot(2), direct.picLoad[2].Image()));
    EXPECT_EQ(window->picLoad[2]->size(), QSize(40, 30));
    EXPECT_TRUE(ui.messages.empty());
}

INSTANTIATE_TEST_SUITE_P(TileOrStretch, StartTest, ::testing::Bool());

// --- Layout, viewer, close -----------------------------------------------------------------

TEST_F(WindowTest, LayoutAndTabOrderFollowTheDesign) {
    EXPECT_EQ(window->windowTitle(), "Glimbra");
    EXPECT_EQ(window->geometry(), QRect(4, 38, 499, 358));
    EXPECT_EQ(window->minimumSize(), window->maximumSize());
    EXPECT_EQ(window->BTN[2]->text(), "ｵﾌﾟｼｮﾝ");
    EXPECT_EQ(window->BTN[3]->geometry(), QRect(440, 328, 49, 25));
    EXPECT_EQ(window->picFrame[1]->geometry(), QRect(88, 240, 92, 35));
    EXPECT_EQ(window->picLoad[1]->size(), QSize(88, 31)) << "a frame's client area is its slot";
    EXPECT_EQ(window->picLoad[1]->mapTo(window.get(), QPoint(0, 0)), QPoint(90, 242));
    EXPECT_EQ(window->OPT[1]->text(), "浮き画像を拡大・縮小する");
    EXPECT_FALSE(window->windowIcon().isNull());

    std::vector<QWidget*> expected = {
        window->FLD[0], window->DBTN[0], window->FLD[1], window->DBTN[1], window->BTN[0],
        window->BTN[1], window->BTN[2],  window->BTN[3], window->OPT[0],  window->OPT[1]};
    std::vector<QWidget*> chain;
    QWidget* w = window->FLD[0];
    do {
        if (w->focusPolicy() & Qt::TabFocus) chain.push_back(w);
        w = w->nextInFocusChain();
    } while (w != window->FLD[0] && chain.size() < 20);
    EXPECT_EQ(chain, expected);
}

TEST_F(WindowTest, DoubleClickOpensAWholeImageViewerThatCanFit) {
    WriteBmp(dir.file("big.bmp"), 400, 300, 9);
    DropFiles(window->FLD[0], {dir.file("big.bmp")});
    window->show();
    EXPECT_EQ(window->picFrame[0]->size(), QSize(169, 169)) << "the frame stays as laid out";
    QTest::mouseDClick(window->picLoad[0], Qt::LeftButton);
    windows::SlotViewer* viewer = window->viewer(0);
    ASSERT_NE(viewer, nullptr);
    EXPECT_TRUE(viewer->isVisible());
    EXPECT_EQ(viewer->scrollArea()->widget()->size(), QSize(400, 300));
    viewer->resize(200, 200);
    viewer->setFitToWindow(true);
    EXPECT_TRUE(viewer->scrollArea()->widgetResizable());
    EXPECT_LE(viewer->scrollArea()->widget()->width(), 200);
    viewer->setFitToWindow(false);
    EXPECT_EQ(viewer->scrollArea()->widget()->size(), QSize(400, 300));

    window->BTN[3]->click();
    EXPECT_FALSE(window->isVisible());
    EXPECT_TRUE(window->viewer(0) == nullptr || !window->viewer(0)->isVisible());
}

TEST_F(WindowTest, StartUpWritesTheSettingsAndClosingWritesNothing) {
    window.reset();
    std::unique_ptr<frmMain> main = basCommon::Main();
    const std::string ini = dir.file("Glimbra.ini");
    ASSERT_TRUE(FileExists(ini));
    EXPECT_NE(ReadBytes(ini).find("Rate=50"), std::string::npos);
    EXPECT_TRUE(main->isVisible());
    std::remove(ini.c_str());
    main->BTN[3]->click();
    EXPECT_FALSE(main->isVisible());

    std::unique_ptr<frmMain> second = basCommon::Main();
    std::remove(ini.c_str());
    second->close();  // the title bar's close box
    EXPECT_FALSE(second->isVisible());
    EXPECT_FALSE(FileExists(ini));
    EXPECT_TRUE(ui.messages.empty());
}

// --- Options dialog ------------------------------------------------------------------------

class OptionsTest : public WindowTest {
  protected:
    std::string Ini() {
        return FileExists(dir.file("Glimbra.ini")) ? ReadBytes(dir.file("Glimbra.ini")) : "";
    }
};

TEST_F(OptionsTest, OpensWithTheCurrentSettings) {
    {
        frmJPEG d;
        EXPECT_EQ(d.windowTitle(), "保存オプション");
        EXPECT_EQ(d.size(), QSize(312, 175));
        EXPECT_EQ(d.BoxLine[1]->title(), "PNG");
        EXPECT_EQ(d.CHK->text(), "保存する");
        EXPECT_EQ(d.ASCR[0]->geometry(), QRect(152, 16, 137, 17));
        EXPECT_EQ(d.ASCR[0]->value(), 50);
        EXPECT_EQ(d.DSP[0]->text(), "50");
        EXPECT_FALSE(d.CHK->isChecked());
        EXPECT_EQ(d.ASCR[1]->value(), 0);
        EXPECT_EQ(d.DSP[1]->text(), "0");
        EXPECT_FALSE(d.BTN[0]->autoDefault() || d.BTN[1]->autoDefault());
    }
    basCommon::JpegRate = 1;
    basCommon::PngRate = 0;
    frmJPEG d;
    EXPECT_EQ(d.DSP[0]->text(), "1");
    EXPECT_EQ(d.DSP[1]->text(), "1");
}

TEST_F(OptionsTest, SaveStoresTheEditedValuesAndReopensWithThem) {
    {
        frmJPEG d;
        d.show();
        d.ASCR[1]->setValue(2);
        EXPECT_EQ(d.DSP[1]->text(), "2");
        d.ASCR[0]->setValue(77);
        QTest::mouseClick(d.CHK, Qt::LeftButton);
        QTest::mouseClick(d.BTN[0], Qt::LeftButton);
        EXPECT_FALSE(d.isVisible());
    }
    EXPECT_EQ(basCommon::PngRate, 2);
    EXPECT_EQ(basCommon::JpegRate, 77);
    EXPECT_EQ(basCommon::JpegPrgrs, -1);
    EXPECT_NE(Ini().find("Prgrs=-1"), std::string::npos);
    basCommon::LoadSettings();
    frmJPEG again;
    EXPECT_EQ(again.ASCR[1]->value(), 2);
    EXPECT_EQ(again.ASCR[0]->value(), 77);
    EXPECT_TRUE(again.CHK->isChecked());
}

TEST_F(OptionsTest, OutOfRangeSettingsOpenAtTheNearestPosition) {
    basCommon::PngRate = 7;
    basCommon::JpegRate = 300;
    basCommon::JpegPrgrs = 5;
    frmJPEG d;
    EXPECT_EQ(d.ASCR[1]->value(), 1);
    EXPECT_EQ(d.ASCR[0]->value(), 100);
    EXPECT_TRUE(d.CHK->isChecked());
    d.BTN[0]->click();
    EXPECT_EQ(basCommon::PngRate, 0);
    EXPECT_EQ(basCommon::JpegRate, 100);
    EXPECT_EQ(basCommon::JpegPrgrs, -1);
}

TEST_F(OptionsTest, CloseButtonCloseBoxAndEscapeSaveNothing) {
    basCommon::SaveSettings();
    const std::string file = Ini();
    const auto change = [](frmJPEG& d) {
        d.ASCR[0]->setValue(10);
        d.ASCR[1]->setValue(2);
        d.CHK->setChecked(true);
    };
    {
        frmJPEG d;
        d.show();
        change(d);
        QTest::keyClick(&d, Qt::Key_Escape);
        EXPECT_TRUE(d.isVisible()) << "no control is a cancel button";
        d.BTN[1]->click();
        EXPECT_FALSE(d.isVisible());
    }
    {
        frmJPEG d;
        d.show();
        change(d);
        d.close();
    }
    EXPECT_EQ(basCommon::JpegRate, 50);
    EXPECT_EQ(basCommon::JpegPrgrs, 0);
    EXPECT_EQ(basCommon::PngRate, 1);
    EXPECT_EQ(Ini(), file);
}

TEST_F(OptionsTest, OptionsButtonShowsAFreshModalDialogEachTime) {
    window->show();
    int shown = 0;
    const auto answer = [&] {
        auto* d = qobject_cast<frmJPEG*>(QApplication::activeModalWidget());
        ASSERT_NE(d, nullptr);
        ++shown;
        EXPECT_EQ(d->ASCR[0]->value(), basCommon::JpegRate);
        d->ASCR[0]->setValue(33);
        d->BTN[0]->click();
    };
    QTimer::singleShot(0, answer);
    window->BTN[2]->click();
    EXPECT_EQ(basCommon::JpegRate, 33);
    QTimer::singleShot(0, answer);
    window->BTN[2]->click();
    EXPECT_EQ(shown, 2);
    EXPECT_TRUE(window->findChildren<frmJPEG*>().isEmpty()) << "the dialog is gone after use";
}

}  // namespace
