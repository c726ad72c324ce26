// GetField and CutAtNul on arbitrary text, delimiter and field number.
// GetField is checked against a plain split wherever the delimiter cannot overlap itself (its
// matches then never overlap, and the fields are the plain split's); for every delimiter the
// first field is a prefix of the text without a delimiter in it, and every field a part of it.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <string>
#include <vector>

#include "dialogs/cls_dialog.h"
#include "fuzz/fuzz_support.h"
#include "startup/settings.h"

namespace {

// True when no proper prefix of d is also its suffix ("ab": none; "::", "aba": some).
bool SelfOverlapFree(const std::string& d) {
    for (std::size_t k = 1; k < d.size(); ++k) {
        if (d.compare(0, k, d, d.size() - k, k) == 0) return false;
    }
    return true;
}

std::vector<std::string> PlainSplit(const std::string& text, const std::string& d) {
    std::vector<std::string> fields;
    std::size_t from = 0;
    for (std::size_t at; (at = text.find(d, from)) != std::string::npos; from = at + d.size()) {
        fields.push_back(text.substr(from, at - from));
    }
    fields.push_back(text.substr(from));
    return fields;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    const auto n = in.ConsumeIntegral<std::int16_t>();
    const std::string delimiter = in.ConsumeRandomLengthString(4);
    const std::string text = in.ConsumeRemainingBytesAsString();

    const std::string cut = basFunc::CutAtNul(text);
    fuzzing::Check(cut.find('\0') == std::string::npos, "CutAtNul left a NUL");
    fuzzing::Check(text.compare(0, cut.size(), cut) == 0, "CutAtNul is no prefix");
    fuzzing::Check(cut.size() == text.size() || text[cut.size()] == '\0',
                   "CutAtNul stopped before the first NUL");

    const std::string field = basFunc::GetField(text, n, delimiter);
    fuzzing::Check(field.size() <= text.size() && text.find(field) != std::string::npos,
                   "field is not part of the text");
    const std::string first = basFunc::GetField(text, 1, delimiter);
    fuzzing::Check(basFunc::GetField(text, std::int16_t(n <= 1 ? n : 0), delimiter) == first,
                   "n <= 1 does not give the first field");
    fuzzing::Check(text.compare(0, first.size(), first) == 0, "first field is no prefix");
    if (delimiter.empty()) {
        fuzzing::Check(field == (n <= 1 ? text : std::string()), "empty delimiter");
        return 0;
    }
    fuzzing::Check(first.find(delimiter) == std::string::npos, "first field holds the delimiter");
    if (SelfOverlapFree(delimiter)) {
        const std::vector<std::string> fields = PlainSplit(text, delimiter);
        const std::size_t index = n <= 1 ? 0 : std::size_t(n) - 1;
        const std::string expected = index < fields.size() ? fields[index] : std::string();
        fuzzing::Check(
            field == expected, "field differs from the plain split",
            "n=" + std::to_string(n) + " got [" + field + "] expected [" + expected + "]");
    }
    return 0;
}
