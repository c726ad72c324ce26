#include "windows/frm_main.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFileInfo>
#include <QFrame>
#include <QLabel>
#include <QMimeData>
#include <QPushButton>
#include <QRadioButton>
#include <vector>

#include "compose/compose_image.h"
#include "dialogs/cls_dialog.h"
#include "imagefiles/load_image.h"
#include "imagefiles/save_result.h"
#include "startup/settings.h"
#include "windows/busy.h"
#include "windows/frm_jpeg.h"
#include "windows/icons.h"
#include "windows/long_work.h"
#include "windows/path_field.h"
#include "windows/slot_view.h"

namespace {

// Captions of the viewer windows, one per slot.
const char* const kViewerTitles[3] = {"元の画像", "浮き画像", "合成結果"};

// A text with NUL characters in it, as the file dialogs' filter lists need.
std::string Nul() { return std::string(1, '\0'); }

}  // namespace

frmMain::frmMain(QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                          Qt::WindowCloseButtonHint) {
    setWindowTitle(QStringLiteral("Glimbra"));
    setWindowIcon(windows::MainIcon());
    // Positions and sizes are those of a 96 dpi screen; Qt's device-independent pixels scale
    // them with the screen. Nothing reacts to a size change, so the size is fixed.
    setGeometry(4, 38, 499, 358);
    setFixedSize(499, 358);

    // Created in tab order: Qt's focus chain follows the order of creation.
    const auto field = [this](int x, int y) {
        auto* f = new windows::PathField(this);
        f->setGeometry(x, y, 209, 18);
        return f;
    };
    const auto button = [this](const char* text, int x, int y, int w, int h) {
        auto* b = new QPushButton(QString::fromUtf8(text), this);
        b->setGeometry(x, y, w, h);
        b->setAutoDefault(false);
        return b;
    };
    FLD[0] = field(88, 8);
    DBTN[0] = button("...", 296, 8, 17, 17);
    FLD[1] = field(88, 216);
    DBTN[1] = button("...", 296, 216, 17, 17);
    BTN[0] = button("開始", 8, 328, 49, 25);
    BTN[1] = button("保存", 64, 328, 49, 25);
    BTN[2] = button("ｵﾌﾟｼｮﾝ", 136, 328, 49, 25);
    BTN[3] = button("閉じる", 440, 328, 49, 25);

    const auto label = [this](const char* text, int x, int y, int w, int h) {
        auto* l = new QLabel(QString::fromUtf8(text), this);
        l->setGeometry(x, y, w, h);
        l->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        return l;
    };
    LBL[0] = label("元の画像", 8, 12, 57, 17);
    LBL[1] = label("浮き画像", 8, 220, 57, 17);

    // Each frame: white, a sunken two-pixel client edge, and a clipping area inside the border
    // where the slot sits at the top-left corner. An image larger than the frame shows only its
    // top-left part; the frames never scroll or resize.
    const QRect frames[3] = {{88, 32, 169, 169}, {88, 240, 92, 35}, {320, 32, 169, 169}};
    for (int i = 0; i < 3; ++i) {
        auto* frame = new QFrame(this);
        frame->setGeometry(frames[i]);
        frame->setFrameStyle(QFrame::WinPanel | QFrame::Sunken);
        frame->setAutoFillBackground(true);
        QPalette white = frame->palette();
        white.setColor(QPalette::Window, Qt::white);
        frame->setPalette(white);
        auto* clip = new QWidget(frame);
        clip->setGeometry(frame->contentsRect());
        picLoad[i] = new windows::SlotView(slots_.picLoad[std::size_t(i)], clip);
        picLoad[i]->move(0, 0);
        connect(picLoad[i], &windows::SlotView::doubleClicked, this, [this, i] { ShowViewer(i); });
        picFrame[i] = frame;
    }

    LBL[2] = label("元画像サイズに合わせて", 88, 282, 129, 25);
    OPT[0] = new QRadioButton(QStringLiteral("浮き画像を並べる"), this);
    OPT[0]->setGeometry(224, 280, 129, 17);
    OPT[1] = new QRadioButton(QStringLiteral("浮き画像を拡大・縮小する"), this);
    OPT[1]->setGeometry(224, 304, 161, 17);
    OPT[1]->setChecked(true);

    for (int i = 0; i < 2; ++i) {
        connect(FLD[i], &windows::PathField::dropped, this,
                [this, i](const QMimeData* data) { FLD_OLEDragDrop(std::int16_t(i), *data); });
        connect(DBTN[i], &QPushButton::clicked, this, [this, i] { DBTN_Click(std::int16_t(i)); });
    }
    for (int i = 0; i < 4; ++i) {
        connect(BTN[i], &QPushButton::clicked, this, [this, i] { BTN_Click(std::int16_t(i)); });
    }
}

