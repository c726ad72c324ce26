#pragma once
// How far one long operation is, and whether its user asked to stop it.
//
// A front end that starts long work (the window's worker thread, glimbra-cli's single job)
// installs a Progress for the thread that runs it with ScopedProgress. The row loops below it
// (decoders, the composition, the writers) announce each step's size with ProgressStart, count
// the rows they finish with ProgressAdvance and look at WorkCancelled between bands; a
// cancelled step returns Status::Cancelled() and leaves everything it would have replaced as
// it was. ParallelFor hands the caller's Progress on to its threads, so code inside a row pass
// needs no plumbing. Without an installed Progress the free functions do nothing and
// WorkCancelled() is false.

#include <atomic>
#include <cstdint>

namespace platform {

class Progress {
public:
    // A new step of `total` units (rows, usually) begins; what was done is forgotten.
    void Start(std::int64_t total) {
        done_.store(0, std::memory_order_relaxed);
        total_.store(total < 0 ? 0 : total, std::memory_order_relaxed);
        steps_.fetch_add(1, std::memory_order_relaxed);
    }
    // `units` more of the current step are done. Safe from any thread.
    void Advance(std::int64_t units) { done_.fetch_add(units, std::memory_order_relaxed); }

    // Share of the current step that is done, 0 to 1 (0 before the first Start).
    double Fraction() const {
        const std::int64_t total = total_.load(std::memory_order_relaxed);
        const std::int64_t done = done_.load(std::memory_order_relaxed);
        if (total <= 0) return 0.0;
        return done >= total ? 1.0 : double(done) / double(total);
    }
    // How many steps have started so far (a reader can tell a new step from a finished one).
    int Steps() const { return steps_.load(std::memory_order_relaxed); }

    void Cancel() { cancelled_.store(true, std::memory_order_relaxed); }
    bool Cancelled() const { return cancelled_.load(std::memory_order_relaxed); }

private:
    std::atomic<std::int64_t> total_{0};
    std::atomic<std::int64_t> done_{0};
    std::atomic<int> steps_{0};
    std::atomic<bool> cancelled_{false};
};

// The Progress installed on this thread, or nullptr.
Progress* CurrentProgress();

// Installs a Progress on this thread for its lifetime (the previous one comes back after).
class ScopedProgress {
public:
    explicit ScopedProgress(Progress* progress);
    ~ScopedProgress();
    ScopedProgress(const ScopedProgress&) = delete;
    ScopedProgress& operator=(const ScopedProgress&) = delete;

private:
    Progress* previous_;
};

// The same calls on this thread's Progress; each does nothing without one.
inline void ProgressStart(std::int64_t total) {
    if (Progress* p = CurrentProgress()) p->Start(total);
}
inline void ProgressAdvance(std::int64_t units) {
    if (Progress* p = CurrentProgress()) p->Advance(units);
}
inline bool WorkCancelled() {
    const Progress* p = CurrentProgress();
    return p != nullptr && p->Cancelled();
}

}  // namespace platform
