#include "windows/slot_view.h"

#include <QAction>
#include <QKeyEvent>
#include <QPaintEvent>
#include <QPixmap>
#include <QPainter>
#include <QRegularExpression>
#include <QWheelEvent>
#include <QScrollArea>
#include <QToolBar>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>
#include <iterator>

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

namespace {

// The zooms that Ctrl+wheel and Ctrl++/Ctrl+- step through.
constexpr double kZooms[] = {1.0 / 32, 1.0 / 16, 1.0 / 12, 1.0 / 8, 1.0 / 6, 1.0 / 4, 1.0 / 3,
                             1.0 / 2,  2.0 / 3,  1.0,      1.5,      2.0,      3.0,      4.0,
                             6.0,      8.0,      16.0};

// The picture's size on screen at a zoom, in device pixels (at least one pixel each way).
QSize ZoomedSize(QSize image, double zoom) {
    return QSize(std::max(1, int(std::lround(image.width() * zoom))),
                 std::max(1, int(std::lround(image.height() * zoom))));
}

// "12.5%", "100%", "33.3%".
QString Percent(double zoom) {
    return QString::number(std::round(zoom * 1000.0) / 10.0, 'f', 1).remove(QRegularExpression("\\.0$")) +
           QStringLiteral("%");
}

}  // namespace

// Paints the viewed slot at the viewer's zoom, or scaled into the viewport when fitting.
class SlotViewer::Canvas : public QWidget {
  public:
    Canvas(SlotViewer& viewer) : viewer_(viewer) {}

    // What the canvas shows, kept while its slot is frozen.
    void TakeStill() {
        stillAt_ = visibleRegion().boundingRect();
        still_ = stillAt_.isEmpty() ? QPixmap() : grab(stillAt_);
    }
    // The slot's pixels changed: the reduced copy is out of date.
    void Forget() { reduced_ = QImage(); }

    // The zoom at which a fitting canvas of its present size shows the picture.
    double FitZoom() const {
        const QImage image = SurfaceImage(viewer_.source_.surface());
        if (image.isNull()) return 1.0;
        const double dpr = devicePixelRatioF();
        return std::min({1.0, width() * dpr / image.width(), height() * dpr / image.height()});
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
        const double dpr = devicePixelRatioF();
        const bool fit = viewer_.fitToWindow();
        const double zoom = fit ? FitZoom() : viewer_.zoom_;
        const QSize shown = ZoomedSize(image.size(), zoom);
        // Fitting, the picture sits in the middle of the canvas; else it is the canvas.
        const QPointF corner = fit ? QPointF((width() - shown.width() / dpr) / 2,
                                             (height() - shown.height() / dpr) / 2)
                                   : QPointF(0, 0);
        QPainter painter(this);
        if (zoom > 1.0) {
            // Enlarged pixels, each a sharp square: the source pixels under the exposed part.
            const double scale = zoom / dpr;  // logical pixels per image pixel
            const QRectF part = QRectF(event->rect()).translated(-corner);
            const int x0 = std::max(0, int(std::floor(part.left() / scale)));
            const int y0 = std::max(0, int(std::floor(part.top() / scale)));
            const int x1 = std::min(image.width(), int(std::ceil(part.right() / scale)) + 1);
            const int y1 = std::min(image.height(), int(std::ceil(part.bottom() / scale)) + 1);
            if (x1 <= x0 || y1 <= y0) return;
            const QRectF source(x0, y0, x1 - x0, y1 - y0);
            painter.drawImage(QRectF(corner + source.topLeft() * scale, source.size() * scale),
                              image, source);
            return;
        }
        if (zoom < 1.0) {
            // A smooth reduction (Qt averages the covered pixels), made once per size.
            if (reduced_.size() != shown) {
                reduced_ = image.scaled(shown, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
            }
            image = reduced_;
        }
        image.setDevicePixelRatio(dpr);
        const QRectF picture(corner, QSizeF(shown) / dpr);
        const QRectF part = QRectF(event->rect()) & picture;
        if (part.isEmpty()) return;
        painter.drawImage(part, image,
                          QRectF((part.topLeft() - corner) * dpr, part.size() * dpr));
    }

    void resizeEvent(QResizeEvent* event) override {
        QWidget::resizeEvent(event);
        if (viewer_.fitToWindow()) viewer_.Update();
    }

  private:
    SlotViewer& viewer_;
    QRect stillAt_;
    QPixmap still_;
    QImage reduced_;
};

SlotViewer::SlotViewer(SlotView& source, const QString& title, QWidget* parent)
    : QWidget(parent, Qt::Window), source_(source), title_(title) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    auto* tools = new QToolBar(this);
    fit_ = tools->addAction(QStringLiteral("ウィンドウに合わせる"));
    fit_->setCheckable(true);
    tools->addSeparator();
    connect(tools->addAction(QStringLiteral("縮小")), &QAction::triggered, this,
            [this] { Zoom(-1); });
    connect(tools->addAction(QStringLiteral("拡大")), &QAction::triggered, this,
            [this] { Zoom(+1); });
    connect(tools->addAction(QStringLiteral("等倍")), &QAction::triggered, this,
            [this] { Zoom(0); });
    layout->addWidget(tools);
    scroll_ = new QScrollArea(this);
    scroll_->setBackgroundRole(QPalette::Dark);
    // A picture smaller than the window sits in the middle, with an even margin all round.
    scroll_->setAlignment(Qt::AlignCenter);
    canvas_ = new Canvas(*this);
    scroll_->setWidget(canvas_);
    // Ctrl+wheel zooms instead of scrolling.
    scroll_->viewport()->installEventFilter(this);
    layout->addWidget(scroll_);
    connect(fit_, &QAction::toggled, this, [this] { Update(); });
    connect(&source_, &SlotView::changed, this, [this] {
        canvas_->Forget();
        Update();
    });
    connect(&source_, &SlotView::freezing, this, [this] { canvas_->TakeStill(); });
    Update();
    const QSize image = LogicalSize(source_.surface(), devicePixelRatioF());
    resize(QSize(qBound(240, image.width() + 24, 1000), qBound(160, image.height() + 60, 760)));
}

