#include "windows/bas_main.h"

#include "startup/settings.h"
#include "windows/frm_main.h"

namespace basCommon {

std::unique_ptr<frmMain> Main() {
    LoadSettings();
    SaveSettings();
    auto window = std::make_unique<frmMain>();
    window->Form_Load();
    return window;
}

}  // namespace basCommon
