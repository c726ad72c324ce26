#pragma once
// Qt's own texts (file dialogs, message-box and dialog buttons) in Japanese, to match the window's
// texts, whatever the user's locale.

class QCoreApplication;

namespace startup {

// Loads Qt's Japanese translation (qtbase_ja.qm from Qt's translations folder) into app. Returns
// false when it is not installed; Qt's texts then stay English.
bool InstallQtJapanese(QCoreApplication& app);

}  // namespace startup
