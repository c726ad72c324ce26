#include "dialogs/cls_dialog.h"

#include <array>
#include <charconv>
#include <filesystem>
#include <limits>
#include <stdexcept>
#include <string_view>

#include "startup/settings.h"

namespace dialogs {
namespace {

const std::string kNoText;

const std::string& TextOf(const std::optional<std::string>& property) {
    return property ? *property : kNoText;
}

// The flag word as the dialogs take it: decimal text of a signed 32-bit number (surrounding
// blanks and a sign allowed), a negative one standing for its two's-complement bit pattern.
std::uint32_t ParseFlags(std::string_view text) {
    const auto first = text.find_first_not_of(" \t");
    if (first != text.npos) text = text.substr(first, text.find_last_not_of(" \t") - first + 1);
    if (text.starts_with('+') && !text.starts_with("+-")) text.remove_prefix(1);
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() ||
        value < std::numeric_limits<std::int32_t>::min() ||
        value > std::numeric_limits<std::int32_t>::max()) {
        throw std::invalid_argument("SelectFlags is not a decimal 32-bit number: \"" +
                                    std::string(text) + "\"");
    }
    return std::uint32_t(std::int32_t(value));
}

// On Linux a name is joined to its folder with "/" where the Windows dialogs
// put a backslash; as there, it is put whether or not the folder already ends in one.
constexpr char kFolderSeparator = '/';

bool IsFolder(const std::string& path) {
    // A name whose attributes cannot be read (it does not exist) counts as a file: it is handed
    // back as the dialog gave it, and the caller's load then reports it.
    std::error_code ec;
    return std::filesystem::is_directory(path, ec);
}

}  // namespace

const std::string& clsDialog::SelectTitle() const { return TextOf(selectTitle_); }
void clsDialog::SetSelectTitle(const std::string& value) { selectTitle_ = value; }
const std::string& clsDialog::SelectFlags() const { return TextOf(selectFlags_); }
void clsDialog::SetSelectFlags(const std::string& value) { selectFlags_ = value; }
const std::string& clsDialog::DefaultFolder() const { return TextOf(defaultFolder_); }
void clsDialog::SetDefaultFolder(const std::string& value) { defaultFolder_ = value; }
std::int32_t clsDialog::FilterIndex() const { return filterIndex_; }
void clsDialog::SetFilterIndex(std::int32_t value) { filterIndex_ = value; }
const std::string& clsDialog::FilterPattern() const { return TextOf(filterPattern_); }
void clsDialog::SetFilterPattern(const std::string& value) { filterPattern_ = value; }
std::int32_t clsDialog::SelectColor() const { return selectColor_; }
void clsDialog::SetSelectColor(std::int32_t value) { selectColor_ = value; }

platform::FileDialogRecord clsDialog::MakeFileRecord(platform::HWND hwnd) const {
    platform::FileDialogRecord record;
    // Converted first: a bad flag word fails before any dialog is shown.
    record.flags = ParseFlags(SelectFlags());
    record.owner = hwnd;
    record.hasFilter = filterPattern_.has_value();
    record.filter = FilterPattern();
    // The first file type is preselected on every call; FilterIndex is output only.
    record.filterIndex = 1;
    record.hasInitialDir = defaultFolder_.has_value();
    record.initialDir = DefaultFolder();
    record.hasTitle = selectTitle_.has_value();
    record.title = SelectTitle();
    return record;
}

std::string clsDialog::OpenFile(platform::HWND hwnd) {
    platform::FileDialogRecord record = MakeFileRecord(hwnd);
    if (!platform::Ui().GetOpenFileName(record)) return "";

    const std::string& buffer = record.file;
    const std::string first = basFunc::CutAtNul(buffer);
    if (!IsFolder(first)) return first;

    // A multiple selection: the folder, then each name, each followed by a NUL. A folder with
    // no name behind it still gets the separator.
    std::string field = basFunc::GetField(buffer, 2, std::string(1, '\0'));
    std::string result = first + kFolderSeparator + field;
    // The field number is 16-bit: names beyond field 32767 are dropped.
    for (int k = 3; !field.empty() && k <= std::numeric_limits<std::int16_t>::max(); ++k) {
        field = basFunc::GetField(buffer, std::int16_t(k), std::string(1, '\0'));
        if (!field.empty()) result += ' ' + first + kFolderSeparator + field;
    }
    return result;
}

std::string clsDialog::SaveFile(platform::HWND hwnd) {
    platform::FileDialogRecord record = MakeFileRecord(hwnd);
    if (!platform::Ui().GetSaveFileName(record)) {
        filterIndex_ = 0;
        return "";
    }
    filterIndex_ = std::int32_t(record.filterIndex);
    return basFunc::CutAtNul(record.file);
}

std::int32_t clsDialog::ColorCode(platform::HWND hwnd) {
    // Built afresh on every call: custom colours defined in the dialog are not carried over.
    std::array<std::uint32_t, 16> custom;
    custom.fill(0xFFFFFF);
    std::uint32_t colour = std::uint32_t(selectColor_);
    if (!platform::Ui().ChooseColor(hwnd, colour, custom)) return 0;
    selectColor_ = std::int32_t(colour);
    return -1;
}

}  // namespace dialogs
