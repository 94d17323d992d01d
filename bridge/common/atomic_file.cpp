#include "bridge/common/atomic_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "bridge/common/bridge_error.h"
#include "bridge/common/paths.h"
#include "bridge/common/uuid.h"

namespace palisor {

namespace {

[[noreturn]] void fail(const char* code, const std::string& what, const std::string& path, int error) {
    throw FileError(code, what + " " + path + ": " + std::strerror(error), error);
}

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

void syncDirectory(const std::string& dir) {
    int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) fail("FILE_WRITE_FAILED", "cannot open folder", dir, errno);
    int rc = ::fsync(fd);
    int error = errno;
    ::close(fd);
    // Some file systems cannot sync a folder; that is not a lost write.
    if (rc != 0 && error != EINVAL && error != EROFS) fail("FILE_WRITE_FAILED", "cannot sync folder", dir, error);
}

}  // namespace

void writeFileAtomically(const std::string& path, std::string_view bytes, mode_t mode) {
    std::string dir = parentPath(path);
    std::string temp = dir + "/." + lastPathComponent(path) + "." + randomUuidLower().substr(0, 8) + ".tmp";
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) fail("FILE_WRITE_FAILED", "cannot create", temp, errno);
    int error = 0;
    const char* step = nullptr;
    if (!writeAll(fd, bytes)) {
        error = errno;
        step = "cannot write";
    } else if (::fchmod(fd, mode) != 0) {
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
    if (step == nullptr && ::rename(temp.c_str(), path.c_str()) != 0) {
        error = errno;
        step = "cannot replace";
    }
    if (step != nullptr) {
        ::unlink(temp.c_str());
        fail("FILE_WRITE_FAILED", step, path, error);
    }
    syncDirectory(dir);
}

std::optional<std::string> readFileIfExists(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) return std::nullopt;
        fail("FILE_READ_FAILED", "cannot open", path, errno);
    }
    std::string out;
    char buffer[65536];
    while (true) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) continue;
            int error = errno;
            ::close(fd);
            fail("FILE_READ_FAILED", "cannot read", path, error);
        }
        if (n == 0) break;
        out.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
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
