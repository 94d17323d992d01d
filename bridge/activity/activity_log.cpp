#include "bridge/activity/activity_log.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>
#include <stdexcept>
#include <utility>

#include "bridge/common/atomic_file.h"
#include "bridge/common/paths.h"
#include "bridge/common/text.h"
#include "bridge/common/time.h"
#include "bridge/spool/ai_work_event_spool.h"

namespace palisor {

namespace {

constexpr std::size_t kUserAgentLength = 100;

std::string scrubbed(const std::string& text) {
    JsonValue clean = AiWorkEventSpool::sanitizeDiagnosticValue(JsonValue(text));
    return clean.is_string() ? clean.get<std::string>() : std::string();
}

// The first `count` code points of a text, never ending inside a UTF-8 sequence.
std::string firstCodePoints(const std::string& text, std::size_t count) {
    std::size_t seen = 0;
    for (std::size_t at = 0; at < text.size(); ++at) {
        if ((static_cast<unsigned char>(text[at]) & 0xC0) == 0x80) continue;
        if (seen++ == count) return text.substr(0, at);
    }
    return text;
}

std::string isoTimeMilliseconds(std::chrono::system_clock::time_point when) {
    auto ms = std::chrono::floor<std::chrono::milliseconds>(when.time_since_epoch()).count();
    std::time_t seconds = static_cast<std::time_t>(ms >= 0 ? ms / 1000 : (ms - 999) / 1000);
    int millis = static_cast<int>(ms - static_cast<long long>(seconds) * 1000);
    std::tm fields{};
    gmtime_r(&seconds, &fields);
    char text[40];
    std::size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &fields);
    std::snprintf(text + length, sizeof text - length, ".%03dZ", millis);
    return text;
}

std::string systemReason(int error) { return std::strerror(error); }

std::string writeFailure(const std::string& path, int error) {
    return "FILE_WRITE_FAILED: cannot write " + path + ": " + systemReason(error);
}

bool sameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

int openForReading(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) return -1;
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// The whole lines of a file's last kActivityReadCap bytes.
void readRecordsOf(const std::string& path, std::size_t limit, const ActivityFilter& filter,
                   std::deque<ActivityRecord>& out) {
    int fd = openForReading(path);
    if (fd < 0) return;
    struct stat info {};
    ::fstat(fd, &info);
    bool skipFirst = false;
    if (static_cast<std::uint64_t>(info.st_size) > kActivityReadCap) {
        ::lseek(fd, static_cast<off_t>(info.st_size - static_cast<off_t>(kActivityReadCap)), SEEK_SET);
        skipFirst = true;
    }
    std::string bytes;
    readAll(fd, bytes);
    ::close(fd);
    std::string_view rest(bytes);
    if (skipFirst) {
        std::size_t newline = rest.find('\n');
        rest = newline == std::string_view::npos ? std::string_view() : rest.substr(newline + 1);
    }
    while (!rest.empty()) {
        std::size_t newline = rest.find('\n');
        std::string_view line = rest.substr(0, newline);
        rest = newline == std::string_view::npos ? std::string_view() : rest.substr(newline + 1);
        std::optional<JsonValue> value = parseJson(line);
        if (!value) continue;
        std::optional<ActivityRecord> record = parseActivityRecord(*value);
        if (!record || !filter.matches(*record)) continue;
        out.push_back(std::move(*record));
        if (out.size() > limit) out.pop_front();
    }
}

}  // namespace

