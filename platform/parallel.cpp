#include "platform/parallel.h"

#include "platform/progress.h"

#include <algorithm>
#include <atomic>
#include <system_error>
#include <thread>
#include <vector>

namespace platform {
namespace {
std::atomic<int> g_workers{0};
// Set on the threads of a running ParallelFor: a nested call runs on its own thread only.
thread_local bool t_insideParallel = false;
}

int WorkerCount() {
    const int set = g_workers.load(std::memory_order_relaxed);
    if (set > 0) return set;
    const unsigned hw = std::thread::hardware_concurrency();
    return hw == 0 ? 1 : int(std::min(hw, 64u));
}

void SetWorkerCount(int count) { g_workers.store(std::max(0, count), std::memory_order_relaxed); }

void ParallelFor(int count, const std::function<void(int, int)>& body, int minPerTask) {
    if (count <= 0) return;
    const int tasks = t_insideParallel
                          ? 1
                          : std::clamp(count / std::max(1, minPerTask), 1, WorkerCount());
    if (tasks == 1) {
        body(0, count);
        return;
    }
    const auto bound = [&](int t) { return int(std::int64_t(count) * t / tasks); };
    Progress* const progress = CurrentProgress();  // the caller's, handed on to every thread
    const auto run = [&](int t) {
        ScopedProgress scoped(progress);
        t_insideParallel = true;
        body(bound(t), bound(t + 1));
        t_insideParallel = false;
    };
    std::vector<std::thread> threads;
    threads.reserve(std::size_t(tasks - 1));
    for (int t = 1; t < tasks; ++t) {
        try {
            threads.emplace_back(run, t);
        } catch (const std::system_error&) {
            run(t);  // no thread to be had: do that share here
        }
    }
    run(0);
    for (auto& th : threads) th.join();
}

}  // namespace platform
