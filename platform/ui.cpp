#include "platform/ui.h"

namespace platform {
namespace {

class HeadlessHost final : public UiHost {
public:
    bool GetOpenFileName(FileDialogRecord&) override { return false; }
    bool GetSaveFileName(FileDialogRecord&) override { return false; }
    bool ChooseColor(HWND, std::uint32_t&, std::array<std::uint32_t, 16>&) override {
        return false;
    }
    int MessageBox(HWND, const std::string&, const std::string&, std::uint32_t style) override {
        if ((style & 0xF) == MB_YESNO) return (style & MB_DEFBUTTON2) ? IDNO : IDYES;
        return IDOK;
    }
};

HeadlessHost g_headless;
UiHost* g_host = nullptr;

}  // namespace

UiHost& Ui() { return g_host ? *g_host : g_headless; }
void SetUi(UiHost* host) { g_host = host; }

}  // namespace platform
