#pragma once

#include <cstdio>
#include <string>

#include "bridge/app/bridge_view.h"

namespace palisor {

// The view of a bridge without a window: the status line goes to a stream
// (standard error), one line per change; there are no controls to show and
// no one to ask for folders.
class HeadlessView : public BridgeView {
public:
    explicit HeadlessView(std::FILE* out = stderr) : out_(out) {}

    void setStatus(const std::string& text, StatusColor color) override;
    void showSessionControls(const SessionControlsModel&) override {}
    void setActionEnabled(bool) override {}
    void setRefreshEnabled(bool) override {}
    void showWorkspaces(const WorkspaceListModel&) override {}
    void showAccount(const AccountModel&) override {}
    std::string emailText() const override { return {}; }
    std::string passwordText() const override { return {}; }
    void clearPassword() override {}
    void clearCredentialFields() override {}
    std::vector<std::string> chooseWorkspaceFolders(const std::string&, const std::optional<std::string>&) override {
        return {};
    }
    bool confirm(const ConfirmationModel&) override { return false; }
    bool copyToClipboard(const std::string&) override { return false; }
    void showWindow() override {}
    void activate() override {}

    const std::string& lastStatus() const { return lastStatus_; }

private:
    std::FILE* out_;
    std::string lastStatus_;
};

}  // namespace palisor
