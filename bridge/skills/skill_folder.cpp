#include "bridge/skills/skill_folder.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>

#include "bridge/common/atomic_file.h"
#include "bridge/common/bridge_error.h"
#include "bridge/common/child_process.h"
#include "bridge/common/contained_files.h"
#include "bridge/common/paths.h"
#include "bridge/common/text.h"
#include "bridge/common/time.h"
#include "bridge/skills/skill_reference_resolver.h"
#include "bridge/skills/skill_sync_error.h"
#include "bridge/skills/skill_values.h"

namespace palisor {

using namespace skill_values;

namespace {

// ---------------------------------------------------------------------------
// Descriptors and system-call failures

[[noreturn]] void fail(const char* code, const std::string& what, const std::string& path, int error) {
    throw FileError(code, what + " " + path + ": " + std::strerror(error), error);
}

constexpr int kOpenFolderNoFollow = O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW;

// ---------------------------------------------------------------------------
// The skill root

std::vector<std::string> pathParts(std::string_view path) {
    std::vector<std::string> parts;
    for (std::string_view part : splitKeepingEmpty(path, "/"))
        if (!part.empty()) parts.emplace_back(part);
    return parts;
}

// Opens the skill root (creating what is missing when asked), walking from the
// workspace one folder at a time; the skill root must lie strictly beneath
// the workspace's real place.
Fd openSkillRoot(const SkillRootPaths& root, bool create) {
    std::string workspace = standardizePath(root.workspaceUrl);
    std::string skillRoot = standardizePath(root.skillRoot);
    assertInside(workspace, skillRoot);
    if (skillRoot == workspace) throw SkillSyncError::pathOutsideAllowedRoot(skillRoot);
    try {
        return openFolderInside(workspace, skillRoot.substr(workspace.size()), create);
    } catch (const PathOutsideAllowedRootError& error) {
        throw SkillSyncError::pathOutsideAllowedRoot(error.path());
    }
}

// ---------------------------------------------------------------------------
// Files below the skill root, never through a link

// The lock file and the markers are small records; a larger file there is
// not one of them.
constexpr std::size_t kMaxRecordBytes = 4 * 1024 * 1024;

// The whole content of a regular file of at most `maxBytes`; nothing when it
// is missing, a link, not a regular file (a planted FIFO must not block the
// read), larger, or unreadable.
std::optional<std::string> readFileAt(int dirFd, const std::string& name, std::size_t maxBytes = kMaxRecordBytes) {
    BoundedRead read = readBoundedFileAt(dirFd, name, maxBytes, false);
    if (read.status != BoundedReadStatus::ok) return std::nullopt;
    return std::move(read.bytes);
}

// Files of a package being staged, synced in batches once written: a file
// system that journals syncs them together with the first of a batch, where
// one sync straight after each write would wait for one commit per file.
class StagedFiles {
public:
    void add(Fd file, std::string lexical) {
        pending_.emplace_back(std::move(file), std::move(lexical));
        if (pending_.size() >= kBatch) syncAll();
    }

