#include "platform/profile.h"
#include "startup/settings.h"

namespace basFunc {

namespace {
// The read buffer of the profile call: 254 characters of value and the terminating NUL.
constexpr std::uint32_t kIniBufferSize = 255;
}  // namespace

std::string ReadIni(const std::string& section, const std::string& key,
                    const std::string& defaultText, const std::string& filePath) {
    // Blanks, not NULs: what stays behind the copied value is cut off at its NUL below.
    std::string buffer(kIniBufferSize, ' ');
    const std::uint32_t copied = platform::GetPrivateProfileStringA(
        section, key, defaultText, buffer.data(), kIniBufferSize, filePath);
    if (copied == 0) buffer.clear();
    return CutAtNul(buffer);
}

std::int16_t WriteIni(const std::string& section, const std::string& key,
                      const std::string& valueText, const std::string& filePath) {
    return platform::WritePrivateProfileStringA(section, key, valueText, filePath) != 0 ? 1 : 0;
}

std::string AddBackslash(const std::string& path) {
    if (!path.empty() && path.back() == '\\') return path;
    return path + '\\';
}

std::string AddPathSeparator(const std::string& folder) {
    if (!folder.empty() && folder.back() == '/') return folder;
    return folder + '/';
}

std::string CutAtNul(const std::string& text) { return text.substr(0, text.find('\0')); }

std::string UpperTail4(const std::string& text) {
    std::string tail = text.size() > 4 ? text.substr(text.size() - 4) : text;
    for (char& c : tail) {
        if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
    }
    return tail;
}

}  // namespace basFunc
