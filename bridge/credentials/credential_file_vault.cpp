#include "bridge/credentials/credential_file_vault.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <utility>
#include <vector>

#include "bridge/common/atomic_file.h"
#include "bridge/common/bridge_error.h"
#include "bridge/common/contained_files.h"
#include "bridge/common/json.h"
#include "bridge/common/jwt.h"
#include "bridge/common/paths.h"
#include "bridge/common/text.h"

namespace palisor {

namespace {

// The file's object, or nullopt when it is not a credential file. A missing
// or blank file is an empty one: users create it with `touch` to opt in.
std::optional<JsonValue> parseCredentialFile(const std::optional<std::string>& bytes) {
    if (!bytes || trim(*bytes).empty()) return JsonValue::object();
    std::optional<JsonValue> parsed = parseJson(*bytes);
    if (!parsed || !parsed->is_object()) return std::nullopt;
    auto items = parsed->find("items");
    if (items == parsed->end()) return parsed;
    if (!items->is_object()) return std::nullopt;
    for (const auto& [service, accounts] : items->items()) {
        if (!accounts.is_object()) return std::nullopt;
        for (const auto& [account, data] : accounts.items())
            if (!data.is_string() || !base64Decode(data.get<std::string>())) return std::nullopt;
    }
    return parsed;
}

std::string octalMode(mode_t mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

// This user as `chown` takes it: the name, or the number without one.
std::string thisUser() {
    uid_t uid = ::geteuid();
    passwd entry{};
    passwd* found = nullptr;
    std::vector<char> buffer(16384);
    if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found && found->pw_name)
        return found->pw_name;
    return std::to_string(uid);
}

std::string moveToPrivateFolder(const std::string& example) {
    return "chuyển file vào một thư mục riêng của tài khoản này" +
           (example.empty() ? std::string() : " (ví dụ " + example + ")") +
           " rồi chạy palisor-bridge login --credential-file với đường dẫn mới (hoặc đặt "
           "PALISOR_BRIDGE_CREDENTIAL_FILE tới đó, nếu bạn dùng biến này).";
}

std::optional<CredentialFileRefusal> fileRefusal(const std::string& path, const struct stat& info) {
    if (info.st_uid != ::geteuid())
        return CredentialFileRefusal{
            path + " thuộc về người dùng khác (uid " + std::to_string(info.st_uid) +
                "): người đó đọc và thay được phiên đăng nhập.",
            "Chuyển file cho tài khoản này: chown " + thisUser() + " " + path + "."};
    if ((info.st_mode & 077) != 0)
        return CredentialFileRefusal{
            path + " có mode " + octalMode(info.st_mode) +
                ((info.st_mode & 044) != 0 ? ": người khác đọc được phiên đăng nhập."
                                           : ": người khác có quyền trên file phiên đăng nhập."),
            "Chạy chmod 600 " + path + "."};
    return std::nullopt;
}

// Whoever may write the folder may replace the file with one of their own, or
// make it (or its lock file) before the first login. A world-writable folder
// with the sticky bit, such as /tmp, keeps others from replacing a file they
// do not own but not from making one under the name the bridge will use, so
// it is refused too. The folder's owner can do all of that; root is trusted
// anyway.
std::optional<CredentialFileRefusal> folderRefusal(const std::string& path, const std::string& example,
                                                   const struct stat& folder) {
    std::string folderPath = parentPath(path);
    bool ours = folder.st_uid == ::geteuid();
    if (!ours && folder.st_uid != 0)
        return CredentialFileRefusal{path + " nằm trong thư mục " + folderPath + " của người dùng khác (uid " +
                                         std::to_string(folder.st_uid) + "): người đó thay được phiên đăng nhập.",
                                     "Hãy " + moveToPrivateFolder(example)};
    if ((folder.st_mode & 022) != 0) {
        // chmod on a shared folder such as /tmp would break it for everyone else.
        bool ownFolder = ours && (folder.st_mode & S_ISVTX) == 0;
        return CredentialFileRefusal{path + " nằm trong thư mục " + folderPath + " (mode " + octalMode(folder.st_mode) +
                                         ") mà người khác ghi được: họ thay hoặc tạo được file phiên đăng nhập.",
                                     ownFolder
                                         ? "Chạy chmod go-w " + folderPath + ", hoặc " + moveToPrivateFolder(example)
                                         : "Hãy " + moveToPrivateFolder(example)};
    }
    return std::nullopt;
}

// The credential file as a call finds it.
struct Found {
    std::int32_t status = vault_status::kSuccess;  // else kFileNotPrivate or kFileUnreadable
    std::optional<CredentialFileRefusal> refusal;  // with kFileNotPrivate
    std::string failure;                           // with kFileUnreadable: what failed where, and why
    Fd folder;                                     // not open when the folder does not exist
    std::optional<std::string> bytes;              // nullopt when there is no file
};

// Opens the folder, and the file in it without following a link, checks both
// and reads the file. Checking and reading go through the same descriptors,
// so what is read is what was checked. The folder of a missing file is
// checked only `forWriting`: nothing can be read there, but a write would
// make the file in it.
Found find(const std::string& path, const std::string& example, bool forWriting) {
    Found found;
    // Called with errno as the failed call left it: read before any text is made.
    auto unreadable = [&](int error, const char* what, const std::string& where) {
        found.status = vault_status::kFileUnreadable;
        found.failure = what + where + ": " + std::strerror(error);
    };
    const std::string folderPath = parentPath(path);
    found.folder = Fd(::open(folderPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    struct stat folderInfo {};
    if (found.folder.get() < 0 || ::fstat(found.folder.get(), &folderInfo) != 0) {
        if (errno != ENOENT) unreadable(errno, "cannot open folder ", folderPath);
        return found;
    }
    auto refuse = [&](std::optional<CredentialFileRefusal> refusal) {
        if (!refusal) return false;
        found.status = vault_status::kFileNotPrivate;
        found.refusal = std::move(refusal);
        return true;
    };
    // Not blocking: a FIFO put in the file's place must not hold the call.
    Fd file(::openat(found.folder.get(), lastPathComponent(path).c_str(),
                             O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (file.get() < 0) {
        if (errno == ELOOP)
            refuse(CredentialFileRefusal{
                path + " là một liên kết tượng trưng; bridge không đọc hay ghi phiên đăng nhập qua liên kết.",
                "Trỏ bridge thẳng tới file thật (palisor-bridge login --credential-file, hoặc "
                "PALISOR_BRIDGE_CREDENTIAL_FILE), hoặc xóa liên kết rồi đăng nhập lại."});
        else if (errno != ENOENT)
            unreadable(errno, "cannot open ", path);
        else if (forWriting)
            refuse(folderRefusal(path, example, folderInfo));
        return found;
    }
    struct stat info {};
    if (::fstat(file.get(), &info) != 0) {
        unreadable(errno, "cannot read ", path);
        return found;
    }
    if (!S_ISREG(info.st_mode)) {
        found.status = vault_status::kFileUnreadable;
        found.failure = path + " is not a regular file";
        return found;
    }
    if (refuse(fileRefusal(path, info)) || refuse(folderRefusal(path, example, folderInfo))) return found;
    found.bytes.emplace();
    if (!readAll(file.get(), *found.bytes)) {
        int error = errno;
        found.bytes.reset();
        unreadable(error, "cannot read ", path);
    }
    return found;
}

void store(int folder, const std::string& path, const JsonValue& contents) {
    // Services and accounts are our own texts and data is Base64, so the
    // object always serialises.
    std::string bytes = contents.dump(2);
    bytes.push_back('\n');
    // Into the folder that was checked; a rename never follows a link.
    writeFileAtomicallyAt(folder, lastPathComponent(path), bytes, path, 0600);
}

// Per thread: a vault serves calls from several threads at once, and each
// caller asks about its own call right after it.
thread_local std::string lastFailure;

// The status of a call that found the file unusable, its failure kept.
std::int32_t failed(const Found& found) {
    lastFailure = found.failure;
    return found.status;
}

}  // namespace

CredentialFileVault::CredentialFileVault(std::string path, std::string suggestedPath)
    : path_(std::move(path)), suggestedPath_(std::move(suggestedPath)) {}

std::optional<CredentialFileRefusal> CredentialFileVault::refusal() const {
    return find(path_, suggestedPath_, true).refusal;
}

KeychainReadResult CredentialFileVault::read(const std::string& service, const std::string& account) {
    // Files are only ever replaced by rename, so a read needs no lock: it sees
    // the old file or the new one, never a mixture.
    Found found = find(path_, suggestedPath_, false);
    if (found.status != vault_status::kSuccess) return {found.status, std::nullopt};
    std::optional<JsonValue> contents = parseCredentialFile(found.bytes);
    if (!contents) return {vault_status::kFileCorrupt, std::nullopt};
    const JsonValue* accounts = objectMember(*contents, "items");
    accounts = accounts ? objectMember(*accounts, service) : nullptr;
    const std::string* data = accounts ? stringMember(*accounts, account) : nullptr;
    if (!data) return {vault_status::kItemNotFound, std::nullopt};
    return {vault_status::kSuccess, base64Decode(*data)};
}

std::int32_t CredentialFileVault::write(const std::string& service, const std::string& account,
                                        std::string_view data) {
    lastFailure.clear();
    try {
        createDirectories(parentPath(path_), 0700);
        // Checked before the lock file is made, so that a folder others can
        // write gets nothing of ours.
        if (Found before = find(path_, suggestedPath_, true); before.status != vault_status::kSuccess)
            return failed(before);
        ExclusiveFileLock lock(path_ + ".lock");
        Found found = find(path_, suggestedPath_, true);
        if (found.status != vault_status::kSuccess) return failed(found);
        if (found.folder.get() < 0) {
            lastFailure = "cannot open folder " + parentPath(path_) + ": " + std::strerror(ENOENT);
            return vault_status::kFileWriteFailed;
        }
        // A corrupt file holds nothing we can use; writing a session (a login)
        // is what replaces it.
        JsonValue contents = parseCredentialFile(found.bytes).value_or(JsonValue::object());
        JsonValue& items = contents["items"];
        if (!items.is_object()) items = JsonValue::object();
        items[service][account] = base64Encode(data);
        contents["version"] = 1;
        store(found.folder.get(), path_, contents);
        return vault_status::kSuccess;
    } catch (const FileError& error) {
        lastFailure = error.detail();
        return vault_status::kFileWriteFailed;
    }
}

std::int32_t CredentialFileVault::remove(const std::string& service, const std::string& account) {
    lastFailure.clear();
    try {
        // Nothing to delete: answer without creating a lock file (or a folder
        // for it) on a machine that never stored anything. A refused file is
        // refused before its folder gets a lock file.
        Found before = find(path_, suggestedPath_, false);
        if (before.status != vault_status::kSuccess) return failed(before);
        if (!before.bytes) return vault_status::kItemNotFound;
        ExclusiveFileLock lock(path_ + ".lock");
        Found found = find(path_, suggestedPath_, false);
        if (found.status != vault_status::kSuccess) return failed(found);
        if (!found.bytes) return vault_status::kItemNotFound;
        std::optional<JsonValue> contents = parseCredentialFile(found.bytes);
        if (!contents) return vault_status::kFileCorrupt;
        auto items = contents->find("items");
        if (items == contents->end()) return vault_status::kItemNotFound;
        auto accounts = items->find(service);
        if (accounts == items->end() || accounts->erase(account) == 0) return vault_status::kItemNotFound;
        if (accounts->empty()) items->erase(accounts);
        store(found.folder.get(), path_, *contents);
        return vault_status::kSuccess;
    } catch (const FileError& error) {
        lastFailure = error.detail();
        return vault_status::kFileWriteFailed;
    }
}

std::string CredentialFileVault::lastFailureDetail() const { return lastFailure; }

}  // namespace palisor
