#include "bridge/common/atomic_file.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <vector>

#include "bridge/common/bridge_error.h"
#include "bridge/common/contained_files.h"
#include "bridge/common/paths.h"
#include "bridge/common/text.h"
#include "bridge/common/uuid.h"

namespace palisor {

namespace {

[[noreturn]] void fail(const char* code, const std::string& what, const std::string& path, int error) {
    throw FileError(code, what + " " + path + ": " + std::strerror(error), error);
}

// A temporary file of a write is ".<name>.<pid>.<8 hex>.tmp", so that one
// left by a writer that was killed before its rename can be told from one a
// live writer is still filling.
std::string temporaryName(const std::string& name) {
    return "." + name + "." + std::to_string(::getpid()) + "." + randomUuidLower().substr(0, 8) + ".tmp";
}

bool isHex8(std::string_view text) {
    return text.size() == 8 && text.find_first_not_of("0123456789abcdef") == std::string_view::npos;
}

// Removes the temporary files of `name` whose writer is gone: its process
// has ended, or (names from before the process id was part of them) the
// file has not changed for an hour, longer than any write takes.
void removeAbandonedTemporaries(int dirFd, const std::string& name) {
    std::string prefix = "." + name + ".";
    std::vector<std::string> abandoned;
    auto hourAgo = std::chrono::system_clock::now() - std::chrono::hours(1);
    for (const std::string& entry : entryNames(dirFd)) {
        std::string_view entryName = entry;
        if (!startsWith(entryName, prefix) || entryName.size() < prefix.size() + 4 ||
            entryName.substr(entryName.size() - 4) != ".tmp")
            continue;
        std::string_view middle = entryName.substr(prefix.size(), entryName.size() - prefix.size() - 4);
        std::size_t dot = middle.rfind('.');
        bool gone = false;
        if (dot == std::string_view::npos) {
            struct stat info {};
            gone = isHex8(middle) && ::fstatat(dirFd, entry.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
                   std::chrono::system_clock::from_time_t(info.st_mtime) < hourAgo;
        } else if (auto pid = parseDecimalInteger(middle.substr(0, dot)); pid && *pid > 0 && isHex8(middle.substr(dot + 1))) {
            gone = ::kill(static_cast<pid_t>(*pid), 0) != 0 && errno == ESRCH;
        }
        if (gone) abandoned.push_back(entry);
    }
    for (const std::string& leftover : abandoned) ::unlinkat(dirFd, leftover.c_str(), 0);
}

}  // namespace

bool writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

void syncDirectory(int fd, const std::string& displayPath) {
    // Some file systems cannot sync a folder; that is not a lost write.
    if (::fsync(fd) != 0 && errno != EINVAL && errno != EROFS)
        fail("FILE_WRITE_FAILED", "cannot sync folder", displayPath, errno);
}

void writeFileAtomically(const std::string& path, std::string_view bytes, FileMode mode) {
    std::string dir = parentPath(path);
    int dirFd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0) fail("FILE_WRITE_FAILED", "cannot open folder", dir, errno);
    try {
        writeFileAtomicallyAt(dirFd, lastPathComponent(path), bytes, path, mode);
    } catch (...) {
        ::close(dirFd);
        throw;
    }
    ::close(dirFd);
}

void writeFileAtomicallyAt(int dirFd, const std::string& name, std::string_view bytes, const std::string& displayPath,
                           FileMode mode) {
    removeAbandonedTemporaries(dirFd, name);
    std::string temp = temporaryName(name);
    // Private until its bits are set, unless creation itself gives them.
    int fd = ::openat(dirFd, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                      mode.fromCreation() ? mode.bits() : 0600);
    if (fd < 0) fail("FILE_WRITE_FAILED", "cannot create", parentPath(displayPath) + "/" + temp, errno);
    int error = 0;
    const char* step = nullptr;
    if (!writeAll(fd, bytes)) {
        error = errno;
        step = "cannot write";
    } else if (!mode.fromCreation() && ::fchmod(fd, mode.bits()) != 0 && mode.required()) {
        error = errno;
        step = "cannot set permissions of";
    } else if (::fsync(fd) != 0) {
        error = errno;
        step = "cannot sync";
    }
    if (::close(fd) != 0 && step == nullptr) {
        error = errno;
        step = "cannot close";
    }
    if (step == nullptr && ::renameat(dirFd, temp.c_str(), dirFd, name.c_str()) != 0) {
        error = errno;
        step = "cannot replace";
    }
    if (step != nullptr) {
        ::unlinkat(dirFd, temp.c_str(), 0);
        fail("FILE_WRITE_FAILED", step, displayPath, error);
    }
    syncDirectory(dirFd, parentPath(displayPath));
}

bool readAll(int fd, std::string& out, std::size_t maxBytes) {
    char buffer[65536];
    while (true) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) return true;
        // A file that grows while it is read is held to the same bound.
        if (static_cast<std::size_t>(n) > maxBytes - out.size()) {
            errno = EFBIG;
            return false;
        }
        out.append(buffer, static_cast<std::size_t>(n));
    }
}

std::optional<std::string> readFileIfExists(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) return std::nullopt;
        fail("FILE_READ_FAILED", "cannot open", path, errno);
    }
    std::string out;
    bool read = readAll(fd, out);
    int error = errno;
    ::close(fd);
    if (!read) fail("FILE_READ_FAILED", "cannot read", path, error);
    return out;
}

void createDirectories(const std::string& path, mode_t mode) {
    std::string current;
    std::string_view rest(path);
    if (!rest.empty() && rest.front() == '/') current = "/";
    while (!rest.empty()) {
        std::size_t slash = rest.find('/');
        std::string_view piece = rest.substr(0, slash);
        rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
        if (piece.empty()) continue;
        if (!current.empty() && current.back() != '/') current += '/';
        current += piece;
        if (::mkdir(current.c_str(), mode) != 0 && errno != EEXIST)
            fail("DIRECTORY_CREATE_FAILED", "cannot create folder", current, errno);
    }
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
        fail("DIRECTORY_CREATE_FAILED", "not a folder:", path, ENOTDIR);
}

ExclusiveFileLock::ExclusiveFileLock(const std::string& path) {
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd_ < 0) fail("FILE_WRITE_FAILED", "cannot lock", path, errno);
    while (::flock(fd_, LOCK_EX) != 0) {
        if (errno == EINTR) continue;
        int error = errno;
        ::close(fd_);
        fail("FILE_WRITE_FAILED", "cannot lock", path, error);
    }
}

ExclusiveFileLock::~ExclusiveFileLock() { ::close(fd_); }

}  // namespace palisor
