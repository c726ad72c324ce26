#pragma once
// A picture surface with a persistent backing bitmap: what is drawn into it stays until it is
// cleared, its device context is the bitmap itself, and its Image can be read back.
// It has no border, so its outer size (Width, Height) is the size of its bitmap, in pixels.

#include <cstdint>
#include <functional>
#include <memory>

#include "platform/bitmap.h"
#include "platform/gdi.h"
#include "platform/image_meta.h"
#include "platform/status.h"

namespace platform {

// A decoded picture: the same layout as a bitmap, with alpha (0 transparent .. 255 opaque,
// not premultiplied) in the fourth byte.
struct Picture {
    Bitmap pixels;
    bool hasAlpha = false;  // false: every fourth byte is 255
    ImageMetaPtr meta;      // profile and EXIF of the file it came from; null: none
};

class Surface {
public:
    // A surface of width x height pixels filled with its background colour.
    // autoSize: the surface takes the size of a picture assigned to it.
    Surface(int width, int height, bool autoSize);

    int Width() const { return bitmap_.width(); }
    int Height() const { return bitmap_.height(); }

    // Changes the size. The part that both sizes share keeps its pixels (when preserve is set) and
    // the rest is background; with preserve unset the contents are undefined until drawn.
    // On failure nothing changes.
    Status Resize(int width, int height, bool preserve = true);

    bool Visible() const { return visible_; }
    void SetVisible(bool visible);

    std::uint32_t BackColor() const { return backColor_; }
    void SetBackColor(std::uint32_t colour) { backColor_ = colour | kOpaque; }

    bool AutoSize() const { return autoSize_; }

    // The assigned picture, drawn over the background whenever the surface is cleared.
    const std::shared_ptr<const Picture>& GetPicture() const { return picture_; }
    // Assigns a picture: an auto-sizing surface takes its size first; then the surface is redrawn
    // (background, then the picture at the top-left corner). On failure nothing changes.
    Status SetPicture(std::shared_ptr<const Picture> picture);

    // The metadata of the picture last loaded into this surface (or, for the result, of the
    // source it was composed from); the writers embed it. Assigning a picture sets it too.
    const ImageMetaPtr& Meta() const { return meta_; }
    void SetMeta(ImageMetaPtr meta) { meta_ = std::move(meta); }

    // Fills the bitmap with the background colour, then draws the assigned picture. An opaque
    // picture of the surface's own size is not copied: the bitmap shares its pixels until
    // something draws into it.
    void Cls();

    // Replaces the bitmap with one made elsewhere (the surface takes its size).
    void Adopt(Bitmap&& bitmap) { bitmap_ = std::move(bitmap); }

    // Tells the observer (the window that shows this surface) to repaint.
    void Refresh();
    void SetObserver(std::function<void()> observer) { observer_ = std::move(observer); }

    // The bitmap, to draw into. A bitmap shared with the assigned picture is copied first; if
    // that copy cannot be allocated the result is null, which every drawing call refuses.
    HDC hDC() { return bitmap_.MakeUnique() ? &bitmap_ : nullptr; }
    const Bitmap& Image() const { return bitmap_; }

private:
    Bitmap bitmap_;
    std::uint32_t backColor_ = kWhite;
    bool autoSize_;
    bool visible_ = true;
    std::shared_ptr<const Picture> picture_;
    ImageMetaPtr meta_;
    std::function<void()> observer_;
};

// Draws a picture with its top-left corner at (x, y), alpha over what the bitmap holds, clipped
// at the bitmap's edges. The fourth byte of every pixel drawn is 255.
void DrawPicture(Bitmap& target, const Picture& picture, int x, int y);

// Alpha-over of one row of straight (not premultiplied) blue-green-red-alpha pixels onto
// opaque pixels: out = (a * src + (255 - a) * dst) / 255, rounded to nearest.
void BlendRowOver(std::uint32_t* dst, const std::uint32_t* src, int count);

}  // namespace platform
