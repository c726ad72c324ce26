#pragma once
// Qt's own texts (file dialogs, message-box and dialog buttons) and formats (dates, sizes, file
// types) in Japanese, to match the window's texts, whatever the user's locale.

class QCoreApplication;

namespace startup {

// Makes Japan's Japanese the default locale (QLocale()), adds the few texts of Qt's file dialog
// that Qt's Japanese catalogue lacks (the type "Folder"), and loads that catalogue (qtbase_ja.qm
// from Qt's translations folder) into app. Returns false when the catalogue is not installed;
// Qt's other texts then stay English.
bool InstallQtJapanese(QCoreApplication& app);

}  // namespace startup
