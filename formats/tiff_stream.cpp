// libtiff's client procedures over memory. Reading maps the bytes (libtiff then reads
// uncompressed strips in place); writing grows a vector, seeking past its end included.

#include "formats/tiff_stream.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>

namespace formats {

struct TiffStream {
    bool failed = false;
    const std::uint8_t* in = nullptr;  // reading
    std::vector<std::uint8_t>* out = nullptr;  // writing
    std::uint64_t size = 0;
    std::uint64_t pos = 0;
};

namespace {

int Quiet(TIFF*, void*, const char*, const char*, va_list) { return 1; }

tmsize_t Read(thandle_t h, void* buf, tmsize_t n) {
    auto* s = static_cast<TiffStream*>(h);
    if (!s->in || n < 0 || s->pos >= s->size) return 0;
    const std::uint64_t take = std::min<std::uint64_t>(std::uint64_t(n), s->size - s->pos);
    std::memcpy(buf, s->in + s->pos, take);
    s->pos += take;
    return tmsize_t(take);
}

tmsize_t Write(thandle_t h, void* buf, tmsize_t n) {
    auto* s = static_cast<TiffStream*>(h);
    if (!s->out || n < 0) {
        s->failed = true;
        return -1;
    }
    try {
        const std::uint64_t end = s->pos + std::uint64_t(n);
        if (end > s->out->size()) s->out->resize(end);
        std::memcpy(s->out->data() + s->pos, buf, std::size_t(n));
        s->pos = end;
        s->size = std::max(s->size, end);
    } catch (const std::bad_alloc&) {
        s->failed = true;
        return -1;
    }
    return n;
}

toff_t Seek(thandle_t h, toff_t off, int whence) {
    auto* s = static_cast<TiffStream*>(h);
    std::uint64_t base = 0;
    if (whence == SEEK_CUR) base = s->pos;
    if (whence == SEEK_END) base = s->size;
    if (off > std::numeric_limits<std::uint64_t>::max() - base) return toff_t(-1);
    s->pos = base + off;
    return s->pos;
}

int Close(thandle_t) { return 0; }

toff_t Size(thandle_t h) { return static_cast<TiffStream*>(h)->size; }

int Map(thandle_t h, void** base, toff_t* size) {
    auto* s = static_cast<TiffStream*>(h);
    if (!s->in) return 0;
    *base = const_cast<std::uint8_t*>(s->in);
    *size = s->size;
    return 1;
}

void Unmap(thandle_t, void*, toff_t) {}

TIFF* Open(TiffStream* stream, const char* mode, std::uint64_t maxAlloc) {
    // Messages without a TIFF (before one is opened) go to the global handlers.
    static const bool quiet = [] {
        TIFFSetErrorHandler(nullptr);
        TIFFSetWarningHandler(nullptr);
        return true;
    }();
    (void)quiet;
    TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
    if (!options) return nullptr;
    TIFFOpenOptionsSetErrorHandlerExtR(options, Quiet, nullptr);
    TIFFOpenOptionsSetWarningHandlerExtR(options, Quiet, nullptr);
    if (maxAlloc) {
        TIFFOpenOptionsSetMaxSingleMemAlloc(
            options, tmsize_t(std::min<std::uint64_t>(
                         maxAlloc, std::uint64_t(std::numeric_limits<tmsize_t>::max()))));
    }
    TIFF* tif = TIFFClientOpenExt("", mode, stream, Read, Write, Seek, Close, Size, Map, Unmap,
                                  options);
    TIFFOpenOptionsFree(options);
    return tif;
}

}  // namespace

TiffFile::TiffFile(std::string_view file, std::uint64_t maxAlloc) : stream_(new TiffStream) {
    stream_->in = reinterpret_cast<const std::uint8_t*>(file.data());
    stream_->size = file.size();
    tif_ = Open(stream_, "r", maxAlloc);
}

TiffFile::TiffFile(std::vector<std::uint8_t>* out) : stream_(new TiffStream) {
    stream_->out = out;
    out->clear();
    tif_ = Open(stream_, "w", 0);
}

TiffFile::~TiffFile() {
    if (tif_) TIFFClose(tif_);
    delete stream_;
}

bool TiffFile::Finish() {
    if (!tif_) return false;
    const bool flushed = stream_->out ? TIFFFlush(tif_) == 1 : true;
    TIFFClose(tif_);
    tif_ = nullptr;
    return flushed && !stream_->failed;
}

}  // namespace formats
