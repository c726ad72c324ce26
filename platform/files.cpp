#include "platform/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <vector>

namespace platform {
namespace {

std::mutex g_exeMutex;
std::string g_exeOverride;

class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }

private:
    int fd_;
};

std::string FolderOf(const std::string& path) {
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

// A target that is a symbolic link is written through it: the new contents replace the file the
// link points to, so the link stays a link (a linked settings file or output keeps being one).
// A relative link is taken from the link's own folder, as the system does; a chain is followed
// to its end, at most as deep as the kernel follows one. A dangling link gives the path it names,
// which is then created. False for a loop.
bool ResolveLinks(std::string& path) {
    for (int depth = 0; depth < 40; ++depth) {
        struct stat st{};
        if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return true;
        std::error_code ec;
        const std::filesystem::path link = std::filesystem::read_symlink(path, ec);
        if (ec) return true;
        path = link.is_absolute() ? link.string()
                                  : (std::filesystem::path(FolderOf(path)) / link).string();
    }
    return false;
}

}  // namespace

std::string ErrnoText(int error) {
    switch (error) {
        case ENOENT: return "ファイルまたはフォルダが見つかりません";
        case EACCES:
        case EPERM: return "アクセスが拒否されました";
        case EISDIR: return "フォルダです";
        case ENOSPC: return "ディスクの空きがありません";
        case EDQUOT: return "ディスクの割り当てを超えました";
        case EROFS: return "読み取り専用のファイルシステムです";
        case ENAMETOOLONG: return "パスが長すぎます";
        case ENOTDIR: return "パスの途中がフォルダではありません";
        case ELOOP: return "シンボリックリンクが循環しています";
        case ENOMEM: return "メモリが足りません";
        case EIO: return "入出力エラー";
        default: return std::strerror(error);
    }
}

Status ReadWholeFile(const std::string& path, std::string& contents, std::uint64_t maxBytes) {
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) return Status::Fail(ErrnoText(errno));
    struct stat st{};
    if (::fstat(fd.get(), &st) != 0) return Status::Fail(ErrnoText(errno));
    if (S_ISDIR(st.st_mode)) return Status::Fail(ErrnoText(EISDIR));
    if (!S_ISREG(st.st_mode)) return Status::Fail("通常のファイルではありません");
    if (std::uint64_t(st.st_size) > maxBytes) return Status::Fail("ファイルが大きすぎます");
    contents.clear();
    contents.reserve(std::size_t(st.st_size));
    char chunk[65536];
    for (;;) {
        const ssize_t n = ::read(fd.get(), chunk, sizeof chunk);
        if (n < 0) {
            if (errno == EINTR) continue;
            return Status::Fail(ErrnoText(errno));
        }
        if (n == 0) break;
        if (contents.size() + std::size_t(n) > maxBytes) return Status::Fail("ファイルが大きすぎます");
        contents.append(chunk, std::size_t(n));
    }
    return Status::Ok();
}

AtomicFile::AtomicFile(std::string target) : target_(std::move(target)) {}

AtomicFile::~AtomicFile() {
    if (!temp_.empty() && !committed_) ::unlink(temp_.c_str());
}

Status AtomicFile::Create() {
    if (!ResolveLinks(target_)) return Status::Fail(ErrnoText(ELOOP));
    struct stat st{};
    if (::stat(target_.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        return Status::Fail(ErrnoText(EISDIR));
    }
    std::string base = target_.substr(target_.find_last_of('/') + 1);
    // Keep the temporary name well within NAME_MAX whatever the target's name.
    if (base.size() > 200) base.resize(200);
    std::string pattern = FolderOf(target_) + "/." + base + ".tmp-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    Fd fd(::mkstemp(name.data()));
    if (fd.get() < 0) return Status::Fail(ErrnoText(errno));
    temp_ = name.data();
    // A new file gets the usual permissions (0666 less the umask); a replaced one keeps its own.
    mode_t mode;
    if (::stat(target_.c_str(), &st) == 0) {
        mode = st.st_mode & 07777;
    } else {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        mode = 0666 & ~mask;
    }
    ::fchmod(fd.get(), mode);
    return Status::Ok();
}

Status AtomicFile::Commit() {
    if (temp_.empty()) return Status::Fail("一時ファイルがありません");
    {
        Fd fd(::open(temp_.c_str(), O_RDONLY | O_CLOEXEC));
        if (fd.get() < 0 || ::fsync(fd.get()) != 0) return Status::Fail(ErrnoText(errno));
    }
    if (::rename(temp_.c_str(), target_.c_str()) != 0) return Status::Fail(ErrnoText(errno));
    committed_ = true;
    Fd dir(::open(FolderOf(target_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() >= 0) ::fsync(dir.get());  // the rename itself; best effort
    return Status::Ok();
}

Status WriteFileAtomically(const std::string& path, std::string_view contents) {
    AtomicFile file(path);
    if (Status s = file.Create(); !s) return s;
    {
        Fd fd(::open(file.tempPath().c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC));
        if (fd.get() < 0) return Status::Fail(ErrnoText(errno));
        std::size_t done = 0;
        while (done < contents.size()) {
            const ssize_t n = ::write(fd.get(), contents.data() + done, contents.size() - done);
            if (n < 0) {
                if (errno == EINTR) continue;
                return Status::Fail(ErrnoText(errno));
            }
            done += std::size_t(n);
        }
        if (::close(fd.release()) != 0) return Status::Fail(ErrnoText(errno));
    }
    return file.Commit();
}

std::string ExeFolder() {
    {
        std::lock_guard lock(g_exeMutex);
        if (!g_exeOverride.empty()) return g_exeOverride;
    }
    std::error_code ec;
    const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec) return ".";
    return exe.parent_path().string();
}

void SetExeFolderForTesting(const std::string& folder) {
    std::lock_guard lock(g_exeMutex);
    g_exeOverride = folder;
}

}  // namespace platform
