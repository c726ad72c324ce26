#include "windows/bas_main.h"

#include "startup/settings.h"
#include "windows/frm_main.h"

namespace basCommon {

std::unique_ptr<frmMain> Main(const QStringList& files) {
    LoadSettings();
    SaveSettings();
    auto window = std::make_unique<frmMain>();
    window->Form_Load();
    window->OpenFiles(files);
    return window;
}

}  // namespace basCommon
