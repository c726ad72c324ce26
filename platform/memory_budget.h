#pragma once
// The memory a step may still take: checked before any large allocation, so that a picture or a
// composition too large for this machine (or for the address-space limit the process was started
// under) is refused with the figures instead of failing half-way or waking the OOM killer.

#include <cstdint>
#include <string>

#include "platform/status.h"

namespace platform {

struct MemoryRoom {
    std::uint64_t systemAvailable = 0;   // MemAvailable of /proc/meminfo; UINT64_MAX when unknown
    std::uint64_t addressSpaceLeft = 0;  // RLIMIT_AS less what is mapped; UINT64_MAX for none
    std::uint64_t bytes() const {
        return systemAvailable < addressSpaceLeft ? systemAvailable : addressSpaceLeft;
    }
};

// What the process can have now.
MemoryRoom CurrentMemoryRoom();

// Allocations below this size are not checked: they cannot decide whether a step fits, and
// reading /proc for each would cost more than the allocation.
inline constexpr std::uint64_t kBudgetedBytes = std::uint64_t{32} << 20;

// Fails when `bytes` do not fit into `room`; the reason names what is needed and what there is.
Status CheckMemoryFits(std::uint64_t bytes, const MemoryRoom& room);
// The same against the current room; sizes below kBudgetedBytes always pass.
Status CheckMemory(std::uint64_t bytes);

// For Bitmap::Allocate: the check for width x height 32-bit pixels, skipped when the storage of
// `keptPixels` pixels is reused as it is.
Status CheckBitmapMemory(int width, int height, std::uint64_t keptPixels, bool shared);

// A byte count for people: "812 MiB", "9.6 GiB".
std::string ByteText(std::uint64_t bytes);

}  // namespace platform
