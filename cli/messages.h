#pragma once
// What glimbra-cli prints: one line per message, whatever the names in it hold.

#include <string>
#include <string_view>

namespace cli {

// Shows control characters as visible escapes: C0 controls and DEL as \n, \r, \t, \e or \xNN,
// C1 controls (U+0080..U+009F) as \u0080..\u009f, and bytes that are not UTF-8 as \xNN, so that
// a file name cannot break a message into two lines or send commands to the terminal. Other
// text, Japanese included, is kept as it is.
std::string EscapeControls(std::string_view text);

// "glimbra-cli: FILE: reason" on stderr, escaped, as one line.
void Fail(const std::string& file, const std::string& reason);
// Any other line of ours on stderr, escaped.
void PrintLine(const std::string& text);

// A terminal's status line: text (escaped) drawn over the previous one, without a line break.
// Every other line first erases it; the next ShowStatus draws it again.
void ShowStatus(const std::string& text);
// Leaves the status line on the screen and moves below it.
void EndStatus();

// Keeps the libraries' own diagnostics (Qt's, and libpng's that Qt passes on while it reads a
// PNG inside an icon) off stderr: a failure is reported once, by our own line.
void SilenceLibraryMessages();

}  // namespace cli
