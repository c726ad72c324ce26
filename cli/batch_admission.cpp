#include "cli/batch_admission.h"

#include <sys/stat.h>

#include <QImageReader>
#include <QString>

#include "platform/bitmap.h"

namespace cli {

std::uint64_t EstimateJobBytes(const std::string& source) {
    // Only a regular file is opened: a pipe would block here (its load refuses it).
    struct stat st {};
    if (::stat(source.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return 0;
    QImageReader reader(QString::fromStdString(source));
    reader.setDecideFormatFromContent(true);
    const QSize size = reader.size();  // reads the header only
    if (!size.isValid() || size.isEmpty()) return 0;
    const std::uint64_t fileBytes = std::uint64_t(st.st_size);
    const std::uint64_t bitmap = std::uint64_t(size.width()) * std::uint64_t(size.height()) * 4;
    constexpr std::uint64_t kAllowance = std::uint64_t{64} << 20;
    return 3 * bitmap + fileBytes + kAllowance;
}

platform::Status BatchAdmission::Admit(std::uint64_t bytes) {
    if (platform::Status s = platform::CheckMemoryFits(bytes, room_); !s) return s;
    std::unique_lock lock(mutex_);
    // Never empty-handed forever: with nothing running, inUse_ is 0 and the job fits.
    freed_.wait(lock, [&] { return inUse_ + bytes <= room_.bytes(); });
    inUse_ += bytes;
    return platform::Status::Ok();
}

void BatchAdmission::Release(std::uint64_t bytes) {
    {
        std::lock_guard lock(mutex_);
        inUse_ -= bytes;
    }
    freed_.notify_all();
}

namespace {

// The picture size a regular file's header gives, when it gives one within the pixel limit.
bool HeaderSizeWithinLimit(const std::string& path, std::uint64_t& pixels) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    QImageReader reader(QString::fromStdString(path));
    reader.setDecideFormatFromContent(true);
    const QSize size = reader.size();
    if (!size.isValid() || size.isEmpty() || !platform::CheckBitmapSize(size.width(), size.height()))
        return false;
    pixels = std::uint64_t(size.width()) * std::uint64_t(size.height());
    return true;
}

}  // namespace

platform::Status CheckSingleJob(const std::string& source, const std::string& floating) {
    std::uint64_t sourcePixels = 0, floatingPixels = 0;
    std::uint64_t need = 0;
    if (HeaderSizeWithinLimit(source, sourcePixels)) need += EstimateJobBytes(source);
    if (HeaderSizeWithinLimit(floating, floatingPixels)) need += floatingPixels * 4;
    if (need == 0) return platform::Status::Ok();
    return platform::CheckMemoryFits(need, platform::CurrentMemoryRoom());
}

}  // namespace cli
