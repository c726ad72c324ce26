#pragma once
// The modal parts of the user interface: file dialogs, the colour dialog and message boxes.
// Everything that shows one goes through Ui(), so that tests can install a host that answers
// without a person. The window program installs the Qt host at start-up.

#include <array>
#include <cstdint>
#include <string>

namespace platform {

// An owner window, as the address of its widget; 0 for none.
using HWND = std::uintptr_t;

// Flags of the file dialogs, with their Windows values.
inline constexpr std::uint32_t OFN_HIDEREADONLY = 0x4;
inline constexpr std::uint32_t OFN_ALLOWMULTISELECT = 0x200;
inline constexpr std::uint32_t OFN_FILEMUSTEXIST = 0x1000;
inline constexpr std::uint32_t OFN_CREATEPROMPT = 0x2000;

// What the file dialogs take and give back: the fields of the Windows dialog record that the
// program uses, with texts as UTF-8.
struct FileDialogRecord {
    HWND owner = 0;
    // Pairs of a description and a pattern list ("*.bmp;*.jpg"), each element followed by a NUL.
    std::string filter;
    bool hasFilter = false;
    std::uint32_t filterIndex = 1;  // 1-based; the dialog leaves the type shown on confirmation
    std::string initialDir;         // empty with hasInitialDir false: the dialog's own default
    bool hasInitialDir = false;
    std::string title;
    bool hasTitle = false;
    std::uint32_t flags = 0;
    // Filled by the dialog: one full path; or, for several files, the folder, NUL, each name
    // followed by a NUL, and one more NUL.
    std::string file;
};

// Message box styles and answers, with their Windows values.
inline constexpr std::uint32_t MB_OK = 0x0;
inline constexpr std::uint32_t MB_YESNO = 0x4;
inline constexpr std::uint32_t MB_ICONSTOP = 0x10;
inline constexpr std::uint32_t MB_ICONQUESTION = 0x20;
inline constexpr std::uint32_t MB_ICONEXCLAMATION = 0x30;
inline constexpr std::uint32_t MB_DEFBUTTON1 = 0x0;
inline constexpr std::uint32_t MB_DEFBUTTON2 = 0x100;
inline constexpr int IDOK = 1;
inline constexpr int IDCANCEL = 2;
inline constexpr int IDYES = 6;
inline constexpr int IDNO = 7;

class UiHost {
public:
    virtual ~UiHost() = default;
    // Each returns false when the user cancelled or the dialog could not be shown.
    virtual bool GetOpenFileName(FileDialogRecord& record) = 0;
    virtual bool GetSaveFileName(FileDialogRecord& record) = 0;
    // colour: 0x00BBGGRR in and out; custom: the dialog's 16 custom colours.
    virtual bool ChooseColor(HWND owner, std::uint32_t& colour,
                             std::array<std::uint32_t, 16>& custom) = 0;
    // Returns the button pressed (IDOK, IDYES, IDNO, ...).
    virtual int MessageBox(HWND owner, const std::string& text, const std::string& caption,
                           std::uint32_t style) = 0;
};

// The host in use. Without one installed every dialog counts as cancelled and every message box
// as answered with its default button (a headless run never blocks).
UiHost& Ui();
// Installs a host (nullptr: back to the headless one). The caller keeps ownership.
void SetUi(UiHost* host);

}  // namespace platform
