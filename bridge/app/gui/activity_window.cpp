#include "bridge/app/gui/activity_window.h"

#include <QApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QHeaderView>
#include <QLabel>
#include <QPlainTextEdit>
#include <QShowEvent>
#include <QStackedWidget>
#include <QStyledItemDelegate>
#include <QTableWidget>
#include <QTimer>
#include <QVBoxLayout>

#include "bridge/app/gui/window_style.h"

namespace palisor::gui {

namespace {

enum Column { timeColumn, workspaceColumn, toolColumn, statusColumn, durationColumn, errorColumn, columnCount };

QString qs(const std::string& text) {
    return QString::fromStdString(text);
}

// What the tool's name does not say: the request an operation made.
QString toolDetail(const ActivityRecord& record) {
    QStringList lines{qs(record.tool)};
    if (!record.method.empty() || !record.path.empty()) lines << qs(record.method + " " + record.path);
    return lines.join(QLatin1Char('\n'));
}

// The records in whole lines the follower returned; other lines are skipped.
std::vector<ActivityRecord> parseLines(const std::vector<std::string>& lines) {
    std::vector<ActivityRecord> records;
    for (const std::string& line : lines) {
        const auto value = parseJson(line);
        if (!value) continue;
        if (auto record = parseActivityRecord(*value)) records.push_back(std::move(*record));
    }
    return records;
}

std::string compactForm(const ActivityRecord& record) {
    return dumpCompact(activityRecordJson(record)).value_or(std::string());
}

class RowDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    // The duration, right-aligned, keeps its distance from the error beside
    // it: the cell's background is drawn whole, its text short of the edge.
    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        if (index.column() != durationColumn) {
            QStyledItemDelegate::paint(painter, option, index);
            return;
        }
        QStyleOptionViewItem cell(option);
        initStyleOption(&cell, index);
        QStyleOptionViewItem text(cell);
        cell.text.clear();
        QStyle* style = option.widget ? option.widget->style() : QApplication::style();
        style->drawControl(QStyle::CE_ItemViewItem, &cell, painter, option.widget);
        text.rect.adjust(0, 0, -12, 0);
        text.backgroundBrush = Qt::NoBrush;
        text.state &= ~(QStyle::State_Selected | QStyle::State_MouseOver);
        if (cell.state & QStyle::State_Selected) {
            text.palette.setColor(QPalette::Text, cell.palette.color(QPalette::HighlightedText));
        }
        style->drawControl(QStyle::CE_ItemViewItem, &text, painter, option.widget);
    }

protected:
    // Rows are selected whole; the style's frame around the one current cell
    // would only look like a stray box in the first column.
    void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override {
        QStyledItemDelegate::initStyleOption(option, index);
        option->state &= ~QStyle::State_HasFocus;
    }
};

}  // namespace

