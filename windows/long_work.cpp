#include "windows/long_work.h"

#include <QApplication>
#include <QDialog>
#include <QEvent>
#include <QEventLoop>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>
#include <QWindow>
#include <exception>
#include <thread>

#include "platform/progress.h"
#include "windows/icons.h"

namespace windows {
namespace {

// The progress box: the text, a bar in percent of the current step and キャンセル. Asking to
// stop (the button, Escape, the close box) keeps the box up until the work has stopped.
class ProgressBox final : public QDialog {
  public:
    ProgressBox(const QString& text, platform::Progress& progress, QWidget* owner)
        : QDialog(owner), progress_(progress) {
        setWindowTitle(QStringLiteral("Glimbra"));
        setWindowIcon(MainIcon());
        setWindowModality(Qt::ApplicationModal);
        auto* layout = new QVBoxLayout(this);
        label_ = new QLabel(text, this);
        layout->addWidget(label_);
        bar_ = new QProgressBar(this);
        bar_->setRange(0, 100);
        bar_->setValue(0);
        bar_->setMinimumWidth(260);
        layout->addWidget(bar_);
        cancel_ = new QPushButton(QStringLiteral("キャンセル"), this);
        cancel_->setAutoDefault(false);
        layout->addWidget(cancel_, 0, Qt::AlignRight);
        connect(cancel_, &QPushButton::clicked, this, &ProgressBox::reject);
        auto* poll = new QTimer(this);
        connect(poll, &QTimer::timeout, this, [this] {
            bar_->setValue(int(progress_.Fraction() * 100.0));
        });
        poll->start(50);
    }

    // Escape and the close box come here too (QDialog's own handling).
    void reject() override {
        if (progress_.Cancelled()) return;
        progress_.Cancel();
        label_->setText(QStringLiteral("キャンセルしています..."));
        cancel_->setEnabled(false);
    }

  private:
    platform::Progress& progress_;
    QLabel* label_;
    QProgressBar* bar_;
    QPushButton* cancel_;
};

// Drops the user's input for every widget but the progress box while it is installed on the
// application. The owner's close box asks the work to stop instead of closing it.
class InputBlock final : public QObject {
  public:
    InputBlock(QDialog& box, QWidget* owner) : box_(box), owner_(owner) {
        qApp->installEventFilter(this);
    }
    ~InputBlock() override { qApp->removeEventFilter(this); }

  protected:
    bool eventFilter(QObject* receiver, QEvent* event) override {
        switch (event->type()) {
            case QEvent::MouseButtonPress:
            case QEvent::MouseButtonRelease:
            case QEvent::MouseButtonDblClick:
            case QEvent::Wheel:
            case QEvent::KeyPress:
            case QEvent::KeyRelease:
            case QEvent::ShortcutOverride:
            case QEvent::Shortcut:
            case QEvent::InputMethod:
            case QEvent::ContextMenu:
            case QEvent::TouchBegin:
            case QEvent::TouchUpdate:
            case QEvent::TouchEnd:
            case QEvent::DragEnter:
            case QEvent::DragMove:
            case QEvent::Drop:
                return !InBox(receiver);
            case QEvent::Close:
                // The window manager's close box; the program's own closing is not input.
                if (!event->spontaneous() || InBox(receiver)) return false;
                if (Is(receiver, owner_)) box_.reject();
                return true;
            default:
                return false;
        }
    }

  private:
    // Whether receiver is the widget's window or a widget in it (Qt delivers a window system's
    // event to the QWindow first, then to the widget).
    static bool Is(QObject* receiver, QWidget* window) {
        if (!window) return false;
        if (auto* w = qobject_cast<QWidget*>(receiver)) return w->window() == window;
        if (auto* w = qobject_cast<QWindow*>(receiver)) return w == window->windowHandle();
        return false;
    }
    bool InBox(QObject* receiver) const { return Is(receiver, &box_); }

    QDialog& box_;
    QWidget* owner_;
};

std::function<void()>& WorkStart() {
    static std::function<void()> hook;
    return hook;
}

}  // namespace

void SetWorkStartForTesting(std::function<void()> hook) { WorkStart() = std::move(hook); }

bool RunLongWork(const QString& text, const std::function<void()>& work, QWidget* owner) {
    platform::Progress progress;
    // A box with an owner opens centred over the owner's window.
    ProgressBox box(text, progress, owner ? owner->window() : nullptr);
    InputBlock block(box, owner ? owner->window() : nullptr);
    QTimer delay;
    delay.setSingleShot(true);
    QObject::connect(&delay, &QTimer::timeout, &box, [&box] {
        box.show();
        // The box takes clicks: the wait cursor becomes the one that says "busy, but usable".
        if (QApplication::overrideCursor()) QApplication::changeOverrideCursor(Qt::BusyCursor);
    });
    delay.start(kProgressDelayMs);

    QEventLoop loop;
    std::exception_ptr failure;
    const std::function<void()> start = WorkStart();
    std::thread worker([&] {
        platform::ScopedProgress scoped(&progress);
        try {
            if (start) start();
            work();
        } catch (...) {
            failure = std::current_exception();
        }
        QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
    });
    loop.exec();
    worker.join();
    if (failure) std::rethrow_exception(failure);
    return progress.Cancelled();
}

}  // namespace windows
