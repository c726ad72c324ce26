// The main window and the options dialog, driven headless through their controls: clicks, drops,
// key presses and a fake dialog host that answers file dialogs and records message boxes.

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QDropEvent>
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
#include <memory>
#include <vector>

#include "compose/compose_image.h"
#include "imagefiles/load_image.h"
#include "platform/files.h"
#include "startup/settings.h"
#include "test_support.h"
#include "windows/bas_main.h"
#include "windows/frm_jpeg.h"
#include "windows/frm_main.h"
#include "windows/path_field.h"
#include "windows/slot_view.h"

namespace {

using namespace testing_support;

using Message = std::tuple<std::string, std::string, std::uint32_t>;  // text, caption, style
using Load = std::pair<std::string, QSize>;  // a path field's text and its slot's size

// Answers an open dialog with openAnswer ("" = cancel) and records everything it was asked.
class FakeUi final : public platform::UiHost {
  public:
    FakeUi() { platform::SetUi(this); }
    ~FakeUi() override { platform::SetUi(nullptr); }
    std::string openAnswer;
    std::vector<platform::FileDialogRecord> openRecords;
    std::vector<Message> messages;

    bool GetOpenFileName(platform::FileDialogRecord& record) override {
        openRecords.push_back(record);
        record.file = std::exchange(openAnswer, "");
        return !record.file.empty();
    }
    bool GetSaveFileName(platform::FileDialogRecord&) override { return false; }
    bool ChooseColor(platform::HWND, std::uint32_t&, std::array<std::uint32_t, 16>&) override {
        return false;
    }
    int MessageBox(platform::HWND, const std::string& text, const std::string& caption,
                   std::uint32_t style) override {
        messages.emplace_back(text, caption, style);
        return platform::IDOK;
    }
};

// A w × h picture of the test pattern (seeded with w), written by Qt in the given format.
void Write(const std::string& path, int w, int h, const char* format) {
    QImage image(w, h, QImage::Format_RGB32);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) image.setPixel(x, y, PatternPixel(x, y, w));
    ASSERT_TRUE(image.save(QString::fromStdString(path), format));
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

// The bitmap's pixels, all four bytes, as an image without a copy: images compare by pixels.
QImage View(const platform::Bitmap& b) {
    return QImage(reinterpret_cast<const uchar*>(b.row(0)), b.width(), b.height(),
                  QImage::Format_ARGB32);
}

// Every test: settings read from an empty temporary executable folder (the defaults), a fake
// dialog host, and a fresh main window.
class WindowTest : public ::testing::Test {
  protected:
    void SetUp() override {
        static int argc = 1;
        static char name[] = "test_windows", *argv[] = {name, nullptr};
        [[maybe_unused]] static auto* app = new QApplication(argc, argv);  // kept to the end
        platform::SetExeFolderForTesting(dir.path());
        basCommon::LoadSettings();
        window = std::make_unique<frmMain>();
    }
    std::string Field(int i) const { return window->FLD[i]->text().toStdString(); }
    const platform::Bitmap& Slot(int i) { return window->slotSet().picLoad[i].Image(); }
    Load Loaded(int i) { return Load(Field(i), QSize(Slot(i).width(), Slot(i).height())); }
    std::string Ini() const { return FileExists(ini) ? ReadBytes(ini) : "(none)"; }
    static auto Settings() {
        return std::tuple(basCommon::JpegRate, basCommon::JpegPrgrs, basCommon::PngRate);
    }

