#include "bridge/app/gui/bridge_window.h"

#include <algorithm>
#include <tuple>

#include <QAction>
#include <QApplication>
#include <QFile>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QClipboard>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QVBoxLayout>

#include "bridge/app/gui/activity_window.h"
#include "bridge/app/gui/elided_label.h"
#include "bridge/app/gui/folder_chooser.h"
#include "bridge/app/gui/window_style.h"
#include "bridge/app/gui/wrapped_label.h"
#include "bridge/mcp/mcp_tool_contract.h"

namespace palisor::gui {

namespace {

constexpr int smallestListHeight = 90;
constexpr QSize usualMinimumSize(680, 560);

// The workspace list asks for the height of all its rows, so that it grows
// into whatever room the window has below the other controls; only a window
// too small for every row makes it scroll, down to about one row.
class WorkspaceScrollArea : public QScrollArea {
public:
    QSize sizeHint() const override {
        const int rows = widget() ? widget()->sizeHint().height() : 0;
        return {QScrollArea::sizeHint().width(), std::max(smallestListHeight, rows + 2 * frameWidth())};
    }

protected:
    // Rows come and go inside the document (and show only once the event
    // loop is back): each time its layout changes, so does the height asked for.
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched == widget() && event->type() == QEvent::LayoutRequest) updateGeometry();
        return QScrollArea::eventFilter(watched, event);
    }
};

QString qs(const std::string& text) {
    return QString::fromStdString(text);
}

template <typename Label = QLabel>
Label* styled(Label* label, const QFont& font, const QColor& color, const QString& name) {
    label->setObjectName(name);
    label->setTextFormat(Qt::PlainText);
    label->setFont(font);
    setTextColor(label, color);
    return label;
}

QLabel* makeLabel(const QString& text, const QFont& font, const QColor& color, const QString& name) {
    return styled(new QLabel(text), font, color, name);
}

WrappedLabel* makeWrappedLabel(const QString& text, int maxLines, const QFont& font, const QColor& color,
                               const QString& name) {
    return styled(new WrappedLabel(text, maxLines), font, color, name);
}

}  // namespace

BridgeWindow::BridgeWindow(BridgeWindowActions actions, std::string activityLog, QWidget* parent)
    : QMainWindow(parent), actions_(std::move(actions)), activityLog_(std::move(activityLog)) {
    setWindowTitle(QStringLiteral("Palisor Bridge"));
    setFont(uiFont(13));
    buildMenus();
    buildContent();
    resize(760, 660);
    setMinimumSize(usualMinimumSize);
}

BridgeWindow::~BridgeWindow() = default;