    void syncAll() {
        for (auto& [file, lexical] : pending_)
            if (::fsync(file.get()) != 0) fail("FILE_WRITE_FAILED", "cannot sync", lexical, errno);
        pending_.clear();
    }

private:
    static constexpr std::size_t kBatch = 64;
    std::vector<std::pair<Fd, std::string>> pending_;
};

// ---------------------------------------------------------------------------
// Staging

std::string stagingPrefix(const std::string& safeId) { return ".tmp-" + safeId + "-"; }

std::string stagingName(const std::string& safeId, std::int64_t timestamp) {
    return stagingPrefix(safeId) + std::to_string(timestamp) + "-" + std::to_string(::getpid());
}

bool allDigits(std::string_view text) {
    if (text.empty()) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    return true;
}

// Staging folders of this skill whose writer has died: ".tmp-S-T-P" with
// digits T and P where process P no longer exists. A process id that was
// reused keeps its folder until that process is gone too.
void removeStaleStaging(int rootFd, const std::string& safeId) {
    std::string prefix = stagingPrefix(safeId);
    for (const std::string& name : entryNames(rootFd)) {
        if (!startsWith(name, prefix)) continue;
        std::string_view rest = std::string_view(name).substr(prefix.size());
        std::size_t dash = rest.find('-');
        if (dash == std::string_view::npos || !allDigits(rest.substr(0, dash)) || !allDigits(rest.substr(dash + 1)))
            continue;
        auto pid = parseDecimalInteger(rest.substr(dash + 1));
        if (!pid || *pid <= 0 || *pid > INT_MAX) continue;
        if (processExists(static_cast<pid_t>(*pid))) continue;
        removeEntry(rootFd, name);
    }
}

// Folders of a package being staged, kept open by their path below the
// staging folder so that each is created and checked once and synced before
// the swap. At most kMaxOpen stay open (synced and closed in batches), so a
// deep tree cannot exhaust the process's descriptors.
class StagedFolders {
public:
    StagedFolders(int stagingFd, std::string lexicalStaging)
        : stagingFd_(stagingFd), lexicalStaging_(std::move(lexicalStaging)) {}

    // The folder of the first `count` parts, created when missing.
    int folder(const std::vector<std::string>& parts, std::size_t count) {
        std::size_t have = count;
        while (have > 0 && !open_.count(joined(parts, have))) --have;
        if (have == count) return count == 0 ? stagingFd_ : open_.at(joined(parts, count)).get();
        int parent = have == 0 ? stagingFd_ : open_.at(joined(parts, have)).get();
        Fd held;  // the folder last opened, not yet kept
        for (std::size_t i = have; i < count; ++i) {
            Fd next = openFolderBelow(parent, {parts[i]}, 1, true, joinPath(lexicalStaging_, joined(parts, i)));
            if (held) keep(joined(parts, i), std::move(held));
            held = std::move(next);
            parent = held.get();
        }
        return keep(joined(parts, count), std::move(held));
    }

    // Syncs and closes every folder kept so far.
    void syncAll() {
        for (auto& [key, fd] : open_) syncDirectory(fd.get(), joinPath(lexicalStaging_, key));
        open_.clear();
    }

private:
    static constexpr std::size_t kMaxOpen = 64;

    static std::string joined(const std::vector<std::string>& parts, std::size_t count) {
        std::string key;
        for (std::size_t i = 0; i < count; ++i) key += (i ? "/" : "") + parts[i];
        return key;
    }

    int keep(std::string key, Fd fd) {
        if (open_.size() >= kMaxOpen) syncAll();
        return open_.emplace(std::move(key), std::move(fd)).first->second.get();
    }

