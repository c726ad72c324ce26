#include "windows/icons.h"

#include <QPixmap>

namespace windows {
namespace {
#include "windows/icons/main16.xpm"
#include "windows/icons/main32.xpm"
#include "windows/icons/options16.xpm"
}  // namespace

QIcon MainIcon() {
    QIcon icon;
    icon.addPixmap(QPixmap(main32_xpm));
    icon.addPixmap(QPixmap(main16_xpm));
    return icon;
}

QIcon OptionsIcon() { return QIcon(QPixmap(options16_xpm)); }

}  // namespace windows
