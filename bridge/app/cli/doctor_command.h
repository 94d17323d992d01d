#pragma once

#include <CLI/CLI.hpp>

#include <cstdint>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "bridge/app/bridge_components.h"
#include "bridge/app/cli/command_action.h"
#include "bridge/app/configuration.h"
#include "bridge/credentials/credential_vault.h"

namespace palisor {

// One line of the doctor's report: a stable id for scripts (--json), the
// label people read, for a workspace's check the workspace's id, what was
// found and, for a warning or failure, the fix.
struct DoctorRow {
    enum class State { pass, warning, failure };
    std::string id;
    std::string name;
    std::optional<std::string> workspaceId;
    State state = State::pass;
    std::string detail;
    std::string fix;
};

// The checks, in the order the report shows them. None of them changes
// anything: no refresh, no login, no file repaired.

// Where sessions are kept, and whether a stored session can be read from
// there.
struct StoreCheck {
    DoctorRow row;
    bool sessionReadable = false;
};
StoreCheck checkCredentialStore(const Configuration& configuration, const CredentialStoreChoice& store);

// The stored web session as the bridge would use it, checked with the
// authority without changing it. A refresh would rotate the refresh token,
// and a refused one would be cleared: a diagnosis must not be the thing that
// logs the user out, so the doctor only reads. Carries the access token when
// the authority accepted it, for the reads that follow.
struct SessionCheck {
    DoctorRow row;
    std::optional<std::string> acceptedToken;
};
SessionCheck checkSession(const CredentialStoreChoice& store, bool storeReadable,
                          const std::shared_ptr<AuthorityClient>& client);

// Whether 127.0.0.1:port is free or a bridge's; and a warning when the
// configured value (PALISOR_BRIDGE_PORT) is not the port used.
DoctorRow checkPort(std::uint16_t port);
std::optional<DoctorRow> checkPortSetting(const std::optional<std::string>& value);

// Whether the kernel names socket owners, which keeps other users out.
DoctorRow checkOtherUsers();

// Whether the authority answers, with the catalogue's version when a session
// was accepted and a workspace names the project.
DoctorRow checkAuthority(const AuthoritySetting& setting, const std::shared_ptr<AuthorityClient>& client,
                         const std::optional<std::string>& acceptedToken, const WorkspaceRegistrySnapshot& workspaces);

// Whether tokens would travel encrypted or stay on this machine.
DoctorRow checkTransportSecurity(const std::string& origin);

// One row per registered workspace (its folder and AGENTS.md), or a warning
// that there is none.
std::vector<DoctorRow> checkWorkspaces(const WorkspaceRegistrySnapshot& snapshot, const std::string& bridgeOrigin);

// Node.js and npm as the validation executor would run them from
// `resourceFolder`; a pass when the executor is `disabled`.
DoctorRow checkExecutorRuntime(bool disabled, const std::string& resourceFolder);

struct DoctorOptions {
    bool json = false;
};

// `doctor`: every check, printed one line each with the fix under each
// warning or failure, or as JSON. Exit 0 when nothing failed (warnings
// allowed), 1 otherwise.
int runDoctorCommand(const Configuration& configuration, const DoctorOptions& options, std::ostream& out, std::ostream& err);

void addDoctorCommand(CLI::App& app, CommandAction& action, const Configuration& configuration);

}  // namespace palisor
