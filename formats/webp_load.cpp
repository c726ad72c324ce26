// WebP reading: libwebpdemux parses the container (it refuses a file cut short), libwebp decodes
// straight into the picture's blue-green-red-alpha rows; an animation's first frame comes from
// libwebpdemux's animation decoder, which draws it on the canvas.

#include "formats/webp_load.h"

#include <webp/decode.h>
#include <webp/demux.h>

#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "formats/picture_readers.h"

namespace formats {
namespace {

using platform::Picture;
using platform::Status;

Status Corrupt() { return Status::Fail("画像のデータが壊れています (WebP)"); }

struct DemuxFree {
    void operator()(WebPDemuxer* d) const { WebPDemuxDelete(d); }
};
struct AnimFree {
    void operator()(WebPAnimDecoder* d) const { WebPAnimDecoderDelete(d); }
};

std::vector<std::uint8_t> Chunk(WebPDemuxer* demux, const char* fourcc) {
    WebPChunkIterator it;
    std::vector<std::uint8_t> bytes;
    if (WebPDemuxGetChunk(demux, fourcc, 1, &it)) {
        bytes.assign(it.chunk.bytes, it.chunk.bytes + it.chunk.size);
        WebPDemuxReleaseChunkIterator(&it);
    }
    return bytes;
}

// Some writers keep JPEG's "Exif\0\0" in front of the TIFF stream.
std::vector<std::uint8_t> ExifStream(std::vector<std::uint8_t> chunk) {
    static constexpr unsigned char kPrefix[6] = {'E', 'x', 'i', 'f', 0, 0};
    if (chunk.size() >= 6 && std::memcmp(chunk.data(), kPrefix, 6) == 0) {
        chunk.erase(chunk.begin(), chunk.begin() + 6);
    }
    return chunk;
}

Status DecodeStill(const WebPData& data, Picture& picture) {
    WebPDecoderConfig config;
    if (!WebPInitDecoderConfig(&config)) return Corrupt();
    if (WebPGetFeatures(data.bytes, data.size, &config.input) != VP8_STATUS_OK) return Corrupt();
    const int w = config.input.width, h = config.input.height;
    if (Status s = CheckDecodeSize(w, h, 0); !s) return s;
    if (Status s = picture.pixels.Allocate(w, h); !s) return s;
    // Straight (not premultiplied) alpha in the fourth byte, 255 for a file without alpha.
    config.output.colorspace = MODE_BGRA;
    config.output.is_external_memory = 1;
    config.output.u.RGBA.rgba = reinterpret_cast<std::uint8_t*>(picture.pixels.data());
    config.output.u.RGBA.stride = w * 4;
    config.output.u.RGBA.size = picture.pixels.pixelCount() * 4;
    config.options.use_threads = 0;
    const VP8StatusCode status = WebPDecode(data.bytes, data.size, &config);
    WebPFreeDecBuffer(&config.output);
    if (status == VP8_STATUS_NOT_ENOUGH_DATA) return Status::Fail("ファイルが途中で切れています");
    if (status == VP8_STATUS_OUT_OF_MEMORY) return Status::Fail("メモリが足りません");
    if (status != VP8_STATUS_OK) return Corrupt();
    if (!config.input.has_alpha) {
        // A file without alpha is opaque, whatever a damaged lossless stream decodes to.
        for (std::size_t i = 0; i < picture.pixels.pixelCount(); ++i)
            picture.pixels.data()[i] |= 0xFF000000u;
    }
    picture.hasAlpha = config.input.has_alpha && AnyTransparent(picture.pixels);
    return Status::Ok();
}

// The animation decoder holds the canvas and the previous frame's canvas beside the picture.
Status DecodeFirstFrame(const WebPData& data, int w, int h, Picture& picture) {
    if (Status s = CheckDecodeSize(w, h, 2 * std::uint64_t(w) * std::uint64_t(h) * 4); !s) return s;
    WebPAnimDecoderOptions options;
    if (!WebPAnimDecoderOptionsInit(&options)) return Corrupt();
    options.color_mode = MODE_BGRA;
    options.use_threads = 0;
    std::unique_ptr<WebPAnimDecoder, AnimFree> dec(WebPAnimDecoderNew(&data, &options));
    if (!dec) return Corrupt();
    std::uint8_t* canvas = nullptr;
    int timestamp = 0;
    if (!WebPAnimDecoderGetNext(dec.get(), &canvas, &timestamp) || !canvas) return Corrupt();
    if (Status s = picture.pixels.Allocate(w, h); !s) return s;
    std::memcpy(picture.pixels.data(), canvas, picture.pixels.pixelCount() * 4);
    picture.hasAlpha = AnyTransparent(picture.pixels);
    return Status::Ok();
}

}  // namespace

bool IsWebp(std::string_view file) {
    return file.size() >= 12 && file.substr(0, 4) == "RIFF" && file.substr(8, 4) == "WEBP";
}

Status ReadWebp(std::string_view file, Picture& out) {
    const WebPData data{reinterpret_cast<const std::uint8_t*>(file.data()), file.size()};
    // Only a whole file parses here: one cut short, or whose chunk sizes overrun it, does not.
    WebPDemuxState state = WEBP_DEMUX_PARSE_ERROR;
    std::unique_ptr<WebPDemuxer, DemuxFree> demux(WebPDemuxPartial(&data, &state));
    if (!demux || state != WEBP_DEMUX_DONE) {
        return state == WEBP_DEMUX_PARSING_HEADER || state == WEBP_DEMUX_PARSED_HEADER
                   ? Status::Fail("ファイルが途中で切れています")
                   : Corrupt();
    }
    const std::uint32_t flags = WebPDemuxGetI(demux.get(), WEBP_FF_FORMAT_FLAGS);
    const int w = int(WebPDemuxGetI(demux.get(), WEBP_FF_CANVAS_WIDTH));
    const int h = int(WebPDemuxGetI(demux.get(), WEBP_FF_CANVAS_HEIGHT));
    Picture picture;
    const Status decoded = (flags & ANIMATION_FLAG) ? DecodeFirstFrame(data, w, h, picture)
                                                   : DecodeStill(data, picture);
    if (!decoded) return decoded;
    std::vector<std::uint8_t> icc, exif;
    if (flags & ICCP_FLAG) icc = Chunk(demux.get(), "ICCP");
    if (flags & EXIF_FLAG) exif = ExifStream(Chunk(demux.get(), "EXIF"));
    if (Status s = FinishPicture(picture, std::move(icc), std::move(exif)); !s) return s;
    out = std::move(picture);
    return Status::Ok();
}

}  // namespace formats