    int stagingFd_;
    std::string lexicalStaging_;
    std::map<std::string, Fd> open_;
};

JsonValue memberOrNull(const JsonValue& object, const char* key) {
    const JsonValue* value = member(object, key);
    return value ? *value : JsonValue(nullptr);
}

JsonValue stringOrNull(const JsonValue& object, const char* key) {
    auto value = stringValue(object, key);
    return value ? JsonValue(*value) : JsonValue(nullptr);
}

// The parts of a snapshot path, or SKILL_PACKAGE_PATH_ESCAPE.
std::vector<std::string> snapshotParts(const std::string& relativePath) {
    if (relativePath.empty() || relativePath.front() == '/' || relativePath.find('\\') != std::string::npos ||
        relativePath.find('\0') != std::string::npos)
        throw SkillSyncError::unsafePath(relativePath);
    std::vector<std::string> parts = pathParts(relativePath);
    for (const std::string& part : parts)
        if (part == "." || part == "..") throw SkillSyncError::unsafePath(relativePath);
    if (parts.empty()) throw SkillSyncError::unsafePath(relativePath);
    return parts;
}

}  // namespace

// ---------------------------------------------------------------------------

std::int64_t timestampMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

std::string assertSafePathSegment(const std::string& segment) {
    std::string trimmed = trim(segment);
    if (trimmed.empty() || trimmed == "." || trimmed == ".." || trimmed.find_first_of(std::string("/\\\0", 3)) != std::string::npos)
        throw SkillSyncError::unsafePath(segment);
    return trimmed;
}

void assertInside(const std::string& root, const std::string& target) {
    std::string standardRoot = standardizePath(root);
    std::string standardTarget = standardizePath(target);
    if (!isInsideOrEqual(standardRoot, standardTarget)) throw SkillSyncError::pathOutsideAllowedRoot(standardTarget);
}

std::string resolveSnapshotPath(const std::string& packageRoot, const std::string& relativePath) {
    snapshotParts(relativePath);
    std::string root = standardizePath(packageRoot);
    std::string file = standardizePath(joinPath(root, relativePath));
    assertInside(root, file);
    return file;
}

SkillRootPaths ensureWorkspaceSkillRoot(const std::string& workspaceRoot) {
    SkillRootPaths root;
    root.workspaceUrl = standardizePath(workspaceRoot);
    root.skillRoot = standardizePath(joinPath(root.workspaceUrl, kSkillRootRelativePath));
    assertInside(root.workspaceUrl, root.skillRoot);
    openSkillRoot(root, true);
    return root;
}

SkillPackageWrite writeSkillPackage(const SkillRootPaths& root, const std::string& skillId,
                                    const JsonValue& packageInfo, const JsonValue& snapshot) {
    std::string safe = assertSafePathSegment(skillId);
    std::string skillRoot = standardizePath(root.skillRoot);
    std::string target = standardizePath(joinPath(skillRoot, safe));
    assertInside(skillRoot, target);

    // Every path is checked, and every text made, before anything is written.
    struct StagedFile {
        std::vector<std::string> parts;
        std::string text;
    };
    std::vector<StagedFile> files;
    if (snapshot.is_object()) {
        files.reserve(snapshot.size());
        for (const auto& [path, value] : snapshot.items()) {
            resolveSnapshotPath(target, path);
            files.push_back({snapshotParts(path), textualForm(value)});
        }
    }
    JsonValue marker = {{"schemaVersion", 1},
                        {"syncedAt", isoNow()},
                        {"skillId", safe},
                        {"version", stringOrNull(packageInfo, "version")},
                        {"contentHash", stringOrNull(packageInfo, "contentHash")},
                        {"sourceFormat", memberOrNull(packageInfo, "sourceFormat")},
                        {"sourceCompleteness", memberOrNull(packageInfo, "sourceCompleteness")},
                        {"identityVerification", memberOrNull(packageInfo, "identityVerification")},
                        {"downloadUrl", stringOrNull(packageInfo, "downloadUrl")},
                        {"aiNodeInstallPath", stringValue(packageInfo, "aiNodeInstallPath")
                                                  .value_or(std::string(kSkillRootRelativePath) + "/" + safe)}};
    std::string markerText = dumpPrettyForFile(marker);

    Fd rootFd = openSkillRoot(root, true);
    removeStaleStaging(rootFd.get(), safe);
    std::string staging = stagingName(safe, timestampMs());
    std::string lexicalStaging = joinPath(skillRoot, staging);
    removeEntry(rootFd.get(), staging);
    if (::mkdirat(rootFd.get(), staging.c_str(), 0777) != 0)
        fail("DIRECTORY_CREATE_FAILED", "cannot create folder", lexicalStaging, errno);
    try {
        Fd stagingFd(::openat(rootFd.get(), staging.c_str(), kOpenFolderNoFollow));
        if (!stagingFd) fail("FILE_READ_FAILED", "cannot open folder", lexicalStaging, errno);
        StagedFolders folders(stagingFd.get(), lexicalStaging);
        StagedFiles written;
        for (const StagedFile& file : files) {
            int folder = folders.folder(file.parts, file.parts.size() - 1);
            std::string lexical = lexicalStaging;
            for (const std::string& part : file.parts) lexical = joinPath(lexical, part);
            Fd staged = writeFileAt(folder, file.parts.back(), file.text, lexical);
            written.add(std::move(staged), std::move(lexical));
        }
        // Like the package's own files, the marker gets whatever the user's
        // umask gives files they create.
        writeFileAtomicallyAt(stagingFd.get(), kSkillMarkerFileName, markerText,
                              joinPath(lexicalStaging, kSkillMarkerFileName), FileMode::platformDefault());
        written.syncAll();
        folders.syncAll();
        syncDirectory(stagingFd.get(), lexicalStaging);
        // Where the old package waits on a file system without the exchange;
        // a staging name, so that it goes if the process dies in between.
        std::string aside = stagingName(safe, timestampMs());
        for (std::int64_t stamp = timestampMs() + 1; aside == staging; ++stamp) aside = stagingName(safe, stamp);
        swapIntoPlace(rootFd.get(), staging, safe, aside, target);
        syncDirectory(rootFd.get(), skillRoot);
    } catch (const PathOutsideAllowedRootError& error) {
        removeEntry(rootFd.get(), staging);
        throw SkillSyncError::pathOutsideAllowedRoot(error.path());
    } catch (...) {
        removeEntry(rootFd.get(), staging);
        throw;
    }
    return {target, static_cast<std::int64_t>(files.size())};
}

bool localSkillMatchesRef(const SkillRootPaths& root, const JsonValue& lock, const JsonValue& ref,
                          const JsonValue* canonical) {
    auto version = stringValue(ref, "version");
    auto contentHash = stringValue(ref, "contentHash");
    if (!version && !contentHash) return false;
    auto id = stringValue(ref, "skillId");
    if (!id) return false;
    const JsonValue* skills = objectMember(lock, "skills");
    const JsonValue* entry = skills ? objectMember(*skills, *id) : nullptr;
    if (!entry) return false;

    std::string safe = assertSafePathSegment(*id);
    std::string folder = standardizePath(joinPath(root.skillRoot, safe));
    Fd rootFd = openSkillRoot(root, false);
    Fd packageFd(::openat(rootFd.get(), safe.c_str(), kOpenFolderNoFollow));
    JsonValue marker = packageFd ? parseJsonObject(readFileAt(packageFd.get(), kSkillMarkerFileName)) : JsonValue::object();

    if (stringValue(marker, "skillId") != id) return false;
    for (const auto& [key, pinned] : {std::pair{"version", version}, std::pair{"contentHash", contentHash}}) {
        if (!pinned) continue;
        if (stringValue(*entry, key) != pinned || stringValue(marker, key) != pinned) return false;
    }
    if (!canonical) return true;

    auto formatOf = [](const JsonValue& object) { return optString(object, "sourceFormat"); };
    if (formatOf(marker) != formatOf(*canonical)) return false;
    const JsonValue* snapshot = objectMember(*canonical, "fileTreeSnapshot");
    if (!snapshot) return false;
    for (const auto& [path, text] : snapshot->items())
        if (!text.is_string()) return false;
    for (const auto& [path, text] : snapshot->items()) {
        resolveSnapshotPath(folder, path);
        std::vector<std::string> parts = snapshotParts(path);
        std::optional<std::string> onDisk;
        try {
            Fd parent = openFolderBelow(packageFd.get(), parts, parts.size() - 1, false, folder);
            // A file longer than the package's text cannot be the same.
            onDisk = readFileAt(parent.get(), parts.back(), text.get_ref<const std::string&>().size());
        } catch (const BridgeError&) {
            return false;  // a folder that is missing, or a link where a folder belongs
        }
        if (!onDisk || *onDisk != text.get_ref<const std::string&>()) return false;
    }
    return true;
}

SkillRootLock::SkillRootLock(const SkillRootPaths& root) {
    std::string lexical = standardizePath(joinPath(root.skillRoot, kSkillSyncLockFileName));
    Fd rootFd = openSkillRoot(root, true);
    // Read-only is enough for flock, and lets every user who may sync the
    // workspace lock a file another one created. Non-blocking, so that a
    // planted FIFO is refused rather than waited on.
    constexpr int kFlags = O_RDONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    fd_ = Fd(::openat(rootFd.get(), kSkillSyncLockFileName, kFlags, 0666));
    if (!fd_) {
        // A link is refused, not replaced: two processes replacing it at once
        // could each end up holding a file of its own.
        if (errno == ELOOP) throw SkillSyncError::pathOutsideAllowedRoot(lexical);
        fail("FILE_WRITE_FAILED", "cannot create", lexical, errno);
    }
    struct stat info {};
    if (::fstat(fd_.get(), &info) != 0 || !S_ISREG(info.st_mode)) fail("FILE_WRITE_FAILED", "not a file:", lexical, EINVAL);
    while (::flock(fd_.get(), LOCK_EX) != 0)
        if (errno != EINTR) fail("FILE_WRITE_FAILED", "cannot lock", lexical, errno);
}

JsonValue readSkillLock(const SkillRootPaths& root) {
    Fd rootFd = openSkillRoot(root, false);
    return parseJsonObject(readFileAt(rootFd.get(), kSkillLockFileName));
}

std::string writeSkillLock(const SkillRootPaths& root, const std::string& authorityOrigin,
                           const std::string& projectKey, const std::vector<JsonValue>& synced,
                           const std::vector<JsonValue>& skipped) {
    std::string skillRoot = standardizePath(root.skillRoot);
    std::string lockPath = standardizePath(joinPath(skillRoot, kSkillLockFileName));
    assertInside(root.workspaceUrl, lockPath);
    Fd rootFd = openSkillRoot(root, true);

    JsonValue existing = parseJsonObject(readFileAt(rootFd.get(), kSkillLockFileName));
    const JsonValue* held = objectMember(existing, "skills");
    JsonValue skills = held ? *held : JsonValue::object();

    std::vector<const JsonValue*> records;
    for (const JsonValue& record : synced) records.push_back(&record);
    for (const JsonValue& record : skipped)
        if (stringValue(record, "reason") == "ALREADY_CURRENT") records.push_back(&record);

    std::string now = isoNow();
    auto text = [](std::optional<std::string> value) {
        return value ? std::optional<JsonValue>(std::move(*value)) : std::nullopt;
    };
    for (const JsonValue* record : records) {
        auto id = stringValue(*record, "skillId");
        if (!id) continue;
        auto revision = SkillReferenceResolver::integer(member(*record, "sourceTaskRevision"));
        skills[*id] = compactDictionary({{"skillId", *id},
                                         {"version", text(stringValue(*record, "version"))},
                                         {"contentHash", text(stringValue(*record, "contentHash"))},
                                         {"targetPath", text(stringValue(*record, "targetPath"))},
                                         {"syncedAt", now},
                                         {"syncSourceKind", text(stringValue(*record, "syncSourceKind"))},
                                         {"sourceTaskId", text(stringValue(*record, "sourceTaskId"))},
                                         {"sourceTaskRevision",
                                          revision ? std::optional<JsonValue>(*revision) : std::nullopt}});
    }
    JsonValue syncedIds = JsonValue::array();
    for (const JsonValue& record : synced)
        if (auto id = stringValue(record, "skillId")) syncedIds.push_back(*id);

    JsonValue lock = {{"schemaVersion", 2},
                      {"updatedAt", now},
                      {"authorityOrigin", authorityOrigin},
                      {"projectKey", projectKey},
                      {"skillRoot", skillRoot},
                      {"skills", std::move(skills)},
                      {"lastSync", {{"synced", std::move(syncedIds)}, {"skipped", skipped}}}};
    writeFileAtomicallyAt(rootFd.get(), kSkillLockFileName, dumpPrettyForFile(lock), lockPath,
                          FileMode::platformDefault());
    return lockPath;
}

}  // namespace palisor
