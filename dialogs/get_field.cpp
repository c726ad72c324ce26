#include <cstddef>
#include <string_view>

#include "dialogs/cls_dialog.h"

// Positions are 1-based, as in the procedure's description, and count bytes of UTF-8. A
// delimiter that is itself UTF-8 can only match where a character begins, and a search started
// inside a character finds the same match as one started at the next character, so the fields
// are those the same steps give over characters.

namespace basFunc {
namespace {

// Position of the first delimiter at or after position from; 0 when there is none or from lies
// past the end of the text.
std::size_t SearchFrom(std::string_view text, std::size_t from, std::string_view delimiter) {
    if (from > text.size()) return 0;
    const auto found = text.find(delimiter, from - 1);
    return found == text.npos ? 0 : found + 1;
}

}  // namespace

std::string GetField(const std::string& text, std::int16_t n, const std::string& delimiter) {
    // An empty delimiter would match everywhere; the whole text is then its only field.
    if (delimiter.empty()) return n <= 1 ? text : std::string();

    std::size_t pos = 1;
    for (int i = 2; i <= n; ++i) {
        const std::size_t m = SearchFrom(text, pos, delimiter);
        if (m == 0) return "";
        // The next search starts one position behind the start of this match, not behind its
        // end, so with a delimiter of several characters matches may overlap.
        pos = m + 1;
    }
    if (n > 1) pos = pos + delimiter.size() - 1;

    const std::size_t q = SearchFrom(text, pos, delimiter);
    if (q == 0) return pos > text.size() ? std::string() : text.substr(pos - 1);
    if (q == pos) return "";
    return text.substr(pos - 1, q - pos);
}

}  // namespace basFunc
