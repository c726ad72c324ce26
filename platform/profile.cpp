#include "platform/profile.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string_view>
#include <vector>

#include "platform/files.h"

// How the file is read, following the Windows profile functions:
// - A line whose first non-blank character is '[' and which holds a ']' starts a section; the
//   name is what stands between the '[' and the first ']', without surrounding blanks.
// - A line holding '=' is a key: the name is the text before the first '=', the value the text
//   after it, both without surrounding blanks; a value then enclosed in one pair of matching
//   double (or single) quotes loses that pair, as Windows documents.
// - Lines starting with ';' are comments; blank lines and lines without '=' are not keys.
// - Names match without regard to ASCII case; other bytes (UTF-8) match exactly. Names passed
//   by the caller lose their surrounding blanks too.
// - When a section or key occurs more than once, the first occurrence counts, for reading and
//   for writing alike.
// - A UTF-8 byte order mark at the start (left by some editors) is skipped, not taken as part
//   of the first line.

namespace platform {
namespace {

// The settings file holds a handful of lines; anything this large is not ours, and neither is
// a file holding NUL bytes. Such a file reads as missing and is never written over.
constexpr std::uint64_t kMaxProfileBytes = 16u << 20;
constexpr std::string_view kBlanks = " \t\r\v\f";
constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

std::string_view Trim(std::string_view s) {
    const auto first = s.find_first_not_of(kBlanks);
    if (first == std::string_view::npos) return {};
    const auto last = s.find_last_not_of(kBlanks);
    return s.substr(first, last - first + 1);
}

char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; }

bool EqualsNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return AsciiLower(x) == AsciiLower(y);
           });
}

std::string_view StripQuotes(std::string_view value) {
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
        return value.substr(1, value.size() - 2);
    }
    return value;
}

enum class Kind { Blank, Comment, Section, Key, Other };

struct Line {
    std::size_t end = 0;   // offset just behind the content, before the line break
    std::size_t next = 0;  // offset of the next line (end of text for the last line)
    Kind kind = Kind::Blank;
    std::string_view name;   // section or key name, a view into the text
    std::string_view value;  // key value, quotes stripped
};

Line ClassifyLine(std::string_view content) {
    Line line;
    const std::string_view t = Trim(content);
    if (t.empty()) return line;
    if (t.front() == ';') {
        line.kind = Kind::Comment;
    } else if (const auto close = t.find(']'); t.front() == '[' && close != t.npos) {
        line.kind = Kind::Section;
        line.name = Trim(t.substr(1, close - 1));
    } else if (const auto eq = t.find('='); eq != t.npos) {
        line.kind = Kind::Key;
        line.name = Trim(t.substr(0, eq));
        line.value = StripQuotes(Trim(t.substr(eq + 1)));
    } else {
        line.kind = Kind::Other;
    }
    return line;
}

// The file's lines with what each one is. Views point into the text given, which must outlive
// the object and stay unchanged.
class Profile {
  public:
    explicit Profile(std::string_view text) {
        std::size_t begin = text.starts_with(kUtf8Bom) ? kUtf8Bom.size() : 0;
        while (begin < text.size()) {
            const auto lf = text.find('\n', begin);
            const std::size_t next = lf == text.npos ? text.size() : lf + 1;
            std::size_t end = lf == text.npos ? text.size() : lf;
            if (end > begin && text[end - 1] == '\r') --end;
            Line line = ClassifyLine(text.substr(begin, end - begin));
            line.end = end;
            line.next = next;
            lines_.push_back(line);
            begin = next;
        }
    }

    const std::vector<Line>& lines() const { return lines_; }

    // Index of the first header line of the section, if any.
    std::optional<std::size_t> FindSection(std::string_view section) const {
        for (std::size_t i = 0; i < lines_.size(); ++i) {
            if (lines_[i].kind == Kind::Section && EqualsNoCase(lines_[i].name, section)) return i;
        }
        return std::nullopt;
    }

    // Index one past the section's last line: the next header, or the end of the file.
    std::size_t SectionEnd(std::size_t header) const {
        std::size_t i = header + 1;
        while (i < lines_.size() && lines_[i].kind != Kind::Section) ++i;
        return i;
    }

    std::optional<std::size_t> FindKey(std::size_t header, std::string_view key) const {
        for (std::size_t i = header + 1, end = SectionEnd(header); i < end; ++i) {
            if (lines_[i].kind == Kind::Key && EqualsNoCase(lines_[i].name, key)) return i;
        }
        return std::nullopt;
    }

    // Where a new key of the section goes: behind its last key line, so that comments and blank
    // lines that separate it from the next section stay below it; behind the header when the
    // section holds no key yet.
    std::size_t InsertionOffset(std::size_t header) const {
        std::size_t after = header;
        for (std::size_t i = header + 1, end = SectionEnd(header); i < end; ++i) {
            if (lines_[i].kind == Kind::Key) after = i;
        }
        return lines_[after].next;
    }

