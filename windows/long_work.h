#pragma once
// Long work (loading, composing, writing) on a worker thread, so that the window keeps painting
// itself while it runs; a progress dialog appears once it has taken noticeable time.

#include <QString>
#include <functional>

namespace windows {

// How long work runs before its progress dialog appears, in milliseconds: shorter work shows
// none.
inline constexpr int kProgressDelayMs = 400;

// Runs work on a worker thread and returns only when it has finished, rethrowing whatever it
// threw. Meanwhile this thread goes on painting and handling timers, but every input of the
// user (keys, mouse, drops, closing a window) is dropped, so no handler starts while the work
// runs. After kProgressDelayMs a modal progress dialog titled "Glimbra" shows text until the
// work ends; it has no cancel button, since no step can be stopped halfway.
// work must not touch widgets: it runs on another thread.
void RunLongWork(const QString& text, const std::function<void()>& work);

}  // namespace windows
