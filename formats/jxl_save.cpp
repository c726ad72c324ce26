// JPEG XL writing over libjxl's encoder: the rows as 8-bit RGB, the container used only when an
// EXIF box goes with them, the output drained in pieces into our output file.

#include "formats/jxl_save.h"

#include <jxl/encode.h>
#include <jxl/thread_parallel_runner.h>

#include <algorithm>
#include <initializer_list>
#include <cmath>
#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "formats/exif.h"
#include "formats/libjxl_quiet.h"
#include "formats/output_file.h"

namespace formats {
namespace {

using platform::Status;

struct EncoderDestroy {
    void operator()(JxlEncoder* e) const { JxlEncoderDestroy(e); }
};
struct RunnerDestroy {
    void operator()(void* r) const { JxlThreadParallelRunnerDestroy(r); }
};

Status Failed() { return Status::Fail("JPEG XL に圧縮できません"); }

}  // namespace

float JxlDistanceFor(int quality) {
    const double q = std::clamp(quality, 1, 100);
    if (q >= 30) return float(0.1 + (100 - q) * 0.09);
    return float(53.0 / 3000.0 * q * q - 23.0 / 20.0 * q + 25.0);
}

Status SaveJxl(const platform::Bitmap& bitmap, int w, int h, const std::string& path,
               const SaveOptions& options, const platform::ImageMeta* meta) {
    KeepLibjxlQuiet();
    const bool lossless = options.lossless;
    std::vector<std::uint8_t> rgb;
    try {
        rgb.resize(std::size_t(w) * std::size_t(h) * 3);
    } catch (const std::bad_alloc&) {
        return Status::Fail("メモリが足りません");
    }
    for (int y = 0; y < h; ++y) {
        const std::uint32_t* s = bitmap.row(y);
        std::uint8_t* d = rgb.data() + std::size_t(y) * std::size_t(w) * 3;
        for (int x = 0; x < w; ++x, d += 3) {
            d[0] = std::uint8_t(s[x] >> 16), d[1] = std::uint8_t(s[x] >> 8), d[2] = std::uint8_t(s[x]);
        }
    }

    std::unique_ptr<JxlEncoder, EncoderDestroy> enc;
    std::unique_ptr<void, RunnerDestroy> runner(
        JxlThreadParallelRunnerCreate(nullptr, kJxlSaveThreads));
    if (!runner) return Status::Fail("メモリが足りません");
    const std::vector<std::uint8_t> exif =
        meta && !meta->exif.empty() ? ExifForOutput(meta->exif, w, h) : std::vector<std::uint8_t>{};
    // libjxl parses the profile and refuses one that does not describe RGB (a grey JPEG's
    // profile on its RGB pixels): the file is then written without it, as sRGB, rather than not
    // at all.
    const std::vector<std::uint8_t>* icc = meta && !meta->icc.empty() ? &meta->icc : nullptr;
    for (bool withIcc : {icc != nullptr, false}) {
        enc.reset(JxlEncoderCreate(nullptr));
        if (!enc) return Status::Fail("メモリが足りません");
        if (JxlEncoderSetParallelRunner(enc.get(), JxlThreadParallelRunner, runner.get()) !=
            JXL_ENC_SUCCESS) {
            return Failed();
        }
        if (!exif.empty() && JxlEncoderUseBoxes(enc.get()) != JXL_ENC_SUCCESS) return Failed();
        JxlBasicInfo info;
        JxlEncoderInitBasicInfo(&info);
        info.xsize = std::uint32_t(w);
        info.ysize = std::uint32_t(h);
        info.bits_per_sample = 8;
        info.num_color_channels = 3;
        info.alpha_bits = 0;
        // Lossless needs the pixels kept in their own colour space rather than libjxl's XYB, and
        // so does a picture with a profile: libjxl's decoder cannot turn XYB back into the space
        // of an arbitrary profile (it would hand readers linear sRGB instead).
        info.uses_original_profile = lossless || withIcc ? JXL_TRUE : JXL_FALSE;
        if (JxlEncoderSetBasicInfo(enc.get(), &info) != JXL_ENC_SUCCESS) return Failed();
        if (withIcc) {
            if (JxlEncoderSetICCProfile(enc.get(), icc->data(), icc->size()) != JXL_ENC_SUCCESS) {
                continue;
            }
        } else {
            JxlColorEncoding srgb;
            JxlColorEncodingSetToSRGB(&srgb, JXL_FALSE);
            if (JxlEncoderSetColorEncoding(enc.get(), &srgb) != JXL_ENC_SUCCESS) return Failed();
        }
        break;
    }

    if (!exif.empty()) {
        // The box holds a 4-byte offset to the TIFF header first: 0, as the block starts with it.
        std::vector<std::uint8_t> box(4, 0);
        box.insert(box.end(), exif.begin(), exif.end());
        if (JxlEncoderAddBox(enc.get(), "Exif", box.data(), box.size(), JXL_FALSE) !=
            JXL_ENC_SUCCESS) {
            return Failed();
        }
        JxlEncoderCloseBoxes(enc.get());
    }

    JxlEncoderFrameSettings* settings = JxlEncoderFrameSettingsCreate(enc.get(), nullptr);
    if (!settings) return Failed();
    if (lossless) {
        if (JxlEncoderSetFrameLossless(settings, JXL_TRUE) != JXL_ENC_SUCCESS) return Failed();
    } else if (JxlEncoderSetFrameDistance(settings, JxlDistanceFor(options.quality)) != JXL_ENC_SUCCESS) {
        return Failed();
    }
    const JxlPixelFormat format{3, JXL_TYPE_UINT8, JXL_NATIVE_ENDIAN, 0};
    if (JxlEncoderAddImageFrame(settings, &format, rgb.data(), rgb.size()) != JXL_ENC_SUCCESS) {
        return Failed();
    }
    JxlEncoderCloseInput(enc.get());

    OutputFile out;
    if (Status s = out.Open(path); !s) return s;
    std::vector<std::uint8_t> chunk(std::size_t{1} << 20);
    while (true) {
        std::uint8_t* next = chunk.data();
        std::size_t avail = chunk.size();
        const JxlEncoderStatus st = JxlEncoderProcessOutput(enc.get(), &next, &avail);
        if (st == JXL_ENC_ERROR) return Failed();
        if (!out.Write(chunk.data(), chunk.size() - avail)) return out.Close();
        if (st == JXL_ENC_SUCCESS) break;
    }
    return out.Close();
}

}  // namespace formats
