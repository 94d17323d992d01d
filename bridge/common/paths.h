#pragma once

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
// $HOME, else the user's home folder from the password database, else "/".
std::string homeDirectory();
// The folder of the running program's executable (links resolved); empty when
// the system does not say.
std::string executableDirectory();

// The user's folder for application data (the desktop's "application
// support" folder): $XDG_DATA_HOME when it is an absolute path (the XDG rules
// say to ignore a relative one), otherwise ~/.local/share, the home folder
// taken from $HOME or, without it, from the password database.
std::string applicationSupportDirectory();

// The bridge's settings folder: palisor-bridge in $XDG_CONFIG_HOME, or in
// ~/.config when the variable is unset, empty or not absolute (the XDG rules
// say to ignore a relative one).
std::string configurationDirectory();

// The folder for what lives only while the user's session does (sockets,
// locks, a running bridge's state): palisor-bridge in $XDG_RUNTIME_DIR, or in
// the user's cache folder where the session has no runtime folder.
std::string runtimeDirectory();

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
