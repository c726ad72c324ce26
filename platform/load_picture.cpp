#include "platform/load_picture.h"

#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QImageReader>
#include <QString>

#include <cstring>
#include <new>

namespace platform {
namespace {

QString FromUtf8(const std::string& s) { return QString::fromUtf8(s.data(), qsizetype(s.size())); }

// Qt refuses images over 128 MB by default; our own limit is kMaxPixels 32-bit pixels, and the
// reader may need an ARGB copy of that size.
void RaiseAllocationLimit() {
    static const bool done = [] {
        QImageReader::setAllocationLimit(int((kMaxPixels * 4) / (1024 * 1024)) + 1);
        return true;
    }();
    (void)done;
}

}  // namespace

Status LoadPicture(const std::string& path, std::shared_ptr<const Picture>& out) {
    RaiseAllocationLimit();
    const QString name = FromUtf8(path);
    const QFileInfo info(name);
    if (!info.exists()) return Status::Fail("ファイルが見つかりません");
    if (info.isDir()) return Status::Fail("フォルダです");
    QFile file(name);
    if (!file.open(QIODevice::ReadOnly)) return Status::Fail("ファイルを開けません");
    if (file.size() == 0) return Status::Fail("空のファイルです");

    QImageReader reader(&file);
    reader.setAutoTransform(false);
    reader.setDecideFormatFromContent(true);
    if (!reader.canRead()) return Status::Fail("画像の形式が分かりません");
    // ICO: the largest entry. Other formats: the first image.
    if (reader.format() == "ico") {
        int best = 0;
        qint64 bestArea = -1;
        for (int i = 0; i < reader.imageCount(); ++i) {
            if (!reader.jumpToImage(i)) break;
            const QSize size = reader.size();
            const qint64 area = qint64(size.width()) * size.height();
            if (area > bestArea) {
                bestArea = area;
                best = i;
            }
        }
        reader.jumpToImage(best);
    }
    const QSize size = reader.size();
    if (size.isValid()) {
        if (Status s = CheckBitmapSize(size.width(), size.height()); !s) return s;
    }
    QImage image;
    if (!reader.read(&image) || image.isNull()) {
        const QString why = reader.errorString();
        return Status::Fail("画像を読み取れません (" + why.toStdString() + ")");
    }
    if (Status s = CheckBitmapSize(image.width(), image.height()); !s) return s;
    if (image.width() == 0 || image.height() == 0) return Status::Fail("画像の大きさが 0 です");
    const bool alpha = image.hasAlphaChannel();
    image = image.convertToFormat(alpha ? QImage::Format_ARGB32 : QImage::Format_RGB32);
    if (image.isNull()) return Status::Fail("メモリが足りません");

    auto picture = std::make_shared<Picture>();
    if (Status s = picture->pixels.Allocate(image.width(), image.height()); !s) return s;
    picture->hasAlpha = alpha;
    const std::size_t rowBytes = std::size_t(image.width()) * 4;
    for (int y = 0; y < image.height(); ++y) {
        std::memcpy(picture->pixels.row(y), image.constScanLine(y), rowBytes);
    }
    out = std::move(picture);
    return Status::Ok();
}

}  // namespace platform
