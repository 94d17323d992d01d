#include "bridge/app/gui/bridge_gui.h"

#include <QApplication>

#include "bridge/activity/activity_log.h"

namespace palisor::gui {

namespace {

// Calls the controller while the bridge runs; after termination the window's
// controls do nothing.
template <typename Call>
auto whileRunning(BridgeGui* gui, Call call) {
    return [gui, call](auto&&... arguments) {
        if (!gui->isTerminated()) call(gui->delegate(), arguments...);
    };
}

}  // namespace

BridgeGui::BridgeGui(std::shared_ptr<BridgeAppDelegate> delegate) : delegate_(std::move(delegate)) {
    BridgeWindowActions actions;
    actions.login = whileRunning(this, [](BridgeAppDelegate& d) { d.handleLogin(); });
    actions.logout = whileRunning(this, [](BridgeAppDelegate& d) { d.handleLogout(); });
    actions.refresh = whileRunning(this, [](BridgeAppDelegate& d) { d.handleRefresh(); });
    actions.addWorkspace = whileRunning(this, [](BridgeAppDelegate& d) { d.handleAddWorkspace(); });
    actions.copyMcpConfiguration = whileRunning(this, [](BridgeAppDelegate& d) { d.handleCopyMcpConfiguration(); });
    actions.workspace.setDefault =
        whileRunning(this, [](BridgeAppDelegate& d, const std::string& id) { d.handleSetDefaultWorkspace(id); });
    actions.workspace.remove =
        whileRunning(this, [](BridgeAppDelegate& d, const std::string& id) { d.handleRemoveWorkspace(id); });
    actions.workspace.toggleValidation = whileRunning(
        this, [](BridgeAppDelegate& d, const std::string& id, bool on) { d.handleToggleWorkspaceValidation(id, on); });
    window_ = std::make_unique<BridgeWindow>(std::move(actions), activityLogPath(delegate_->configuration().folders));

    QApplication::setQuitOnLastWindowClosed(delegate_->applicationShouldTerminateAfterLastWindowClosed());
    QObject::connect(qApp, &QCoreApplication::aboutToQuit, window_.get(), [this] { terminate(); });
    delegate_->setView(window_.get());
}

BridgeGui::~BridgeGui() {
    terminate();
}

void BridgeGui::launch() {
    delegate_->applicationDidFinishLaunching();
}

void BridgeGui::terminate() {
    if (terminated_) return;
    terminated_ = true;
    delegate_->applicationWillTerminate();
    delegate_->setView(nullptr);
}

}  // namespace palisor::gui
