#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace palisor {

// The one form in which workspace paths are stored, compared and used as keys:
// absolute (relative paths are taken from the current directory), "." and ".."
// resolved lexically (symbolic links are not followed), repeated and trailing
// separators removed. "/" stays "/"; ".." above the root stays at the root.
std::string standardizePath(std::string_view path);

// As above with an explicit base for relative paths.
std::string standardizePath(std::string_view path, std::string_view base);

std::string currentDirectory();
// The user's home folder from the password database, or "/" when it has none.
std::string passwordDatabaseHome();
// The folder of the running program's executable (links resolved); empty when
// the system does not say.
std::string executableDirectory();

// The values the XDG rules start from, as the environment gives them (nullopt
// when a variable is unset).
struct UserFolderVariables {
    std::optional<std::string> home;        // HOME
    std::optional<std::string> dataHome;    // XDG_DATA_HOME
    std::optional<std::string> configHome;  // XDG_CONFIG_HOME
    std::optional<std::string> stateHome;   // XDG_STATE_HOME
    std::optional<std::string> runtimeDir;  // XDG_RUNTIME_DIR
    std::optional<std::string> cacheHome;   // XDG_CACHE_HOME
};

// The user's folders the bridge uses, resolved by the XDG rules: a variable
// that is unset, empty or not an absolute path is ignored (the rules say so
// for a relative one) and its default under the home folder is used.
struct UserFolders {
    // $HOME, else the home folder from the password database, else "/".
    std::string home;
    // Application data (the desktop's "application support" folder):
    // $XDG_DATA_HOME or ~/.local/share.
    std::string applicationSupport;
    // The bridge's settings folder: palisor-bridge in $XDG_CONFIG_HOME or
    // ~/.config.
    std::string configuration;
    // The bridge's state (the activity record): palisor-bridge in
    // $XDG_STATE_HOME or ~/.local/state.
    std::string state;
    // What lives only while the user's session does (sockets, locks, a running
    // bridge's state): palisor-bridge in $XDG_RUNTIME_DIR, or in the user's
    // cache folder ($XDG_CACHE_HOME or ~/.cache) where the session has none.
    std::string runtime;

    static UserFolders resolve(const UserFolderVariables& variables);
};

// Joins with exactly one separator between the parts.
std::string joinPath(std::string_view base, std::string_view component);

// The last component of a path ("/a/b/" gives "b"; "/" gives "/").
std::string lastPathComponent(std::string_view path);

// The folder that holds a path ("/a/b" gives "/a"; "/a" gives "/").
std::string parentPath(std::string_view path);

// True when target equals root or lies beneath it ("/w/skills2" is not inside
// "/w/skills"). Both must already be standardised.
bool isInsideOrEqual(std::string_view root, std::string_view target);

// Whether a folder is at `path` (symbolic links followed).
bool isDirectory(const std::string& path);

}  // namespace palisor
