#include "formats/row_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>

#include "platform/bitmap.h"
#include "platform/surface.h"

namespace formats {

void OverWhite(std::uint32_t* row, int count) {
    for (int i = 0; i < count; ++i) {
        if ((row[i] >> 24) == 0xFF) continue;
        std::uint32_t white = platform::kWhite;
        platform::BlendRowOver(&white, row + i, 1);
        row[i] = white;
    }
}

RowSource OpenRowReader(const std::string& path) {
    // O_NONBLOCK: a named pipe must not block here; only a regular file is read.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return {};
    struct stat st {};
    unsigned char head[3] = {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || ::pread(fd, head, 3, 0) != 3) {
        ::close(fd);
        return {};
    }
    // The whole-picture load takes a name ending in ".PNG" (any case) as PNG, whatever it holds,
    // and every other name by its contents, where PNG is not among the kinds.
    std::string tail = path.size() >= 4 ? path.substr(path.size() - 4) : path;
    std::transform(tail.begin(), tail.end(), tail.begin(),
                   [](unsigned char c) { return char(std::toupper(c)); });
    if (tail == ".PNG") return OpenPngRows(fd);
    if (head[0] == 0xFF && head[1] == 0xD8 && head[2] == 0xFF) return OpenJpegRows(fd);
    if (head[0] == 'B' && head[1] == 'M') return OpenBmpRows(fd);
    ::close(fd);
    return {};
}

}  // namespace formats
