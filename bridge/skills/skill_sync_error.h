#pragma once

#include <string>
#include <vector>

#include "bridge/common/bridge_error.h"

namespace palisor {

// The skill sync's own failures. The description is the code followed by the
// details, joined with ":" (for `required`: the field name + "_REQUIRED").
class SkillSyncError : public BridgeError {
public:
    enum class Case { required, fileTreeMissing, unsafePath, pathOutsideAllowedRoot, progressItemLoadFailed,
                      packageIdentityMismatch };

    // "<FIELD>_REQUIRED".
    static SkillSyncError required(const std::string& field);
    // "SKILL_PACKAGE_FILE_TREE_MISSING:<skill id>".
    static SkillSyncError fileTreeMissing(const std::string& skillId);
    // "SKILL_PACKAGE_PATH_ESCAPE:<value>": a skill id or file path that could
    // name something outside its folder.
    static SkillSyncError unsafePath(const std::string& value);
    // "PATH_OUTSIDE_ALLOWED_ROOT:<path>": a path, or the place a symbolic
    // link leads to, outside the folder it must stay in.
    static SkillSyncError pathOutsideAllowedRoot(const std::string& path);
    // "PROGRESS_ITEM_LOAD_FAILED:<item id>:<failure texts joined with |>".
    static SkillSyncError progressItemLoadFailed(const std::string& itemId, const std::string& failures);
    // "SKILL_PACKAGE_IDENTITY_MISMATCH:<id>:<field>:<received>:<expected>".
    static SkillSyncError packageIdentityMismatch(const std::string& skillId, const std::string& field,
                                                  const std::string& received, const std::string& expected);

    Case errorCase() const noexcept { return case_; }
    const std::vector<std::string>& details() const noexcept { return details_; }

private:
    SkillSyncError(Case errorCase, std::string code, std::vector<std::string> details);
    Case case_;
    std::vector<std::string> details_;
};

}  // namespace palisor
