// WebP writing: libwebp encodes on one thread (its output does not depend on threads, but one
// thread keeps that from being a question), libwebpmux adds the metadata chunks, and the file's
// bytes go out through OutputFile.

#include "formats/webp_save.h"

#include <webp/encode.h>
#include <webp/mux.h>

#include <algorithm>
#include <memory>

#include "formats/embed_meta.h"
#include "formats/output_file.h"

namespace formats {
namespace {

using platform::Status;

struct MuxFree {
    void operator()(WebPMux* m) const { WebPMuxDelete(m); }
};

const char* EncodeError(WebPEncodingError e) {
    switch (e) {
        case VP8_ENC_ERROR_OUT_OF_MEMORY:
        case VP8_ENC_ERROR_BITSTREAM_OUT_OF_MEMORY:
            return "メモリが足りません";
        case VP8_ENC_ERROR_BAD_DIMENSION:
            return "WebP にできない大きさです";
        default:
            return "WebP に圧縮できません";
    }
}

}  // namespace

Status SaveWebp(const platform::Bitmap& bitmap, int w, int h, const std::string& path,
                const SaveOptions& options, const platform::ImageMeta* meta) {
    if (w <= 0 || h <= 0 || w > WEBP_MAX_DIMENSION || h > WEBP_MAX_DIMENSION) {
        return Status::Fail("画像が大きすぎて WebP ファイルにできません (" + std::to_string(w) +
                            " × " + std::to_string(h) + " 画素; WebP の上限は 16383 × 16383)");
    }
    WebPConfig config;
    if (!WebPConfigInit(&config)) return Status::Fail("WebP に圧縮できません");
    if (options.lossless) {
        // Level 6 of 0..9: cwebp's usual lossless effort.
        WebPConfigLosslessPreset(&config, 6);
    } else {
        config.quality = float(std::clamp(options.quality, 0, 100));
    }
    config.thread_level = 0;
    if (!WebPValidateConfig(&config)) return Status::Fail("WebP に圧縮できません");

    WebPPicture picture;
    if (!WebPPictureInit(&picture)) return Status::Fail("WebP に圧縮できません");
    picture.use_argb = 1;
    picture.width = w;
    picture.height = h;
    WebPMemoryWriter writer;
    WebPMemoryWriterInit(&writer);
    picture.writer = WebPMemoryWrite;
    picture.custom_ptr = &writer;
    // Blue, green, red and a fourth byte that is ignored: the result is opaque.
    const bool imported = WebPPictureImportBGRX(
        &picture, reinterpret_cast<const std::uint8_t*>(bitmap.data()), bitmap.width() * 4);
    const bool encoded = imported && WebPEncode(&config, &picture);
    const WebPEncodingError error = imported ? picture.error_code : VP8_ENC_ERROR_OUT_OF_MEMORY;
    WebPPictureFree(&picture);
    std::unique_ptr<std::uint8_t, void (*)(void*)> image(writer.mem, WebPFree);
    if (!encoded) return Status::Fail(EncodeError(error));

    WebPData assembled{writer.mem, writer.size};
    std::unique_ptr<WebPMux, MuxFree> mux;
    WebPData muxed{nullptr, 0};
    const Embedded embedded = PrepareEmbedded(meta, Container::Webp, w, h);
    if (!embedded.exif.empty() || embedded.icc) {
        mux.reset(WebPMuxCreate(&assembled, 0));
        bool ok = mux != nullptr;
        if (ok && embedded.icc) {
            const WebPData icc{embedded.icc->data(), embedded.icc->size()};
            ok = WebPMuxSetChunk(mux.get(), "ICCP", &icc, 0) == WEBP_MUX_OK;
        }
        if (ok && !embedded.exif.empty()) {
            const WebPData exif{embedded.exif.data(), embedded.exif.size()};
            ok = WebPMuxSetChunk(mux.get(), "EXIF", &exif, 0) == WEBP_MUX_OK;
        }
        ok = ok && WebPMuxAssemble(mux.get(), &muxed) == WEBP_MUX_OK;
        if (!ok) {
            WebPDataClear(&muxed);
            return Status::Fail("WebP に色の情報と EXIF を入れられません");
        }
        assembled = muxed;
    }
    OutputFile out;
    if (Status s = out.Open(path); !s) {
        WebPDataClear(&muxed);
        return s;
    }
    out.Write(assembled.bytes, assembled.size);
    WebPDataClear(&muxed);
    return out.Close();
}

}  // namespace formats
