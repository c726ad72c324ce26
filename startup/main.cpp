// The window program: the Qt application, the Qt dialog host behind platform::Ui(), and the
// start-up procedure. Everything else happens in the main window's event handlers.

#include <QApplication>

#include "platform/qt_ui_host.h"
#include "platform/ui.h"
#include "startup/qt_texts.h"
#include "windows/bas_main.h"
#include "windows/frm_main.h"
#include "windows/ui_font.h"

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    windows::UseUiFont();
    // The desktop matches the window to its menu entry and icon by this id.
    QGuiApplication::setDesktopFileName(QStringLiteral(GLIMBRA_APP_ID));
    // Qt's dialogs and buttons speak the window's language, Japanese, whatever the locale.
    startup::InstallQtJapanese(app);
    platform::QtUiHost host;
    platform::SetUi(&host);
    // glimbra [SOURCE [FLOATING]]: what a file manager's "Open with" hands over (Exec=glimbra %F).
    // Qt has taken its own options out of the list already.
    QStringList files = QApplication::arguments();
    files.removeFirst();
    const std::unique_ptr<frmMain> window = basCommon::Main(files);
    const int code = app.exec();
    platform::SetUi(nullptr);
    return code;
}
