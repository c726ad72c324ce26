#include "windows/frm_jpeg.h"

#include <qdrawutil.h>

#include <QCheckBox>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QScrollBar>
#include <algorithm>

#include "startup/settings.h"
#include "windows/icons.h"

namespace {

// A group frame whose caption sits in its top line, the frame beginning at the caption's middle.
// The control positions inside a group frame count from its outer top-left corner and assume
// that shape; a style that puts the caption above the line would run the line through the
// first row of controls.
class GroupFrame : public QGroupBox {
  public:
    GroupFrame(const QString& title, QWidget* parent) : QGroupBox(title, parent) {}

  protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        const QFontMetrics metrics = fontMetrics();
        const int line = metrics.height() / 2;
        qDrawShadeRect(&painter, QRect(0, line, width(), height() - line), palette(), true, 1, 0);
        const QRect caption(6, 0, metrics.horizontalAdvance(title()) + 4, metrics.height());
        painter.fillRect(caption, palette().window());
        painter.setPen(palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled,
                                       QPalette::WindowText));
        painter.drawText(caption, Qt::AlignCenter, title());
    }
};

// A scroll bar that takes the focus and answers the keys as the system's scroll bars do: the
// arrows move by the small change, Left and Up down, Right and Down up; Page Up/Down by the
// large change; Home and End to the ends. (Qt's own scroll bars take no focus, and a focused
// one moves a horizontal bar's value down on Right.)
class KeyScrollBar : public QScrollBar {
  public:
    explicit KeyScrollBar(QWidget* parent) : QScrollBar(Qt::Horizontal, parent) {
        setFocusPolicy(Qt::StrongFocus);
    }

  protected:
    void keyPressEvent(QKeyEvent* event) override {
        switch (event->key()) {
            case Qt::Key_Left:
            case Qt::Key_Up:
                return triggerAction(SliderSingleStepSub);
            case Qt::Key_Right:
            case Qt::Key_Down:
                return triggerAction(SliderSingleStepAdd);
            case Qt::Key_PageUp:
                return triggerAction(SliderPageStepSub);
            case Qt::Key_PageDown:
                return triggerAction(SliderPageStepAdd);
            case Qt::Key_Home:
                return triggerAction(SliderToMinimum);
            case Qt::Key_End:
                return triggerAction(SliderToMaximum);
            default:
                QScrollBar::keyPressEvent(event);
        }
    }
};

}  // namespace

frmJPEG::frmJPEG(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint) {
    setWindowTitle(QStringLiteral("保存オプション"));
    setWindowIcon(windows::OptionsIcon());
    setFixedSize(312, 175);

    // Created in tab order.
    const auto button = [this](const char* text, int x) {
        auto* b = new QPushButton(QString::fromUtf8(text), this);
        b->setGeometry(x, 144, 89, 25);
        // A dialog's push buttons are default buttons unless told otherwise; here Enter presses
        // nothing.
        b->setAutoDefault(false);
        b->setDefault(false);
        return b;
    };
    BTN[0] = button("保存", 8);
    BTN[1] = button("閉じる", 216);
    BoxLine[0] = new GroupFrame(QStringLiteral("JPEG"), this);
    BoxLine[0]->setGeometry(8, 8, 297, 73);
    BoxLine[1] = new GroupFrame(QStringLiteral("PNG"), this);
    BoxLine[1]->setGeometry(8, 88, 297, 49);

    const auto label = [](const char* text, QWidget* box, const QRect& place) {
        auto* l = new QLabel(QString::fromUtf8(text), box);
        l->setGeometry(place);
        l->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        return l;
    };
    const auto bar = [](QWidget* box, int minimum, int maximum) {
        auto* s = new KeyScrollBar(box);
        s->setGeometry(152, 16, 137, 17);
        s->setRange(minimum, maximum);
        s->setSingleStep(1);
        s->setPageStep(1);
        s->setValue(1);
        // The value changes when the thumb is released, not while it is dragged.
        s->setTracking(false);
        return s;
    };
    LBL[0] = label("圧縮率", BoxLine[0], {8, 19, 105, 17});
    LBL[1] = label("プログレッシブタイプ", BoxLine[0], {8, 43, 105, 17});
    DSP[0] = label("1", BoxLine[0], {120, 16, 33, 17});
    ASCR[0] = bar(BoxLine[0], 1, 100);
    CHK = new QCheckBox(QStringLiteral("保存する"), BoxLine[0]);
    CHK->setGeometry(120, 40, 113, 17);
    LBL[2] = label("圧縮率", BoxLine[1], {0, 19, 105, 17});
    DSP[1] = label("1", BoxLine[1], {120, 16, 33, 17});
    ASCR[1] = bar(BoxLine[1], 0, 2);

    for (int i = 0; i < 2; ++i) {
        connect(ASCR[i], &QScrollBar::valueChanged, this,
                [this, i] { ASCR_Change(std::int16_t(i)); });
        connect(BTN[i], &QPushButton::clicked, this, [this, i] { BTN_Click(std::int16_t(i)); });
    }
    Form_Load();
    BTN[0]->setFocus();
}

int frmJPEG::PngPosition(std::int16_t pngRate) {
    switch (pngRate) {
        case 1:
            return 0;
        case 0:
            return 1;
        case 2:
            return 2;
        default:
            return 1;
    }
}

std::int16_t frmJPEG::PngRateAt(int position) {
    switch (position) {
        case 0:
            return 1;
        case 2:
            return 2;
        default:
            return 0;
    }
}

void frmJPEG::Form_Load() {
    // Only an edited settings file can hold a rate outside 1..100, which the scroll bar cannot
    // show; it opens at the nearest end and is saved as that.
    ASCR[0]->setValue(std::clamp<int>(basCommon::JpegRate, 1, 100));
    CHK->setChecked(basCommon::JpegPrgrs != 0);
    ASCR[1]->setValue(PngPosition(basCommon::PngRate));
}

void frmJPEG::ASCR_Change(std::int16_t Index) {
    DSP[std::size_t(Index)]->setText(QString::number(ASCR[std::size_t(Index)]->value()));
}

void frmJPEG::BTN_Click(std::int16_t Index) {
    if (Index == 0) {
        basCommon::JpegRate = std::int16_t(ASCR[0]->value());
        basCommon::JpegPrgrs = CHK->isChecked() ? -1 : 0;
        basCommon::PngRate = PngRateAt(ASCR[1]->value());
        basCommon::SaveSettings();
        accept();
    } else {
        reject();
    }
}

void frmJPEG::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape) {
        event->ignore();
        return;
    }
    QDialog::keyPressEvent(event);
}
