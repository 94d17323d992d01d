#include "bridge/common/contained_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
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
constexpr int kOpenFolderNoFollow = kOpenFolder | O_NOFOLLOW;

[[noreturn]] void fail(const std::string& code, const std::string& detail, int error) {
    throw FileError(code, detail, error);
}

[[noreturn]] void failAt(const char* code, const std::string& what, const std::string& path, int error) {
    fail(code, what + " " + path + ": " + std::strerror(error), error);
}

bool isLink(int dirFd, const std::string& name) {
    struct stat info {};
    return ::fstatat(dirFd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(info.st_mode);
}

bool exchangeUnsupported(int error) { return error == EINVAL || error == ENOSYS || error == ENOTSUP; }

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

std::vector<std::string> entryNames(int dirFd) {
    std::vector<std::string> names;
    int scan = ::openat(dirFd, ".", kOpenFolder);
    if (scan < 0) return names;
    DIR* dir = ::fdopendir(scan);
    if (!dir) {
        ::close(scan);
        return names;
    }
    while (dirent* entry = ::readdir(dir)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(std::move(name));
    }
    ::closedir(dir);
    return names;
}

bool removeEntry(int dirFd, const std::string& name) {
    struct stat info {};
    if (::fstatat(dirFd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) return errno == ENOENT;
    if (!S_ISDIR(info.st_mode)) return ::unlinkat(dirFd, name.c_str(), 0) == 0 || errno == ENOENT;
    Fd current(::openat(dirFd, name.c_str(), kOpenFolderNoFollow));
    if (!current) {
        // Replaced by a link or a file since it was looked at.
        if (errno == ELOOP || errno == ENOTDIR) return ::unlinkat(dirFd, name.c_str(), 0) == 0;
        return false;
    }
    std::vector<std::string> descended;  // names of the folders entered below `name`
    while (true) {
        std::optional<std::string> subfolder;
        for (const std::string& entry : entryNames(current.get())) {
            struct stat entryInfo {};
            if (::fstatat(current.get(), entry.c_str(), &entryInfo, AT_SYMLINK_NOFOLLOW) != 0) continue;
            if (S_ISDIR(entryInfo.st_mode)) {
                if (!subfolder) subfolder = entry;
            } else if (::unlinkat(current.get(), entry.c_str(), 0) != 0 && errno != ENOENT) {
                return false;
            }
        }
        if (subfolder) {
            Fd next(::openat(current.get(), subfolder->c_str(), kOpenFolderNoFollow));
            if (!next) {
                if ((errno != ELOOP && errno != ENOTDIR) || ::unlinkat(current.get(), subfolder->c_str(), 0) != 0)
                    return false;
                continue;
            }
            descended.push_back(*subfolder);
            current = std::move(next);
            continue;
        }
        if (descended.empty()) {
            current.reset();
            return ::unlinkat(dirFd, name.c_str(), AT_REMOVEDIR) == 0;
        }
        Fd parent(::openat(current.get(), "..", kOpenFolder));
        if (!parent) return false;
        current = std::move(parent);
        // A folder that cannot be removed would be found again and again.
        if (::unlinkat(current.get(), descended.back().c_str(), AT_REMOVEDIR) != 0) return false;
        descended.pop_back();
    }
}

Fd openFolderBelow(int base, const std::vector<std::string>& parts, std::size_t count, bool create,
                   const std::string& displayBase) {
    Fd current(::openat(base, ".", kOpenFolder));
    if (!current) failAt("FILE_READ_FAILED", "cannot open folder", displayBase, errno);
    std::string lexical = displayBase;
    for (std::size_t i = 0; i < count; ++i) {
        lexical = joinPath(lexical, parts[i]);
        if (create && ::mkdirat(current.get(), parts[i].c_str(), 0777) != 0 && errno != EEXIST)
            failAt("DIRECTORY_CREATE_FAILED", "cannot create folder", lexical, errno);
        Fd next(::openat(current.get(), parts[i].c_str(), kOpenFolderNoFollow));
        if (!next) {
            int error = errno;
            if (error == ELOOP || isLink(current.get(), parts[i])) throw PathOutsideAllowedRootError(lexical);
            failAt("FILE_READ_FAILED", "cannot open folder", lexical, error);
        }
        current = std::move(next);
    }
    return current;
}

Fd writeFileAt(int dirFd, const std::string& name, std::string_view bytes, const std::string& displayPath) {
    Fd fd(::openat(dirFd, name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666));
    if (!fd) {
        int error = errno;
        if (error == ELOOP) throw PathOutsideAllowedRootError(displayPath);
        failAt("FILE_WRITE_FAILED", "cannot create", displayPath, error);
    }
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode))
        failAt("FILE_WRITE_FAILED", "not a file:", displayPath, EINVAL);
    if (!writeAll(fd.get(), bytes)) failAt("FILE_WRITE_FAILED", "cannot write", displayPath, errno);
    return fd;
}

void swapIntoPlace(int dirFd, const std::string& staged, const std::string& target, const std::string& aside,
                   const std::string& displayTarget) {
    for (int attempt = 0; attempt < 8; ++attempt) {
        if (::renameat2(dirFd, staged.c_str(), dirFd, target.c_str(), RENAME_NOREPLACE) == 0) return;
        int error = errno;
        if (error == EEXIST) {
            if (::renameat2(dirFd, staged.c_str(), dirFd, target.c_str(), RENAME_EXCHANGE) == 0) {
                removeEntry(dirFd, staged);
                return;
            }
            error = errno;
            if (error == ENOENT) continue;  // the target went away in between
        }
        if (!exchangeUnsupported(error)) failAt("FILE_WRITE_FAILED", "cannot move into place", displayTarget, error);
        // No exchange here: move the old entry aside first.
        removeEntry(dirFd, aside);
        bool hadTarget = ::renameat(dirFd, target.c_str(), dirFd, aside.c_str()) == 0;
        if (!hadTarget && errno != ENOENT) failAt("FILE_WRITE_FAILED", "cannot move aside", displayTarget, errno);
        if (::renameat(dirFd, staged.c_str(), dirFd, target.c_str()) != 0) {
            int moveError = errno;
            if (hadTarget) ::renameat(dirFd, aside.c_str(), dirFd, target.c_str());
            failAt("FILE_WRITE_FAILED", "cannot move into place", displayTarget, moveError);
        }
        if (hadTarget) removeEntry(dirFd, aside);
        return;
    }
    failAt("FILE_WRITE_FAILED", "cannot move into place", displayTarget, EAGAIN);
}

}  // namespace palisor
