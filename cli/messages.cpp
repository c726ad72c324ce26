#include "cli/messages.h"

#include <QtGlobal>
#include <cstdio>
#include <mutex>
#include <utility>

#include "cli/reasons.h"

namespace cli {
namespace {

void AppendHex(std::string& out, const char* prefix, unsigned value, int digits) {
    static constexpr char kHex[] = "0123456789abcdef";
    out += prefix;
    for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) out += kHex[(value >> shift) & 15];
}

// The length of the well-formed UTF-8 sequence at text[i], or 0.
std::size_t Utf8Length(std::string_view text, std::size_t i, unsigned& codePoint) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned lead = byte(i);
    std::size_t length;
    unsigned min;
    if (lead >= 0xC2 && lead <= 0xDF)
        length = 2, min = 0x80, codePoint = lead & 0x1F;
    else if (lead >= 0xE0 && lead <= 0xEF)
        length = 3, min = 0x800, codePoint = lead & 0x0F;
    else if (lead >= 0xF0 && lead <= 0xF4)
        length = 4, min = 0x10000, codePoint = lead & 0x07;
    else
        return 0;
    if (i + length > text.size()) return 0;
    for (std::size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) return 0;
        codePoint = codePoint << 6 | (byte(i + k) & 0x3F);
    }
    // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
    if (codePoint < min || (codePoint >= 0xD800 && codePoint <= 0xDFFF) || codePoint > 0x10FFFF)
        return 0;
    return length;
}

// Where our own lines go: the real stderr, also once SilenceLibraryMessages has pointed the
// stdio stream `stderr` elsewhere.
std::FILE* g_ourStderr = nullptr;

// Whether a status line is on the screen, and its mutex: lines come from several jobs.
std::mutex g_statusMutex;
bool g_statusShowing = false;

void Print(const std::string& line) {
    std::string escaped = EscapeControls(line) + "\n";
    std::lock_guard lock(g_statusMutex);
    if (std::exchange(g_statusShowing, false)) escaped.insert(0, "\r\033[K");
    std::FILE* out = g_ourStderr ? g_ourStderr : stderr;
    std::fwrite(escaped.data(), 1, escaped.size(), out);
    std::fflush(out);
}

void DropQtMessage(QtMsgType, const QMessageLogContext&, const QString&) {}

}  // namespace

std::string EscapeControls(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            switch (c) {
                case '\n':
                    out += "\\n";
                    break;
                case '\r':
                    out += "\\r";
                    break;
                case '\t':
                    out += "\\t";
                    break;
                case 0x1B:
                    out += "\\e";
                    break;
                default:
                    if (c < 0x20 || c == 0x7F)
                        AppendHex(out, "\\x", c, 2);
                    else
                        out += char(c);
            }
            ++i;
            continue;
        }
        unsigned codePoint = 0;
        const std::size_t length = Utf8Length(text, i, codePoint);
        if (length == 0) {
            AppendHex(out, "\\x", c, 2);
            ++i;
        } else if (codePoint <= 0x9F) {
            AppendHex(out, "\\u", codePoint, 4);
            i += length;
        } else {
            out.append(text.substr(i, length));
            i += length;
        }
    }
    return out;
}

void Fail(const std::string& file, const std::string& reason) {
    Print("glimbra-cli: " + file + ": " + LocalReason(reason));
}

void PrintLine(const std::string& text) { Print(text); }

void ShowStatus(const std::string& text) {
    const std::string line = "\r\033[K" + EscapeControls(text);
    std::lock_guard lock(g_statusMutex);
    std::FILE* out = g_ourStderr ? g_ourStderr : stderr;
    std::fwrite(line.data(), 1, line.size(), out);
    std::fflush(out);
    g_statusShowing = true;
}

void EndStatus() {
    std::lock_guard lock(g_statusMutex);
    if (!std::exchange(g_statusShowing, false)) return;
    std::FILE* out = g_ourStderr ? g_ourStderr : stderr;
    std::fputs("\n", out);
    std::fflush(out);
}

void SilenceLibraryMessages() {
    qInstallMessageHandler(DropQtMessage);
    // libpng's default error handler, which Qt's PNG reader leaves in place, and libjpeg's
    // warnings print with fprintf(stderr, ...) past any Qt handler. They get a stream that goes
    // nowhere; our lines keep the real one. Descriptor 2 itself stays, so that a crash report
    // or a sanitizer's still reaches the terminal.
    if (g_ourStderr) return;
    if (std::FILE* nowhere = std::fopen("/dev/null", "we")) {
        g_ourStderr = stderr;
        stderr = nowhere;
    }
}

}  // namespace cli
