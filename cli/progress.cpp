#include "cli/progress.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>
#include <system_error>
#include <utility>
#include <string_view>

#include "cli/messages.h"
#include "cli/options.h"

namespace cli {
namespace {

// Columns of the terminal on stderr; 80 when it does not say.
std::size_t Columns() {
    winsize size{};
    if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
    return 80;
}

// The tail of text that fits in width bytes, cut at a character boundary of UTF-8. Bytes bound the
// columns: ASCII takes one column a byte, Japanese two columns for three bytes.
std::string Tail(const std::string& text, std::size_t width) {
    if (text.size() <= width) return text;
    if (width < 4) return "";
    std::size_t from = text.size() - (width - 3);
    while (from < text.size() && (static_cast<unsigned char>(text[from]) & 0xC0) == 0x80) ++from;
    return "..." + text.substr(from);
}

}  // namespace

BatchProgress::BatchProgress(std::size_t total)
    : total_(total),
      terminal_(::isatty(STDERR_FILENO) == 1),
      start_(std::chrono::steady_clock::now()) {}

BatchProgress::~BatchProgress() {
    if (terminal_) EndStatus();
}

void BatchProgress::Started(const std::string& source) {
    if (!terminal_) return;
    std::lock_guard lock(mutex_);
    Draw(source);
}

void BatchProgress::Finished(bool ok, const std::string& source, const std::string& output) {
    std::lock_guard lock(mutex_);
    ++done_;
    if (!terminal_ || !ok) {
        PrintLine("[" + std::to_string(done_) + "/" + std::to_string(total_) + "] " +
                  Tr(ok ? "done" : "failed") + " " + source + " -> " + output);
    }
    if (terminal_) Draw(source);
}

void BatchProgress::Draw(const std::string& file) {
    const long seconds = long(
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start_)
            .count());
    char head[96];
    std::snprintf(head, sizeof head, "[%zu/%zu] %3zu%% %ld:%02ld ", done_, total_,
                  total_ ? done_ * 100 / total_ : 100, seconds / 60, seconds % 60);
    const std::size_t columns = Columns(), used = std::string_view(head).size();
    // One column short of the edge: a full line would wrap the cursor on some terminals.
    ShowStatus(head + Tail(file, columns > used + 1 ? columns - used - 1 : 0));
}

JobProgress::JobProgress(std::string file)
    : file_(std::move(file)), start_(std::chrono::steady_clock::now()) {
    if (::isatty(STDERR_FILENO) != 1) return;
    try {
        drawer_ = std::thread([this] { Run(); });
    } catch (const std::system_error&) {
        // No line then: the job itself does not need one.
    }
}

JobProgress::~JobProgress() {
    if (!drawer_.joinable()) return;
    {
        std::lock_guard lock(mutex_);
        done_ = true;
    }
    wake_.notify_all();
    drawer_.join();
    if (shown_) EndStatus();
}

void JobProgress::Run() {
    using namespace std::chrono_literals;
    std::unique_lock lock(mutex_);
    // Quick jobs show nothing; then a fresh line five times a second.
    if (wake_.wait_for(lock, 500ms, [&] { return done_; })) return;
    do {
        if (progress_.Steps() == 0) continue;
        const long seconds = long(std::chrono::duration_cast<std::chrono::seconds>(
                                      std::chrono::steady_clock::now() - start_)
                                      .count());
        char head[64];
        std::snprintf(head, sizeof head, "%3d%% %ld:%02ld ", int(progress_.Fraction() * 100),
                      seconds / 60, seconds % 60);
        const std::size_t columns = Columns(), used = std::string_view(head).size();
        ShowStatus(head + Tail(file_, columns > used + 1 ? columns - used - 1 : 0));
        shown_ = true;
    } while (!wake_.wait_for(lock, 200ms, [&] { return done_; }));
}

}  // namespace cli
