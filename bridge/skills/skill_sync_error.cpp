#include "bridge/skills/skill_sync_error.h"

namespace palisor {

namespace {

std::string joined(const char* code, const std::vector<std::string>& details) {
    std::string text = code;
    for (const std::string& detail : details) text += ":" + detail;
    return text;
}

}  // namespace

SkillSyncError::SkillSyncError(Case errorCase, std::string code, std::vector<std::string> details)
    : BridgeError(std::move(code), errorCase == Case::required ? ErrorKind::badRequest : ErrorKind::failure),
      case_(errorCase),
      details_(std::move(details)) {}

SkillSyncError SkillSyncError::required(const std::string& field) {
    return {Case::required, field + "_REQUIRED", {field}};
}

SkillSyncError SkillSyncError::fileTreeMissing(const std::string& skillId) {
    return {Case::fileTreeMissing, joined("SKILL_PACKAGE_FILE_TREE_MISSING", {skillId}), {skillId}};
}

SkillSyncError SkillSyncError::unsafePath(const std::string& value) {
    return {Case::unsafePath, joined("SKILL_PACKAGE_PATH_ESCAPE", {value}), {value}};
}

SkillSyncError SkillSyncError::pathOutsideAllowedRoot(const std::string& path) {
    return {Case::pathOutsideAllowedRoot, joined("PATH_OUTSIDE_ALLOWED_ROOT", {path}), {path}};
}

SkillSyncError SkillSyncError::progressItemLoadFailed(const std::string& itemId, const std::string& failures) {
    std::vector<std::string> details{itemId, failures};
    return {Case::progressItemLoadFailed, joined("PROGRESS_ITEM_LOAD_FAILED", details), details};
}

SkillSyncError SkillSyncError::packageIdentityMismatch(const std::string& skillId, const std::string& field,
                                                       const std::string& received, const std::string& expected) {
    std::vector<std::string> details{skillId, field, received, expected};
    return {Case::packageIdentityMismatch, joined("SKILL_PACKAGE_IDENTITY_MISMATCH", details), details};
}

}  // namespace palisor
