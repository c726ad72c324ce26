#include "cli/batch_admission.h"

#include "cli/row_route.h"
#include "imagefiles/compose_rows.h"

#include <sys/stat.h>

#include <QImageReader>
#include <QString>

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

JobEstimate EstimateJob(const std::string& source, const std::string& ext,
                        const imagefiles::OutputSettings& settings) {
    JobEstimate estimate;
    estimate.rows = OpenRowRoute(source, ext, settings);
    if (estimate.rows.streamable()) {
        // Threads' stacks and the libraries' small buffers besides the bands.
        constexpr std::uint64_t kAllowance = std::uint64_t{16} << 20;
        estimate.bytes = imagefiles::RowRouteBytes(estimate.rows.reader->width()) +
                         estimate.rows.reader->workingBytes() + kAllowance;
    } else if (estimate.rows.status) {
        estimate.bytes = EstimateJobBytes(source);
    }
    return estimate;
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

}  // namespace cli