    TempDir dir;
    const std::string ini = dir.file("Glimbra.ini");
    FakeUi ui;
    std::unique_ptr<frmMain> window;  // destroyed first
};

// --- Drops and browsing --------------------------------------------------------------------

TEST_F(WindowTest, DropLoadsEachAcceptedFileInTurnIntoTheFieldsOwnSlot) {
    Write(dir.file("a.bmp"), 10, 8, "BMP");
    WriteBytes(dir.file("b.txt"), "not an image");
    Write(dir.file("c.png"), 6, 5, "PNG");

    Drop(window->FLD[0], {dir.file("a.bmp"), dir.file("b.txt"), dir.file("c.png")});
    EXPECT_EQ(Loaded(0), Load(dir.file("c.png"), {6, 5}));
    EXPECT_EQ(Slot(0).at(5, 4) & 0xFFFFFF, PatternPixel(5, 4, 6) & 0xFFFFFF);
    EXPECT_TRUE(ui.messages.empty()) << "b.txt is skipped, not reported";
    EXPECT_EQ(Loaded(1), Load("", {88, 31}));

    Drop(window->FLD[1], {dir.file("a.bmp")});
    EXPECT_EQ(Loaded(1), Load(dir.file("a.bmp"), {10, 8}));
    EXPECT_EQ(Loaded(0), Load(dir.file("c.png"), {6, 5}));
}

// A file name, OptionsGif, and whether a drop accepts it. The files hold no picture, so an
// accepted one shows as a reading error.
using DropCase = std::tuple<std::string, int, bool>;
class DropExtensionTest : public WindowTest, public ::testing::WithParamInterface<DropCase> {};

TEST_P(DropExtensionTest, AcceptsByUpperCasedLastFourCharacters) {
    const auto& [name, optionsGif, accepted] = GetParam();
    basCommon::OptionsGif = std::int16_t(optionsGif);
    WriteBytes(dir.file(name), "garbage");
    Drop(window->FLD[0], {dir.file(name)});
    EXPECT_EQ(ui.messages.size(), accepted ? 1u : 0u);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Names, DropExtensionTest, ::testing::ValuesIn(std::vector<DropCase>{
    {"photo.Jpg", 1, true}, {"photo.jpeg", 1, false}, {"icon.ico", 1, true},
    {"anim.GIF", 1, true}, {"anim.gif", 0, false}, {"anim.gif", 2, false}}));
// clang-format on

TEST_F(WindowTest, TextDroppedOrTypedIntoAFieldLoadsNothing) {
    Write(dir.file("t.bmp"), 12, 9, "BMP");
    Drop(window->FLD[0], {dir.file("t.bmp")}, /*asText=*/true);
    EXPECT_EQ(Field(0), "") << "dropped text is not pasted either";

    window->show();
    QTest::keyClicks(window->FLD[1], QString::fromStdString(dir.file("t.bmp")));
    QTest::keyClick(window->FLD[1], Qt::Key_Return);
    EXPECT_EQ(Loaded(1).second, QSize(88, 31));
}

// OptionsGif and the patterns offered: 2 offers GIF files here although a drop refuses them.
using BrowseCase = std::pair<int, std::string>;
class BrowseTest : public WindowTest, public ::testing::WithParamInterface<BrowseCase> {};

TEST_P(BrowseTest, OffersGifUnlessSwitchedOffAndLoadsTheChosenFile) {
    const auto& [optionsGif, patterns] = GetParam();
    basCommon::OptionsGif = std::int16_t(optionsGif);
    Write(dir.file("b.bmp"), 7, 6, "BMP");
    ui.openAnswer = dir.file("b.bmp");
    window->DBTN[1]->click();
    const platform::FileDialogRecord& r = ui.openRecords.at(0);
    EXPECT_EQ(r.filter, std::string("画像ファイル") + '\0' + patterns + '\0');
    EXPECT_EQ(std::tie(r.title, r.flags, r.owner), std::tuple("背景の画像", 4100u, window->hWnd()));
    EXPECT_EQ(Loaded(1), Load(dir.file("b.bmp"), {7, 6}));
    window->DBTN[0]->click();  // cancelled
    EXPECT_EQ(Loaded(0), Load("", {165, 165}));
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(OptionsGif, BrowseTest, ::testing::ValuesIn(std::vector<BrowseCase>{
    {0, "*.bmp;*.ico;*.jpg;*.png"}, {1, "*.bmp;*.gif;*.ico;*.jpg;*.png"},
    {2, "*.bmp;*.gif;*.ico;*.jpg;*.png"}}));
// clang-format on

TEST_F(WindowTest, FailedLoadIsReportedOncePerFileAndLosesNothing) {
    Write(dir.file("good.bmp"), 9, 7, "BMP");
    WriteBytes(dir.file("bad.bmp"), "BM broken");
    Drop(window->FLD[0], {dir.file("good.bmp")});
    Drop(window->FLD[0], {dir.file("bad.bmp"), dir.file("missing.png")});

    compose::SlotSet direct;  // the same loads, straight through the load procedure
    std::string reason;
    ASSERT_EQ(basCommon::LoadImageSlot(direct, dir.file("good.bmp"), 0), 0);
    ASSERT_NE(basCommon::LoadImageSlot(direct, dir.file("bad.bmp"), 0, &reason), 0);
    ASSERT_EQ(ui.messages.size(), 2u);
    EXPECT_EQ(ui.messages[0],
              Message("画像を読み込めませんでした。\r\n" + dir.file("bad.bmp") + "\r\n" + reason,
                      "読み込みエラー", platform::MB_OK | platform::MB_ICONEXCLAMATION));
    EXPECT_NE(std::get<0>(ui.messages[1]).find(dir.file("missing.png")), std::string::npos);
    EXPECT_EQ(Field(0), dir.file("good.bmp"));
    EXPECT_EQ(View(Slot(0)), View(direct.picLoad[0].Image()));
    EXPECT_EQ(window->picLoad[0]->size(), QSize(9, 7));
}

// --- Start, layout, viewer, close ----------------------------------------------------------

class StartTest : public WindowTest, public ::testing::WithParamInterface<bool> {};

TEST_P(StartTest, ComposesWithTheSelectedOptionLikeComposeImage) {
    const bool tile = GetParam();
    Write(dir.file("src.bmp"), 40, 30, "BMP");
    Write(dir.file("flt.bmp"), 7, 5, "BMP");
    Drop(window->FLD[0], {dir.file("src.bmp")});
    Drop(window->FLD[1], {dir.file("flt.bmp")});
    window->show();
    EXPECT_TRUE(window->OPT[1]->isChecked()) << "stretch is selected at start";
    if (tile) QTest::mouseClick(window->OPT[0], Qt::LeftButton);
    QTest::mouseClick(window->BTN[0], Qt::LeftButton);

    compose::SlotSet direct;
    ASSERT_EQ(basCommon::LoadImageSlot(direct, dir.file("src.bmp"), 0), 0);
    ASSERT_EQ(basCommon::LoadImageSlot(direct, dir.file("flt.bmp"), 1), 0);
    ASSERT_TRUE(basCommon::ComposeImage(direct, tile ? basCommon::kTrue : basCommon::kFalse));
    EXPECT_EQ(View(Slot(2)), View(direct.picLoad[2].Image()));
    EXPECT_EQ(window->picLoad[2]->size(), QSize(40, 30));
}

INSTANTIATE_TEST_SUITE_P(TileOrStretch, StartTest, ::testing::Bool());

TEST_F(WindowTest, KeyControlsSitAsLaidOutInTabOrder) {
    EXPECT_EQ(window->geometry(), QRect(4, 38, 499, 358));
    EXPECT_EQ(window->BTN[3]->geometry(), QRect(440, 328, 49, 25));
    const QWidget* slot = window->picLoad[1];  // a frame's client area is its slot
    EXPECT_EQ(QRect(slot->mapTo(window.get(), QPoint()), slot->size()), QRect(90, 242, 88, 31));
    const std::vector<QWidget*> expected = {
        window->FLD[0], window->DBTN[0], window->FLD[1], window->DBTN[1], window->BTN[0],
        window->BTN[1], window->BTN[2],  window->BTN[3], window->OPT[0],  window->OPT[1]};
    std::vector<QWidget*> chain;  // one round of the focus chain
    for (QWidget* w = window->FLD[0]; chain.empty() || w != window->FLD[0];
         w = w->nextInFocusChain()) {
        if (w->focusPolicy() & Qt::TabFocus) chain.push_back(w);
    }
    EXPECT_EQ(chain, expected);
}

// The viewer opens on a double-click; the close button ends the window and its viewer and, like
// the close box it stands for, writes nothing.
TEST_F(WindowTest, MainWritesTheSettingsAndClosingEndsTheViewersWritingNothing) {
    std::unique_ptr<frmMain> main = basCommon::Main();
    EXPECT_TRUE(main->isVisible());
    EXPECT_EQ(Ini(), "[JPEG]\nRate=50\nPrgrs=0\n[PNG]\nRate=1\n");
    std::remove(ini.c_str());
    Write(dir.file("big.bmp"), 400, 300, "BMP");
    Drop(main->FLD[0], {dir.file("big.bmp")});
    EXPECT_EQ(main->picFrame[0]->size(), QSize(169, 169)) << "the frame stays as laid out";
    QTest::mouseDClick(main->picLoad[0], Qt::LeftButton);
    ASSERT_NE(main->viewer(0), nullptr);
    EXPECT_TRUE(main->viewer(0)->isVisible());
    EXPECT_EQ(main->viewer(0)->scrollArea()->widget()->size(), QSize(400, 300));

    main->BTN[3]->click();
    EXPECT_FALSE(main->isVisible());
    EXPECT_TRUE(main->viewer(0) == nullptr || !main->viewer(0)->isVisible());
    EXPECT_EQ(Ini(), "(none)");
}

// --- Options dialog ------------------------------------------------------------------------

// Settings (JPEG Rate, Prgrs, PNG Rate), what the dialog opens with (the two value texts and the
// box), and the settings after 保存 without an edit: a value it cannot show opens at the nearest
// position and is saved as that.
using OptionsCase = std::tuple<std::tuple<int, int, int>, std::tuple<QString, QString, bool>,
                               std::tuple<int, int, int>>;
class OptionsTest : public WindowTest, public ::testing::WithParamInterface<OptionsCase> {};

TEST_P(OptionsTest, OpensWithTheSettingsAndSavesWhatItShows) {
    const auto& [before, shown, after] = GetParam();
    std::tie(basCommon::JpegRate, basCommon::JpegPrgrs, basCommon::PngRate) = before;
    frmJPEG d;
    EXPECT_EQ(std::tuple(d.DSP[0]->text(), d.DSP[1]->text(), d.CHK->isChecked()), shown);
    d.BTN[0]->click();
    EXPECT_EQ(Settings(), after);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Settings, OptionsTest, ::testing::ValuesIn(std::vector<OptionsCase>{
    {{50, 0, 1}, {"50", "0", false}, {50, 0, 1}}, {{1, 0, 0}, {"1", "1", false}, {1, 0, 0}},
    {{77, -1, 2}, {"77", "2", true}, {77, -1, 2}},
    {{300, 5, 7}, {"100", "1", true}, {100, -1, 0}}}));
// clang-format on

// The close button and the close box save nothing; 保存 in the dialog the options button shows
// saves the edits.
TEST_F(WindowTest, OptionsSaveTheEditsOnlyThroughTheSaveButton) {
    const auto edit = [](frmJPEG& d) {
        d.show();
        d.ASCR[0]->setValue(10);
        d.ASCR[1]->setValue(2);
        QTest::mouseClick(d.CHK, Qt::LeftButton);
        QTest::keyClick(&d, Qt::Key_Escape);
        EXPECT_TRUE(d.isVisible()) << "no control is a cancel button";
    };
    for (auto close : {+[](frmJPEG& d) { d.BTN[1]->click(); }, +[](frmJPEG& d) { d.close(); }}) {
        frmJPEG d;
        edit(d);
        close(d);
        EXPECT_FALSE(d.isVisible());
    }
    EXPECT_EQ(Settings(), std::tuple(50, 0, 1));
    EXPECT_EQ(Ini(), "(none)");

    window->show();
    QTimer::singleShot(0, [&] {
        auto* d = qobject_cast<frmJPEG*>(QApplication::activeModalWidget());
        ASSERT_NE(d, nullptr);
        edit(*d);
        QTest::mouseClick(d->BTN[0], Qt::LeftButton);
    });
    window->BTN[2]->click();
    EXPECT_TRUE(window->findChildren<frmJPEG*>().isEmpty()) << "the dialog is gone after use";
    EXPECT_EQ(Settings(), std::tuple(10, -1, 2));
    EXPECT_EQ(Ini(), "[JPEG]\nRate=10\nPrgrs=-1\n[PNG]\nRate=2\n");
}

}  // namespace
