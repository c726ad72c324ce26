#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cstdio>
#include <string>

#include "formats/output_file.h"
#include "platform/bitmap.h"
#include "platform/files.h"

namespace formats {

OutputFile::~OutputFile() {
    if (file_) {
        std::fclose(file_);
        RemovePartial();
    }
}

void OutputFile::RemovePartial() {
    // Only a regular file is ours to remove: a device such as /dev/null or /dev/full must stay.
    if (regular_) std::remove(path_.c_str());
}

void OutputFile::Fail(const std::string& reason) {
    if (failed_) return;
    failed_ = true;
    reason_ = reason;
}

platform::Status OutputFile::Open(const std::string& path) {
    path_ = path;
    // Only a regular file is written: a pipe would block, and a device would take the image.
    if (platform::Status s = platform::CheckOutputTarget(path); !s) {
        Fail(s.reason());
        return s;
    }
    // Non-blocking, in case a pipe took the name's place since the check; truncated only once
    // it is known to be a regular file.
    errno = 0;
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0666);
    struct stat st{};
    if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || ::ftruncate(fd, 0) != 0 ||
        ::fcntl(fd, F_SETFL, 0) != 0 || !(file_ = ::fdopen(fd, "wb"))) {
        const int error = errno;
        if (fd >= 0) ::close(fd);
        Fail(fd >= 0 && !S_ISREG(st.st_mode)
                 ? "通常のファイルではありません"
                 : "ファイルを作成できません (" + platform::ErrnoText(error ? error : EIO) + ")");
        return platform::Status::Fail(reason_);
    }
    regular_ = true;
    return platform::Status::Ok();
}

bool OutputFile::Write(const void* data, std::size_t size) {
    if (failed_ || !file_) return false;
    errno = 0;
    if (size > 0 && std::fwrite(data, 1, size, file_) != size) {
        Fail("ファイルに書き込めません (" + platform::ErrnoText(errno ? errno : EIO) + ")");
        return false;
    }
    return true;
}

platform::Status OutputFile::Close() {
    if (!file_) {
        return failed_ ? platform::Status::Fail(reason_)
                       : platform::Status::Fail("ファイルが開かれていません");
    }
    // fclose flushes the stdio buffer, so a full disk may first show here.
    errno = 0;
    const bool closed = std::fclose(file_) == 0;
    file_ = nullptr;
    if (!closed) Fail("ファイルに書き込めません (" + platform::ErrnoText(errno ? errno : EIO) + ")");
    if (failed_) {
        RemovePartial();
        return platform::Status::Fail(reason_);
    }
    return platform::Status::Ok();
}

}  // namespace formats
