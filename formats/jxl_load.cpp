// JPEG XL reading over libjxl's decoder: the basic header first (size checks before anything is
// allocated), then the first displayed frame into our bitmap (8-bit files) or a 16-bit buffer
// that is rounded into it. The EXIF box is fetched by a second, box-only pass over the bytes,
// which skips the codestream.

#include "formats/jxl_load.h"

#include <jxl/decode.h>
#include <jxl/encode.h>  // JxlColorEncodingSetToSRGB
#include <jxl/thread_parallel_runner.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "formats/exif.h"
#include "formats/libjxl_quiet.h"
#include "formats/picture_readers.h"
#include "platform/bitmap.h"
#include "platform/memory_budget.h"

namespace formats {
namespace {

using platform::Status;

struct DecoderDestroy {
    void operator()(JxlDecoder* d) const { JxlDecoderDestroy(d); }
};
struct RunnerDestroy {
    void operator()(void* r) const { JxlThreadParallelRunnerDestroy(r); }
};
using Decoder = std::unique_ptr<JxlDecoder, DecoderDestroy>;

Status Corrupt() { return Status::Fail("画像のデータが壊れています (JPEG XL)"); }
Status Truncated() { return Status::Fail("ファイルが途中で切れています (JPEG XL)"); }

std::uint32_t Be32(const std::uint8_t* p) {
    return std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 | p[3];
}

// Exif boxes are capped far above any real block; libexif reads at most 64 KiB of it anyway.
constexpr std::size_t kMaxExifBox = std::size_t{16} << 20;

// The contents of the first "Exif" box (decompressed from "brob"), without its 4-byte offset to
// the TIFF header; empty when there is none or it is damaged.
std::vector<std::uint8_t> ExifBox(std::string_view file) {
    Decoder dec(JxlDecoderCreate(nullptr));
    if (!dec || JxlDecoderSubscribeEvents(dec.get(), JXL_DEC_BOX) != JXL_DEC_SUCCESS ||
        JxlDecoderSetDecompressBoxes(dec.get(), JXL_TRUE) != JXL_DEC_SUCCESS) {
        return {};
    }
    JxlDecoderSetInput(dec.get(), reinterpret_cast<const std::uint8_t*>(file.data()), file.size());
    JxlDecoderCloseInput(dec.get());
    std::vector<std::uint8_t> box;
    bool inExif = false;
    std::size_t filled = 0;
    const auto finish = [&]() {
        const std::size_t left = JxlDecoderReleaseBoxBuffer(dec.get());
        box.resize(box.size() - left);
        filled = box.size();
    };
    while (true) {
        const JxlDecoderStatus st = JxlDecoderProcessInput(dec.get());
        if (st == JXL_DEC_BOX) {
            if (inExif) {
                finish();
                break;
            }
            JxlBoxType type;
            if (JxlDecoderGetBoxType(dec.get(), type, JXL_TRUE) != JXL_DEC_SUCCESS) return {};
            if (std::memcmp(type, "Exif", 4) != 0) continue;
            inExif = true;
            box.resize(4096);
            JxlDecoderSetBoxBuffer(dec.get(), box.data(), box.size());
        } else if (st == JXL_DEC_BOX_NEED_MORE_OUTPUT) {
            finish();
            if (box.size() >= kMaxExifBox) return {};
            box.resize(std::min(box.size() * 2, kMaxExifBox));
            JxlDecoderSetBoxBuffer(dec.get(), box.data() + filled, box.size() - filled);
        } else if (st == JXL_DEC_SUCCESS) {
            if (inExif) finish();
            break;
        } else {
            return {};  // damaged, cut, or no more boxes worth reading
        }
    }
    if (!inExif || box.size() < 4) return {};
    const std::uint64_t at = std::uint64_t{4} + Be32(box.data());
    if (at + 8 > box.size()) return {};
    return std::vector<std::uint8_t>(box.begin() + std::ptrdiff_t(at), box.end());
}

// The profile of the decoded pixels; empty for plain sRGB, which needs no profile, and for grey
// pictures, whose grey profile would not describe the red, green and blue they become here.
std::vector<std::uint8_t> PixelProfile(JxlDecoder* dec, const JxlBasicInfo& info) {
    if (info.num_color_channels == 1) return {};
    JxlColorEncoding encoding{};
    if (JxlDecoderGetColorAsEncodedProfile(dec, nullptr, JXL_COLOR_PROFILE_TARGET_DATA,
                                           &encoding) == JXL_DEC_SUCCESS &&
        encoding.color_space == JXL_COLOR_SPACE_RGB &&
        encoding.white_point == JXL_WHITE_POINT_D65 &&
        encoding.primaries == JXL_PRIMARIES_SRGB &&
        encoding.transfer_function == JXL_TRANSFER_FUNCTION_SRGB) {
        return {};
    }
    std::size_t size = 0;
    if (JxlDecoderGetICCProfileSize(dec, nullptr, JXL_COLOR_PROFILE_TARGET_DATA, &size) !=
            JXL_DEC_SUCCESS ||
        size == 0) {
        return {};
    }
    std::vector<std::uint8_t> icc(size);
    if (JxlDecoderGetColorAsICCProfile(dec, nullptr, JXL_COLOR_PROFILE_TARGET_DATA, icc.data(),
                                       icc.size()) != JXL_DEC_SUCCESS) {
        return {};
    }
    return icc;
}

}  // namespace

bool IsJxl(std::string_view file) {
    const JxlSignature sig = JxlSignatureCheck(reinterpret_cast<const std::uint8_t*>(file.data()),
                                               file.size());
    return sig == JXL_SIG_CODESTREAM || sig == JXL_SIG_CONTAINER;
}

Status ReadJxl(std::string_view file, platform::Picture& out) {
    KeepLibjxlQuiet();
    Decoder dec(JxlDecoderCreate(nullptr));
    if (!dec) return Status::Fail("メモリが足りません");
    std::unique_ptr<void, RunnerDestroy> runner(
        JxlThreadParallelRunnerCreate(nullptr, JxlThreadParallelRunnerDefaultNumWorkerThreads()));
    if (!runner) return Status::Fail("メモリが足りません");
    if (JxlDecoderSetParallelRunner(dec.get(), JxlThreadParallelRunner, runner.get()) !=
            JXL_DEC_SUCCESS ||
        JxlDecoderSubscribeEvents(dec.get(), JXL_DEC_BASIC_INFO | JXL_DEC_COLOR_ENCODING |
                                                 JXL_DEC_FULL_IMAGE) != JXL_DEC_SUCCESS ||
        JxlDecoderSetUnpremultiplyAlpha(dec.get(), JXL_TRUE) != JXL_DEC_SUCCESS) {
        return Status::Fail("JPEG XL の読み込み処理を準備できません");
    }
    JxlDecoderSetInput(dec.get(), reinterpret_cast<const std::uint8_t*>(file.data()), file.size());
    JxlDecoderCloseInput(dec.get());

    platform::Picture picture;
    JxlBasicInfo info{};
    JxlPixelFormat format{4, JXL_TYPE_UINT8, JXL_NATIVE_ENDIAN, 0};
    std::vector<std::uint16_t> wide;  // 16-bit output, for files deeper than 8 bits
    std::vector<std::uint8_t> icc;
    bool haveInfo = false, done = false;
    while (!done) {
        switch (JxlDecoderProcessInput(dec.get())) {
            case JXL_DEC_BASIC_INFO: {
                if (JxlDecoderGetBasicInfo(dec.get(), &info) != JXL_DEC_SUCCESS) return Corrupt();
                // libjxl 0.7 leaves a CMYK picture's black in an extra channel and hands back the
                // other three as if they were RGB: refused rather than shown in wrong colours.
                for (std::uint32_t i = 0; i < info.num_extra_channels; ++i) {
                    JxlExtraChannelInfo extra{};
                    if (JxlDecoderGetExtraChannelInfo(dec.get(), i, &extra) == JXL_DEC_SUCCESS &&
                        extra.type == JXL_CHANNEL_BLACK) {
                        return Status::Fail("CMYK の JPEG XL は読めません");
                    }
                }
                // libjxl hands back the picture turned upright: orientations 5..8 swap the sides.
                std::uint64_t w = info.xsize, h = info.ysize;
                if (info.orientation > JXL_ORIENT_ROTATE_180) std::swap(w, h);
                const bool deep = info.bits_per_sample > 8 || info.exponent_bits_per_sample > 0;
                // The decoder's own frame store: about four 32-bit float planes (three colours
                // and alpha) beside our picture and, for deep files, the 16-bit output.
                const std::uint64_t pixels = w * h;
                if (Status s = CheckDecodeSize(std::int64_t(w), std::int64_t(h),
                                               pixels * (16 + (deep ? 8 : 0)));
                    !s) {
                    return s;
                }
                if (Status s = picture.pixels.Allocate(int(w), int(h)); !s) return s;
                if (deep) {
                    format.data_type = JXL_TYPE_UINT16;
                    try {
                        wide.resize(pixels * 4);
                    } catch (const std::bad_alloc&) {
                        return Status::Fail("メモリが足りません");
                    }
                }
                haveInfo = true;
                break;
            }
            case JXL_DEC_COLOR_ENCODING:
                if (!info.uses_original_profile) {
                    // Lossy files are coded in XYB; libjxl turns them into any space it can
                    // describe, but not back into an arbitrary profile's (it would give linear
                    // sRGB). Ask for sRGB: the pixels then need no profile.
                    JxlColorEncoding srgb{};
                    JxlColorEncodingSetToSRGB(&srgb, info.num_color_channels == 1);
                    JxlDecoderSetPreferredColorProfile(dec.get(), &srgb);
                }
                icc = PixelProfile(dec.get(), info);
                break;
            case JXL_DEC_NEED_IMAGE_OUT_BUFFER: {
                if (!haveInfo) return Corrupt();
                std::size_t need = 0;
                if (JxlDecoderImageOutBufferSize(dec.get(), &format, &need) != JXL_DEC_SUCCESS) {
                    return Corrupt();
                }
                void* buffer = wide.empty() ? static_cast<void*>(picture.pixels.data())
                                            : static_cast<void*>(wide.data());
                const std::size_t have = wide.empty() ? picture.pixels.pixelCount() * 4
                                                      : wide.size() * 2;
                if (need != have ||
                    JxlDecoderSetImageOutBuffer(dec.get(), &format, buffer, have) !=
                        JXL_DEC_SUCCESS) {
                    return Corrupt();
                }
                break;
            }
            case JXL_DEC_FULL_IMAGE:
                done = true;  // the first displayed frame is the picture
                break;
            case JXL_DEC_NEED_MORE_INPUT:
                return Truncated();
            case JXL_DEC_SUCCESS:  // the stream ended without a frame
            case JXL_DEC_ERROR:
            default:
                return Corrupt();
        }
    }
    dec.reset();
    runner.reset();

    auto* px = reinterpret_cast<std::uint8_t*>(picture.pixels.data());
    const std::size_t count = picture.pixels.pixelCount();
    if (!wide.empty()) {
        for (std::size_t i = 0; i < count * 4; ++i) {
            px[i] = std::uint8_t((std::uint32_t(wide[i]) * 255 + 32767) / 65535);
        }
        std::vector<std::uint16_t>().swap(wide);
    }
    // RGBA bytes to BGRA; an opaque picture gets 255 whatever libjxl wrote there.
    const bool alpha = info.alpha_bits > 0;
    for (std::size_t i = 0; i < count; ++i, px += 4) {
        std::swap(px[0], px[2]);
        if (!alpha) px[3] = 0xFF;
    }
    picture.hasAlpha = alpha && AnyTransparent(picture.pixels);

    platform::Orientation ignored;  // libjxl has applied the codestream's orientation
    const bool container = JxlSignatureCheck(reinterpret_cast<const std::uint8_t*>(file.data()),
                                             file.size()) == JXL_SIG_CONTAINER;
    picture.meta = AcceptMeta(std::move(icc), container ? ExifBox(file) : std::vector<std::uint8_t>{},
                              &ignored);

    out.pixels.swap(picture.pixels);
    out.hasAlpha = picture.hasAlpha;
    out.meta = std::move(picture.meta);
    return Status::Ok();
}

}  // namespace formats
