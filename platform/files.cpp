#include "platform/files.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <random>
#include <filesystem>
#include <mutex>
#include <vector>

#include "platform/signal_cleanup.h"

namespace platform {
namespace {

// The reason given for an existing file that may not be written.
constexpr std::string_view kReadOnlyFile = "読み取り専用のファイルです";

std::mutex g_exeMutex;
std::string g_exeOverride;
std::atomic<bool> g_nameless{true};

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

Status CheckOutputTarget(const std::string& path) {
    struct stat st{};
    if (::stat(path.c_str(), &st) != 0) {
        // A name that does not exist yet is fine; anything else is for the writer to report.
        return Status::Ok();
    }
    if (S_ISREG(st.st_mode)) return Status::Ok();
    const char* kind = S_ISDIR(st.st_mode)    ? "フォルダ"
                       : S_ISFIFO(st.st_mode) ? "名前付きパイプ"
                       : S_ISCHR(st.st_mode)  ? "キャラクタデバイス"
                       : S_ISBLK(st.st_mode)  ? "ブロックデバイス"
                       : S_ISSOCK(st.st_mode) ? "ソケット"
                                              : "特殊ファイル";
    return Status::Fail(std::string("通常のファイルではありません (") + kind + ")");
}

void SetNamelessTemporariesForTesting(bool allowed) { g_nameless = allowed; }

AtomicFile::AtomicFile(std::string target) : target_(std::move(target)) {}

AtomicFile::~AtomicFile() {
    if (fd_ >= 0) {
        ::close(fd_);  // a nameless temporary vanishes with its last descriptor
    } else if (!temp_.empty() && !committed_) {
        ::unlink(temp_.c_str());
    }
    Forget();
}

void AtomicFile::Forget() {
    UnregisterTemporary(ticket_);
    ticket_ = -1;
}

namespace {

// The temporary's name beside the target, with a trailing "XXXXXX" for mkstemp.
std::string TemporaryPattern(const std::string& target) {
    std::string base = target.substr(target.find_last_of('/') + 1);
    // Keep the temporary name well within NAME_MAX whatever the target's name.
    if (base.size() > 200) base.resize(200);
    return FolderOf(target) + "/." + base + ".tmp-XXXXXX";
}

}  // namespace

Status AtomicFile::Create() {
    if (!ResolveLinks(target_)) return Status::Fail(ErrnoText(ELOOP));
    if (Status s = CheckOutputTarget(target_); !s) return s;
    // A new file gets the usual permissions (0666 less the umask); a replaced one keeps its own.
    mode_t mode;
    struct stat st{};
    if (::stat(target_.c_str(), &st) == 0) {
        // Renaming over a file needs only the folder's permission; a read-only file is still
        // the user's word that it must not change.
        if (!MayWriteFile(target_)) {
            const int error = errno;
            return Status::Fail(error == EACCES || error == EPERM ? std::string(kReadOnlyFile)
                                                                  : ErrnoText(error));
        }
        mode = st.st_mode & 07777;
    } else {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        mode = 0666 & ~mask;
    }
    if (g_nameless) {
        const int fd = ::open(FolderOf(target_).c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
        if (fd >= 0) {
            fd_ = fd;
            temp_ = "/proc/self/fd/" + std::to_string(fd);
            // The writers open the temporary again by this name; without /proc they cannot.
            if (::access(temp_.c_str(), W_OK) == 0) {
                ::fchmod(fd, mode);
                return Status::Ok();
            }
            ::close(fd_);
            fd_ = -1;
            temp_.clear();
        } else if (!NamelessUnsupported(errno)) {
            return Status::Fail(ErrnoText(errno));
        }
    }
    return CreateNamed(mode);
}

Status AtomicFile::CreateNamed(unsigned mode) {
    const std::string pattern = TemporaryPattern(target_);
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    // A signal sent while mkstemp runs arrives as it returns: held back until the name is
    // registered, its handler then finds the file.
    sigset_t cleanupSignals, previous;
    sigemptyset(&cleanupSignals);
    sigaddset(&cleanupSignals, SIGINT);
    sigaddset(&cleanupSignals, SIGTERM);
    ::pthread_sigmask(SIG_BLOCK, &cleanupSignals, &previous);
    Fd fd(::mkstemp(name.data()));
    const int error = errno;
    if (fd.get() >= 0) ticket_ = RegisterTemporary(name.data());
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (fd.get() < 0) return Status::Fail(ErrnoText(error));
    temp_ = name.data();
    ::fchmod(fd.get(), mode_t(mode));
    return Status::Ok();
}

Status AtomicFile::Commit() {
    if (temp_.empty()) return Status::Fail("一時ファイルがありません");
    if (fd_ >= 0) {
        if (::fsync(fd_) != 0) return Status::Fail(ErrnoText(errno));
        // rename needs a name: the complete file gets a temporary one for that moment only.
        // linkat refuses an existing name, so a clash with another writer just tries again.
        std::random_device entropy;
        std::string named;
        for (int attempt = 0;; ++attempt) {
            named = TemporaryPattern(target_);
            named.resize(named.size() - 6);
            static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
            for (int i = 0; i < 6; ++i) named += kLetters[entropy() % 36];
            ticket_ = RegisterTemporary(named);
            if (::linkat(AT_FDCWD, temp_.c_str(), AT_FDCWD, named.c_str(), AT_SYMLINK_FOLLOW) == 0)
                break;
            const int error = errno;
            Forget();
            if (error != EEXIST || attempt == 100) return Status::Fail(ErrnoText(error));
        }
        if (::rename(named.c_str(), target_.c_str()) != 0) {
            const int error = errno;
            ::unlink(named.c_str());
            Forget();
            return Status::Fail(ErrnoText(error));
        }
        Forget();
        ::close(fd_);
        fd_ = -1;
    } else {
        {
            Fd fd(::open(temp_.c_str(), O_RDONLY | O_CLOEXEC));
            if (fd.get() < 0 || ::fsync(fd.get()) != 0) return Status::Fail(ErrnoText(errno));
        }
        if (::rename(temp_.c_str(), target_.c_str()) != 0) return Status::Fail(ErrnoText(errno));
        Forget();
    }
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

bool NamelessUnsupported(int error) {
    // EISDIR and EINVAL: a kernel or file system that does not know O_TMPFILE at all.
    return error == EOPNOTSUPP || error == EISDIR || error == EINVAL;
}

bool FolderTakesNewFiles(const std::string& folder) {
    // A nameless file first: nothing is left behind even if the process dies right here.
    const int fd = ::open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    if (fd >= 0) {
        ::close(fd);
        return true;
    }
    if (!NamelessUnsupported(errno)) return false;
    std::string probe = (folder.ends_with('/') ? folder : folder + "/") + ".glimbra-probe-XXXXXX";
    Fd named(::mkstemp(probe.data()));
    if (named.get() < 0) return false;
    ::unlink(probe.c_str());
    return true;
}

bool MayWriteFile(const std::string& path) {
    return ::faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) == 0;
}

Status RewriteFileInPlace(const std::string& path, std::string_view contents) {
    if (Status s = CheckOutputTarget(path); !s) return s;
    Fd fd(::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (fd.get() < 0)
        return Status::Fail(errno == EACCES ? std::string(kReadOnlyFile) : ErrnoText(errno));
    struct stat st{};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return Status::Fail("通常のファイルではありません");
    // The new bytes go over the old ones from the start, and only then is the length cut: a
    // failure on the way leaves at worst the old length, never an empty file.
    std::size_t done = 0;
    while (done < contents.size()) {
        const ssize_t n =
            ::pwrite(fd.get(), contents.data() + done, contents.size() - done, off_t(done));
        if (n < 0) {
            if (errno == EINTR) continue;
            return Status::Fail(ErrnoText(errno));
        }
        done += std::size_t(n);
    }
    if (::ftruncate(fd.get(), off_t(contents.size())) != 0 || ::fsync(fd.get()) != 0)
        return Status::Fail(ErrnoText(errno));
    return Status::Ok();
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
