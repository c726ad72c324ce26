// HEIF writing over libheif: the rows into an interleaved 8-bit RGB image, libheif's AV1 (libaom)
// or HEVC (x265) encoder, the file written through our output file.

#include "formats/heif_save.h"

#include <libheif/heif.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "formats/exif.h"
#include "formats/output_file.h"

namespace formats {
namespace {

using platform::Status;

struct ContextFree {
    void operator()(heif_context* c) const { heif_context_free(c); }
};
struct EncoderRelease {
    void operator()(heif_encoder* e) const { heif_encoder_release(e); }
};
struct ImageRelease {
    void operator()(heif_image* i) const { heif_image_release(i); }
};
struct HandleRelease {
    void operator()(heif_image_handle* h) const { heif_image_handle_release(h); }
};
struct OptionsFree {
    void operator()(heif_encoding_options* o) const { heif_encoding_options_free(o); }
};

heif_compression_format Format(HeifCodec codec) {
    return codec == HeifCodec::Avif ? heif_compression_AV1 : heif_compression_HEVC;
}
const char* Label(HeifCodec codec) { return codec == HeifCodec::Avif ? "AVIF" : "HEIC"; }

Status Failed(HeifCodec codec, const heif_error& e) {
    if (e.code == heif_error_Memory_allocation_error) return Status::Fail("メモリが足りません");
    return Status::Fail(std::string(Label(codec)) + " に圧縮できません (" + e.message + ")");
}

// Threads fixed, so that the bytes do not follow the machine's core count. libaom's output
// depends on its thread count (a 1600 x 1200 picture: 115,841 bytes on one thread, 116,096 on
// libheif's default of two here), so it runs on one; on this machine that cost nothing measurable
// (4.1 s against 4.3 s). x265's wavefront rows give the same bytes for pools of 1, 2, 4 and 8
// threads (a pool of "none" turns the wavefronts off and gives other bytes); its pool is fixed
// at two threads and one frame thread all the same.
heif_error FixThreads(HeifCodec codec, heif_encoder* encoder) {
    if (codec == HeifCodec::Avif) return heif_encoder_set_parameter_integer(encoder, "threads", 1);
    heif_error e = heif_encoder_set_parameter_string(encoder, "x265:pools", "2");
    if (e.code == heif_error_Ok) {
        e = heif_encoder_set_parameter_string(encoder, "x265:frame-threads", "1");
    }
    return e;
}

}  // namespace

bool CanSaveHeif(HeifCodec codec) { return heif_have_encoder_for_format(Format(codec)) != 0; }

Status SaveHeif(const platform::Bitmap& bitmap, int w, int h, const std::string& path,
                HeifCodec codec, int quality, const platform::ImageMeta* meta) {
    if (!CanSaveHeif(codec)) {
        return Status::Fail(std::string("この環境には ") + Label(codec) +
                            " の圧縮処理がありません");
    }
    std::unique_ptr<heif_context, ContextFree> ctx(heif_context_alloc());
    if (!ctx) return Status::Fail("メモリが足りません");

    heif_image* raw = nullptr;
    if (heif_error e = heif_image_create(w, h, heif_colorspace_RGB, heif_chroma_interleaved_RGB,
                                         &raw);
        e.code != heif_error_Ok) {
        return Failed(codec, e);
    }
    std::unique_ptr<heif_image, ImageRelease> image(raw);
    if (heif_error e = heif_image_add_plane(image.get(), heif_channel_interleaved, w, h, 8);
        e.code != heif_error_Ok) {
        return Failed(codec, e);
    }
    int stride = 0;
    std::uint8_t* plane = heif_image_get_plane(image.get(), heif_channel_interleaved, &stride);
    if (!plane) return Status::Fail("メモリが足りません");
    for (int y = 0; y < h; ++y) {
        const std::uint32_t* s = bitmap.row(y);
        std::uint8_t* d = plane + std::size_t(y) * std::size_t(stride);
        for (int x = 0; x < w; ++x, d += 3) {
            d[0] = std::uint8_t(s[x] >> 16), d[1] = std::uint8_t(s[x] >> 8), d[2] = std::uint8_t(s[x]);
        }
    }
    if (meta && !meta->icc.empty()) {
        if (heif_error e = heif_image_set_raw_color_profile(image.get(), "prof", meta->icc.data(),
                                                            meta->icc.size());
            e.code != heif_error_Ok) {
            return Failed(codec, e);
        }
    }

    heif_encoder* rawEncoder = nullptr;
    if (heif_error e = heif_context_get_encoder_for_format(ctx.get(), Format(codec), &rawEncoder);
        e.code != heif_error_Ok) {
        return Failed(codec, e);
    }
    std::unique_ptr<heif_encoder, EncoderRelease> encoder(rawEncoder);
    heif_encoder_set_logging_level(encoder.get(), 0);
    if (heif_error e = heif_encoder_set_lossy_quality(encoder.get(), std::clamp(quality, 1, 100));
        e.code != heif_error_Ok) {
        return Failed(codec, e);
    }
    if (heif_error e = FixThreads(codec, encoder.get()); e.code != heif_error_Ok) {
        return Failed(codec, e);
    }

    std::unique_ptr<heif_encoding_options, OptionsFree> options(heif_encoding_options_alloc());
    if (!options) return Status::Fail("メモリが足りません");
    options->save_alpha_channel = 0;
    heif_image_handle* rawHandle = nullptr;
    if (heif_error e = heif_context_encode_image(ctx.get(), image.get(), encoder.get(),
                                                 options.get(), &rawHandle);
        e.code != heif_error_Ok) {
        return Failed(codec, e);
    }
    std::unique_ptr<heif_image_handle, HandleRelease> handle(rawHandle);
    image.reset();
    if (meta && !meta->exif.empty()) {
        // Orientation 1: the pixels are upright, and the file has no irot to turn them.
        const std::vector<std::uint8_t> exif = ExifForOutput(meta->exif, w, h);
        if (!exif.empty()) {
            if (heif_error e = heif_context_add_exif_metadata(ctx.get(), handle.get(), exif.data(),
                                                              int(exif.size()));
                e.code != heif_error_Ok) {
                return Failed(codec, e);
            }
        }
    }

    OutputFile out;
    if (Status s = out.Open(path); !s) return s;
    heif_writer writer{};
    writer.writer_api_version = 1;
    writer.write = [](heif_context*, const void* data, std::size_t size, void* user) {
        auto* file = static_cast<OutputFile*>(user);
        if (file->Write(data, size)) return heif_error{heif_error_Ok, heif_suberror_Unspecified, ""};
        return heif_error{heif_error_Encoding_error, heif_suberror_Cannot_write_output_data,
                          "write failed"};
    };
    const heif_error written = heif_context_write(ctx.get(), &writer, &out);
    if (out.failed()) return out.Close();
    if (written.code != heif_error_Ok) return Failed(codec, written);
    return out.Close();
}

Status SaveAvif(const platform::Bitmap& bitmap, int w, int h, const std::string& path,
                const SaveOptions& options, const platform::ImageMeta* meta) {
    return SaveHeif(bitmap, w, h, path, HeifCodec::Avif, options.quality, meta);
}

Status SaveHeic(const platform::Bitmap& bitmap, int w, int h, const std::string& path,
                const SaveOptions& options, const platform::ImageMeta* meta) {
    return SaveHeif(bitmap, w, h, path, HeifCodec::Heic, options.quality, meta);
}

}  // namespace formats