void BridgeWindow::buildMenus() {
    QMenu* appMenu = menuBar()->addMenu(QStringLiteral("Palisor Bridge"));
    QAction* activity = appMenu->addAction(QStringLiteral("Hoạt động gần đây…"));
    activity->setObjectName(QStringLiteral("activityAction"));
    connect(activity, &QAction::triggered, this, [this] { showActivity(); });
    appMenu->addSeparator();
    QAction* quit = appMenu->addAction(QStringLiteral("Thoát ") + QStringLiteral("Palisor Bridge"));
    quit->setObjectName(QStringLiteral("quitAction"));
    quit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    quit->setMenuRole(QAction::QuitRole);
    connect(quit, &QAction::triggered, this, [] { QCoreApplication::quit(); });

    // The edit commands act on whichever text field has the keyboard focus.
    // A focused field handles these keys itself first, so the shortcuts here
    // never act twice.
    QMenu* edit = menuBar()->addMenu(QStringLiteral("Sửa"));
    auto addEdit = [this, edit](const QString& title, const QKeySequence& keys, const char* name,
                                std::function<void(QLineEdit*)> command) {
        QAction* action = edit->addAction(title);
        action->setObjectName(QLatin1String(name));
        action->setShortcut(keys);
        connect(action, &QAction::triggered, this, [command] {
            if (auto* field = qobject_cast<QLineEdit*>(QApplication::focusWidget())) command(field);
        });
        return action;
    };
    QAction* undo = addEdit(QStringLiteral("Hoàn tác"), QKeySequence(Qt::CTRL | Qt::Key_Z), "undoAction",
                            [](QLineEdit* f) { f->undo(); });
    QAction* redo = addEdit(QStringLiteral("Làm lại"), QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Z), "redoAction",
                            [](QLineEdit* f) { f->redo(); });
    edit->addSeparator();
    QAction* cut =
        addEdit(QStringLiteral("Cắt"), QKeySequence(Qt::CTRL | Qt::Key_X), "cutAction", [](QLineEdit* f) { f->cut(); });
    QAction* copy = addEdit(QStringLiteral("Sao chép"), QKeySequence(Qt::CTRL | Qt::Key_C), "copyAction",
                            [](QLineEdit* f) { f->copy(); });
    QAction* paste = addEdit(QStringLiteral("Dán"), QKeySequence(Qt::CTRL | Qt::Key_V), "pasteAction",
                             [](QLineEdit* f) { f->paste(); });
    QAction* selectAll = addEdit(QStringLiteral("Chọn tất cả"), QKeySequence(Qt::CTRL | Qt::Key_A), "selectAllAction",
                                 [](QLineEdit* f) { f->selectAll(); });

    // Grey out what the focused field cannot do when the menu opens, and
    // enable everything again when it closes so that no shortcut is lost.
    connect(edit, &QMenu::aboutToShow, this, [=] {
        auto* field = qobject_cast<QLineEdit*>(QApplication::focusWidget());
        const bool editable = field && !field->isReadOnly();
        const bool selected = field && field->hasSelectedText();
        // A password field never gives its text away.
        const bool secret = field && field->echoMode() != QLineEdit::Normal;
        undo->setEnabled(editable && field->isUndoAvailable());
        redo->setEnabled(editable && field->isRedoAvailable());
        cut->setEnabled(editable && selected && !secret);
        copy->setEnabled(selected && !secret);
        paste->setEnabled(editable);
        selectAll->setEnabled(field && !field->text().isEmpty());
    });
    connect(edit, &QMenu::aboutToHide, this, [=] {
        for (QAction* action : {undo, redo, cut, copy, paste, selectAll}) action->setEnabled(true);
    });
}

