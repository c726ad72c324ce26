#pragma once
// The application's user-interface font.

namespace windows {

// Makes a proportional Japanese gothic at 9 points (12 pixels at 96 dpi) the application's
// default font. The layout's fixed sizes were made for such a font; without it Japanese texts
// fall back to a monospaced gothic whose wider katakana no longer fit their labels. Falls back
// to the desktop's font when neither family is installed.
void UseUiFont();

}  // namespace windows