frmMain::~frmMain() {
    // The viewers paint from the slots; they go first.
    for (auto& viewer : viewers_) delete viewer.data();
}

platform::HWND frmMain::hWnd() const {
    return reinterpret_cast<platform::HWND>(static_cast<const QWidget*>(this));
}

windows::SlotViewer* frmMain::viewer(int index) const {
    return viewers_[std::size_t(index)].data();
}

void frmMain::Form_Load() { ShowMain(); }

void frmMain::ShowMain() { show(); }

void frmMain::OpenFiles(const QStringList& files) {
    // An empty name leaves its slot alone, so that a texture alone can be given.
    for (int i = 0; i < 2 && i < files.size(); ++i) {
        if (!files[i].isEmpty()) LoadSlot(QFileInfo(files[i]).absoluteFilePath(), std::int16_t(i));
    }
}

void frmMain::FLD_OLEDragDrop(std::int16_t Index, const QMimeData& Data) {
    if (busy_) return;
    // Accepted by the upper-cased last four characters only: ".jpeg" is five and is skipped.
    for (const QString& path : windows::PathField::DroppedFiles(Data)) {
        const std::string ext = basFunc::UpperTail4(path.toStdString());
        const bool accepted = ext == ".JPG" || ext == ".BMP" || ext == ".ICO" || ext == ".PNG" ||
                              (ext == ".GIF" && basCommon::OptionsGif == 1);
        if (accepted) LoadSlot(path, Index);
    }
}

void frmMain::DBTN_Click(std::int16_t Index) {
    if (busy_) return;
    dialogs::clsDialog dialog;
    dialog.SetSelectTitle("背景の画像");
    // OptionsGif 2 offers GIF files here although a drop refuses them: only 1 enables the drop.
    const std::string patterns =
        basCommon::OptionsGif != 0 ? "*.bmp;*.gif;*.ico;*.jpg;*.png" : "*.bmp;*.ico;*.jpg;*.png";
    dialog.SetFilterPattern("画像ファイル" + Nul() + patterns + Nul());
    dialog.SetSelectFlags(std::to_string(platform::OFN_HIDEREADONLY | platform::OFN_FILEMUSTEXIST));
    const std::string path = dialog.OpenFile(hWnd());
    if (!path.empty()) LoadSlot(QString::fromStdString(path), Index);
}

void frmMain::BTN_Click(std::int16_t Index) {
    if (busy_) return;
    const std::int16_t tile = OPT[0]->isChecked() ? basCommon::kTrue : basCommon::kFalse;
    switch (Index) {
        case 0: {
            platform::Status status;
            {
                windows::BusyCursor busy;
                RunLong("合成しています...", [&] { status = basCommon::ComposeImage(slots_, tile); });
                SyncSlots();
            }
            if (status) filled_[2] = true;
            // A composition the user stopped keeps the previous result and needs no message.
            if (!status && !status.cancelled()) {
                platform::Ui().MessageBox(hWnd(), "合成できませんでした。\r\n" + status.reason(),
                                          "合成エラー",
                                          platform::MB_OK | platform::MB_ICONEXCLAMATION);
            }
            break;
        }
        case 1: {
            windows::BusyCursor busy;
            imagefiles::SaveResult(slots_, hWnd(), [this](const std::function<void()>& write) {
                RunLong("保存しています...", write);
            });
            break;
        }
        case 2: {
            // A fresh dialog each time: it reads the settings when it is created. It names no
            // owner, so the system places it; being modal, it still keeps input from the window.
            frmJPEG options;
            options.exec();
            break;
        }
        case 3:
            close();
            break;
        default:
            break;
    }
}