JsonValue activityRecordJson(const ActivityRecord& record) {
    JsonValue out = JsonValue::object();
    out["time"] = isoTimeMilliseconds(record.time);
    if (record.dropped > 0) {
        out["dropped"] = record.dropped;
        return out;
    }
    out["durationMs"] = std::round(record.durationMs * 1000.0) / 1000.0;
    auto text = [&out](const char* name, const std::string& value) {
        if (value.empty()) return;
        std::string clean = scrubbed(value);
        if (!clean.empty()) out[name] = std::move(clean);
    };
    text("tool", record.tool);
    text("workspaceId", record.workspaceId);
    text("projectKey", record.projectKey);
    text("operationId", record.operationId);
    text("method", record.method);
    text("path", record.path);
    if (!record.queryNames.empty()) {
        JsonValue names = JsonValue::array();
        for (const std::string& name : record.queryNames) names.push_back(scrubbed(name));
        out["queryNames"] = std::move(names);
    }
    if (record.skillsInstalled) out["skillsInstalled"] = *record.skillsInstalled;
    if (record.skillsSkipped) out["skillsSkipped"] = *record.skillsSkipped;
    if (record.status) out["status"] = *record.status;
    text("error", record.error);
    text("traceId", record.traceId);
    text("spanId", record.spanId);
    text("parentSpanId", record.parentSpanId);
    text("causalId", record.causalId);
    // Scrubbed whole, then cut: a cut could leave a token the scrubber no
    // longer recognises.
    if (!record.userAgent.empty()) {
        std::string agent = firstCodePoints(scrubbed(record.userAgent), kUserAgentLength);
        if (!agent.empty()) out["userAgent"] = std::move(agent);
    }
    return out;
}

std::optional<ActivityRecord> parseActivityRecord(const JsonValue& value) {
    if (!value.is_object()) return std::nullopt;
    const std::string* time = stringMember(value, "time");
    std::optional<std::chrono::system_clock::time_point> when = time ? parseIsoTime(*time) : std::nullopt;
    if (!when) return std::nullopt;
    ActivityRecord record;
    record.time = *when;
    record.dropped = std::max<std::int64_t>(0, optInt64(value, "dropped").value_or(0));
    auto text = [&value](const char* name) { return optString(value, name).value_or(""); };
    record.tool = text("tool");
    if (record.dropped == 0 && record.tool.empty()) return std::nullopt;
    record.durationMs = optNumber(value, "durationMs").value_or(0);
    record.workspaceId = text("workspaceId");
    record.projectKey = text("projectKey");
    record.operationId = text("operationId");
    record.method = text("method");
    record.path = text("path");
    if (const JsonValue* names = arrayMember(value, "queryNames"))
        for (const JsonValue& name : *names)
            if (name.is_string()) record.queryNames.push_back(name.get<std::string>());
    record.skillsInstalled = optInt64(value, "skillsInstalled");
    record.skillsSkipped = optInt64(value, "skillsSkipped");
    if (std::optional<std::int64_t> status = optInt64(value, "status"); status && *status >= 0 && *status <= 999)
        record.status = static_cast<int>(*status);
    record.error = text("error");
    record.traceId = text("traceId");
    record.spanId = text("spanId");
    record.parentSpanId = text("parentSpanId");
    record.causalId = text("causalId");
    record.userAgent = text("userAgent");
    return record;
}

std::string activityLogPath(const UserFolders& folders) {
    return joinPath(folders.state, "activity.jsonl");
}

bool activityEnabled(const std::optional<std::string>& value) {
    if (!value) return true;
    std::string word = asciiLower(trim(*value));
    return word != "off" && word != "0" && word != "false" && word != "no";
}

// ---------------------------------------------------------------------------
// The writer

ActivityLog::ActivityLog(Options options) : options_(std::move(options)) {
    options_.queueLimit = std::max<std::size_t>(1, options_.queueLimit);
    writer_ = std::thread([this] { run(); });
}

ActivityLog::~ActivityLog() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        stopping_ = true;
    }
    wake_.notify_one();
    writer_.join();
    closeFile();
}

void ActivityLog::append(ActivityRecord record) {
    bool wake = false;
    {
        std::lock_guard<std::mutex> guard(lock_);
        ++appended_;
        if (queue_.size() >= options_.queueLimit) {
            ++droppedPending_;
            return;
        }
        // The writer, once woken, takes everything queued: only the first
        // record of a batch needs to wake it.
        wake = queue_.empty();
        queue_.push_back(std::move(record));
    }
    if (wake) wake_.notify_one();
}

void ActivityLog::flush() {
    std::unique_lock<std::mutex> guard(lock_);
    std::uint64_t target = appended_;
    ++flushWaiters_;
    wake_.notify_one();
    written_.wait(guard, [&] { return done_ >= target; });
    --flushWaiters_;
}

std::optional<std::string> ActivityLog::lastError() const {
    std::lock_guard<std::mutex> guard(lock_);
    return lastError_;
}

