// The PNG route of the load command: the bytes as a file named x.png, loaded into slot 1 through
// LoadImageSlot (signature, header, decoder, drawing), and through the decoder alone.
// Invariants: the two agree; a success sizes the slot to the picture and shows the path; a
// failure has a reason and leaves slot, path field and the decoder's output untouched.

#include <cstdint>
#include <string>

#include "codec/codec.h"
#include "formats/png_load.h"
#include "compose/slots.h"
#include "fuzz/fuzz_support.h"
#include "imagefiles/load_image.h"

namespace {

// Headers declaring more pixels than this are skipped: the loaders take them (up to
// platform::kMaxPixels) and would spend the run allocating; the malformed-file tests cover them.
constexpr std::uint64_t kFuzzMaxPixels = std::uint64_t{1} << 22;

std::uint32_t Be32(const std::uint8_t* p) {
    return std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 | p[3];
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size >= 24) {
        const std::uint64_t pixels = std::uint64_t(Be32(data + 16)) * Be32(data + 20);
        if (pixels > kFuzzMaxPixels && pixels <= std::uint64_t(platform::kMaxPixels)) return -1;
    }
    static const std::string path = fuzzing::FileIn("x.png");
    fuzzing::WriteFile(path, data, size);

    platform::Picture direct;
    direct.hasAlpha = true;
    (void)direct.pixels.Allocate(1, 1);
    direct.pixels.at(0, 0) = 0x12345678u;
    const platform::Status read = formats::ReadPng(path, direct);
    if (read) {
        fuzzing::Check(!direct.pixels.empty(), "ReadPng succeeded with an empty picture");
    } else {
        fuzzing::Check(!read.reason().empty(), "ReadPng failed without a reason");
        fuzzing::Check(
            direct.hasAlpha && direct.pixels.width() == 1 && direct.pixels.at(0, 0) == 0x12345678u,
            "ReadPng touched its output on failure", read.reason());
    }

    compose::SlotSet slots;
    const int w0 = slots.picLoad[1].Width(), h0 = slots.picLoad[1].Height();
    std::string reason;
    const std::int32_t status = basCommon::LoadImageSlot(slots, path, 1, &reason);
    fuzzing::Check(status == 0 || status == 1, "LoadImageSlot status outside 0..1");
    fuzzing::Check((status == 0) == read.ok(), "LoadImageSlot and ReadPng disagree",
                   read.reason() + " / " + reason);
    if (status == 0) {
        fuzzing::Check(slots.FLD[1] == path, "path field not set after a load");
        fuzzing::Check(slots.picLoad[1].Width() == direct.pixels.width() &&
                           slots.picLoad[1].Height() == direct.pixels.height(),
                       "slot size differs from the picture");
        // Drawn over the background: every pixel opaque.
        const platform::Bitmap& image = slots.picLoad[1].Image();
        for (std::size_t i = 0; i < image.pixelCount(); ++i) {
            if ((image.data()[i] >> 24) != 0xFF) fuzzing::Violated("slot pixel not opaque");
        }
    } else {
        fuzzing::Check(!reason.empty(), "LoadImageSlot failed without a reason");
        fuzzing::Check(slots.FLD[1].empty(), "path field set by a failed load");
        fuzzing::Check(slots.picLoad[1].Width() == w0 && slots.picLoad[1].Height() == h0,
                       "slot resized by a failed load");
    }

    // The drawing call, on a bitmap smaller than most pictures: clipping at the edges.
    platform::Bitmap small;
    (void)small.Allocate(3, 2);
    small.Fill(platform::kWhite);
    std::string drawReason;
    const std::int16_t drawn = codec::DCReadPNG(path, &small, &drawReason);
    fuzzing::Check((drawn == 0) == read.ok(), "DCReadPNG and ReadPng disagree", drawReason);
    return 0;
}
