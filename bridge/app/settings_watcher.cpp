#include "bridge/app/settings_watcher.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "bridge/common/paths.h"

namespace palisor {

namespace {

constexpr std::uint32_t kFileEvents = IN_CLOSE_WRITE | IN_MOVED_TO | IN_CREATE;
constexpr std::uint32_t kFolderGone = IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED | IN_UNMOUNT;

}  // namespace

SettingsWatcher::Signature SettingsWatcher::signature() const {
    struct stat info {};
    if (::stat(path_.c_str(), &info) != 0) return {};
    return {true, info.st_dev, info.st_ino, info.st_size, info.st_mtim.tv_sec, info.st_mtim.tv_nsec};
}

SettingsWatcher::SettingsWatcher(std::string settingsPath, std::function<void()> onChange)
    : SettingsWatcher(std::move(settingsPath), std::move(onChange), Options{}) {}

SettingsWatcher::SettingsWatcher(std::string settingsPath, std::function<void()> onChange, Options options)
    : path_(std::move(settingsPath)),
      folder_(parentPath(path_)),
      fileName_(lastPathComponent(path_)),
      onChange_(std::move(onChange)),
      options_(options) {}

SettingsWatcher::~SettingsWatcher() { stop(); }

void SettingsWatcher::start() {
    if (thread_.joinable()) return;
    stopFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    int inotifyFd = -1;
    if (!options_.forcePolling) {
        // The folder is ours; creating it now lets the watch catch the very
        // first settings file too.
        std::error_code ignored;
        std::filesystem::create_directories(folder_, ignored);
        inotifyFd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (inotifyFd >= 0 && ::inotify_add_watch(inotifyFd, folder_.c_str(), kFileEvents | IN_ONLYDIR) < 0) {
            ::close(inotifyFd);
            inotifyFd = -1;
        }
    }
    usesInotify_ = inotifyFd >= 0;
    // Taken before start() returns, so that the poller sees a write that
    // lands while its thread is still starting.
    Signature initial = signature();
    thread_ = std::thread([this, inotifyFd, initial] { run(inotifyFd, initial); });
}

void SettingsWatcher::stop() {
    if (thread_.joinable()) {
        std::uint64_t one = 1;
        [[maybe_unused]] auto written = ::write(stopFd_, &one, sizeof one);
        thread_.join();
    }
    if (stopFd_ >= 0) {
        ::close(stopFd_);
        stopFd_ = -1;
    }
}

void SettingsWatcher::run(int inotifyFd, Signature last) {
    if (inotifyFd >= 0) {
        alignas(inotify_event) char buffer[8192];
        bool folderGone = false;
        while (!folderGone) {
            pollfd fds[2] = {{stopFd_, POLLIN, 0}, {inotifyFd, POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0) {
                if (errno == EINTR) continue;
                break;
            }
            if (fds[0].revents) {
                ::close(inotifyFd);
                return;
            }
            bool changed = false;
            for (;;) {
                ssize_t n = ::read(inotifyFd, buffer, sizeof buffer);
                if (n <= 0) break;
                for (char* at = buffer; at < buffer + n;) {
                    auto* event = reinterpret_cast<inotify_event*>(at);
                    if (event->mask & kFolderGone) folderGone = true;
                    if (event->mask & IN_Q_OVERFLOW) changed = true;  // events were lost: look anyway
                    if ((event->mask & kFileEvents) && event->len > 0 && fileName_ == event->name) changed = true;
                    at += sizeof(inotify_event) + event->len;
                }
            }
            if (folderGone) {
                // Taken before the callback, so that a write its caller makes
                // in answer is still seen by the poller.
                last = signature();
                usesInotify_ = false;
            }
            if (changed || folderGone) onChange_();
        }
        ::close(inotifyFd);
        if (!folderGone) {
            last = signature();
            usesInotify_ = false;
            onChange_();  // whatever happened while the watch failed
        }
    }
    poll(last);
}

void SettingsWatcher::poll(Signature last) {
    for (;;) {
        pollfd stopPoll{stopFd_, POLLIN, 0};
        int ready = ::poll(&stopPoll, 1, static_cast<int>(options_.pollInterval.count()));
        if (ready > 0) return;
        if (ready < 0 && errno != EINTR) return;
        Signature now = signature();
        if (now != last) {
            last = now;
            onChange_();
        }
    }
}

}  // namespace palisor