void ActivityLog::run() {
    std::unique_lock<std::mutex> guard(lock_);
    for (;;) {
        wake_.wait(guard, [&] { return stopping_ || !queue_.empty() || droppedPending_ > 0; });
        if (queue_.empty() && droppedPending_ == 0) return;  // stopping, and everything is written
        // Records arriving together are written together: one lock and one
        // look at the file for the batch, and the writer keeps off the CPU
        // the calls themselves need.
        wake_.wait_for(guard, kBatchDelay, [&] {
            return stopping_ || flushWaiters_ > 0 || queue_.size() >= options_.queueLimit / 2;
        });
        // The records dropped were refused while these filled the queue, so
        // their marker follows them.
        std::vector<ActivityRecord> batch(std::make_move_iterator(queue_.begin()),
                                          std::make_move_iterator(queue_.end()));
        queue_.clear();
        std::int64_t dropped = std::exchange(droppedPending_, 0);
        std::uint64_t count = batch.size() + static_cast<std::uint64_t>(dropped);
        if (dropped > 0) {
            ActivityRecord marker;
            marker.time = std::chrono::system_clock::now();
            marker.dropped = dropped;
            batch.push_back(std::move(marker));
        }
        guard.unlock();
        write(batch);
        guard.lock();
        done_ += count;
        written_.notify_all();
    }
}

void ActivityLog::write(const std::vector<ActivityRecord>& batch) {
    std::vector<std::string> encoded;
    encoded.reserve(batch.size());
    for (const ActivityRecord& record : batch)
        if (std::optional<std::string> line = dumpCompact(activityRecordJson(record))) encoded.push_back(*line + "\n");

    std::optional<std::string> failure;
    try {
        if (!openFile(0)) throw std::runtime_error(writeFailure(options_.path, errno));
        // Shared while appending, exclusive while rotating: a rotation waits
        // for the lines being written, and a writer that took the lock after
        // one sees the new file before writing.
        while (::flock(lockFd_, LOCK_SH) != 0)
            if (errno != EINTR) throw std::runtime_error(writeFailure(options_.path + ".lock", errno));
        struct stat current {};
        struct stat mine {};
        bool reopen = ::lstat(options_.path.c_str(), &current) != 0 || ::fstat(fd_, &mine) != 0 || !sameFile(current, mine);
        if (reopen) {
            ::close(fd_);
            fd_ = -1;
            if (!openFile(LOCK_SH)) {
                int error = errno;
                ::flock(lockFd_, LOCK_UN);
                throw std::runtime_error(writeFailure(options_.path, error));
            }
        }
        for (const std::string& line : encoded) {
            // The size with what other writers added since.
            if (::fstat(fd_, &mine) == 0) size_ = static_cast<std::uint64_t>(mine.st_size);
            if (size_ >= options_.rotateBytes && !rotate()) {
                failure = writeFailure(options_.path, errno);
                break;
            }
            if (!writeLine(line)) {
                failure = writeFailure(options_.path, errno);
                break;
            }
        }
        if (lockFd_ >= 0) ::flock(lockFd_, LOCK_UN);
    } catch (const std::exception& error) {
        failure = error.what();
    }
    if (failure) closeFile();  // reopened, and looked at afresh, by the next batch
    bool changed = false;
    {
        std::lock_guard<std::mutex> guard(lock_);
        changed = lastError_ != failure;
        lastError_ = failure;
    }
    if (changed && options_.onProblem) options_.onProblem(failure);
}

