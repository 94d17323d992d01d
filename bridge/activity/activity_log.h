#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "bridge/common/json.h"
#include "bridge/common/paths.h"

namespace palisor {

// One tool call as the local activity log keeps it: what was asked, of which
// workspace, and how it ended. Never a body, a token or an argument value
// beyond the fields below. Text fields are left empty when they do not apply.
struct ActivityRecord {
    std::chrono::system_clock::time_point time;  // when the call ended
    double durationMs = 0;
    std::string tool;
    std::string workspaceId;
    std::string projectKey;
    // authority_call_operation: the operation, its method and rendered path,
    // and the names (never the values) of the query parameters it was given.
    std::string operationId;
    std::string method;
    std::string path;
    std::vector<std::string> queryNames;
    // authority_sync_skills
    std::optional<std::int64_t> skillsInstalled;
    std::optional<std::int64_t> skillsSkipped;
    std::optional<int> status;  // the authority's HTTP status of the call's main exchange
    std::string error;          // the code the agent received; empty when the call succeeded
    std::string traceId;
    std::string spanId;
    std::string parentSpanId;
    std::string causalId;
    std::string userAgent;      // cut to 100 characters
    // Above zero, this record stands for that many records a full queue
    // dropped; its other fields are then empty except the time.
    std::int64_t dropped = 0;

    bool failed() const { return !error.empty() || (status && *status >= 400); }
};

// The stored form: one JSON object, its time ISO 8601 in UTC with
// milliseconds, empty fields left out, every text scrubbed of credentials.
JsonValue activityRecordJson(const ActivityRecord& record);
// The record a stored object holds; nullopt when it is not one.
std::optional<ActivityRecord> parseActivityRecord(const JsonValue& value);

// activity.jsonl in the bridge's state folder. The older file is this path + ".1".
std::string activityLogPath(const UserFolders& folders);
// PALISOR_BRIDGE_ACTIVITY: "off" (any case; also "0", "false", "no")
// turns the record off; anything else, or no value, keeps it on.
bool activityEnabled(const std::optional<std::string>& value);

// The writer: records are appended by one thread of its own, so a tool call
// only queues its record. When the queue is full, the records that do not fit
// are counted and one record saying how many were dropped takes their place.
// The file is 0600 in a 0700 folder; at rotateBytes it becomes path + ".1"
// (replacing the older one) and a new file is begun. A write that fails is
// remembered (lastError) and the writer goes on with the next record.
class ActivityLog {
public:
    struct Options {
        std::string path;
        std::size_t queueLimit = 1024;
        std::uint64_t rotateBytes = 5 * 1024 * 1024;
        // Told, on the writer's thread, when writes begin to fail (with what
        // lastError says) and when they succeed again (nullopt).
        std::function<void(const std::optional<std::string>&)> onProblem = nullptr;
    };

    explicit ActivityLog(Options options);
    // Writes what is queued, then stops the writer.
    ~ActivityLog();
    ActivityLog(const ActivityLog&) = delete;
    ActivityLog& operator=(const ActivityLog&) = delete;

    // Never waits on the disk.
    void append(ActivityRecord record);
    // Returns once every record appended before the call is written (or failed).
    void flush();
    // What the last failed write said (path and reason); nullopt when the last
    // write succeeded.
    std::optional<std::string> lastError() const;
    const std::string& path() const { return options_.path; }

private:
    // How long the writer lets records gather once the first has come.
    static constexpr std::chrono::milliseconds kBatchDelay{25};

    void run();
    void write(const std::vector<ActivityRecord>& batch);
    // Writer thread only: the open file and the lock file beside it.
    // `heldLock`: what the caller holds of the lock file (0, LOCK_SH or
    // LOCK_EX); it holds the same again on return.
    bool openFile(int heldLock);
    void closeFile();
    bool writeLine(const std::string& line);
    bool rotate();

    Options options_;
    mutable std::mutex lock_;
    std::condition_variable wake_;
    std::condition_variable written_;
    std::deque<ActivityRecord> queue_;
    std::int64_t droppedPending_ = 0;
    std::uint64_t appended_ = 0;
    std::uint64_t done_ = 0;
    bool stopping_ = false;
    std::size_t flushWaiters_ = 0;
    std::optional<std::string> lastError_;
    // Writer thread only.
    int fd_ = -1;
    int lockFd_ = -1;
    std::uint64_t size_ = 0;
    bool needsNewline_ = false;  // the file ends in a torn line
    std::thread writer_;
};

// Reading, with or without a bridge running. Lines that are not a whole
// record (a torn last line left by a crash, anything else unreadable) are
// skipped.
struct ActivityFilter {
    // A workspace id or project key, compared exactly; empty for every
    // workspace. A dropped-record marker matches any workspace and failedOnly,
    // since the records it stands for may have matched; only `since` applies.
    std::string workspace;
    std::optional<std::chrono::system_clock::time_point> since;
    bool failedOnly = false;
    bool matches(const ActivityRecord& record) const;
};

// "30s", "10m", "2h", "1d" (a positive whole number and one unit); nullopt otherwise.
std::optional<std::chrono::seconds> parseActivityAge(std::string_view text);

// The last `limit` records of path + ".1" and path, oldest first. Each file
// is read up to its last kActivityReadCap bytes, so a file that grew far past
// the rotation size costs no more memory than a rotated one.
inline constexpr std::uint64_t kActivityReadCap = 10 * 1024 * 1024;
std::vector<ActivityRecord> readActivity(const std::string& path, std::size_t limit);
// The same, keeping only the records `filter` matches.
std::vector<ActivityRecord> readActivity(const std::string& path, std::size_t limit, const ActivityFilter& filter);

// One record as the command's table and the window show it: the local time
// to the second, the workspace, the tool (or for authority_call_operation the
// operation), the HTTP status, the duration in milliseconds and the error
// code; "-" where there is none. A dropped-record marker says how many
// records it stands for in place of the tool.
struct ActivityRow {
    std::string time;
    std::string workspace;
    std::string action;
    std::string status;
    std::string duration;
    std::string error;
};
ActivityRow activityRow(const ActivityRecord& record);

// Follows the file as it grows, across rotations: each poll returns the
// whole lines written since the last one, oldest first. A rotation is seen by
// the file at `path` becoming another file; what was written to the old one
// before it was renamed is read first.
class ActivityFollower {
public:
    // fromEnd: begin at the current end of the file (else at its start).
    ActivityFollower(std::string path, bool fromEnd);
    ~ActivityFollower();
    ActivityFollower(const ActivityFollower&) = delete;
    ActivityFollower& operator=(const ActivityFollower&) = delete;

    std::vector<std::string> poll();

private:
    void reopen();
    void drain(std::vector<std::string>& lines);

    std::string path_;
    int fd_ = -1;
    std::string partial_;
    bool skipFirst_ = false;  // began in the middle of a line
};

}  // namespace palisor
