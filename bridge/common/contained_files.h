#pragma once

// Files and folders that someone else controls: a workspace is a repository
// whose content comes from commits, agents and other programs, so its files
// may be links, FIFOs, devices or huge, and its folders links to anywhere.

#include <sys/types.h>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

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

// The names in an open folder, without "." and "..". Empty when it cannot
// be listed.
std::vector<std::string> entryNames(int dirFd);

// Removes `name` in `dirFd` with everything below it. A link is removed
// itself, never what it leads to, and no folder is entered through a link.
// The walk holds two descriptors at a time however deep the tree, going back
// up through "..". False when something could not be removed; true when
// there was nothing to remove.
bool removeEntry(int dirFd, const std::string& name);

// Opens the folder `parts[0..count)` below `base` without following any
// link, creating missing folders (mode 0777 less the umask) when `create` is
// set. `displayBase` is the path of `base` in errors. Throws
// PathOutsideAllowedRootError naming the path where a link stands, FileError
// when a folder cannot be opened or created.
Fd openFolderBelow(int base, const std::vector<std::string>& parts, std::size_t count, bool create,
                   const std::string& displayBase);

// Writes `bytes` as `name` in `dirFd` (mode 0666 less the umask), replacing a
// regular file of that name, and returns it still open, not yet synced.
// Throws PathOutsideAllowedRootError(displayPath) when a link stands there,
// FileError ("FILE_WRITE_FAILED") when it is not a regular file or cannot be
// written.
Fd writeFileAt(int dirFd, const std::string& name, std::string_view bytes, const std::string& displayPath);

// Puts the entry `staged` of `dirFd` in the place of `target`. An existing
// target is exchanged with it atomically and then removed from under the
// staged name, so that at no instant is the target missing or half written.
// File systems without the exchange get two renames, the old target moved
// to `aside` in between (removed once the new one is in place). Throws
// FileError ("FILE_WRITE_FAILED") naming `displayTarget`.
void swapIntoPlace(int dirFd, const std::string& staged, const std::string& target, const std::string& aside,
                   const std::string& displayTarget);

}  // namespace palisor
