#pragma once
// The real dialogs, over Qt Widgets. The window program installs one with platform::SetUi at
// start-up; tests install their own hosts instead.

#include <QStringList>
#include <string>

#include "platform/ui.h"

namespace platform {

class QtUiHost final : public UiHost {
  public:
    bool GetOpenFileName(FileDialogRecord& record) override;
    bool GetSaveFileName(FileDialogRecord& record) override;
    bool ChooseColor(HWND owner, std::uint32_t& colour,
                     std::array<std::uint32_t, 16>& custom) override;
    int MessageBox(HWND owner, const std::string& text, const std::string& caption,
                   std::uint32_t style) override;
};

// A NUL-separated filter list (description, NUL, "*.bmp;*.jpg", NUL, ...) as Qt name filters,
// "description (*.bmp *.jpg)", in the same order. A description without patterns is dropped.
QStringList NameFiltersFromList(const std::string& filter);

}  // namespace platform
