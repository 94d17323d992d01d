#pragma once

#include <optional>
#include <string>

#include "bridge/credentials/credential_vault.h"

namespace palisor {

// Why a credential file may not hold the session, in words for the user.
struct CredentialFileRefusal {
    std::string finding;  // the file and what is wrong with it
    std::string fix;      // what the user runs or does about it
};

// Items kept in one JSON file, for machines without a Secret Service (servers,
// containers, CI). The user opts in by naming the file; it is as safe as the
// file's permissions, so it is always written with mode 0600:
//
//   {"items": {"<service>": {"<account>": "<data in standard Base64>"}}, "version": 1}
//
// Every change replaces the file atomically and durably while holding an
// exclusive flock on "<file>.lock", so writers in this process and in others
// never lose each other's items. A file that is not in this form reads as a
// failure (kFileCorrupt) and is left as it is until the next write replaces it.
//
// A session is only as private as the file, so the file must be this user's
// alone: one that is a symbolic link, belongs to another user, has any
// permission for group or others, or sits in a folder that another user owns
// or that group or others can write is refused (kFileNotPrivate) by reads,
// writes and deletes alike. A login never replaces it either: the user is told
// why, and fixes it.
class CredentialFileVault : public CredentialVault {
public:
    // `suggestedPath` is the private file a refusal offers as an example
    // (standardCredentialFilePath()); empty offers none.
    explicit CredentialFileVault(std::string path, std::string suggestedPath = {});

    const std::string& path() const { return path_; }

    // Why the file may not hold a session, or nullopt when it may. A file not
    // made yet may, when the folder a login would make it in is private.
    std::optional<CredentialFileRefusal> refusal() const;

    KeychainReadResult read(const std::string& service, const std::string& account) override;
    std::int32_t write(const std::string& service, const std::string& account, std::string_view data) override;
    std::int32_t remove(const std::string& service, const std::string& account) override;
    // The file or folder that could not be written, read or made, and the
    // system's reason ("not a folder: /x: Not a directory"). Refusals are
    // told by refusal() instead.
    std::string lastFailureDetail() const override;

private:
    std::string path_;
    std::string suggestedPath_;
};

}  // namespace palisor
