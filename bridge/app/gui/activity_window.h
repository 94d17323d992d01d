#pragma once

#include <QWidget>
#include <chrono>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bridge/activity/activity_log.h"

class QLabel;
class QStackedWidget;
class QTableWidget;
class QTimer;

namespace palisor::gui {

// The agents' recent tool calls, as the local activity log holds them: the
// last records as a table, newest at the top, following the file while the
// window is shown. Double-clicking a row shows the whole stored record.
class ActivityWindow : public QWidget {
public:
    static constexpr std::size_t rowLimit = 200;

    explicit ActivityWindow(std::string logPath, QWidget* parent = nullptr,
                            std::chrono::milliseconds pollInterval = std::chrono::milliseconds(500));
    ~ActivityWindow() override;

    QTableWidget* table() const { return table_; }
    // The stored form of the record a row shows (row 0 is the newest).
    const ActivityRecord& record(int row) const { return records_.at(static_cast<std::size_t>(row)); }

protected:
    // Each time the window is opened it reads the file afresh; while it is
    // shown, a timer picks up what is written after that.
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void reload();
    void poll();
    // Newest first: `added` is oldest first, as the file has them.
    void prepend(const std::vector<ActivityRecord>& added);
    void fillRow(int row, const ActivityRecord& record);
    void showRecord(int row);
    void showEmptyOrTable();

    std::string logPath_;
    std::unique_ptr<ActivityFollower> follower_;
    // Where a reload's read and the follower overlap: the follower begins
    // before the read, so the first lines it gives may already be shown.
    std::optional<std::string> overlapUntil_;
    std::deque<ActivityRecord> records_;
    QStackedWidget* stack_ = nullptr;
    QLabel* emptyLabel_ = nullptr;
    QTableWidget* table_ = nullptr;
    QTimer* timer_ = nullptr;
};

}  // namespace palisor::gui