  private:
    std::vector<Line> lines_;
};

enum class Load { Ok, Missing, Unusable };

Load LoadProfile(const std::string& path, std::string& text) {
    text.clear();
    std::error_code ec;
    const auto status = std::filesystem::status(path, ec);
    if (status.type() == std::filesystem::file_type::not_found) return Load::Missing;
    if (!ReadWholeFile(path, text, kMaxProfileBytes)) return Load::Unusable;
    if (text.find('\0') != std::string::npos) return Load::Unusable;
    return Load::Ok;
}

// The folder of a file path: what precedes its last "/" ("." for a bare name).
std::string FolderOf(const std::string& path) {
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? std::string("/") : path.substr(0, slash);
}

// The file's own line break, taken from its first line; a file without any gets the platform's.
std::string_view NewlineOf(std::string_view text) {
    const auto lf = text.find('\n');
    return (lf != text.npos && lf > 0 && text[lf - 1] == '\r') ? "\r\n" : "\n";
}

// A NUL counts too: it ends a text for the Windows functions, and a file holding one reads as
// unusable, so writing it would lose every other setting.
bool HasLineBreak(std::string_view s) {
    return s.find_first_of(std::string_view("\r\n\0", 3)) != s.npos;
}

// Names and values that would change the file's structure, or could never be read back as
// written, are refused instead of written.
bool Writable(std::string_view section, std::string_view key, std::string_view value) {
    if (HasLineBreak(section) || HasLineBreak(key) || HasLineBreak(value)) return false;
    if (section.find(']') != section.npos) return false;
    if (key.empty() || key.find('=') != key.npos) return false;
    return key.front() != ';' && key.front() != '[';
}

}  // namespace

std::uint32_t GetPrivateProfileStringA(const std::string& section, const std::string& key,
                                       const std::string& defaultText, char* buffer,
                                       std::uint32_t size, const std::string& filePath) {
    if (buffer == nullptr || size == 0) return 0;
    // Windows drops trailing blanks of the default text.
    std::string_view result(defaultText);
    result = result.substr(0, result.find_last_not_of(" \t") + 1);

    std::string text;
    if (LoadProfile(filePath, text) == Load::Ok) {
        const Profile profile(text);
        if (const auto header = profile.FindSection(Trim(section))) {
            if (const auto line = profile.FindKey(*header, Trim(key))) {
                result = profile.lines()[*line].value;
            }
        }
    }
    const std::size_t n = std::min<std::size_t>(result.size(), size - 1);
    // An empty value may be a view without storage (a null pointer), which memcpy must not get.
    if (n > 0) std::memcpy(buffer, result.data(), n);
    buffer[n] = '\0';
    return std::uint32_t(n);
}

int WritePrivateProfileStringA(const std::string& section, const std::string& key,
                               const std::string& value, const std::string& filePath) {
    const std::string_view sectionName = Trim(section);
    const std::string_view keyName = Trim(key);
    if (!Writable(sectionName, keyName, value)) return 0;

    std::string text;
    const Load load = LoadProfile(filePath, text);
    if (load == Load::Unusable) return 0;
    const std::string newline(NewlineOf(text));
    const Profile profile(text);
    std::string updated = text;

    if (const auto header = profile.FindSection(sectionName)) {
        if (const auto index = profile.FindKey(*header, keyName)) {
            // Keep the line's indentation and the file's spelling of the key name.
            const Line& line = profile.lines()[*index];
            const std::size_t nameBegin = std::size_t(line.name.data() - text.data());
            updated.replace(nameBegin, line.end - nameBegin, std::string(line.name) + "=" + value);
        } else {
            std::size_t at = profile.InsertionOffset(*header);
            std::string insert = std::string(keyName) + "=" + value + newline;
            // The last line of a file may lack its line break; it gets one before the new key.
            if (at == text.size() && !text.empty() && text.back() != '\n')
                insert = newline + insert;
            updated.insert(at, insert);
        }
    } else {
        if (!updated.empty() && updated.back() != '\n') updated += newline;
        updated += "[" + std::string(sectionName) + "]" + newline;
        updated += std::string(keyName) + "=" + value + newline;
    }
    // Nothing to change: the file is left alone, so that writing the same settings at every
    // start does not replace it each time.
    if (load == Load::Ok && updated == text) return 1;
    // An existing file in a folder that takes no new files (beside an installed program, on a
    // share) has no room for a temporary: it is rewritten in place where it may be written. The
    // folder is the one the file really lies in, behind any link.
    if (load == Load::Ok) {
        std::error_code ec;
        const std::filesystem::path real = std::filesystem::canonical(filePath, ec);
        if (!FolderTakesNewFiles(FolderOf(ec ? filePath : real.string())))
            return RewriteFileInPlace(filePath, updated) ? 1 : 0;
    }
    return WriteFileAtomically(filePath, updated) ? 1 : 0;
}

}  // namespace platform
