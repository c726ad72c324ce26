#pragma once
// The image slots of the main window, without the window: the source image picLoad[0], the
// floating image picLoad[1], the result picLoad[2], the hidden scratch surface picTemp, and the
// texts of the two path fields. The window owns one of these for the life of the program; the
// command-line tool makes one per job.

#include <array>
#include <string>

#include "platform/surface.h"

namespace compose {

struct SlotSet {
    SlotSet();

    // Design sizes in pixels. Slots 0 and 1 size themselves to a picture assigned to them.
    std::array<platform::Surface, 3> picLoad;
    platform::Surface picTemp;
    // FLD[i]: the path shown for slot i, set when a load into it succeeds.
    std::array<std::string, 2> FLD;
};

}  // namespace compose