ActivityWindow::ActivityWindow(std::string logPath, QWidget* parent, std::chrono::milliseconds pollInterval)
    : QWidget(parent, Qt::Window), logPath_(std::move(logPath)) {
    setObjectName(QStringLiteral("activityWindow"));
    setWindowTitle(QStringLiteral("Hoạt động gần đây"));
    setFont(uiFont(13));
    resize(1040, 540);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(16, 16, 16, 16);
    layout->setSpacing(10);
    auto* caption = new QLabel(QStringLiteral("%1 lệnh gọi công cụ gần nhất của agent, mới nhất ở trên. Nhấn đúp "
                                              "vào một dòng để xem toàn bộ bản ghi.")
                                   .arg(rowLimit));
    caption->setObjectName(QStringLiteral("activityCaption"));
    caption->setWordWrap(true);
    setTextColor(caption, toneColor(TextTone::secondary, palette()));
    layout->addWidget(caption);

    stack_ = new QStackedWidget;
    emptyLabel_ = new QLabel(QStringLiteral("Chưa có lệnh gọi công cụ nào được ghi lại.\nNhật ký nằm ở %1")
                                 .arg(QString::fromLocal8Bit(logPath_.c_str())));
    emptyLabel_->setObjectName(QStringLiteral("activityEmptyLabel"));
    emptyLabel_->setTextFormat(Qt::PlainText);
    emptyLabel_->setAlignment(Qt::AlignCenter);
    emptyLabel_->setWordWrap(true);
    emptyLabel_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    // In the table's place and looking like it, so the window keeps its shape.
    emptyLabel_->setFrameShape(QFrame::StyledPanel);
    emptyLabel_->setBackgroundRole(QPalette::Base);
    emptyLabel_->setAutoFillBackground(true);
    setTextColor(emptyLabel_, toneColor(TextTone::secondary, palette()));
    stack_->addWidget(emptyLabel_);

    table_ = new QTableWidget(0, columnCount);
    table_->setObjectName(QStringLiteral("activityTable"));
    table_->setHorizontalHeaderLabels({QStringLiteral("Thời gian"), QStringLiteral("Workspace"),
                                       QStringLiteral("Công cụ / thao tác"), QStringLiteral("HTTP"),
                                       QStringLiteral("Thời lượng (ms)"), QStringLiteral("Mã lỗi")});
    table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table_->setSelectionBehavior(QAbstractItemView::SelectRows);
    table_->setSelectionMode(QAbstractItemView::SingleSelection);
    table_->setWordWrap(false);
    table_->setTextElideMode(Qt::ElideMiddle);
    table_->setShowGrid(false);
    table_->setAlternatingRowColors(true);
    table_->setItemDelegate(new RowDelegate(table_));
    table_->verticalHeader()->hide();
    table_->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    table_->verticalHeader()->setDefaultSectionSize(QFontMetrics(font()).height() + 10);
    QHeaderView* header = table_->horizontalHeader();
    header->setHighlightSections(false);
    header->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    const QFontMetrics metrics(font());
    const auto widthOf = [&metrics](const char* sample) {
        return metrics.horizontalAdvance(QString::fromUtf8(sample)) + 24;
    };
    header->resizeSection(timeColumn, widthOf("2026-12-31 23:59:59"));
    header->resizeSection(workspaceColumn, widthOf("palisor-docs-main"));
    header->resizeSection(toolColumn, widthOf("authority_sync_skills (12 cài, 3 bỏ qua)"));
    header->resizeSection(statusColumn, widthOf("HTTP 000"));
    header->resizeSection(durationColumn, widthOf("Thời lượng (ms)"));
    header->setStretchLastSection(true);
    table_->horizontalHeaderItem(durationColumn)->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
    connect(table_, &QTableWidget::cellDoubleClicked, this, [this](int row, int) { showRecord(row); });
    stack_->addWidget(table_);
    layout->addWidget(stack_, 1);

    timer_ = new QTimer(this);
    timer_->setInterval(pollInterval);
    connect(timer_, &QTimer::timeout, this, [this] { poll(); });
}

ActivityWindow::~ActivityWindow() = default;

void ActivityWindow::showEvent(QShowEvent* event) {
    // A window restored from the task bar goes on where it was; one opened
    // again from the menu starts from the file.
    if (!event->spontaneous() || !follower_) reload();
    timer_->start();
    QWidget::showEvent(event);
}

void ActivityWindow::hideEvent(QHideEvent* event) {
    timer_->stop();
    QWidget::hideEvent(event);
}

void ActivityWindow::reload() {
    // Following from before the read: a record written in between is then
    // read twice rather than never; poll() drops the second copy.
    follower_ = std::make_unique<ActivityFollower>(logPath_, true);
    records_.clear();
    table_->setRowCount(0);
    const std::vector<ActivityRecord> last = readActivity(logPath_, rowLimit);
    overlapUntil_ = last.empty() ? std::nullopt : std::optional(compactForm(last.back()));
    prepend(last);
    showEmptyOrTable();
}

