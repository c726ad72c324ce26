#include "windows/slot_view.h"

#include <QAction>
#include <QKeyEvent>
#include <QPaintEvent>
#include <QPixmap>
#include <QPainter>
#include <QScrollArea>
#include <QToolBar>
#include <QVBoxLayout>
#include <cmath>

namespace windows {
namespace {

// The surface's size in the widget's logical pixels, so that one bitmap pixel is one device
// pixel on a high-resolution screen too.
QSize LogicalSize(const platform::Surface& surface, qreal dpr) {
    return QSize(int(std::ceil(surface.Width() / dpr)), int(std::ceil(surface.Height() / dpr)));
}

}  // namespace

QImage SurfaceImage(const platform::Surface& surface) {
    const platform::Bitmap& bitmap = surface.Image();
    if (bitmap.empty()) return {};
    // The bitmap's pixels are 0xAARRGGBB words with 0xFF in the fourth byte: Format_RGB32.
    // The const-data constructor makes a read-only view; nothing is copied.
    return QImage(reinterpret_cast<const uchar*>(bitmap.data()), bitmap.width(), bitmap.height(),
                  qsizetype(bitmap.width()) * 4, QImage::Format_RGB32);
}

SlotView::SlotView(platform::Surface& surface, QWidget* parent)
    : QWidget(parent), surface_(surface) {
    setAttribute(Qt::WA_OpaquePaintEvent);
    surface_.SetObserver([this] { Sync(); });
    resize(LogicalSize(surface_, devicePixelRatioF()));
}

SlotView::~SlotView() { surface_.SetObserver(nullptr); }

void SlotView::Sync() {
    // The observer may call from the worker thread; the frozen flag was set before it started.
    if (frozen_) return;
    const QSize size = LogicalSize(surface_, devicePixelRatioF());
    if (size != this->size()) resize(size);
    if (surface_.Visible() != isVisibleTo(parentWidget())) setVisible(surface_.Visible());
    update();
    Q_EMIT changed();
}

void SlotView::Freeze() {
    Q_EMIT freezing();
    const QImage image = SurfaceImage(surface_);
    const QSize shown = parentWidget() ? parentWidget()->size() * devicePixelRatioF() : size();
    still_ = image.isNull() ? QImage() : image.copy(QRect(QPoint(0, 0), shown) & image.rect());
    frozen_ = true;
}

void SlotView::Thaw() {
    frozen_ = false;
    still_ = QImage();
    Sync();
}

void SlotView::paintEvent(QPaintEvent* event) {
    if (frozen_) {
        if (still_.isNull()) return;
        still_.setDevicePixelRatio(devicePixelRatioF());
        QPainter(this).drawImage(QPointF(0, 0), still_);
        return;
    }
    QImage image = SurfaceImage(surface_);
    if (image.isNull()) return;
    const qreal dpr = devicePixelRatioF();
    image.setDevicePixelRatio(dpr);
    // Only the part that the frame lets through needs drawing; a large image is mostly clipped.
    const QRect visible = event->rect() & QRect(QPoint(0, 0), LogicalSize(surface_, dpr));
    if (visible.isEmpty()) return;
    const QRectF source(QPointF(visible.topLeft()) * dpr, QSizeF(visible.size()) * dpr);
    QPainter painter(this);
    painter.drawImage(QRectF(visible), image, source);
}

void SlotView::mouseDoubleClickEvent(QMouseEvent* event) {
    QWidget::mouseDoubleClickEvent(event);
    Q_EMIT doubleClicked();
}

// Paints the viewed slot at 100 %, or scaled into the viewport when fitting.
class SlotViewer::Canvas : public QWidget {
  public:
    Canvas(SlotViewer& viewer) : viewer_(viewer) {}

    // What the canvas shows, kept while its slot is frozen.
    void TakeStill() {
        stillAt_ = visibleRegion().boundingRect();
        still_ = stillAt_.isEmpty() ? QPixmap() : grab(stillAt_);
    }

  protected:
    void paintEvent(QPaintEvent* event) override {
        if (viewer_.source_.frozen()) {
            if (!still_.isNull()) QPainter(this).drawPixmap(stillAt_.topLeft(), still_);
            return;
        }
        still_ = QPixmap();
        QImage image = SurfaceImage(viewer_.source_.surface());
        if (image.isNull()) return;
        QPainter painter(this);
        if (!viewer_.fitToWindow()) {
            image.setDevicePixelRatio(devicePixelRatioF());
            const QRectF part = QRectF(event->rect());
            painter.drawImage(
                part, image,
                QRectF(part.topLeft() * devicePixelRatioF(), part.size() * devicePixelRatioF()));
            return;
        }
        const QSizeF full = QSizeF(image.size()) / devicePixelRatioF();
        QSizeF shown = full.scaled(QSizeF(size()), Qt::KeepAspectRatio);
        if (shown.width() > full.width()) shown = full;
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
        const QPointF corner((width() - shown.width()) / 2, (height() - shown.height()) / 2);
        painter.drawImage(QRectF(corner, shown), image);
    }

  private:
    SlotViewer& viewer_;
    QRect stillAt_;
    QPixmap still_;
};

SlotViewer::SlotViewer(SlotView& source, const QString& title, QWidget* parent)
    : QWidget(parent, Qt::Window), source_(source) {
    setWindowTitle(title);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    auto* tools = new QToolBar(this);
    fit_ = tools->addAction(QStringLiteral("ウィンドウに合わせる"));
    fit_->setCheckable(true);
    layout->addWidget(tools);
    scroll_ = new QScrollArea(this);
    scroll_->setBackgroundRole(QPalette::Dark);
    // A picture smaller than the window sits in the middle, with an even margin all round.
    scroll_->setAlignment(Qt::AlignCenter);
    canvas_ = new Canvas(*this);
    scroll_->setWidget(canvas_);
    layout->addWidget(scroll_);
    connect(fit_, &QAction::toggled, this, [this] { Update(); });
    connect(&source_, &SlotView::changed, this, [this] { Update(); });
    connect(&source_, &SlotView::freezing, this, [this] { canvas_->TakeStill(); });
    Update();
    const QSize image = LogicalSize(source_.surface(), devicePixelRatioF());
    resize(QSize(qBound(240, image.width() + 24, 1000), qBound(160, image.height() + 60, 760)));
}

void SlotViewer::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
        close();
        return;
    }
    QWidget::keyPressEvent(event);
}

bool SlotViewer::fitToWindow() const { return fit_->isChecked(); }
void SlotViewer::setFitToWindow(bool fit) { fit_->setChecked(fit); }

void SlotViewer::Update() {
    const bool fit = fitToWindow();
    scroll_->setWidgetResizable(fit);
    if (!fit) canvas_->resize(LogicalSize(source_.surface(), devicePixelRatioF()));
    canvas_->update();
}

}  // namespace windows
