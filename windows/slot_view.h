#pragma once
// On-screen views of an image slot: the slot itself inside its frame on the main window, and a
// separate viewer window that shows a slot's whole image.

#include <QImage>
#include <QWidget>

#include "platform/surface.h"

class QAction;
class QScrollArea;

namespace windows {

// The surface's bitmap wrapped without a copy. Only valid until the surface is next resized.
QImage SurfaceImage(const platform::Surface& surface);

// Shows a surface 1:1 at its top-left corner, in device pixels, and keeps its own size equal to
// the surface's. The surface tells it when to repaint (its observer); Sync does the same for
// changes made without telling.
class SlotView : public QWidget {
    Q_OBJECT
  public:
    SlotView(platform::Surface& surface, QWidget* parent);
    ~SlotView() override;

    platform::Surface& surface() { return surface_; }
    // Takes the surface's size and visibility, and repaints. Does nothing while frozen.
    void Sync();

    // While another thread works on the surface: the view keeps painting a copy of the part it
    // showed (at most its frame's size), ignores the surface's changes, and its viewer keeps
    // what it showed too. Thaw syncs with the surface again.
    void Freeze();
    void Thaw();
    bool frozen() const { return frozen_; }

  Q_SIGNALS:
    void changed();
    void doubleClicked();
    // Just before the view freezes; the surface can still be read.
    void freezing();

  protected:
    void paintEvent(QPaintEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;

  private:
    platform::Surface& surface_;
    bool frozen_ = false;
    QImage still_;
};

// A resizable window with one slot's whole image: at a zoom with scroll bars (100 % when it
// opens), or scaled to fit the window (aspect ratio kept, never above 100 %). Below 100 % the
// picture is shown smoothly reduced (each screen pixel the average of the pixels it covers),
// above it as enlarged pixels; the slot's pixels themselves are never changed. Ctrl+wheel,
// Ctrl++ and Ctrl+- step the zoom, Ctrl+0 goes back to 1:1; the title shows the picture's size
// and the zoom.
class SlotViewer : public QWidget {
    Q_OBJECT
  public:
    SlotViewer(SlotView& source, const QString& title, QWidget* parent);

    bool fitToWindow() const;
    void setFitToWindow(bool fit);
    // The zoom in effect: image pixels to device pixels (fitting: what the window's size gives).
    double zoom() const;
    QScrollArea* scrollArea() const { return scroll_; }

  protected:
    // Escape closes the viewer, as it would a dialog; Ctrl++, Ctrl+- and Ctrl+0 zoom.
    void keyPressEvent(QKeyEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    class Canvas;
    void Update();
    // One step of the zoom ladder up (+1) or down (-1) from the zoom in effect; 0: back to 1:1.
    void Zoom(int step);

    SlotView& source_;
    QString title_;
    QScrollArea* scroll_;
    Canvas* canvas_;
    QAction* fit_;
    double zoom_ = 1.0;  // when not fitting
    int wheel_ = 0;      // wheel angle not yet turned into a step (1/8 degrees)
};

}  // namespace windows
