#pragma once
// Lays the floating image over the source image and blends them into the result slot.

#include <cstdint>

#include "compose/slots.h"
#include "platform/status.h"

namespace basCommon {

// Truth values kept in numbers: -1 true, 0 false.
inline constexpr std::int16_t kTrue = -1;
inline constexpr std::int16_t kFalse = 0;

// tile == -1: the floating image is repeated from the top-left corner with its own size as the
// pitch; any other value: it is stretched to the source image's size. The result, of the source
// image's size, goes to slots.picLoad[2], with the source slot's metadata (profile, EXIF) for
// the writers; slots.picTemp holds the tiled or stretched floating
// image afterwards.
//
// Fails, with the result slot unchanged, when the source image is too large to compose or
// memory runs out, or when the floating image is empty. Under a platform::Progress (the
// window's worker) it counts the blended rows, and a stop request returns Status::Cancelled()
// with the previous result kept: the rows then go into a new bitmap that replaces the result's
// only when complete (one more bitmap of the source's size while it runs).
platform::Status ComposeImage(compose::SlotSet& slots, std::int16_t tile);

// Gives picTemp and the result slot storage for a width x height source and writes every page of
// it once, so that a composition of that size (or of the same pixel count) finds both ready and
// its first touch of fresh memory is already paid. Touches neither the source nor the floating
// slot, so it may run on a second thread while those load; a wrong size costs only its time.
void PrepareCompose(compose::SlotSet& slots, int width, int height);

}  // namespace basCommon
