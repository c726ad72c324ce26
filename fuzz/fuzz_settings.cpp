// The settings file: arbitrary bytes as Glimbra.ini, read key by key and as the settings record,
// then one key written into it.
// Invariants: a value read has at most 254 characters and no NUL or line break; saving the record
// and loading it again gives the same record; a write that succeeds changes one line (or adds
// the key, or the section and the key) and leaves every other line byte for byte, and the key
// then reads back as written; a write that fails leaves the file untouched.

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "platform/files.h"
#include "platform/profile.h"
#include "startup/settings.h"

namespace {

struct Record {
    std::int16_t jpegRate, jpegPrgrs, pngRate, optionsGif;
    bool operator==(const Record&) const = default;
};

Record Current() {
    return {basCommon::JpegRate, basCommon::JpegPrgrs, basCommon::PngRate, basCommon::OptionsGif};
}

std::vector<std::string_view> Lines(std::string_view text) {
    std::vector<std::string_view> lines;
    std::size_t begin = 0;
    while (begin < text.size()) {
        const std::size_t lf = text.find('\n', begin);
        const std::size_t end = lf == text.npos ? text.size() : lf;
        // A line's content without its break: a last line without one gets the file's CR LF.
        std::string_view line = text.substr(begin, end - begin);
        while (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        lines.push_back(line);
        begin = end + 1;
    }
    return lines;
}

std::string Describe(const std::string& before, const std::string& after) {
    return "before:\n[" + before + "]\nafter:\n[" + after + "]";
}

// A value that the file gives back exactly as written: no blanks at its ends (they are trimmed
// when read) and not enclosed in a pair of quotes (they are stripped), within the read length.
bool ReadsBackVerbatim(std::string_view v) {
    constexpr std::string_view kBlanks = " \t\r\v\f";
    if (v.size() > 254) return false;
    if (!v.empty() && (kBlanks.find(v.front()) != v.npos || kBlanks.find(v.back()) != v.npos))
        return false;
    if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
        return false;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::string path = [] {
        platform::SetExeFolderForTesting(fuzzing::Folder());
        return fuzzing::FileIn(basCommon::kSettingsFileName);
    }();
    FuzzedDataProvider in(data, size);
    const std::string section = in.ConsumeRandomLengthString(12);
    const std::string key = in.ConsumeRandomLengthString(12);
    const std::string value = in.ConsumeRandomLengthString(40);
    const std::string contents = in.ConsumeRemainingBytesAsString();
    fuzzing::WriteFile(path, contents);

    for (const auto& [s, k] : {std::pair{"JPEG", "Rate"},
                               {"jpeg", "PRGRS"},
                               {"PNG", "Rate"},
                               {"Options", "GIF"},
                               {section.c_str(), key.c_str()}}) {
        const std::string v = basFunc::ReadIni(s, k, "dflt", path);
        fuzzing::Check(v.size() <= 254, "value longer than the read buffer");
        fuzzing::Check(v.find_first_of(std::string_view("\0\n", 2)) == std::string::npos,
                       "value holds a NUL or a line feed", v);
    }

    basCommon::LoadSettings();
    fuzzing::Check(basCommon::SettingsPath == path, "settings path", basCommon::SettingsPath);
    const Record loaded = Current();
    basCommon::SaveSettings();
    const std::string saved = fuzzing::ReadFile(path);
    basCommon::LoadSettings();
    fuzzing::Check(Current() == loaded, "save then load changed the record",
                   Describe(contents, saved));

    // One key written into the original contents.
    fuzzing::WriteFile(path, contents);
    const int wrote = platform::WritePrivateProfileStringA(section, key, value, path);
    const std::string after = fuzzing::ReadFile(path);
    if (!wrote) {
        fuzzing::Check(after == contents, "failed write changed the file",
                       Describe(contents, after));
        return 0;
    }
    const auto oldLines = Lines(contents), newLines = Lines(after);
    std::size_t prefix = 0;
    while (prefix < oldLines.size() && prefix < newLines.size() &&
           oldLines[prefix] == newLines[prefix]) {
        ++prefix;
    }
    std::size_t suffix = 0;
    while (suffix < oldLines.size() - prefix && suffix < newLines.size() - prefix &&
           oldLines[oldLines.size() - 1 - suffix] == newLines[newLines.size() - 1 - suffix]) {
        ++suffix;
    }
    const std::size_t removed = oldLines.size() - prefix - suffix;
    const std::size_t added = newLines.size() - prefix - suffix;
    fuzzing::Check(removed <= 1 && added <= 2 && added >= removed,
                   "write changed more than the key's line", Describe(contents, after));
    if (ReadsBackVerbatim(value)) {
        const std::string back = basFunc::ReadIni(section, key, "", path);
        fuzzing::Check(back == value, "key does not read back as written",
                       "[" + back + "] != [" + value + "]\n" + Describe(contents, after));
    }
    return 0;
}
