#include "platform/memory_budget.h"

#include <sys/resource.h>

#include <cstdio>
#include <cstring>
#include <limits>

namespace platform {
namespace {

constexpr std::uint64_t kUnknown = std::numeric_limits<std::uint64_t>::max();

// The value in kB of "key:" in a /proc file, in bytes; kUnknown when it is not there.
std::uint64_t ProcKilobytes(const char* file, const char* key) {
    std::FILE* f = std::fopen(file, "re");
    if (!f) return kUnknown;
    char line[256];
    std::uint64_t value = kUnknown;
    const std::size_t keyLength = std::strlen(key);
    while (std::fgets(line, sizeof line, f)) {
        unsigned long long kb = 0;
        if (std::strncmp(line, key, keyLength) == 0 &&
            std::sscanf(line + keyLength, " %llu", &kb) == 1) {
            value = std::uint64_t(kb) * 1024;
            break;
        }
    }
    std::fclose(f);
    return value;
}

}  // namespace

MemoryRoom CurrentMemoryRoom() {
    MemoryRoom room;
    room.systemAvailable = ProcKilobytes("/proc/meminfo", "MemAvailable:");
    room.addressSpaceLeft = kUnknown;
    struct rlimit limit {};
    if (::getrlimit(RLIMIT_AS, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
        // Everything mapped counts against the limit, reserved or touched.
        const std::uint64_t mapped = ProcKilobytes("/proc/self/status", "VmSize:");
        const std::uint64_t cap = limit.rlim_cur;
        room.addressSpaceLeft = mapped == kUnknown ? cap : mapped >= cap ? 0 : cap - mapped;
    }
    return room;
}

std::string ByteText(std::uint64_t bytes) {
    char text[64];
    const double mib = double(bytes) / double(1 << 20);
    if (mib >= 1024) {
        std::snprintf(text, sizeof text, "%.1f GiB", mib / 1024);
    } else {
        std::snprintf(text, sizeof text, "%.0f MiB", mib);
    }
    return text;
}

Status CheckMemoryFits(std::uint64_t bytes, const MemoryRoom& room) {
    if (bytes <= room.bytes()) return Status::Ok();
    std::string limits;
    if (room.systemAvailable != kUnknown) limits = "空きメモリ " + ByteText(room.systemAvailable);
    if (room.addressSpaceLeft != kUnknown) {
        limits += (limits.empty() ? "" : "、") + std::string("アドレス空間の残り (RLIMIT_AS) ") +
                  ByteText(room.addressSpaceLeft);
    }
    return Status::Fail("メモリが足りません: 必要 " + ByteText(bytes) + "、使える量 " +
                        ByteText(room.bytes()) + " (" + limits + ")");
}

Status CheckMemory(std::uint64_t bytes) {
    if (bytes < kBudgetedBytes) return Status::Ok();
    return CheckMemoryFits(bytes, CurrentMemoryRoom());
}

Status CheckBitmapMemory(int width, int height, std::uint64_t keptPixels, bool shared) {
    const std::uint64_t pixels = std::uint64_t(width) * std::uint64_t(height);
    if (pixels == keptPixels && !shared) return Status::Ok();
    return CheckMemory(pixels * 4);
}

}  // namespace platform
