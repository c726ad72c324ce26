#include "cli/batch_admission.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QBuffer>
#include <QByteArray>
#include <QImageReader>
#include <algorithm>

#include "cli/row_route.h"
#include "formats/jpeg_load.h"
#include "imagefiles/compose_rows.h"
#include "platform/bitmap.h"

namespace cli {

bool HeaderSize(const std::string& path, std::uint64_t& width, std::uint64_t& height) {
    // Regular files only: opening a named pipe or a device must neither block nor consume it.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return false;
    struct stat st {};
    std::string head;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        head.resize(std::min<std::size_t>(std::size_t(st.st_size), std::size_t{4} << 20));
        std::size_t got = 0;
        for (ssize_t n; got < head.size() && (n = ::read(fd, head.data() + got, head.size() - got)) > 0;)
            got += std::size_t(n);
        head.resize(got);
    }
    ::close(fd);
    const auto* b = reinterpret_cast<const unsigned char*>(head.data());
    const auto be32 = [&](std::size_t at) {
        return std::uint32_t(b[at]) << 24 | std::uint32_t(b[at + 1]) << 16 |
               std::uint32_t(b[at + 2]) << 8 | b[at + 3];
    };
    if (head.size() >= 24 && head.compare(0, 8, "\x89PNG\r\n\x1a\n") == 0) {
        if (head.compare(12, 4, "IHDR") != 0) return false;
        width = be32(16), height = be32(20);
    } else if (head.size() >= 2 && b[0] == 0xFF && b[1] == 0xD8) {
        formats::JpegHeader header;
        if (!formats::ReadJpegHeader(head, header)) return false;
        width = std::uint64_t(header.width), height = std::uint64_t(header.height);
    } else if (head.compare(0, 4, "GIF8") == 0 || head.compare(0, 2, "BM") == 0) {
        QByteArray bytes(head.data(), qsizetype(head.size()));
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::ReadOnly);
        QImageReader reader(&buffer);
        const QSize size = reader.size();  // these two readers parse the header only
        if (!size.isValid()) return false;
        width = std::uint64_t(std::max(0, size.width()));
        height = std::uint64_t(std::max(0, size.height()));
    } else {
        return false;
    }
    return width > 0 && height > 0;
}

std::uint64_t EstimateJobBytes(const std::string& source) {
    // Only a regular file is opened: a pipe would block here (its load refuses it).
    struct stat st {};
    if (::stat(source.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return 0;
    std::uint64_t width = 0, height = 0;
    if (!HeaderSize(source, width, height)) return 0;
    const std::uint64_t fileBytes = std::uint64_t(st.st_size);
    const std::uint64_t bitmap = width * height * 4;
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

namespace {

// The picture size a regular file's header gives, when it gives one within the pixel limit.
bool HeaderSizeWithinLimit(const std::string& path, std::uint64_t& pixels) {
    std::uint64_t width = 0, height = 0;
    if (!HeaderSize(path, width, height) || !platform::CheckBitmapSize(std::int64_t(width),
                                                                       std::int64_t(height)))
        return false;
    pixels = width * height;
    return true;
}

}  // namespace

platform::Status CheckSingleJob(const JobEstimate& job, const std::string& source,
                                const std::string& floating) {
    std::uint64_t sourcePixels = 0, floatingPixels = 0;
    std::uint64_t need = 0;
    if (job.rows.streamable() || HeaderSizeWithinLimit(source, sourcePixels)) need += job.bytes;
    if (HeaderSizeWithinLimit(floating, floatingPixels)) need += floatingPixels * 4;
    if (need == 0) return platform::Status::Ok();
    return platform::CheckMemoryFits(need, platform::CurrentMemoryRoom());
}

}  // namespace cli
