#pragma once
// The common dialog wrapper: a fresh instance per dialog, a few properties, one call.

#include <cstdint>
#include <optional>
#include <string>

#include "platform/ui.h"

namespace dialogs {

class clsDialog {
public:
    // Text properties never given a value are handed to the dialog as no text at all.
    const std::string& SelectTitle() const;
    void SetSelectTitle(const std::string& value);
    const std::string& SelectFlags() const;  // decimal text of the dialog's flag word
    void SetSelectFlags(const std::string& value);
    const std::string& DefaultFolder() const;
    void SetDefaultFolder(const std::string& value);
    std::int32_t FilterIndex() const;
    void SetFilterIndex(std::int32_t value);
    const std::string& FilterPattern() const;  // description, NUL, patterns, NUL, ...
    void SetFilterPattern(const std::string& value);
    std::int32_t SelectColor() const;  // 0x00BBGGRR
    void SetSelectColor(std::int32_t value);

    // The chosen file's full path; several files' paths separated by single blanks; "" after a
    // cancel. Throws std::invalid_argument when SelectFlags is not a decimal number.
    // Names of a multiple selection are joined to their folder with "/".
    std::string OpenFile(platform::HWND hwnd);
    // The entered path, or "" after a cancel; sets FilterIndex (0 after a cancel).
    std::string SaveFile(platform::HWND hwnd);
    // -1 when a colour was chosen (SelectColor then holds it), else 0.
    std::int32_t ColorCode(platform::HWND hwnd);

private:
    // The file dialog record both file dialogs take. Throws as OpenFile does.
    platform::FileDialogRecord MakeFileRecord(platform::HWND hwnd) const;

    std::optional<std::string> selectTitle_, selectFlags_, defaultFolder_, filterPattern_;
    std::int32_t filterIndex_ = 0;
    std::int32_t selectColor_ = 0;
};

}  // namespace dialogs

namespace basFunc {
// Field n (1-based; n <= 1 gives the first) of text split at delimiter.
// Works on UTF-8 bytes, which for a UTF-8 delimiter gives the same fields as over characters.
// An empty delimiter leaves the whole text as the first and only field.
std::string GetField(const std::string& text, std::int16_t n, const std::string& delimiter);
}  // namespace basFunc
