// The codec library's calls: the bitmap-and-status side of the program's format code.

#include "codec/codec.h"

#include <algorithm>

#include "formats/bmp_save.h"
#include "formats/jpeg_save.h"
#include "formats/png_load.h"
#include "formats/png_save.h"

namespace codec {
namespace {

template <typename Code>
Code Report(const platform::Status& s, std::string* reason) {
    if (s) return 0;
    if (reason) *reason = s.reason();
    return 1;
}

}  // namespace

platform::Status WriteArea(platform::HDC dc, std::int32_t width, std::int32_t height, int& w,
                           int& h) {
    if (!dc) return platform::Status::Fail("保存する画像がありません");
    if (width <= 0 || height <= 0) {
        return platform::Status::Fail("画像の大きさが不正です (" + std::to_string(width) + " × " +
                                      std::to_string(height) + ")");
    }
    w = std::min<int>(width, dc->width());
    h = std::min<int>(height, dc->height());
    if (w <= 0 || h <= 0) return platform::Status::Fail("保存する画像がありません");
    return platform::Status::Ok();
}

std::int16_t DCReadPNG(const std::string& path, platform::HDC dc, std::string* reason) {
    if (!dc) return Report<std::int16_t>(platform::Status::Fail("描画先がありません"), reason);
    platform::Picture picture;
    if (platform::Status s = formats::ReadPng(path, picture); !s)
        return Report<std::int16_t>(s, reason);
    platform::DrawPicture(*dc, picture, 0, 0);
    return 0;
}

std::int32_t DCSavetoJPEG(platform::HDC dc, std::int32_t width, std::int32_t height,
                          const std::string& path, std::uint8_t rate, std::int32_t progressive,
                          std::string* reason, const platform::ImageMeta* meta) {
    int w = 0, h = 0;
    platform::Status s = WriteArea(dc, width, height, w, h);
    if (s) s = formats::SaveJpeg(*dc, w, h, path, rate, progressive != 0, meta);
    return Report<std::int32_t>(s, reason);
}

std::int32_t DCSavetoPNG(platform::HDC dc, std::int32_t width, std::int32_t height,
                         const std::string& path, std::uint8_t rate, std::string* reason,
                         const platform::ImageMeta* meta) {
    int w = 0, h = 0;
    platform::Status s = WriteArea(dc, width, height, w, h);
    if (s) s = formats::SavePng(*dc, w, h, path, rate, meta);
    return Report<std::int32_t>(s, reason);
}

platform::Status SavePicture(const platform::Bitmap& image, const std::string& path) {
    return formats::SaveBmp(image, path);
}

}  // namespace codec
