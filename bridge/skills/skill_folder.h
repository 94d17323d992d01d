#pragma once

// Everything the skill sync does on disk. Packages are installed as plain
// folders under <workspace>/.agents/skills, one per skill, each with a marker
// file saying what was installed; the skill root also holds the workspace's
// lock file, which records what each sync installed.
//
// Nothing is ever created, written, moved or removed through a symbolic link
// that leads out of the workspace: the skill root is opened component by
// component from the workspace and refused ("PATH_OUTSIDE_ALLOWED_ROOT:" +
// where it leads) when its real place is not beneath the workspace's real
// place, and everything below it is reached relative to that open folder
// without following any link. A link where a package folder belongs is
// replaced as a whole; a link met inside a package being written is refused.
//
// A package is written into a staging folder, made durable, and then swapped
// with the installed folder in one atomic exchange, so that at every instant
// the skill's folder is either the old package whole or the new one whole,
// even if the process dies. Staging folders left behind by processes that
// died are removed by the next write of the same skill.
//
// The functions take no locks; callers serialise writes to one workspace,
// across processes too, by holding a SkillRootLock.

#include <cstdint>
#include <string>
#include <vector>

#include "bridge/common/contained_files.h"
#include "bridge/common/json.h"

namespace palisor {

inline constexpr const char* kSkillRootRelativePath = ".agents/skills";
inline constexpr const char* kSkillLockFileName = ".skill-lock.json";
inline constexpr const char* kSkillMarkerFileName = ".quillstone-sync.json";
inline constexpr const char* kSkillSyncLockFileName = ".skill-sync.lock";

// A workspace and its skill root, both standardised absolute paths.
struct SkillRootPaths {
    std::string workspaceUrl;
    std::string skillRoot;
};

struct SkillPackageWrite {
    std::string targetPath;  // the installed package folder
    std::int64_t fileCount = 0;
};

// Creates the skill root of a workspace (and any missing folder above it) when
// needed and returns both paths. Throws PATH_OUTSIDE_ALLOWED_ROOT when a link
// takes the skill root out of the workspace, FileError when a folder cannot
// be created.
SkillRootPaths ensureWorkspaceSkillRoot(const std::string& workspaceRoot);

// The segment trimmed; SKILL_PACKAGE_PATH_ESCAPE with the untrimmed segment
// when it is empty, ".", "..", or holds "/", a backslash or NUL.
std::string assertSafePathSegment(const std::string& segment);

// PATH_OUTSIDE_ALLOWED_ROOT with the standardised target unless it equals the
// standardised root or lies beneath it. Lexical: links are not resolved.
void assertInside(const std::string& root, const std::string& target);

// The path of a package file: SKILL_PACKAGE_PATH_ESCAPE for an empty path, a
// leading "/", a backslash, NUL, or a "." or ".." part. Empty parts (two
// slashes in a row) are ignored.
std::string resolveSnapshotPath(const std::string& packageRoot, const std::string& relativePath);

// Installs `snapshot` (relative path -> file text; other values are written
// in their textual form) as the folder of `skillId`, with a marker built from
// `packageInfo`. Every path is checked before anything is written. On failure
// the installed folder of the skill is left as it was.
SkillPackageWrite writeSkillPackage(const SkillRootPaths& root, const std::string& skillId,
                                    const JsonValue& packageInfo, const JsonValue& snapshot);

// Whether the installed package already is the one `ref` pins: the lock
// entry and the marker carry the pinned version and hash and, for a package
// of the foundation generation (`canonical`), every file of its snapshot is
// on disk with the same text. A reference that pins nothing is never current.
bool localSkillMatchesRef(const SkillRootPaths& root, const JsonValue& lock, const JsonValue& ref,
                          const JsonValue* canonical);

// The lock file's object; an empty object when it is missing, unreadable,
// not JSON or not an object.
JsonValue readSkillLock(const SkillRootPaths& root);

// Rewrites the lock file with the result of one sync: entries for the synced
// skills and those found current, earlier entries kept. Returns its path.
std::string writeSkillLock(const SkillRootPaths& root, const std::string& authorityOrigin,
                           const std::string& projectKey, const std::vector<JsonValue>& synced,
                           const std::vector<JsonValue>& skipped);

// An exclusive flock on the skill root's sync lock file, held for the life of
// the object, so that writers of one workspace in different processes (the
// command line beside a running bridge) take turns. The lock file is an
// empty regular file that stays; no listing or cleanup of the skill root
// takes it for a package or a staging folder. It is created through the
// skill root opened from the workspace; a link in its place is never
// followed. Waits as long as another holder keeps it. Throws
// PATH_OUTSIDE_ALLOWED_ROOT when the skill root or the lock file is a link,
// FileError when the file cannot be created or locked.
class SkillRootLock {
public:
    explicit SkillRootLock(const SkillRootPaths& root);
    SkillRootLock(const SkillRootLock&) = delete;
    SkillRootLock& operator=(const SkillRootLock&) = delete;

private:
    Fd fd_;  // closing releases the lock
};

// Milliseconds since 1970.
std::int64_t timestampMs();

}  // namespace palisor