void BridgeWindow::buildContent() {
    auto* content = new QWidget;
    setCentralWidget(content);
    const QPalette palette = content->palette();
    const QColor label = toneColor(TextTone::label, palette);
    const QColor secondary = toneColor(TextTone::secondary, palette);

    auto* stack = new QVBoxLayout(content);
    stack->setContentsMargins(32, 32, 32, 24);
    stack->setSpacing(14);

    // Beside the title, who is logged in and where (the authority is shown
    // before a login too): two short lines in the title's own height.
    auto* titleRow = new QHBoxLayout;
    titleRow->setSpacing(16);
    titleRow->addWidget(
        makeLabel(QStringLiteral("Palisor Bridge"), uiFont(28, QFont::Bold), label, QStringLiteral("titleLabel")));
    auto* account = new QVBoxLayout;
    account->setSpacing(0);
    accountLabel_ = new ElidedLabel;
    authorityLabel_ = new ElidedLabel;
    for (auto [widget, name, font, color] :
         {std::tuple{accountLabel_, "accountLabel", uiFont(13, QFont::DemiBold), label},
          std::tuple{authorityLabel_, "authorityLabel", uiFont(13), secondary}}) {
        widget->setObjectName(QLatin1String(name));
        widget->setFont(font);
        setTextColor(widget, color);
        widget->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        account->addWidget(widget);
    }
    accountLabel_->setFullText(QStringLiteral("Chưa đăng nhập"));
    titleRow->addLayout(account, 1);
    stack->addLayout(titleRow);

    stack->addWidget(makeWrappedLabel(QStringLiteral("Cầu nối local để AI node đọc và cập nhật authority qua MCP."), 2,
                                      uiFont(14), secondary, QStringLiteral("subtitleLabel")));

    stack->addWidget(makeLabel(qs(McpToolContract::displayVersionText()), uiFont(12, QFont::Medium),
                               toneColor(TextTone::tertiary, palette), QStringLiteral("versionLabel")));

    // A gap as a widget of its own, so that the stack's spacing falls on both
    // sides of it.
    auto* gap = new QWidget;
    gap->setFixedHeight(8);
    stack->addWidget(gap);

    auto* header = new QHBoxLayout;
    header->setSpacing(10);
    header->addWidget(makeLabel(QStringLiteral("Workspace dự án"), uiFont(13, QFont::DemiBold), secondary,
                                QStringLiteral("workspaceHeaderLabel")),
                      0, Qt::AlignVCenter);
    workspaceCountLabel_ = makeLabel(QStringLiteral("Chưa có workspace"), uiFont(13, QFont::DemiBold), secondary,
                                     QStringLiteral("workspaceCountLabel"));
    header->addWidget(workspaceCountLabel_, 0, Qt::AlignVCenter);
    header->addStretch(1);
    addWorkspaceButton_ = new RoomyButton(QStringLiteral("Thêm workspace"));
    addWorkspaceButton_->setObjectName(QStringLiteral("addWorkspaceButton"));
    connect(addWorkspaceButton_, &QPushButton::clicked, this, [this] {
        if (actions_.addWorkspace) actions_.addWorkspace();
    });
    header->addWidget(addWorkspaceButton_, 0, Qt::AlignVCenter);
    stack->addLayout(header);

    auto* scroll = new WorkspaceScrollArea;
    workspaceScrollArea_ = scroll;
    scroll->setObjectName(QStringLiteral("workspaceScrollArea"));
    scroll->setFrameShape(QFrame::StyledPanel);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    scroll->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    scroll->setMinimumHeight(smallestListHeight);
    // The document follows the visible width and is at least as high; rows
    // start at its top and the rest stays empty below them.
    scroll->setWidgetResizable(true);
    auto* document = new QWidget;
    document->setObjectName(QStringLiteral("workspaceListDocument"));
    document->setBackgroundRole(QPalette::Base);
    document->setAutoFillBackground(true);
    auto* documentLayout = new QVBoxLayout(document);
    documentLayout->setContentsMargins(10, 10, 10, 10);
    documentLayout->setSpacing(0);
    workspaceListStack_ = new QWidget;
    workspaceListStack_->setObjectName(QStringLiteral("workspaceListStack"));
    workspaceListLayout_ = new QVBoxLayout(workspaceListStack_);
    workspaceListLayout_->setContentsMargins(0, 0, 0, 0);
    workspaceListLayout_->setSpacing(8);
    documentLayout->addWidget(workspaceListStack_);
    documentLayout->addStretch(1);
    scroll->setWidget(document);
    stack->addWidget(scroll);

    emailLabel_ = makeLabel(QStringLiteral("Email"), uiFont(13), label, QStringLiteral("emailLabel"));
    stack->addWidget(emailLabel_);
    emailField_ = new QLineEdit;
    emailField_->setObjectName(QStringLiteral("emailField"));
    emailField_->setFont(uiFont(15));
    emailField_->setPlaceholderText(QStringLiteral("ban@example.com"));
    emailLabel_->setBuddy(emailField_);
    stack->addWidget(emailField_);

    passwordLabel_ = makeLabel(QStringLiteral("Mật khẩu"), uiFont(13), label, QStringLiteral("passwordLabel"));
    stack->addWidget(passwordLabel_);
    passwordField_ = new QLineEdit;
    passwordField_->setObjectName(QStringLiteral("passwordField"));
    passwordField_->setFont(uiFont(15));
    passwordField_->setEchoMode(QLineEdit::Password);
    passwordField_->setPlaceholderText(QStringLiteral("Mật khẩu"));
    passwordLabel_->setBuddy(passwordField_);
    stack->addWidget(passwordField_);

    statusLabel_ = makeWrappedLabel(QStringLiteral("Bridge chưa đăng nhập."), 4, uiFont(14, QFont::Medium), secondary,
                                    QStringLiteral("statusLabel"));
    stack->addWidget(statusLabel_);

    auto* buttons = new QHBoxLayout;
    buttons->setSpacing(12);
    actionButton_ = new RoomyButton(QStringLiteral("Đăng nhập"));
    actionButton_->setObjectName(QStringLiteral("actionButton"));
    // The window's default button; Return reaches it through keyPressEvent,
    // since only dialogs route Return to a default button.
    actionButton_->setDefault(true);
    connect(actionButton_, &QPushButton::clicked, this, [this] { triggerAction(); });
    buttons->addWidget(actionButton_);
    refreshButton_ = new RoomyButton(QStringLiteral("Làm mới"));
    refreshButton_->setObjectName(QStringLiteral("refreshButton"));
    refreshButton_->setVisible(false);
    connect(refreshButton_, &QPushButton::clicked, this, [this] {
        if (actions_.refresh) actions_.refresh();
    });
    buttons->addWidget(refreshButton_);
    buttons->addStretch(1);
    copyConfigurationButton_ = new RoomyButton(QStringLiteral("Sao chép cấu hình MCP"));
    copyConfigurationButton_->setObjectName(QStringLiteral("copyConfigurationButton"));
    copyConfigurationButton_->setAutoDefault(false);
    copyConfigurationButton_->setToolTip(
        QStringLiteral("Chép vào clipboard mục mcpServers để agent kết nối tới endpoint của Bridge"));
    connect(copyConfigurationButton_, &QPushButton::clicked, this, [this] {
        if (actions_.copyMcpConfiguration) actions_.copyMcpConfiguration();
    });
    buttons->addWidget(copyConfigurationButton_);
    stack->addLayout(buttons);

    // Extra height goes below the controls; the bottom margin is a minimum.
    stack->addStretch(1);

    setTabOrder(emailField_, passwordField_);
    setTabOrder(passwordField_, actionButton_);
}

