#include "cli/progress.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>

#include "cli/options.h"

namespace cli {
namespace {

std::atomic<bool> g_lineShowing{false};

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
    std::lock_guard lock(mutex_);
    if (terminal_ && g_lineShowing.exchange(false)) std::fputs("\n", stderr);
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
        if (terminal_) ClearProgressLine();
        std::fprintf(stderr, "[%zu/%zu] %s %s -> %s\n", done_, total_,
                     Tr(ok ? "done" : "failed").c_str(), source.c_str(), output.c_str());
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
    const std::string name = Tail(file, columns > used + 1 ? columns - used - 1 : 0);
    std::fprintf(stderr, "\r\033[K%s%s", head, name.c_str());
    std::fflush(stderr);
    g_lineShowing = true;
}

void ClearProgressLine() {
    if (g_lineShowing.exchange(false)) std::fputs("\r\033[K", stderr);
}

}  // namespace cli
