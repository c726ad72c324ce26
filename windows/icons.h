#pragma once
// The program's own icons, drawn in the 16-colour palette (windows/icons/make_icons.py).

#include <QIcon>

namespace windows {

QIcon MainIcon();     // 32 x 32 and 16 x 16
QIcon OptionsIcon();  // 16 x 16

}  // namespace windows
