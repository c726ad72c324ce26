#pragma once
// Long work (loading, composing, writing) on a worker thread, so that the window keeps painting
// itself while it runs; a progress box with a cancel button appears once it has taken noticeable
// time.

#include <QString>
#include <functional>

class QWidget;

namespace windows {

// How long work runs before its progress box appears, in milliseconds: shorter work shows none.
inline constexpr int kProgressDelayMs = 400;

// Runs work on a worker thread with a platform::Progress installed there, and returns only when
// it has finished, rethrowing whatever it threw. Meanwhile this thread goes on painting and
// handling timers, but every input of the user (keys, mouse, input-method text, drops, closing a
// window) is dropped, so no handler starts while the work runs; only the progress box takes
// input. After kProgressDelayMs a modal progress box titled "Glimbra", centred over owner, shows
// text, how far the current step is (percent) and a "キャンセル" button; the button, Escape, the
// box's close box and owner's close box ask the work to stop (platform::WorkCancelled becomes
// true on the worker). Returns whether stopping was asked for: the work itself tells whether it
// stopped (Status::Cancelled) or had already finished.
// work must not touch widgets: it runs on another thread.
bool RunLongWork(const QString& text, const std::function<void()>& work, QWidget* owner = nullptr);

// Tests: hook runs on the worker, with the Progress installed, just before each work (an empty
// hook: none), so that a test can hold the work while it drives the window.
void SetWorkStartForTesting(std::function<void()> hook);

}  // namespace windows
