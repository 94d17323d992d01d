#include "bridge/common/contained_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "bridge/common/atomic_file.h"
#include "bridge/common/paths.h"
#include "bridge/common/text.h"

namespace palisor {

namespace {

constexpr int kOpenFolder = O_RDONLY | O_DIRECTORY | O_CLOEXEC;

[[noreturn]] void fail(const std::string& code, const std::string& detail, int error) {
    throw FileError(code, detail, error);
}

// Where an open folder really is. Reading the descriptor's own link cannot be
// raced: it names the folder that was opened, whatever the path now says.
std::string realPathOf(int fd, const std::string& openedPath) {
    char link[64];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    char buffer[PATH_MAX];
    ssize_t n = ::readlink(link, buffer, sizeof buffer);
    if (n > 0 && static_cast<std::size_t>(n) < sizeof buffer) return std::string(buffer, static_cast<std::size_t>(n));
    // Without /proc, the path as resolved now.
    if (char* resolved = ::realpath(openedPath.c_str(), nullptr)) {
        std::string real(resolved);
        std::free(resolved);
        return real;
    }
    int error = errno ? errno : ENOENT;
    fail("FILE_READ_FAILED", "cannot resolve " + openedPath + ": " + std::strerror(error), error);
}

}  // namespace

Fd& Fd::operator=(Fd&& other) noexcept {
    if (this != &other) {
        reset();
        fd_ = other.fd_;
        other.fd_ = -1;
    }
    return *this;
}

void Fd::reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

BoundedRead readBoundedFileAt(int dirFd, const std::string& name, std::size_t maxBytes, bool followLink) {
    BoundedRead result;
    int flags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | (followLink ? 0 : O_NOFOLLOW);
    Fd fd(::openat(dirFd, name.c_str(), flags));
    if (!fd) {
        result.error = errno;
        result.status = errno == ENOENT ? BoundedReadStatus::missing
                        : errno == ELOOP && !followLink ? BoundedReadStatus::link
                                                        : BoundedReadStatus::failed;
        return result;
    }
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0) {
        result.error = errno;
        return result;
    }
    if (!S_ISREG(info.st_mode)) {
        result.status = BoundedReadStatus::notRegular;
        return result;
    }
    if (info.st_size < 0 || static_cast<std::size_t>(info.st_size) > maxBytes) {
        result.status = BoundedReadStatus::tooLarge;
        return result;
    }
    result.bytes.reserve(static_cast<std::size_t>(info.st_size));
    if (!readAll(fd.get(), result.bytes, maxBytes)) {
        result.error = errno;
        result.status = errno == EFBIG ? BoundedReadStatus::tooLarge : BoundedReadStatus::failed;
        result.bytes.clear();
        return result;
    }
    result.status = BoundedReadStatus::ok;
    return result;
}

std::optional<std::string> readBoundedFile(int dirFd, const std::string& name, std::size_t maxBytes,
                                           bool followLink, const std::string& displayPath) {
    BoundedRead read = readBoundedFileAt(dirFd, name, maxBytes, followLink);
    if (read.status == BoundedReadStatus::ok) return std::move(read.bytes);
    if (read.status == BoundedReadStatus::missing) return std::nullopt;
    throwUnreadable(read, maxBytes, displayPath);
}

void throwUnreadable(const BoundedRead& read, std::size_t maxBytes, const std::string& displayPath) {
    switch (read.status) {
        case BoundedReadStatus::link:
            fail("FILE_NOT_REGULAR:" + displayPath, displayPath + " is a symbolic link, which is not followed here",
                 ELOOP);
        case BoundedReadStatus::notRegular:
            fail("FILE_NOT_REGULAR:" + displayPath,
                 displayPath + " is not a regular file (a FIFO, a device or a folder is never read)", EINVAL);
        case BoundedReadStatus::tooLarge:
            fail("FILE_TOO_LARGE:" + displayPath,
                 displayPath + " is larger than " + std::to_string(maxBytes) + " bytes, more than it can hold", EFBIG);
        default:
            break;
    }
    int error = read.error ? read.error : EIO;
    fail("FILE_READ_FAILED:" + displayPath, "cannot read " + displayPath + ": " + std::strerror(error), error);
}

PathOutsideAllowedRootError::PathOutsideAllowedRootError(const std::string& path)
    : BridgeError("PATH_OUTSIDE_ALLOWED_ROOT:" + path), path_(path) {}

Fd openFolderInside(const std::string& root, const std::string& relative, bool create, mode_t mode) {
    std::string top = standardizePath(root);
    // The root's own path, links included, is the user's choice.
    if (create) createDirectories(top);
    Fd current(::open(top.c_str(), kOpenFolder));
    if (!current) {
        int error = errno;
        fail("FILE_READ_FAILED", "cannot open folder " + top + ": " + std::strerror(error), error);
    }
    std::string realRoot = realPathOf(current.get(), top);

    std::vector<std::string> parts;
    for (std::string_view part : splitKeepingEmpty(relative, "/"))
        if (!part.empty()) parts.emplace_back(part);
    if (parts.empty()) throw PathOutsideAllowedRootError(realRoot);
    std::string lexical = top;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        const std::string& part = parts[i];
        if (isDotSegment(part)) throw PathOutsideAllowedRootError(standardizePath(joinPath(lexical, part)));
        lexical = joinPath(lexical, part);
        if (create) {
            if (::mkdirat(current.get(), part.c_str(), mode) == 0) {
                // The new name lives in its parent: without this a crash could
                // lose the folder together with a file durably written in it.
                syncDirectory(current.get(), parentPath(lexical));
            } else if (errno != EEXIST) {
                int error = errno;
                fail("DIRECTORY_CREATE_FAILED", "cannot create folder " + lexical + ": " + std::strerror(error),
                     error);
            }
        }
        // Followed on purpose: a link that stays inside the root is fine;
        // where it led is checked on the open folder itself.
        Fd next(::openat(current.get(), part.c_str(), kOpenFolder));
        if (!next) {
            int error = errno;
            fail("FILE_READ_FAILED", "cannot open folder " + lexical + ": " + std::strerror(error), error);
        }
        std::string real = realPathOf(next.get(), lexical);
        bool last = i + 1 == parts.size();
        if (!isInsideOrEqual(realRoot, real) || (last && real == realRoot)) throw PathOutsideAllowedRootError(real);
        current = std::move(next);
    }
    return current;
}

}  // namespace palisor
