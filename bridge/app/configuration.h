#pragma once

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>

#include "bridge/app/advice.h"
#include "bridge/common/paths.h"

namespace palisor {

// Everything the programs of the bridge take from their environment, read
// once at start (fromEnvironment is the one place that reads it; Qt reads its
// own) and passed down. The values stay as the environment gives them where
// a rule below gives them meaning.
struct Configuration {
    std::optional<std::string> portText;        // PALISOR_BRIDGE_PORT
    std::optional<std::string> authority;       // PALISOR_BRIDGE_AUTHORITY (set even when empty)
    std::optional<std::string> credentialFile;  // PALISOR_BRIDGE_CREDENTIAL_FILE
    bool keychainDisabled = false;              // PALISOR_BRIDGE_DISABLE_KEYCHAIN is exactly "1"
    bool validationExecutorDisabled = false;    // PALISOR_BRIDGE_DISABLE_VALIDATION_EXECUTOR is exactly "1"
    bool settingsPersistenceDisabled = false;   // PALISOR_BRIDGE_DISABLE_SETTINGS_PERSISTENCE is exactly "1"
    std::optional<std::string> activity;        // PALISOR_BRIDGE_ACTIVITY
    std::optional<std::string> workspace;       // PALISOR_BRIDGE_WORKSPACE
    std::optional<std::string> display;         // DISPLAY
    std::optional<std::string> waylandDisplay;  // WAYLAND_DISPLAY
    std::optional<std::string> sessionBus;      // DBUS_SESSION_BUS_ADDRESS
    UserFolders folders;                        // HOME (or the password database) and the XDG folders

    // The window's picture for the documentation: PALISOR_BRIDGE_GUI_SCREENSHOT
    // (the file), ..._DELAY_MS and ..._OF.
    std::optional<std::string> screenshotFile;
    std::optional<std::string> screenshotDelay;
    std::optional<std::string> screenshotOf;

    static Configuration fromEnvironment();

    // configuredPort(portText).
    std::uint16_t port() const;
    // portFallbackWarning(portText).
    std::optional<Advice> portWarning() const;
    // activityEnabled(activity): whether tool calls leave a record.
    bool activityEnabled() const;
    // DISPLAY or WAYLAND_DISPLAY is set and not empty.
    bool hasDisplay() const;
};

// PALISOR_BRIDGE_PORT: a decimal port with an optional leading "+"; absent,
// empty, unparsable, out of range or below 1024 gives 47621.
std::uint16_t configuredPort(const std::optional<std::string>& value);

// Why a set, non-empty PALISOR_BRIDGE_PORT value is not the port the bridge
// uses (it falls back to 47621), with what to set instead; nullopt when the
// value is used as written or is not set.
std::optional<Advice> portFallbackWarning(const std::optional<std::string>& value);

// The configuration's port. A value that falls back is said once per
// process, as one line on `err`.
std::uint16_t portSayingFallbackOnce(const Configuration& configuration, std::ostream& err);

// Whether tool calls leave a record (PALISOR_BRIDGE_ACTIVITY=off turns it
// off) and the file they go to.
struct ActivitySetting {
    bool enabled = true;
    std::string path;
};
ActivitySetting configuredActivity(const Configuration& configuration);

}  // namespace palisor
