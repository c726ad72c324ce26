#pragma once
// Loading an image file into slot 0 (source) or slot 1 (floating).

#include <cstdint>
#include <string>

#include "compose/slots.h"
#include "platform/surface.h"

namespace basCommon {

// Loads path into slots.picLoad[index] and, on success, shows the path in slots.FLD[index].
// Names ending in ".PNG" (any letter case) go through the PNG signature check and the PNG
// decoder; every other name through the picture loader. The file is decoded completely before the
// slot is touched: a failed load leaves slot, size and path field as they were, and reason says
// why. Returns 0 when loaded, 1 when not.
std::int32_t LoadImageSlot(compose::SlotSet& slots, const std::string& path, std::int16_t index,
                           std::string* reason = nullptr);

// The PNG route: checks the signature, reads the header's size (full 32-bit width and height),
// decodes the file, then sizes the slot to the image and draws it alpha over the slot's cleared
// bitmap. True when drawn.
bool LoadPngSlot(platform::Surface& slot, const std::string& path, std::string* reason = nullptr);

}  // namespace basCommon
