#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>

namespace palisor {

// Calls `onChange` on its own thread soon after another process replaced or
// wrote the settings file, so that a running bridge picks up what the window
// or the command line changed. The folder is watched with inotify (the file
// itself is replaced by rename, so a watch on the file would go stale after
// the first write); where inotify cannot be used, or the folder disappears,
// the file's identity, size and modification time are polled instead.
//
// `onChange` may also be called when nothing of interest changed (a rewrite
// with the same content); it must be cheap and must not throw.
class SettingsWatcher {
public:
    struct Options {
        std::chrono::milliseconds pollInterval{500};
        bool forcePolling = false;  // for tests of the fallback
    };

    SettingsWatcher(std::string settingsPath, std::function<void()> onChange);
    SettingsWatcher(std::string settingsPath, std::function<void()> onChange, Options options);
    ~SettingsWatcher();  // stops
    SettingsWatcher(const SettingsWatcher&) = delete;
    SettingsWatcher& operator=(const SettingsWatcher&) = delete;

    // Returns once the watch is in place: a write that finishes after start()
    // returns is reported.
    void start();
    // Idempotent; waits for the thread, so `onChange` is not running afterwards.
    void stop();

    bool usesInotify() const { return usesInotify_.load(); }

private:
    // What tells a replaced or rewritten file apart without reading it.
    struct Signature {
        bool exists = false;
        unsigned long long device = 0;
        unsigned long long inode = 0;
        long long size = 0;
        long long modifiedSeconds = 0;
        long long modifiedNanoseconds = 0;
        bool operator==(const Signature&) const = default;
    };

    Signature signature() const;
    void run(int inotifyFd, Signature last);
    void poll(Signature last);

    std::string path_;
    std::string folder_;
    std::string fileName_;
    std::function<void()> onChange_;
    Options options_;
    int stopFd_ = -1;
    std::atomic<bool> usesInotify_{false};
    std::thread thread_;
};

}  // namespace palisor
