#pragma once
// File helpers of the platform layer: whole-file reads with a size cap, atomic replacement of a
// file, and the executable's folder. Paths are UTF-8.

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/status.h"

namespace platform {

// Reads the whole file, refusing folders and files larger than maxBytes.
Status ReadWholeFile(const std::string& path, std::string& contents, std::uint64_t maxBytes);

// Refuses a path that exists as anything but a regular file once links are followed (a folder,
// a pipe, a device, a socket): replacing such a node would destroy it, and writing into it could
// block or go anywhere. A path that does not exist passes.
Status CheckOutputTarget(const std::string& path);

// Replaces a file only once its new contents are complete: the new contents go to a temporary
// file in the target's folder, which is flushed to disk and then renamed over the target. An
// existing target keeps its permissions. Until Commit, and after a failed Commit, the target is
// untouched; a temporary file that was not committed is removed by the destructor.
// A target that is a symbolic link stays one: the file it points to is replaced. A target that
// is not a regular file is refused by Create (CheckOutputTarget), and so is an existing file that
// this process may not write (a read-only file, as cp refuses it; root replaces it, as cp does).
//
// The temporary has no name while it is written (O_TMPFILE; tempPath() is then its
// /proc/self/fd entry), so a killed writer leaves nothing behind; Commit links it under a
// temporary name and renames that over the target. Where the file system cannot make nameless
// files, the temporary is named ".NAME.tmp-XXXXXX" from the start and registered for removal on
// SIGINT/SIGTERM (signal_cleanup.h).
class AtomicFile {
public:
    explicit AtomicFile(std::string target);
    ~AtomicFile();
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;

    // Creates the empty temporary file; tempPath() then names it for a writer to fill.
    Status Create();
    const std::string& tempPath() const { return temp_; }
    // Flushes the temporary file to disk and renames it over the target.
    Status Commit();

private:
    Status CreateNamed(unsigned mode);
    void Forget();

    std::string target_;
    std::string temp_;
    int fd_ = -1;  // the nameless temporary, while there is one
    int ticket_ = -1;  // the signal-cleanup registration of a named temporary
    bool committed_ = false;
};

// Tests: false makes AtomicFile take the named route as on a file system without O_TMPFILE.
void SetNamelessTemporariesForTesting(bool allowed);

// Convenience: writes contents to path through an AtomicFile.
Status WriteFileAtomically(const std::string& path, std::string_view contents);

// Whether open(folder, O_TMPFILE) failing with error means only that the kernel or the file system
// cannot make nameless files (the named route then still works), rather than that the folder
// refuses new files. The one rule for AtomicFile and FolderTakesNewFiles.
bool NamelessUnsupported(int error);

// Whether a new file can be created in folder, found by creating one (and removing it): permission
// bits tell nothing for root, and a read-only mount or a pseudo file system (/proc) refuses
// everyone whatever they say. It answers exactly what AtomicFile::Create needs of the folder.
bool FolderTakesNewFiles(const std::string& folder);

// Whether this process may write the existing file at path (links followed), by its effective
// user: false for a read-only file (unless root), a read-only mount, or no file at all.
bool MayWriteFile(const std::string& path);

// Writes contents over the existing regular file at path, in place: for a file that may be written
// in a folder that takes no new files, where no temporary can be made. Not atomic: a crash halfway
// can leave a mix of old and new bytes, so this is only for small files (settings) and only where
// nothing else works. The file keeps its inode, owner and permissions.
Status RewriteFileInPlace(const std::string& path, std::string_view contents);

// The folder that holds the running executable, without a trailing separator.
// SetExeFolderForTesting replaces it (an empty text restores the real one).
std::string ExeFolder();
void SetExeFolderForTesting(const std::string& folder);

// A readable reason for an errno value, in Japanese where we have one.
std::string ErrnoText(int error);

}  // namespace platform
