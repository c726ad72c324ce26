#include "imagefiles/load_image.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

#include "codec/codec.h"
#include "formats/png_load.h"
#include "platform/files.h"
#include "platform/load_picture.h"
#include "startup/settings.h"

namespace basCommon {
namespace {

void SetReason(std::string* reason, const std::string& text) {
    if (reason) *reason = text;
}

}  // namespace

bool LoadPngSlot(platform::Surface& slot, const std::string& path, std::string* reason) {
    static constexpr unsigned char kSignature[8] = {137, 80, 78, 71, 13, 10, 26, 10};
    unsigned char header[24] = {};
    std::size_t got = 0;
    {
        // O_NONBLOCK: a named pipe called x.png must not block the program in open().
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        if (fd < 0) {
            SetReason(reason, platform::ErrnoText(errno));
            return false;
        }
        struct stat st{};
        if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            const bool folder = S_ISDIR(st.st_mode);
            ::close(fd);
            SetReason(reason, folder ? platform::ErrnoText(EISDIR) : "通常のファイルではありません");
            return false;
        }
        while (got < sizeof header) {
            const ssize_t n = ::read(fd, header + got, sizeof header - got);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            got += std::size_t(n);
        }
        ::close(fd);
    }
    for (std::size_t i = 0; i < 8; ++i) {
        if (i >= got || header[i] != kSignature[i]) {
            SetReason(reason, "PNG ファイルではありません (シグネチャが違います)");
            return false;
        }
    }
    if (got < sizeof header) {
        SetReason(reason, "PNG ファイルが途中で切れています");
        return false;
    }
    // The header's width and height, each a full 32-bit number, most significant byte first.
    const auto be32 = [&](int at) {
        return (std::uint32_t{header[at]} << 24) | (std::uint32_t{header[at + 1]} << 16) |
               (std::uint32_t{header[at + 2]} << 8) | std::uint32_t{header[at + 3]};
    };
    const std::uint32_t w = be32(16);
    const std::uint32_t h = be32(20);
    if (platform::Status s = platform::CheckBitmapSize(w, h); !s) {
        SetReason(reason, s.reason());
        return false;
    }

    // Decode completely before the slot is touched.
    platform::Picture picture;
    if (platform::Status s = formats::ReadPng(path, picture); !s) {
        SetReason(reason, s.reason());
        return false;
    }
    // The slot takes the image's own size (no margin), so that a picture gives the same
    // composition whether it came from a PNG or a BMP file. The new bitmap is made whole (the
    // background, an assigned picture, if any, then the PNG alpha over them) before it replaces
    // the slot's.
    platform::Bitmap drawn;
    if (platform::Status s = drawn.Allocate(picture.pixels.width(), picture.pixels.height()); !s) {
        SetReason(reason, s.reason());
        return false;
    }
    drawn.Fill(slot.BackColor());
    if (slot.GetPicture()) platform::DrawPicture(drawn, *slot.GetPicture(), 0, 0);
    platform::DrawPicture(drawn, picture, 0, 0);
    slot.SetVisible(false);
    slot.Adopt(std::move(drawn));
    slot.SetMeta(std::move(picture.meta));
    slot.Refresh();
    slot.SetVisible(true);
    return true;
}

std::int32_t LoadImageSlot(compose::SlotSet& slots, const std::string& path, std::int16_t index,
                           std::string* reason) {
    if (index != 0 && index != 1) {
        SetReason(reason, "画像の欄の番号が不正です");
        return 1;
    }
    platform::Surface& slot = slots.picLoad[std::size_t(index)];
    if (basFunc::UpperTail4(path) == ".PNG") {
        if (!LoadPngSlot(slot, path, reason)) return 1;
    } else {
        std::shared_ptr<const platform::Picture> picture;
        if (platform::Status s = platform::LoadPicture(path, picture); !s) {
            SetReason(reason, s.reason());
            return 1;
        }
        if (platform::Status s = slot.SetPicture(std::move(picture)); !s) {
            SetReason(reason, s.reason());
            return 1;
        }
        slot.Refresh();
    }
    slots.FLD[std::size_t(index)] = path;
    return 0;
}

}  // namespace basCommon
