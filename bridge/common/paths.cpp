#include "bridge/common/paths.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

namespace palisor {

std::string passwordDatabaseHome() {
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* result = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &result) == 0 && result && result->pw_dir)
        return result->pw_dir;
    return "/";
}

UserFolders UserFolders::resolve(const UserFolderVariables& variables) {
    auto absolute = [](const std::optional<std::string>& value) {
        return value && !value->empty() && value->front() == '/' ? *value : std::string();
    };
    UserFolders folders;
    folders.home = variables.home && !variables.home->empty() ? *variables.home : passwordDatabaseHome();
    std::string data = absolute(variables.dataHome);
    folders.applicationSupport = data.empty() ? joinPath(folders.home, ".local/share") : standardizePath(data);
    std::string config = absolute(variables.configHome);
    folders.configuration = joinPath(config.empty() ? joinPath(folders.home, ".config") : config, "palisor-bridge");
    std::string state = absolute(variables.stateHome);
    folders.state =
        joinPath(state.empty() ? joinPath(folders.home, ".local/state") : standardizePath(state), "palisor-bridge");
    std::string runtime = absolute(variables.runtimeDir);
    if (runtime.empty()) runtime = absolute(variables.cacheHome);
    if (runtime.empty()) runtime = joinPath(folders.home, ".cache");
    folders.runtime = joinPath(runtime, "palisor-bridge");
    return folders;
}

std::string currentDirectory() {
    std::string buffer(4096, '\0');
    while (getcwd(buffer.data(), buffer.size()) == nullptr) {
        if (errno != ERANGE) return "/";
        buffer.resize(buffer.size() * 2);
    }
    buffer.resize(std::char_traits<char>::length(buffer.c_str()));
    return buffer;
}

std::string standardizePath(std::string_view path, std::string_view base) {
    std::string full;
    if (!path.empty() && path.front() == '/') {
        full = path;
    } else {
        full = base;
        full += '/';
        full += path;
    }
    std::vector<std::string_view> parts;
    std::string_view rest(full);
    while (!rest.empty()) {
        std::size_t slash = rest.find('/');
        std::string_view piece = rest.substr(0, slash);
        rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
        if (piece.empty() || piece == ".") continue;
        if (piece == "..") {
            if (!parts.empty()) parts.pop_back();
            continue;
        }
        parts.push_back(piece);
    }
    if (parts.empty()) return "/";
    std::string out;
    for (std::string_view piece : parts) {
        out += '/';
        out += piece;
    }
    return out;
}

std::string executableDirectory() {
    std::string buffer(4096, '\0');
    ssize_t length = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (length <= 0 || static_cast<std::size_t>(length) >= buffer.size()) return {};
    buffer.resize(static_cast<std::size_t>(length));
    return parentPath(buffer);
}

std::string standardizePath(std::string_view path) { return standardizePath(path, currentDirectory()); }

std::string joinPath(std::string_view base, std::string_view component) {
    std::string out(base);
    while (!out.empty() && out.back() == '/') out.pop_back();
    std::size_t skip = 0;
    while (skip < component.size() && component[skip] == '/') ++skip;
    out += '/';
    out += component.substr(skip);
    return out;
}

std::string lastPathComponent(std::string_view path) {
    while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
    if (path == "/") return "/";
    std::size_t slash = path.rfind('/');
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

std::string parentPath(std::string_view path) {
    while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
    std::size_t slash = path.rfind('/');
    if (slash == std::string_view::npos) return ".";
    if (slash == 0) return "/";
    return std::string(path.substr(0, slash));
}

bool isInsideOrEqual(std::string_view root, std::string_view target) {
    if (target == root) return true;
    if (root == "/") return !target.empty() && target.front() == '/';
    return target.size() > root.size() && target.substr(0, root.size()) == root && target[root.size()] == '/';
}

bool isDirectory(const std::string& path) {
    struct stat info {};
    return !path.empty() && ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

}  // namespace palisor
