#pragma once

#include <sys/types.h>

#include <cstddef>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

namespace palisor {

// The permission bits an atomically written file ends up with. Each writer
// says what it needs: a file holding credentials must be private or not be
// written at all, while a spool on a file system without POSIX modes is
// better written without them than losing what it holds.
class FileMode {
public:
    // Exactly `bits`; a file system that cannot set them fails the write.
    FileMode(mode_t bits) : bits_(bits) {}  // NOLINT(google-explicit-constructor): 0600 reads as what it is
    // `bits` where the file system can set them; where it cannot, the file
    // is written all the same.
    static FileMode ifSupported(mode_t bits) { return FileMode(bits, false, false); }
    // What creating a file gives anywhere else: 0666 less the umask (or the
    // folder's default ACL). The kernel applies it at creation, so the umask
    // is never read, which would mean setting it in a process with threads.
    static FileMode platformDefault() { return FileMode(0666, false, true); }

    mode_t bits() const { return bits_; }
    bool required() const { return required_; }
    bool fromCreation() const { return fromCreation_; }

private:
    FileMode(mode_t bits, bool required, bool fromCreation)
        : bits_(bits), required_(required), fromCreation_(fromCreation) {}
    mode_t bits_;
    bool required_ = true;
    bool fromCreation_ = false;
};

// Writes `bytes` to `path` so that readers see either the old file or the
// whole new one, and a write reported as done survives a crash: a temporary
// file in the same folder is written, flushed with fsync, given `mode`,
// renamed over the target, and the folder is fsynced. Throws FileError
// ("FILE_WRITE_FAILED") on any failure and leaves no temporary file behind.
void writeFileAtomically(const std::string& path, std::string_view bytes, FileMode mode = FileMode::platformDefault());

// The same inside an already open folder: `name` in `dirFd` is replaced, and a
// symbolic link of that name is replaced itself, never followed. Callers that
// reached the folder without following links thereby write only where they
// checked. `displayPath` names the file in error details.
void writeFileAtomicallyAt(int dirFd, const std::string& name, std::string_view bytes, const std::string& displayPath,
                           FileMode mode = FileMode::platformDefault());

// Writes all of `bytes` to `fd`, resuming after short writes and signals.
// False, with errno set, on failure.
bool writeAll(int fd, std::string_view bytes);

// Reads `fd` to its end into `out`, resuming after signals. False, with errno
// set, on failure, or with EFBIG once more than `maxBytes` have arrived.
bool readAll(int fd, std::string& out, std::size_t maxBytes = std::numeric_limits<std::size_t>::max());

// fsync of an open folder, so that the entries made in it survive a crash.
// File systems that cannot sync a folder are not an error. Throws FileError
// ("FILE_WRITE_FAILED") naming `displayPath`.
void syncDirectory(int fd, const std::string& displayPath);

// The whole content of a file; nullopt when it does not exist. Other failures
// throw FileError ("FILE_READ_FAILED").
std::optional<std::string> readFileIfExists(const std::string& path);

// mkdir -p with `mode` for folders it creates. Throws FileError
// ("DIRECTORY_CREATE_FAILED").
void createDirectories(const std::string& path, mode_t mode = 0755);

// An exclusive flock on `path` (created 0600 when missing), held for the life
// of the object. Each holder opens the lock file itself: flock conflicts
// between open file descriptions, so threads of one process exclude each
// other exactly as processes do. Throws FileError ("FILE_WRITE_FAILED").
class ExclusiveFileLock {
public:
    explicit ExclusiveFileLock(const std::string& path);
    ~ExclusiveFileLock();  // closing releases the lock
    ExclusiveFileLock(const ExclusiveFileLock&) = delete;
    ExclusiveFileLock& operator=(const ExclusiveFileLock&) = delete;

private:
    int fd_ = -1;
};

}  // namespace palisor