void SlotViewer::keyPressEvent(QKeyEvent* event) {
    const Qt::KeyboardModifiers mods =
        event->modifiers() & ~(Qt::ShiftModifier | Qt::KeypadModifier);
    if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
        close();
        return;
    }
    if (mods == Qt::ControlModifier) {
        switch (event->key()) {
            case Qt::Key_Plus:
            case Qt::Key_Equal:  // the + key without Shift on many layouts
                Zoom(+1);
                return;
            case Qt::Key_Minus:
                Zoom(-1);
                return;
            case Qt::Key_0:
                Zoom(0);
                return;
            default:
                break;
        }
    }
    QWidget::keyPressEvent(event);
}

bool SlotViewer::eventFilter(QObject* watched, QEvent* event) {
    if (watched == scroll_->viewport() && event->type() == QEvent::Wheel) {
        auto* wheel = static_cast<QWheelEvent*>(event);
        if (wheel->modifiers() & Qt::ControlModifier) {
            // One step for each notch (120); a touchpad's small deltas add up to one.
            wheel_ += wheel->angleDelta().y();
            for (; wheel_ >= 120; wheel_ -= 120) Zoom(+1);
            for (; wheel_ <= -120; wheel_ += 120) Zoom(-1);
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

bool SlotViewer::fitToWindow() const { return fit_->isChecked(); }
void SlotViewer::setFitToWindow(bool fit) { fit_->setChecked(fit); }

double SlotViewer::zoom() const { return fitToWindow() ? canvas_->FitZoom() : zoom_; }

void SlotViewer::Zoom(int step) {
    const double now = zoom();
    double next = 1.0;
    if (step > 0) {
        next = kZooms[std::size(kZooms) - 1];
        for (double z : kZooms) {
            if (z > now * 1.0001) {
                next = z;
                break;
            }
        }
    } else if (step < 0) {
        next = kZooms[0];
        for (double z : kZooms) {
            if (z < now * 0.9999) next = z;
        }
    }
    zoom_ = next;
    // A zoom of one's own choosing ends fitting (which calls Update).
    if (fitToWindow()) {
        setFitToWindow(false);
    } else {
        Update();
    }
}

void SlotViewer::Update() {
    const bool fit = fitToWindow();
    scroll_->setWidgetResizable(fit);
    const QImage image = SurfaceImage(source_.surface());
    if (!fit) {
        const double dpr = devicePixelRatioF();
        const QSize shown = image.isNull() ? QSize(0, 0) : ZoomedSize(image.size(), zoom_);
        canvas_->resize(int(std::ceil(shown.width() / dpr)), int(std::ceil(shown.height() / dpr)));
    }
    setWindowTitle(title_ + QStringLiteral(" — %1 × %2 — %3")
                                .arg(image.width())
                                .arg(image.height())
                                .arg(Percent(zoom())));
    canvas_->update();
}

}  // namespace windows
