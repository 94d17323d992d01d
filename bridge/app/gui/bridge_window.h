#pragma once

#include <QMainWindow>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "bridge/app/bridge_view.h"
#include "bridge/app/gui/workspace_row.h"

class QAction;
class QLabel;
class QLineEdit;
class QPushButton;
class QScrollArea;
class QVBoxLayout;

namespace palisor::gui {

class ActivityWindow;
class ElidedLabel;

// What the window's controls ask of the application.
struct BridgeWindowActions {
    std::function<void()> login;
    std::function<void()> logout;
    std::function<void()> refresh;
    std::function<void()> addWorkspace;
    std::function<void()> copyMcpConfiguration;
    WorkspaceRowActions workspace;
    // The user asked to quit (menu or shortcut).
    std::function<void()> quit;
};

// The bridge's one window: log in to the authority, see whether the local
// endpoint runs, manage the registered workspaces. It shows what the
// controller tells it and forwards the user's actions; it decides nothing.
class BridgeWindow : public QMainWindow, public BridgeView {
public:
    // activityLog: the activity log file its "recent activity" window reads.
    BridgeWindow(BridgeWindowActions actions, std::string activityLog, QWidget* parent = nullptr);
    ~BridgeWindow() override;

    // BridgeView
    void setStatus(const std::string& text, StatusColor color) override;
    void showSessionControls(const SessionControlsModel& controls) override;
    void setActionEnabled(bool enabled) override;
    void setRefreshEnabled(bool enabled) override;
    void showWorkspaces(const WorkspaceListModel& list) override;
    void showAccount(const AccountModel& account) override;
    std::string emailText() const override;
    std::string passwordText() const override;
    void clearPassword() override;
    void clearCredentialFields() override;
    std::vector<std::string> chooseWorkspaceFolders(const std::string& title,
                                                    const std::optional<std::string>& startFolder) override;
    bool confirm(const ConfirmationModel& question) override;
    bool copyToClipboard(const std::string& text) override;
    void showWindow() override;
    void activate() override;

    // The widget that holds the workspace rows (or the hint when there are none).
    QWidget* workspaceListStack() const { return workspaceListStack_; }
    QScrollArea* workspaceScrollArea() const { return workspaceScrollArea_; }
    // The recent-activity window, once the menu has opened it.
    ActivityWindow* activityWindow() const { return activityWindow_; }

protected:
    void keyPressEvent(QKeyEvent* event) override;
    bool event(QEvent* event) override;

private:
    void buildMenus();
    void buildContent();
    void triggerAction();
    void showActivity();
    void clearWorkspaceRows();

    BridgeWindowActions actions_;
    std::string activityLog_;
    ActivityWindow* activityWindow_ = nullptr;
    SessionControlsModel::Action sessionAction_ = SessionControlsModel::Action::login;
    bool centred_ = false;

    QScrollArea* workspaceScrollArea_ = nullptr;
    QWidget* workspaceListStack_ = nullptr;
    QVBoxLayout* workspaceListLayout_ = nullptr;
    QLabel* workspaceCountLabel_ = nullptr;
    QPushButton* addWorkspaceButton_ = nullptr;
    QLabel* emailLabel_ = nullptr;
    QLineEdit* emailField_ = nullptr;
    QLabel* passwordLabel_ = nullptr;
    QLineEdit* passwordField_ = nullptr;
    ElidedLabel* accountLabel_ = nullptr;
    ElidedLabel* authorityLabel_ = nullptr;
    QLabel* statusLabel_ = nullptr;
    QPushButton* actionButton_ = nullptr;
    QPushButton* refreshButton_ = nullptr;
    QPushButton* copyConfigurationButton_ = nullptr;
};

}  // namespace palisor::gui
