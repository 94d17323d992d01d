#pragma once

#include <optional>
#include <string>
#include <vector>

namespace palisor {

// The colours the window uses for status texts.
enum class StatusColor { green, orange, red, secondary };

// One registered workspace as the list shows it.
struct WorkspaceRowModel {
    std::string workspaceId;
    std::string projectKey;
    std::string workspaceRoot;
    bool validationEnabled = true;
    bool isDefault = false;
    std::string defaultButtonTitle;  // "Mặc định" (disabled) or "Đặt mặc định"
    bool defaultButtonEnabled = false;
    std::string validationText;
    StatusColor validationColor = StatusColor::secondary;

    bool operator==(const WorkspaceRowModel&) const = default;
};

struct WorkspaceListModel {
    std::string countText;
    // Shown instead of rows when there are no workspaces.
    std::optional<std::string> emptyHint;
    std::vector<WorkspaceRowModel> rows;

    bool operator==(const WorkspaceListModel&) const = default;
};

// Which of the session controls are shown, and what the action button does.
struct SessionControlsModel {
    enum class Action { login, logout };
    bool credentialFieldsVisible = true;
    bool refreshButtonVisible = false;
    std::string actionTitle;
    Action action = Action::login;

    bool operator==(const SessionControlsModel&) const = default;
};

// Who is logged in, and with which authority.
struct AccountModel {
    std::string accountText;    // the account, or that nobody is logged in
    // "Authority: <origin> (<where it came from>)".
    std::string authorityText;

    bool operator==(const AccountModel&) const = default;
};

// A question put to the user before something that cannot be undone with
// one click.
struct ConfirmationModel {
    std::string title;
    std::string message;
    std::string confirmTitle;
    std::string cancelTitle;

    bool operator==(const ConfirmationModel&) const = default;
};

// What the application controller needs of its window. The window forwards
// its controls' actions to the controller; the controller only ever calls the
// view on the main thread. A headless program implements it without widgets.
class BridgeView {
public:
    virtual ~BridgeView() = default;

    virtual void setStatus(const std::string& text, StatusColor color) = 0;
    virtual void showSessionControls(const SessionControlsModel& controls) = 0;
    virtual void setActionEnabled(bool enabled) = 0;
    virtual void setRefreshEnabled(bool enabled) = 0;
    virtual void showWorkspaces(const WorkspaceListModel& list) = 0;
    virtual void showAccount(const AccountModel& account) = 0;

    virtual std::string emailText() const = 0;
    virtual std::string passwordText() const = 0;
    virtual void clearPassword() = 0;
    virtual void clearCredentialFields() = 0;

    // Lets the user pick folders (several at once), starting in `startFolder`
    // when given. Empty when the user cancels or the view cannot ask.
    virtual std::vector<std::string> chooseWorkspaceFolders(const std::string& title,
                                                            const std::optional<std::string>& startFolder) = 0;

    // Whether the user agreed; false when the view cannot ask.
    virtual bool confirm(const ConfirmationModel& question) = 0;
    // Puts text on the clipboard; false when the view has none.
    virtual bool copyToClipboard(const std::string& text) = 0;

    virtual void showWindow() = 0;
    // Brings the application in front of others.
    virtual void activate() = 0;
};

}  // namespace palisor