void frmMain::LoadSlot(const QString& path, std::int16_t index) {
    const std::string file = path.toStdString();
    std::string reason;
    std::int32_t result;
    bool stopped;
    {
        windows::BusyCursor busy;
        stopped = RunLong("読み込んでいます...", [&] {
            result = basCommon::LoadImageSlot(slots_, file, index, &reason);
        });
        SyncSlots();
    }
    if (result == 0) {
        filled_[std::size_t(index)] = true;
        FLD[std::size_t(index)]->setText(QString::fromStdString(slots_.FLD[std::size_t(index)]));
        return;
    }
    // A failed load keeps the slot and its path as they were; say why rather than do nothing,
    // unless the user stopped it.
    if (stopped) return;
    platform::Ui().MessageBox(hWnd(), "画像を読み込めませんでした。\r\n" + file + "\r\n" + reason,
                              "読み込みエラー", platform::MB_OK | platform::MB_ICONEXCLAMATION);
}

bool frmMain::RunLong(const char* text, const std::function<void()>& work) {
    // The worker changes the slots while the window repaints: the views show what they showed
    // before until the work is done.
    struct Frozen {
        const std::array<windows::SlotView*, 3>& views;
        explicit Frozen(const std::array<windows::SlotView*, 3>& v) : views(v) {
            for (windows::SlotView* view : views) view->Freeze();
        }
        ~Frozen() {
            for (windows::SlotView* view : views) view->Thaw();
        }
    } frozen(picLoad);
    // The input filter drops the user's input, but a press that is no input event (an
    // accessibility client's, a script's) would still reach a handler inside the work's event
    // loop and start a second operation on the same slots: the controls are disabled.
    struct Disabled {
        frmMain& window;
        std::vector<QWidget*> controls;
        QPointer<QWidget> focus;
        explicit Disabled(frmMain& w) : window(w), focus(QApplication::focusWidget()) {
            controls.insert(controls.end(), w.FLD.begin(), w.FLD.end());
            controls.insert(controls.end(), w.DBTN.begin(), w.DBTN.end());
            controls.insert(controls.end(), w.BTN.begin(), w.BTN.end());
            controls.insert(controls.end(), w.OPT.begin(), w.OPT.end());
            window.busy_ = true;
            for (QWidget* control : controls) control->setEnabled(false);
        }
        ~Disabled() {
            for (QWidget* control : controls) control->setEnabled(true);
            window.busy_ = false;
            if (focus) focus->setFocus();
        }
    } disabled(*this);
    return windows::RunLongWork(QString::fromUtf8(text), work, this);
}

void frmMain::SyncSlots() {
    // The surfaces tell their views when they change; this catches a size changed without a
    // redraw request, e.g. by a step that failed halfway.
    for (windows::SlotView* view : picLoad) view->Sync();
}

void frmMain::ShowViewer(int index) {
    // A slot that was never filled holds only its blank background: nothing to look at.
    if (!filled_[std::size_t(index)]) return;
    QPointer<windows::SlotViewer>& viewer = viewers_[std::size_t(index)];
    if (!viewer) {
        viewer = new windows::SlotViewer(*picLoad[std::size_t(index)],
                                         QString::fromUtf8(kViewerTitles[index]), this);
        viewer->setAttribute(Qt::WA_DeleteOnClose);
        viewer->setWindowIcon(windows::MainIcon());
    }
    viewer->show();
    viewer->raise();
    viewer->activateWindow();
}

void frmMain::closeEvent(QCloseEvent* event) {
    // Nothing is asked or saved: the settings were written when they changed. The viewers go
    // with the window, so the program ends with it.
    for (auto& viewer : viewers_) {
        if (viewer) viewer->close();
    }
    event->accept();
}
