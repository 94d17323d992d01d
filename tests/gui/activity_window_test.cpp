#include "bridge/app/gui/activity_window.h"

#include <gtest/gtest.h>
#include <time.h>

#include <QAction>
#include <QFile>
#include <QLabel>
#include <QPlainTextEdit>
#include <QStackedWidget>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>
#include <cstdlib>
#include <fstream>

#include "bridge/app/gui/bridge_window.h"
#include "bridge/app/gui/window_style.h"
#include "tests/gui/qt_printers.h"

namespace palisor::gui {
namespace {

using namespace std::chrono;

// 2026-03-01 10:15:30 UTC, shown in the local time the test sets (UTC+7).
const system_clock::time_point start = sys_days{year{2026} / 3 / 1} + 10h + 15min + 30s;

ActivityRecord call(const std::string& tool, int second, int status = 200) {
    ActivityRecord record;
    record.time = start + seconds(second);
    record.tool = tool;
    record.workspaceId = "web";
    record.projectKey = "DEMO";
    record.status = status;
    record.durationMs = 12.4;
    return record;
}

class ActivityWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (const char* tz = std::getenv("TZ")) savedZone_ = tz;
        setenv("TZ", "ICT-7", 1);
        tzset();
        ASSERT_TRUE(dir_.isValid());
    }
    void TearDown() override {
        if (savedZone_)
            setenv("TZ", savedZone_->c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

    ActivityWindow* open() {
        window.findChild<QAction*>(QStringLiteral("activityAction"))->trigger();
        EXPECT_EQ(window.findChildren<QWidget*>(QStringLiteral("activityWindow")).size(), 1);
        return window.activityWindow();
    }

    void append(const ActivityRecord& record) {
        log.append(record);
        log.flush();
    }

    // A row's texts, joined by '|'.
    static QString cells(QTableWidget* table, int row) {
        QStringList texts;
        for (int column = 0; column < table->columnCount(); ++column) {
            const QTableWidgetItem* item = table->item(row, column);
            texts << (item ? item->text() : QString());
        }
        return texts.join(QLatin1Char('|'));
    }

    std::optional<std::string> savedZone_;
    QTemporaryDir dir_;
    std::string path = dir_.filePath(QStringLiteral("activity.jsonl")).toStdString();
    BridgeWindow window{BridgeWindowActions{}, path};
    ActivityLog log{{path}};
};

TEST_F(ActivityWindowTest, ShowsTheLastRecordsNewestFirstAndFollowsTheFile) {
    EXPECT_EQ(window.findChild<QAction*>(QStringLiteral("activityAction"))->text(),
              QStringLiteral("Hoạt động gần đây…"));
    ActivityWindow* activity = open();
    ASSERT_NE(activity, nullptr);
    EXPECT_EQ(activity->windowTitle(), QStringLiteral("Hoạt động gần đây"));
    auto* empty = activity->findChild<QLabel*>(QStringLiteral("activityEmptyLabel"));
    EXPECT_TRUE(empty->isVisible());
    EXPECT_EQ(empty->text(), QStringLiteral("Chưa có lệnh gọi công cụ nào được ghi lại.\nNhật ký nằm ở ") +
                                 QString::fromStdString(path));
    activity->close();

    append(call("authority_get_project", 0));
    ActivityRecord failed = call("authority_call_operation", 1, 404);
    failed.operationId = "listTickets";
    failed.method = "GET";
    failed.path = "/projects/DEMO/tickets";
    failed.error = "AUTHORITY_NOT_FOUND";
    failed.durationMs = 840;
    append(failed);
    ActivityRecord dropped;
    dropped.time = start + 2s;
    dropped.dropped = 7;
    append(dropped);

    // Opened again from the menu: the same window, read afresh.
    ASSERT_EQ(open(), activity);
    ASSERT_TRUE(activity->isVisible());
    QTableWidget* table = activity->table();
    EXPECT_TRUE(table->isVisible());
    ASSERT_EQ(table->rowCount(), 3);
    EXPECT_EQ(cells(table, 0), QStringLiteral("2026-03-01 17:15:32|(bỏ 7 bản ghi vì hàng đợi đầy)||||"));
    EXPECT_EQ(table->columnSpan(0, 1), 5);
    EXPECT_EQ(cells(table, 1), QStringLiteral("2026-03-01 17:15:31|web|listTickets|404|840.0|AUTHORITY_NOT_FOUND"));
    EXPECT_EQ(cells(table, 2), QStringLiteral("2026-03-01 17:15:30|web|authority_get_project|200|12.4|-"));
    const QColor red = statusColor(StatusColor::red, activity->palette());
    EXPECT_EQ(table->item(1, 5)->foreground().color(), red);
    EXPECT_NE(table->item(2, 5)->foreground().color(), red);

    // Written while the window is open: shown at the top once the timer ticks,
    // never more than the last 200.
    append(call("authority_list_workspaces", 3));
    ASSERT_TRUE(QTest::qWaitFor([&] { return table->rowCount() == 4; }, 5000));
    EXPECT_EQ(table->item(0, 2)->text(), QStringLiteral("authority_list_workspaces"));
    for (int i = 0; i < 250; ++i) log.append(call("tool-" + std::to_string(i), 10 + i));
    log.flush();
    ASSERT_TRUE(QTest::qWaitFor([&] { return table->item(0, 2)->text() == QStringLiteral("tool-249"); }, 5000));
    ASSERT_EQ(table->rowCount(), 200);
    EXPECT_EQ(table->item(199, 2)->text(), QStringLiteral("tool-50"));

    // Double-clicking a row shows the record as the file stores it.
    const QPoint cell = table->visualRect(table->model()->index(1, 2)).center();
    QTest::mouseClick(table->viewport(), Qt::LeftButton, {}, cell);
    QTest::mouseDClick(table->viewport(), Qt::LeftButton, {}, cell);
    auto* text = activity->findChild<QPlainTextEdit*>(QStringLiteral("activityRecordText"));
    ASSERT_NE(text, nullptr);
    EXPECT_TRUE(text->isReadOnly());
    std::ifstream file(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(file, line);) lines.push_back(line);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(parseJson(text->toPlainText().toStdString()), parseJson(lines[lines.size() - 2]));
    EXPECT_NE(text->toPlainText().count(QLatin1Char('\n')), 0) << "pretty-printed";

    // A log cleared while the window was closed leaves nothing behind on reopening.
    activity->close();
    ASSERT_TRUE(QFile::remove(QString::fromStdString(path)));
    open();
    EXPECT_TRUE(empty->isVisible());
}

}  // namespace
}  // namespace palisor::gui
