#pragma once

#include <exception>
#include <optional>
#include <string>

namespace palisor {

struct AgentsPointer;
struct Configuration;

// A problem as people are told about it: what is wrong, then what to do.
// The command line, doctor and the window use the same sentences.
struct Advice {
    std::string finding;
    std::string fix;

    // Both on one line.
    std::string line() const { return finding + " " + fix; }
};

// The credential file sessions go to, when one is set or remembered (and
// memory-only sessions are not asked for).
std::optional<std::string> configuredCredentialFile(const Configuration& configuration);

// Why a credential file (the configured one without `file`) is refused, as
// two lines (what is wrong, what to run); empty when it is not, or when there
// is none.
std::string credentialFileProblem(const Configuration& configuration, const std::optional<std::string>& file);
std::string credentialFileProblem(const Configuration& configuration);

// The way round a machine without a keyring: keep the session in a file.
std::string noKeyringHint(const Configuration& configuration);

// What to do after a login could not keep its session in `file` (or the
// keyring without one; the configured file without `file`), for an error
// whose code starts with KEYCHAIN_: the refused file's fix, for a file that
// could not be written that file, a keyring that does not answer, and
// without a file the way round a missing keyring. Empty for any other error.
std::string sessionStoreAdvice(const Configuration& configuration, const std::exception& loginError,
                               const std::optional<std::string>& file);
std::string sessionStoreAdvice(const Configuration& configuration, const std::exception& loginError);

// The fix for an AGENTS.md without its two pointer lines.
std::string agentsPointerFix(const std::string& agentsPath, const std::string& projectKey,
                             const std::string& authorityOrigin);

// The fix for an AGENTS.md that is missing or cannot be read.
std::string agentsUnreadableFix(const std::string& workspaceRoot);

// A workspace whose AGENTS.md names another authority than the bridge's.
Advice authorityMismatchAdvice(const AgentsPointer& pointer, const std::string& bridgeOrigin);

}  // namespace palisor
