// The picture loader (BMP, GIF, ICO through Qt's reader after our own structure checks; JPEG
// through our reader, CMYK JPEG through Qt's).
// The first byte picks the file's name; the format is decided by the content whatever the name.
// Invariants: a success gives a picture of 1..kMaxPixels pixels, opaque unless it says it has
// alpha, that an auto-sizing surface takes; a failure has a reason and leaves the output alone.

#include <QImageReader>
#include <cstdint>
#include <memory>
#include <string>

#include "fuzz/fuzz_support.h"
#include "platform/load_picture.h"
#include "platform/surface.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return -1;
    static const std::string names[4] = {fuzzing::FileIn("x.bmp"), fuzzing::FileIn("x.gif"),
                                         fuzzing::FileIn("x.ico"), fuzzing::FileIn("x.jpg")};
    const std::string& path = names[data[0] % 4];
    fuzzing::WriteFile(path, data + 1, size - 1);

    std::shared_ptr<const platform::Picture> picture;
    const platform::Status s = platform::LoadPicture(path, picture);
    // The loader raises Qt's allocation limit once, on its first call, to the program's pixel
    // limit. Lowered again here: a header declaring hundreds of MiB is refused, not allocated,
    // so the run stays fast (the malformed-file tests cover those at the real limit).
    static const bool lowered = [] {
        QImageReader::setAllocationLimit(64);
        return true;
    }();
    (void)lowered;

    if (!s) {
        fuzzing::Check(!s.reason().empty(), "LoadPicture failed without a reason");
        fuzzing::Check(picture == nullptr, "LoadPicture set its output on failure");
        return 0;
    }
    fuzzing::Check(picture != nullptr, "LoadPicture succeeded without a picture");
    const platform::Bitmap& px = picture->pixels;
    fuzzing::Check(px.width() > 0 && px.height() > 0, "empty picture");
    fuzzing::Check(std::int64_t(px.pixelCount()) <= platform::kMaxPixels, "picture over the limit");
    if (!picture->hasAlpha) {
        for (std::size_t i = 0; i < px.pixelCount(); ++i) {
            if ((px.data()[i] >> 24) != 0xFF)
                fuzzing::Violated("opaque picture with alpha below 255");
        }
    }
    platform::Surface slot(10, 10, true);
    fuzzing::Check(slot.SetPicture(picture).ok(), "surface refused a loaded picture");
    fuzzing::Check(slot.Width() == px.width() && slot.Height() == px.height(),
                   "auto-sizing surface did not take the picture's size");
    return 0;
}