void BridgeWindow::triggerAction() {
    const auto& action = sessionAction_ == SessionControlsModel::Action::login ? actions_.login : actions_.logout;
    if (action) action();
}

void BridgeWindow::showActivity() {
    // One window, made on first use and kept (hidden) when closed.
    if (!activityWindow_) activityWindow_ = new ActivityWindow(activityLog_, this);
    activityWindow_->show();
    activityWindow_->raise();
    activityWindow_->activateWindow();
}

void BridgeWindow::keyPressEvent(QKeyEvent* event) {
    // Text fields and buttons pass on a Return they do not use, which makes
    // the action button the window's default button, as in a dialog.
    const bool isReturn = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
    const auto modifiers = event->modifiers() & ~Qt::KeypadModifier;
    if (isReturn && modifiers == Qt::NoModifier && actionButton_->isDefault() && actionButton_->isVisible() &&
        actionButton_->isEnabled()) {
        actionButton_->click();
        event->accept();
        return;
    }
    QMainWindow::keyPressEvent(event);
}

bool BridgeWindow::event(QEvent* event) {
    const bool handled = QMainWindow::event(event);
    if (event->type() == QEvent::LayoutRequest) {
        // Never smaller than the controls need, even where that is above the
        // usual minimum (large fonts, the login fields and a long status):
        // a smaller window would draw them over each other.
        // The total counts the menu bar as well.
        setMinimumSize(layout()->totalMinimumSize().expandedTo(usualMinimumSize));
    }
    return handled;
}

void BridgeWindow::setStatus(const std::string& text, StatusColor color) {
    statusLabel_->setText(qs(text));
    setTextColor(statusLabel_, statusColor(color, palette()));
}

void BridgeWindow::showSessionControls(const SessionControlsModel& controls) {
    for (QWidget* widget : std::initializer_list<QWidget*>{emailLabel_, emailField_, passwordLabel_, passwordField_}) {
        widget->setVisible(controls.credentialFieldsVisible);
    }
    refreshButton_->setVisible(controls.refreshButtonVisible);
    actionButton_->setText(qs(controls.actionTitle));
    sessionAction_ = controls.action;
}