void ActivityWindow::poll() {
    if (!follower_) return;
    std::vector<ActivityRecord> added = parseLines(follower_->poll());
    if (overlapUntil_) {
        // The first poll after a reload returns whatever was written since the
        // follower began, so any overlap with the read is all there.
        for (std::size_t i = added.size(); i-- > 0;) {
            if (compactForm(added[i]) == *overlapUntil_) {
                added.erase(added.begin(), added.begin() + static_cast<std::ptrdiff_t>(i) + 1);
                break;
            }
        }
        overlapUntil_.reset();
    }
    prepend(added);
}

void ActivityWindow::prepend(const std::vector<ActivityRecord>& added) {
    // Only the newest rowLimit of what arrived can be shown.
    const std::size_t skip = added.size() > rowLimit ? added.size() - rowLimit : 0;
    if (skip == added.size()) return;
    table_->setUpdatesEnabled(false);
    for (std::size_t i = skip; i < added.size(); ++i) {
        records_.push_front(added[i]);
        table_->insertRow(0);
        fillRow(0, added[i]);
    }
    while (records_.size() > rowLimit) {
        records_.pop_back();
        table_->removeRow(table_->rowCount() - 1);
    }
    table_->setUpdatesEnabled(true);
    showEmptyOrTable();
}

void ActivityWindow::fillRow(int row, const ActivityRecord& record) {
    // The cells the command line's table shows for the same record.
    const ActivityRow cells = activityRow(record);
    auto set = [&](int column, const std::string& text) {
        auto* item = new QTableWidgetItem(qs(text));
        table_->setItem(row, column, item);
        return item;
    };
    set(timeColumn, cells.time);
    if (record.dropped > 0) {
        QTableWidgetItem* note = set(workspaceColumn, cells.action);
        QFont italic = font();
        italic.setItalic(true);
        note->setFont(italic);
        note->setForeground(toneColor(TextTone::secondary, palette()));
        table_->setSpan(row, workspaceColumn, 1, columnCount - workspaceColumn);
        return;
    }
    QTableWidgetItem* workspace = set(workspaceColumn, cells.workspace);
    if (!record.projectKey.empty()) workspace->setToolTip(QStringLiteral("Dự án ") + qs(record.projectKey));
    set(toolColumn, cells.action)->setToolTip(toolDetail(record));
    QTableWidgetItem* status = set(statusColumn, cells.status);
    set(durationColumn, cells.duration)->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
    QTableWidgetItem* error = set(errorColumn, cells.error);
    if (record.failed()) {
        const QColor red = statusColor(StatusColor::red, palette());
        for (QTableWidgetItem* item : {status, error}) item->setForeground(red);
    }
}

void ActivityWindow::showEmptyOrTable() {
    stack_->setCurrentWidget(records_.empty() ? static_cast<QWidget*>(emptyLabel_) : table_);
}

void ActivityWindow::showRecord(int row) {
    if (row < 0 || static_cast<std::size_t>(row) >= records_.size()) return;
    auto* dialog = new QDialog(this);
    dialog->setObjectName(QStringLiteral("activityRecordDialog"));
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowTitle(QStringLiteral("Bản ghi hoạt động"));
    auto* layout = new QVBoxLayout(dialog);
    auto* text = new QPlainTextEdit;
    text->setObjectName(QStringLiteral("activityRecordText"));
    text->setReadOnly(true);
    text->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    text->setFont(monospaceFont(13));
    text->setLineWrapMode(QPlainTextEdit::NoWrap);
    text->setPlainText(qs(dumpPretty(activityRecordJson(records_[static_cast<std::size_t>(row)])).value_or("")));
    layout->addWidget(text);
    auto* buttons = new QDialogButtonBox;
    buttons->addButton(new RoomyButton(QStringLiteral("Đóng")), QDialogButtonBox::RejectRole);
    connect(buttons, &QDialogButtonBox::rejected, dialog, &QDialog::reject);
    layout->addWidget(buttons);
    dialog->resize(560, 420);
    dialog->show();
}

}  // namespace palisor::gui
