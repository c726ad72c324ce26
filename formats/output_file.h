#pragma once
// The file side shared by the writers.

#include <cstddef>
#include <cstdio>
#include <string>

#include "platform/status.h"

namespace formats {

// The output side shared by the writers: a file opened with fopen for writing, every write and
// the close checked. The first failure is kept as the reason; later writes do nothing, so a
// writer can check once at the end. A file that was not closed successfully is removed by the
// destructor, so that a failed writer leaves no partial file behind. A name that exists as
// anything but a regular file (a device, a pipe) is refused by Open, before anything is written.
class OutputFile {
public:
    OutputFile() = default;
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    platform::Status Open(const std::string& path);
    // Returns false once any write has failed.
    bool Write(const void* data, std::size_t size);
    // Closes the file and reports the first failure of Open, Write or the close itself.
    platform::Status Close();
    bool failed() const { return failed_; }

private:
    void Fail(const std::string& reason);
    void RemovePartial();

    std::FILE* file_ = nullptr;
    std::string path_;
    bool regular_ = false;
    bool failed_ = false;
    std::string reason_;
};

}  // namespace formats
