#include "windows/ui_font.h"

#include <QApplication>
#include <QFont>
#include <QStringList>

namespace windows {

void UseUiFont() {
    QFont font = QApplication::font();
    // IPAPGothic comes with the Debian package fonts-ipafont-gothic, Noto Sans CJK JP with
    // fonts-noto-cjk; the family list keeps the desktop's own font for Latin-only fallbacks.
    font.setFamilies({QStringLiteral("IPAPGothic"), QStringLiteral("Noto Sans CJK JP"),
                      font.family()});
    font.setPointSize(9);
    QApplication::setFont(font);
}

}  // namespace windows
