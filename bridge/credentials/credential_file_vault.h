#pragma once

#include <string>

#include "bridge/credentials/credential_vault.h"

namespace palisor {

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
class CredentialFileVault : public CredentialVault {
public:
    explicit CredentialFileVault(std::string path);

    const std::string& path() const { return path_; }

    KeychainReadResult read(const std::string& service, const std::string& account) override;
    std::int32_t write(const std::string& service, const std::string& account, std::string_view data) override;
    std::int32_t remove(const std::string& service, const std::string& account) override;

private:
    std::string path_;
};

}  // namespace palisor
