#include "startup/settings.h"

#include <charconv>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <optional>
#include <string_view>

#include "platform/files.h"

namespace basCommon {
namespace {

struct SettingRow {
    std::int16_t* field;
    const char* section;
    const char* key;
    const char* defaultText;
    bool written;  // OptionsGif is only ever read
};

// In the order of reading and of writing.
const SettingRow kRows[] = {
    {&JpegRate, "JPEG", "Rate", "50", true},
    {&JpegPrgrs, "JPEG", "Prgrs", "0", true},
    {&PngRate, "PNG", "Rate", "1", true},
    {&OptionsGif, "Options", "GIF", "1", false},
};

// A stored value as a 16-bit whole number: surrounding blanks, an optional sign, then decimal
// digits and nothing else. Anything else, the empty text included, gives no number, so that a
// hand-edited file cannot put a value into the record that the rest of the program never expects.
std::optional<std::int16_t> ParseWhole(std::string_view text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == text.npos) return std::nullopt;
    text = text.substr(first, text.find_last_not_of(" \t") - first + 1);
    if (text.front() == '+') {
        text.remove_prefix(1);
        // from_chars takes a '-' but not a '+'; a second sign must still be refused.
        if (text.empty() || text.front() == '-') return std::nullopt;
    }
    int value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    if (value < std::numeric_limits<std::int16_t>::min() ||
        value > std::numeric_limits<std::int16_t>::max()) {
        return std::nullopt;
    }
    return std::int16_t(value);
}

// A settings file holds a handful of lines; a larger one is not copied.
constexpr std::uint64_t kMaxSeedBytes = 1u << 20;

// The system's program folders. Root can write there, but one user's settings do not belong among
// the system's programs: a program installed there keeps them in the configuration folder.
bool IsSystemProgramFolder(const std::string& folder) {
    std::error_code ec;
    std::string plain = std::filesystem::weakly_canonical(folder, ec).string();
    if (ec) plain = folder;
    while (plain.size() > 1 && plain.back() == '/') plain.pop_back();
    for (const char* system : {"/bin", "/sbin", "/usr/bin", "/usr/sbin", "/usr/games",
                               "/usr/local/bin", "/usr/local/sbin"}) {
        if (plain == system) return true;
    }
    return false;
}

// The user's configuration folder by the XDG rules: an absolute $XDG_CONFIG_HOME, else
// $HOME/.config; "" when neither can be had.
std::string UserConfigFolder() {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg && xdg[0] == '/') return xdg;
    const char* home = std::getenv("HOME");
    if (home && home[0] == '/') return basFunc::AddPathSeparator(home) + ".config";
    return "";
}

}  // namespace

std::string ChooseSettingsPath(const std::string& exeFolder) {
    const std::string portable = basFunc::AddPathSeparator(exeFolder) + kSettingsFileName;
    std::error_code ec;
    const bool present = std::filesystem::exists(std::filesystem::symlink_status(portable, ec));
    if (present) {
        // An existing file counts where it may be written: replaced through a temporary where
        // its folder takes new files, else rewritten in place (the profile writer decides by
        // the same probe). A dangling link is the user's choice of where the file goes.
        if (platform::MayWriteFile(portable) || !std::filesystem::exists(portable, ec))
            return portable;
    } else if (!IsSystemProgramFolder(exeFolder) && platform::FolderTakesNewFiles(exeFolder)) {
        return portable;
    }
    const std::string config = UserConfigFolder();
    if (config.empty()) return portable;
    const std::string folder = basFunc::AddPathSeparator(config) + "glimbra";
    // A folder that cannot be made only costs the persistence, as any failed settings write does.
    std::filesystem::create_directories(folder, ec);
    const std::string personal = basFunc::AddPathSeparator(folder) + kSettingsFileName;
    // A read-only file beside the program (an administrator's choice, say GIF=0) is where the
    // user's own file starts from, so that its values are not lost by moving.
    std::string seed;
    if (present && !std::filesystem::exists(std::filesystem::symlink_status(personal, ec)) &&
        platform::ReadWholeFile(portable, seed, kMaxSeedBytes)) {
        platform::WriteFileAtomically(personal, seed);
    }
    return personal;
}

void LoadSettings() {
    SettingsPath = ChooseSettingsPath(platform::ExeFolder());
    for (const SettingRow& row : kRows) {
        const std::string text =
            basFunc::ReadIni(row.section, row.key, row.defaultText, SettingsPath);
        *row.field = ParseWhole(text).value_or(*ParseWhole(row.defaultText));
    }
}

void SaveSettings() {
    for (const SettingRow& row : kRows) {
        // A folder the user may not write to only costs the persistence; the settings stay in
        // memory for this run, so the result is deliberately dropped.
        if (row.written)
            basFunc::WriteIni(row.section, row.key, std::to_string(*row.field), SettingsPath);
    }
}

}  // namespace basCommon
