#include "bridge/app/cli/activity_command.h"

#include <signal.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <iostream>
#include <limits>
#include <memory>
#include <set>
#include <thread>
#include <vector>

#include "bridge/activity/activity_log.h"
#include "bridge/common/json.h"

namespace palisor {

namespace {

constexpr std::size_t kColumns = 6;
using Cells = std::array<std::string, kColumns>;

const Cells kHeadings = {"THỜI GIAN", "WORKSPACE", "CÔNG CỤ / THAO TÁC", "HTTP", "MS", "MÃ LỖI"};

Cells cellsOf(const ActivityRecord& record) {
    ActivityRow row = activityRow(record);
    return {row.time, row.workspace, row.action, row.status, row.duration, row.error};
}

std::size_t width(const std::string& text) {
    return static_cast<std::size_t>(
        std::count_if(text.begin(), text.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

// Columns padded to `widths`; the duration is aligned on the right.
void printRow(std::ostream& out, const Cells& cells, const std::array<std::size_t, kColumns>& widths) {
    std::string line;
    for (std::size_t i = 0; i < kColumns; ++i) {
        std::string padding(widths[i] > width(cells[i]) ? widths[i] - width(cells[i]) : 0, ' ');
        if (i + 1 == kColumns) {
            line += cells[i];
        } else {
            line += i == 4 ? padding + cells[i] : cells[i] + padding;
            line += "  ";
        }
    }
    out << line << "\n";
}

std::string storedLine(const ActivityRecord& record) {
    return dumpCompact(activityRecordJson(record)).value_or("{}");
}

std::atomic<bool> stopRequested{false};

void requestStop(int) { stopRequested = true; }

}  // namespace

int runActivityCommand(const Configuration& configuration, const ActivityCommandOptions& options, std::ostream& out, std::ostream& err,
                       const std::function<bool()>& stop) {
    ActivityFilter filter;
    filter.workspace = options.workspace;
    filter.failedOnly = options.failedOnly;
    if (!options.since.empty()) {
        std::optional<std::chrono::seconds> age = parseActivityAge(options.since);
        if (!age) {
            err << "palisor-bridge: --since: \"" << options.since
                << "\" không phải một khoảng thời gian như 30s, 10m, 2h hoặc 1d.\n";
            return kExitUsage;
        }
        filter.since = std::chrono::system_clock::now() - *age;
    }
    std::string path = activityLogPath(configuration.folders);

    // The follower is opened first, so that nothing written while the file is
    // read is missed; what it then sees twice is recognised and skipped.
    auto opened = std::chrono::system_clock::now();
    std::unique_ptr<ActivityFollower> follower;
    if (options.follow) follower = std::make_unique<ActivityFollower>(path, true);
    std::vector<ActivityRecord> records = readActivity(path, std::numeric_limits<std::size_t>::max(), filter);
    std::multiset<std::string> recent;
    if (follower)
        for (const ActivityRecord& record : records)
            if (record.time >= opened - std::chrono::seconds(10)) recent.insert(storedLine(record));

    std::array<std::size_t, kColumns> widths{};
    for (std::size_t i = 0; i < kColumns; ++i) widths[i] = width(kHeadings[i]);
    widths[0] = std::max<std::size_t>(widths[0], 19);
    widths[4] = std::max<std::size_t>(widths[4], 7);
    std::vector<Cells> rows;
    if (!options.json) {
        for (const ActivityRecord& record : records) {
            rows.push_back(cellsOf(record));
            for (std::size_t i = 0; i < kColumns; ++i) widths[i] = std::max(widths[i], width(rows.back()[i]));
        }
    }

    if (records.empty()) {
        // A JSON reader gets no text that is not a record.
        (options.json ? err : out) << (readActivity(path, 1).empty() ? "Chưa có hoạt động nào trong "
                                                                     : "Không có hoạt động nào khớp bộ lọc trong ")
                                   << path << (options.follow ? "; đang chờ hoạt động mới (Ctrl-C để dừng).\n" : ".\n");
    }
    bool headed = false;
    auto heading = [&] {
        if (!options.json && !headed) printRow(out, kHeadings, widths);
        headed = true;
    };
    if (!records.empty()) heading();
    if (options.json) {
        for (const ActivityRecord& record : records) out << storedLine(record) << "\n";
    } else {
        for (const Cells& row : rows) printRow(out, row, widths);
    }
    out.flush();
    if (!follower) return kExitSuccess;

    while (!stop()) {
        bool printed = false;
        for (const std::string& line : follower->poll()) {
            std::optional<JsonValue> value = parseJson(line);
            std::optional<ActivityRecord> record = value ? parseActivityRecord(*value) : std::nullopt;
            if (!record || !filter.matches(*record)) continue;
            std::string stored = storedLine(*record);
            if (auto seen = recent.find(stored); seen != recent.end()) {
                recent.erase(seen);
                continue;
            }
            if (options.json) {
                out << stored << "\n";
            } else {
                heading();
                printRow(out, cellsOf(*record), widths);
            }
            printed = true;
        }
        if (printed) out.flush();
        if (!stop()) std::this_thread::sleep_for(options.pollInterval);
    }
    return kExitSuccess;
}

void addActivityCommand(CLI::App& app, CommandAction& action, const Configuration& configuration) {
    auto options = std::make_shared<ActivityCommandOptions>();
    auto* activity = app.add_subcommand(
        "activity", "In nhật ký cục bộ các lời gọi công cụ của agent (đọc thẳng file, không cần bridge đang chạy).");
    activity->add_option("--workspace", options->workspace, "Chỉ các lời gọi của workspace này (id hoặc mã dự án)");
    activity->add_option("--since", options->since, "Chỉ các lời gọi trong khoảng thời gian vừa qua: 30s, 10m, 2h, 1d");
    activity->add_flag("--failed", options->failedOnly, "Chỉ các lời gọi thất bại (mã lỗi hoặc HTTP từ 400)");
    activity->add_flag("--json", options->json, "In chính các bản ghi, mỗi dòng một đối tượng JSON");
    activity->add_flag("--follow", options->follow, "In tiếp các bản ghi mới khi chúng được ghi, cho tới Ctrl-C");
    activity->callback([&action, &configuration, options] {
        if (!options->since.empty() && !parseActivityAge(options->since))
            throw CLI::ValidationError("--since", "\"" + options->since +
                                                      "\" không phải một khoảng thời gian như 30s, 10m, 2h hoặc 1d");
        action = [&configuration, options] {
            // Ctrl-C or a termination ends following as a normal exit.
            struct sigaction stopAction {};
            stopAction.sa_handler = requestStop;
            sigemptyset(&stopAction.sa_mask);
            sigaction(SIGINT, &stopAction, nullptr);
            sigaction(SIGTERM, &stopAction, nullptr);
            return runActivityCommand(configuration, *options, std::cout, std::cerr, [] { return stopRequested.load(); });
        };
    });
}

}  // namespace palisor
