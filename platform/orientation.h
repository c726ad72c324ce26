#pragma once
// EXIF orientation: how a camera's stored pixels are to be turned to stand upright.

#include "platform/bitmap.h"
#include "platform/status.h"

namespace platform {

// The EXIF Orientation values: where the stored image's first row and first column go.
enum class Orientation : int {
    Upright = 1,  // as stored
    MirrorHorizontal = 2,
    Rotate180 = 3,
    MirrorVertical = 4,
    Transpose = 5,   // mirrored along the top-left to bottom-right diagonal
    Rotate90 = 6,    // stored turned 90 degrees anticlockwise: turn clockwise to show
    Transverse = 7,  // mirrored along the other diagonal
    Rotate270 = 8,   // stored turned 90 degrees clockwise: turn anticlockwise to show
};

// Any number outside 1..8 counts as Upright, as viewers treat a value they do not know.
Orientation OrientationFromExif(long value);

// True for 5..8, whose upright picture has the stored width and height swapped.
bool SwapsSides(Orientation orientation);

// Makes upright the picture that stored holds with the given orientation: upright takes the
// upright size (sides swapped for 5..8) and every pixel, the fourth byte included, unchanged.
// Fails only when memory runs out; upright is untouched then.
Status Orient(const Bitmap& stored, Orientation orientation, Bitmap& upright);

}  // namespace platform
