#include "fuzz/fuzz_support.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <vector>

#include "platform/parallel.h"

// libFuzzer runs one input at a time. The row passes would start and join threads for every
// picture, and under AddressSanitizer each thread's start and end (stack and TLS mapped and
// unmapped, with a TLB flush on every core) cost more than decoding a small picture: with the
// hardware's thread count the PNG target managed about 130 inputs a second. One worker keeps
// the same code paths (ParallelFor runs the body on the caller's thread).
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    platform::SetWorkerCount(1);
    return 0;
}

namespace fuzzing {

const std::string& Folder() {
    static const std::string folder = [] {
        const char* base = std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : "/tmp";
        std::string pattern = std::string(base) + "/glimbra-fuzz-XXXXXX";
        std::vector<char> name(pattern.begin(), pattern.end());
        name.push_back('\0');
        if (!::mkdtemp(name.data())) {
            std::perror("mkdtemp");
            std::abort();
        }
        static std::string made = name.data();
        std::atexit([] {
            std::error_code ec;
            std::filesystem::remove_all(made, ec);
        });
        return made;
    }();
    return folder;
}

std::string FileIn(const std::string& name) { return Folder() + "/" + name; }

void WriteFile(const std::string& path, const std::uint8_t* data, std::size_t size) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        std::perror(path.c_str());
        std::abort();
    }
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(fd, data + done, size - done);
        if (n <= 0) {
            std::perror(path.c_str());
            std::abort();
        }
        done += std::size_t(n);
    }
    ::close(fd);
}

void WriteFile(const std::string& path, std::string_view bytes) {
    WriteFile(path, reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
}

std::string ReadFile(const std::string& path) {
    std::string out;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return out;
    char chunk[65536];
    for (ssize_t n; (n = ::read(fd, chunk, sizeof chunk)) > 0;) out.append(chunk, std::size_t(n));
    ::close(fd);
    return out;
}

void Violated(const char* what, const std::string& detail) {
    std::fprintf(stderr, "invariant violated: %s\n%s\n", what, detail.c_str());
    std::abort();
}

}  // namespace fuzzing
