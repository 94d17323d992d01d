#include "bridge/workspace/settings_store.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <stdexcept>
#include <vector>

#include "bridge/common/atomic_file.h"
#include "bridge/common/bridge_error.h"
#include "bridge/common/paths.h"
#include "bridge/common/text.h"

namespace palisor {

namespace {

struct ParsedSettings {
    JsonValue object = JsonValue::object();
    // The file holds something other than a JSON object.
    bool unusable = false;
};

ParsedSettings parseSettings(const std::optional<std::string>& bytes) {
    ParsedSettings parsed;
    if (!bytes || trim(*bytes).empty()) return parsed;
    auto value = parseJson(*bytes);
    if (value && value->is_object()) {
        parsed.object = std::move(*value);
    } else {
        parsed.unusable = true;
    }
    return parsed;
}

std::string compactUtcTimestamp() {
    std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    std::tm utc{};
    gmtime_r(&now, &utc);
    char buffer[32];
    std::strftime(buffer, sizeof buffer, "%Y%m%dT%H%M%SZ", &utc);
    return buffer;
}

bool exists(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0;
}

// Called with the lock held, so no other process can take the same name
// between the test and the rename.
void moveAside(const std::string& path) {
    std::string base = path + ".corrupt-" + compactUtcTimestamp();
    std::string target = base;
    for (int n = 2; exists(target); ++n) target = base + "-" + std::to_string(n);
    if (::rename(path.c_str(), target.c_str()) != 0) {
        int error = errno;
        throw FileError("FILE_WRITE_FAILED", "cannot move unreadable settings " + path + " aside: " + std::strerror(error),
                        error);
    }
}

}  // namespace

SettingsStore::SettingsStore(std::string path, bool persistenceEnabled)
    : path_(std::move(path)), persistenceEnabled_(persistenceEnabled) {}

std::string SettingsStore::standardPath(const UserFolders& folders) {
    return joinPath(folders.configuration, "settings.json");
}

std::shared_ptr<SettingsStore> SettingsStore::standard(const UserFolders& folders, bool persistenceEnabled) {
    return std::make_shared<SettingsStore>(standardPath(folders), persistenceEnabled);
}

JsonValue SettingsStore::read() const { return parseSettings(readFileIfExists(path_)).object; }

std::optional<JsonValue> SettingsStore::value(std::string_view key) const {
    JsonValue settings = read();
    if (const JsonValue* found = member(settings, key)) return *found;
    return std::nullopt;
}

std::optional<std::string> SettingsStore::stringValue(std::string_view key) const {
    return optString(read(), key);
}

void SettingsStore::set(const std::string& key, JsonValue value) {
    update([&](JsonValue& settings) { settings[key] = std::move(value); });
}

void SettingsStore::remove(const std::string& key) {
    update([&](JsonValue& settings) { settings.erase(key); });
}

void SettingsStore::update(const std::function<void(JsonValue& settings)>& change) {
    std::string folder = parentPath(path_);
    createDirectories(folder, 0700);
    ExclusiveFileLock lock(path_ + ".lock");

    ParsedSettings current = parseSettings(readFileIfExists(path_));
    JsonValue next = current.object;
    change(next);
    if (!next.is_object()) throw std::logic_error("settings must stay a JSON object");
    if (next == current.object) return;

    std::optional<std::string> bytes = dumpPretty(next);
    if (!bytes)
        throw FileError("FILE_WRITE_FAILED", "settings for " + path_ + " hold text that is not valid UTF-8", EILSEQ);
    if (current.unusable) moveAside(path_);
    bytes->push_back('\n');
    writeFileAtomically(path_, *bytes, 0600);
}

std::optional<std::string> rememberedSetting(const SettingsStore& settings, const char* key) {
    if (!settings.persistenceEnabled()) return std::nullopt;
    try {
        auto value = settings.stringValue(key);
        if (value && !value->empty()) return value;
    } catch (const std::exception&) {
        // Unreadable settings remember nothing; the next write moves them aside.
    }
    return std::nullopt;
}

void rememberSetting(SettingsStore& settings, const char* key, const std::string& value) {
    if (!settings.persistenceEnabled()) throw BridgeError("SETTINGS_PERSISTENCE_DISABLED");
    settings.set(key, value);
}

}  // namespace palisor