void BridgeWindow::setActionEnabled(bool enabled) {
    actionButton_->setEnabled(enabled);
}

void BridgeWindow::setRefreshEnabled(bool enabled) {
    refreshButton_->setEnabled(enabled);
}

void BridgeWindow::clearWorkspaceRows() {
    while (QLayoutItem* item = workspaceListLayout_->takeAt(0)) {
        if (QWidget* widget = item->widget()) {
            // A row may be going away because one of its own buttons was
            // clicked and is still delivering that click: delete it once the
            // event loop is back.
            widget->hide();
            widget->setParent(nullptr);
            widget->deleteLater();
        }
        delete item;
    }
}

void BridgeWindow::showWorkspaces(const WorkspaceListModel& list) {
    clearWorkspaceRows();
    workspaceCountLabel_->setText(qs(list.countText));
    if (list.rows.empty()) {
        if (list.emptyHint) {
            workspaceListLayout_->addWidget(makeWrappedLabel(qs(*list.emptyHint), 2, uiFont(13),
                                                             toneColor(TextTone::secondary, palette()),
                                                             QStringLiteral("workspaceEmptyHint")));
        }
        return;
    }
    for (const WorkspaceRowModel& row : list.rows) {
        workspaceListLayout_->addWidget(makeWorkspaceRow(row, actions_.workspace, workspaceListStack_));
    }
}

void BridgeWindow::showAccount(const AccountModel& account) {
    accountLabel_->setFullText(qs(account.accountText));
    authorityLabel_->setFullText(qs(account.authorityText));
}

bool BridgeWindow::confirm(const ConfirmationModel& question) {
    QMessageBox box(QMessageBox::Question, qs(question.title), qs(question.title), QMessageBox::NoButton, this);
    box.setObjectName(QStringLiteral("confirmationBox"));
    box.setInformativeText(qs(question.message));
    box.setTextFormat(Qt::PlainText);
    QPushButton* yes = box.addButton(qs(question.confirmTitle), QMessageBox::DestructiveRole);
    yes->setObjectName(QStringLiteral("confirmButton"));
    QPushButton* no = box.addButton(qs(question.cancelTitle), QMessageBox::RejectRole);
    no->setObjectName(QStringLiteral("cancelButton"));
    // Return must not remove anything by accident.
    box.setDefaultButton(no);
    box.setEscapeButton(no);
    box.exec();
    return box.clickedButton() == yes;
}

bool BridgeWindow::copyToClipboard(const std::string& text) {
    QClipboard* clipboard = QGuiApplication::clipboard();
    if (!clipboard) return false;
    clipboard->setText(qs(text));
    return true;
}

std::string BridgeWindow::emailText() const {
    return emailField_->text().toStdString();
}

std::string BridgeWindow::passwordText() const {
    return passwordField_->text().toStdString();
}

void BridgeWindow::clearPassword() {
    passwordField_->clear();
}

void BridgeWindow::clearCredentialFields() {
    emailField_->clear();
    passwordField_->clear();
}

std::vector<std::string> BridgeWindow::chooseWorkspaceFolders(const std::string& title,
                                                              const std::optional<std::string>& startFolder) {
    std::unique_ptr<QFileDialog> dialog = makeFolderChooser(this, qs(title), startFolder);
    if (dialog->exec() != QDialog::Accepted) return {};
    std::vector<std::string> folders;
    for (const QString& path : dialog->selectedFiles()) {
        // The file system's own bytes, whatever the file name's encoding.
        folders.push_back(QFile::encodeName(path).toStdString());
    }
    return folders;
}

void BridgeWindow::showWindow() {
    if (!centred_) {
        centred_ = true;
        QScreen* screen = QGuiApplication::primaryScreen();
        if (screen) {
            QRect frame = frameGeometry();
            frame.moveCenter(screen->availableGeometry().center());
            move(frame.topLeft());
        }
    }
    show();
}

void BridgeWindow::activate() {
    raise();
    activateWindow();
}

}  // namespace palisor::gui
