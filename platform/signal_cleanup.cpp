#include "platform/signal_cleanup.h"

#include <limits.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

namespace platform {
namespace {

// The handler may run on any thread at any moment, so the table is fixed storage and each entry
// is published through its state: a name is only read once it is complete.
enum : int { kFree = 0, kFilling = 1, kReady = 2 };

struct Entry {
    std::atomic<int> state{kFree};
    char path[PATH_MAX];
};

constexpr int kEntries = 64;
Entry g_entries[kEntries];

static_assert(std::atomic<int>::is_always_lock_free, "the signal handler reads these");

void OnSignal(int signal) {
    // Only async-signal-safe calls here: unlink and _exit.
    for (Entry& e : g_entries) {
        if (e.state.load(std::memory_order_acquire) == kReady) ::unlink(e.path);
    }
    ::_exit(128 + signal);
}

}  // namespace

int RegisterTemporary(const std::string& path) {
    if (path.size() >= PATH_MAX) return -1;
    for (int i = 0; i < kEntries; ++i) {
        int expected = kFree;
        if (g_entries[i].state.compare_exchange_strong(expected, kFilling,
                                                       std::memory_order_acquire)) {
            std::memcpy(g_entries[i].path, path.c_str(), path.size() + 1);
            g_entries[i].state.store(kReady, std::memory_order_release);
            return i;
        }
    }
    return -1;
}

void UnregisterTemporary(int ticket) {
    if (ticket >= 0 && ticket < kEntries) {
        g_entries[ticket].state.store(kFree, std::memory_order_release);
    }
}

void RemoveTemporariesOnSignals() {
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    // Both signals are blocked while the handler runs, so it cannot be entered twice.
    sigaddset(&action.sa_mask, SIGINT);
    sigaddset(&action.sa_mask, SIGTERM);
    for (const int signal : {SIGINT, SIGTERM}) {
        // A signal ignored by whoever started us (a background job of a script, nohup) stays
        // ignored, as the shell intended.
        struct sigaction current {};
        if (::sigaction(signal, nullptr, &current) == 0 && current.sa_handler == SIG_IGN) continue;
        ::sigaction(signal, &action, nullptr);
    }
}

}  // namespace platform