bool ActivityLog::openFile(int heldLock) {
    if (fd_ >= 0) return true;
    std::string folder = parentPath(options_.path);
    struct stat info {};
    if (::stat(folder.c_str(), &info) != 0) {
        try {
            createDirectories(folder, 0700);
        } catch (const FileError& error) {
            errno = error.systemError();
            return false;
        }
    }
    if (lockFd_ < 0) {
        lockFd_ = ::open((options_.path + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (lockFd_ < 0) return false;
    }
    fd_ = ::open(options_.path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
    if (fd_ < 0) return false;
    if (::fstat(fd_, &info) != 0 || !S_ISREG(info.st_mode)) {
        int error = S_ISREG(info.st_mode) ? errno : EINVAL;
        ::close(fd_);
        fd_ = -1;
        errno = error;
        return false;
    }
    if ((info.st_mode & 0077) != 0) ::fchmod(fd_, 0600);
    size_ = static_cast<std::uint64_t>(info.st_size);
    needsNewline_ = false;
    if (size_ > 0) {
        // A line torn by a crash must not swallow the next record. Another
        // writer's line half copied in looks the same, so the end is looked
        // at while no one else writes.
        if (heldLock != LOCK_EX)
            while (::flock(lockFd_, LOCK_EX) != 0 && errno == EINTR) {
            }
        if (::fstat(fd_, &info) == 0) size_ = static_cast<std::uint64_t>(info.st_size);
        char last = '\n';
        int readFd = ::open(options_.path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
        if (readFd >= 0) {
            if (::pread(readFd, &last, 1, static_cast<off_t>(size_ - 1)) != 1) last = '\n';
            ::close(readFd);
        }
        needsNewline_ = last != '\n';
        if (heldLock != LOCK_EX)
            while (::flock(lockFd_, heldLock == LOCK_SH ? LOCK_SH : LOCK_UN) != 0 && errno == EINTR) {
            }
    }
    return true;
}

void ActivityLog::closeFile() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    if (lockFd_ >= 0) ::close(lockFd_);
    lockFd_ = -1;
}

// One write() per line, so that a reader never sees part of one unless the
// process ends inside the call.
bool ActivityLog::writeLine(const std::string& line) {
    std::string withBreak;
    const std::string* bytes = &line;
    if (needsNewline_) {
        withBreak = "\n" + line;
        bytes = &withBreak;
    }
    ssize_t wrote;
    do {
        wrote = ::write(fd_, bytes->data(), bytes->size());
    } while (wrote < 0 && errno == EINTR);
    if (wrote > 0) size_ += static_cast<std::uint64_t>(wrote);
    if (wrote == static_cast<ssize_t>(bytes->size())) {
        needsNewline_ = false;
        return true;
    }
    if (wrote >= 0) {
        needsNewline_ = true;
        errno = wrote == 0 ? EIO : ENOSPC;
    }
    return false;
}

// Called holding the shared lock; returns holding it again, with fd_ on the
// file now at the path.
bool ActivityLog::rotate() {
    while (::flock(lockFd_, LOCK_EX) != 0)
        if (errno != EINTR) return false;
    // Another writer may have rotated while the lock changed hands.
    struct stat current {};
    struct stat mine {};
    bool ours = ::lstat(options_.path.c_str(), &current) == 0 && ::fstat(fd_, &mine) == 0 && sameFile(current, mine);
    int error = 0;
    if (ours && static_cast<std::uint64_t>(current.st_size) >= options_.rotateBytes &&
        ::rename(options_.path.c_str(), (options_.path + ".1").c_str()) != 0)
        error = errno;
    if (error == 0) {
        ::close(fd_);
        fd_ = -1;
        if (!openFile(LOCK_EX)) error = errno;
    }
    while (::flock(lockFd_, LOCK_SH) != 0 && errno == EINTR) {
    }
    errno = error;
    return error == 0;
}

// ---------------------------------------------------------------------------
// Reading

bool ActivityFilter::matches(const ActivityRecord& record) const {
    if (since && record.time < *since) return false;
    if (record.dropped > 0) return true;
    if (!workspace.empty() && record.workspaceId != workspace && record.projectKey != workspace) return false;
    return !failedOnly || record.failed();
}

std::optional<std::chrono::seconds> parseActivityAge(std::string_view text) {
    if (text.size() < 2 || text.size() > 10) return std::nullopt;
    std::int64_t unit;
    switch (text.back()) {
        case 's': unit = 1; break;
        case 'm': unit = 60; break;
        case 'h': unit = 3600; break;
        case 'd': unit = 86400; break;
        default: return std::nullopt;
    }
    std::int64_t number = 0;
    for (char c : text.substr(0, text.size() - 1)) {
        if (c < '0' || c > '9') return std::nullopt;
        number = number * 10 + (c - '0');
    }
    if (number <= 0) return std::nullopt;
    return std::chrono::seconds(number * unit);
}

std::vector<ActivityRecord> readActivity(const std::string& path, std::size_t limit) {
    return readActivity(path, limit, ActivityFilter{});
}

std::vector<ActivityRecord> readActivity(const std::string& path, std::size_t limit, const ActivityFilter& filter) {
    std::deque<ActivityRecord> records;
    if (limit == 0) return {};
    readRecordsOf(path + ".1", limit, filter, records);
    readRecordsOf(path, limit, filter, records);
    return {std::make_move_iterator(records.begin()), std::make_move_iterator(records.end())};
}

ActivityRow activityRow(const ActivityRecord& record) {
    ActivityRow row;
    std::time_t seconds = std::chrono::system_clock::to_time_t(
        std::chrono::floor<std::chrono::seconds>(record.time));
    std::tm fields{};
    localtime_r(&seconds, &fields);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &fields);
    row.time = text;
    if (record.dropped > 0) {
        row.workspace = row.status = row.duration = row.error = "-";
        row.action = "(bỏ " + std::to_string(record.dropped) + " bản ghi vì hàng đợi đầy)";
        return row;
    }
    row.workspace = !record.workspaceId.empty() ? record.workspaceId
                    : !record.projectKey.empty() ? record.projectKey
                                                 : "-";
    row.action = !record.operationId.empty() ? record.operationId : record.tool;
    if (record.skillsInstalled || record.skillsSkipped)
        row.action += " (" + std::to_string(record.skillsInstalled.value_or(0)) + " cài, " +
                      std::to_string(record.skillsSkipped.value_or(0)) + " bỏ qua)";
    row.status = record.status ? std::to_string(*record.status) : "-";
    char duration[32];
    std::snprintf(duration, sizeof duration, "%.1f", record.durationMs);
    row.duration = duration;
    row.error = record.error.empty() ? "-" : record.error;
    return row;
}

// ---------------------------------------------------------------------------
// Following

ActivityFollower::ActivityFollower(std::string path, bool fromEnd) : path_(std::move(path)) {
    fd_ = openForReading(path_);
    if (fd_ >= 0 && fromEnd) {
        off_t end = ::lseek(fd_, 0, SEEK_END);
        char last = '\n';
        if (end > 0 && ::pread(fd_, &last, 1, end - 1) == 1) skipFirst_ = last != '\n';
    }
}

ActivityFollower::~ActivityFollower() {
    if (fd_ >= 0) ::close(fd_);
}

void ActivityFollower::drain(std::vector<std::string>& lines) {
    if (fd_ < 0) return;
    struct stat info {};
    off_t at = ::lseek(fd_, 0, SEEK_CUR);
    if (::fstat(fd_, &info) == 0 && at > info.st_size) {
        // Cut short under us: read it again from its start.
        ::lseek(fd_, 0, SEEK_SET);
        partial_.clear();
        skipFirst_ = false;
    }
    readAll(fd_, partial_);
    std::size_t start = 0;
    for (std::size_t newline; (newline = partial_.find('\n', start)) != std::string::npos; start = newline + 1) {
        if (skipFirst_) {
            skipFirst_ = false;
            continue;
        }
        if (newline > start) lines.emplace_back(partial_, start, newline - start);
    }
    partial_.erase(0, start);
}

void ActivityFollower::reopen() {
    if (fd_ >= 0) ::close(fd_);
    // A line the old file ended without was torn; the new file starts afresh.
    partial_.clear();
    skipFirst_ = false;
    fd_ = openForReading(path_);
}

std::vector<std::string> ActivityFollower::poll() {
    std::vector<std::string> lines;
    // Whatever is at the path now is looked at before the old file is read
    // to its end, so that lines written to it before a rename are not missed.
    struct stat current {};
    bool present = ::lstat(path_.c_str(), &current) == 0 && S_ISREG(current.st_mode);
    drain(lines);
    struct stat mine {};
    bool moved = fd_ < 0 ? present : (!present || ::fstat(fd_, &mine) != 0 || !sameFile(current, mine));
    if (moved && present) {
        reopen();
        drain(lines);
    }
    return lines;
}

}  // namespace palisor
