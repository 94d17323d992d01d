#pragma once

#include <memory>

#include "bridge/app/bridge_app_delegate.h"
#include "bridge/app/gui/bridge_window.h"

namespace palisor::gui {

// The window and the application controller, tied together for the life of
// the Qt application: the window's controls call the controller, closing the
// window quits the application, and quitting (by any route) terminates the
// controller, which stops the validation executors and then the endpoint.
// Needs a QApplication; lives on its thread.
class BridgeGui {
public:
    explicit BridgeGui(std::shared_ptr<BridgeAppDelegate> delegate);
    ~BridgeGui();
    BridgeGui(const BridgeGui&) = delete;
    BridgeGui& operator=(const BridgeGui&) = delete;

    // Shows the window and starts the bridge.
    void launch();
    // Stops the bridge and detaches the window from it; once, and also when
    // the application is about to quit.
    void terminate();

    BridgeWindow& window() { return *window_; }
    BridgeAppDelegate& delegate() { return *delegate_; }
    bool isTerminated() const { return terminated_; }

private:
    std::shared_ptr<BridgeAppDelegate> delegate_;
    std::unique_ptr<BridgeWindow> window_;
    bool terminated_ = false;
};

}  // namespace palisor::gui
