#pragma once

// Files and folders that someone else controls: a workspace is a repository
// whose content comes from commits, agents and other programs, so its files
// may be links, FIFOs, devices or huge, and its folders links to anywhere.

#include <sys/types.h>

#include <cstddef>
#include <optional>
#include <string>

#include "bridge/common/bridge_error.h"

namespace palisor {

// An open descriptor, closed with its owner.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(Fd&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    Fd& operator=(Fd&& other) noexcept;
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    void reset();

private:
    int fd_ = -1;
};

// How a bounded read went.
enum class BoundedReadStatus { ok, missing, link, notRegular, tooLarge, failed };

struct BoundedRead {
    BoundedReadStatus status = BoundedReadStatus::failed;
    std::string bytes;  // the whole file when ok
    int error = 0;      // errno for failed
};

// Reads `name` in `dirFd` (AT_FDCWD for a path) as a file the reader does
// not trust: opened without blocking, so that a FIFO never hangs the reader;
// refused unless it is a regular file; never more than `maxBytes` read, so
// that neither a huge file nor one that grows while it is read can take the
// memory. With `followLink` false a symbolic link in the last place is
// refused too.
BoundedRead readBoundedFileAt(int dirFd, const std::string& name, std::size_t maxBytes, bool followLink);

// The same, with every outcome but ok and missing thrown as FileError naming
// `displayPath`: "FILE_NOT_REGULAR:<path>" (a FIFO, a device, a folder, or a
// link where none is followed), "FILE_TOO_LARGE:<path>", or
// "FILE_READ_FAILED:<path>". nullopt when the file does not exist.
std::optional<std::string> readBoundedFile(int dirFd, const std::string& name, std::size_t maxBytes,
                                           bool followLink, const std::string& displayPath);

// The FileError readBoundedFile throws for an outcome other than ok or
// missing.
[[noreturn]] void throwUnreadable(const BoundedRead& read, std::size_t maxBytes, const std::string& displayPath);

// A folder that would lead out of the folder it must stay in.
// "PATH_OUTSIDE_ALLOWED_ROOT:<where it really is>".
class PathOutsideAllowedRootError : public BridgeError {
public:
    explicit PathOutsideAllowedRootError(const std::string& path);
    const std::string& path() const noexcept { return path_; }

private:
    std::string path_;
};

// Opens the folder `relative` (plain folder names joined with "/") below
// `root`, one folder at a time from the root, creating missing folders with
// `mode` when `create` is set (their names made durable in their parents).
// A link on the way is followed only while the folder it leads to lies
// inside the root's real place; the last folder must lie strictly beneath
// it. The checks are made on the open folders, so a link swapped in between
// two steps cannot slip through. Throws PathOutsideAllowedRootError, or
// FileError when a folder cannot be opened or created.
Fd openFolderInside(const std::string& root, const std::string& relative, bool create, mode_t mode = 0777);

}  // namespace palisor
