#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "bridge/common/json.h"
#include "bridge/common/paths.h"

namespace palisor {

// The user's defaults: one JSON object in one file, shared by every program of
// the bridge the user runs (the window, the command line, a running bridge).
// Writes replace the file atomically and durably, and every read-modify-write
// holds an exclusive flock on "<file>.lock", so two processes that change
// different keys, or the same key in turn, never lose each other's writes.
//
// A file that is not a JSON object reads as empty. It is never destroyed: the
// first write moves it aside to "<file>.corrupt-<UTC timestamp>" so the user
// can recover what was in it.
class SettingsStore {
public:
    // `persistenceEnabled` false (PALISOR_BRIDGE_DISABLE_SETTINGS_PERSISTENCE)
    // tells the store's users to neither remember nor take up what it holds;
    // the store itself still reads and writes when asked.
    explicit SettingsStore(std::string path, bool persistenceEnabled = true);

    // settings.json in the bridge's settings folder.
    static std::string standardPath(const UserFolders& folders);
    // A store on standardPath(folders). No I/O happens until it is used.
    static std::shared_ptr<SettingsStore> standard(const UserFolders& folders, bool persistenceEnabled = true);

    const std::string& path() const { return path_; }
    bool persistenceEnabled() const { return persistenceEnabled_; }

    // The whole object; empty when the file is missing or not an object.
    // Throws FileError when the file exists but cannot be read.
    JsonValue read() const;
    std::optional<JsonValue> value(std::string_view key) const;
    std::optional<std::string> stringValue(std::string_view key) const;

    void set(const std::string& key, JsonValue value);
    void remove(const std::string& key);

    // Reads the current object under the exclusive lock, lets `change` edit it
    // and writes the result when it differs. An exception from `change`
    // abandons the update with nothing written. Throws FileError when the
    // folder, lock or file cannot be used, or when the result is not valid
    // UTF-8 (it could not be stored as JSON).
    void update(const std::function<void(JsonValue& settings)>& change);

private:
    std::string path_;
    bool persistenceEnabled_;
};

// What `palisor-bridge login` remembers for every program of the bridge, so
// that a window started from the desktop, a service and an agent's relay all
// use the user's choice without carrying environment variables.
inline constexpr const char* kRememberedAuthorityKey = "authorityOrigin";
inline constexpr const char* kRememberedCredentialFileKey = "credentialFile";

// The string remembered under `key` in the settings; nullopt when there is
// none, it is empty, the file cannot be read, or persistence is disabled.
std::optional<std::string> rememberedSetting(const SettingsStore& settings, const char* key);

// Remembers `value` under `key` in the settings. Throws
// BridgeError("SETTINGS_PERSISTENCE_DISABLED") when persistence is disabled,
// FileError when the file cannot be written.
void rememberSetting(SettingsStore& settings, const char* key, const std::string& value);

}  // namespace palisor
