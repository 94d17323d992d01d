// palisor-bridge-gui: the bridge with its window.

#include <malloc.h>

#include <QAction>
#include <QApplication>
#include <QFile>
#include <QPixmap>
#include <QTimer>
#include <csignal>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>

#include "bridge/authority/authority_http.h"
#include "bridge/app/bridge_app_delegate.h"
#include "bridge/app/bridge_components.h"
#include "bridge/app/configuration.h"
#include "bridge/app/gui/activity_window.h"
#include "bridge/app/gui/bridge_gui.h"
#include "bridge/app/gui/qt_main_thread.h"
#include "bridge/app/gui/quit_on_signals.h"
#include "bridge/app/gui/single_instance.h"

namespace {

// PALISOR_BRIDGE_GUI_SCREENSHOT=<file.png> saves a picture of the window once
// it has settled (after PALISOR_BRIDGE_GUI_SCREENSHOT_DELAY_MS, 2000 by
// default: long enough for the stored session to be checked) and quits. It
// takes the documentation's screenshot and lets a layout be checked by eye on
// a machine without a desktop. With PALISOR_BRIDGE_GUI_SCREENSHOT_OF=activity
// the picture is of the recent-activity window instead, opened from its menu.
void scheduleScreenshot(const palisor::Configuration& configuration, palisor::gui::BridgeWindow& window) {
    if (!configuration.screenshotFile || configuration.screenshotFile->empty()) return;
    const char* path = configuration.screenshotFile->c_str();
    int delay = 2000;
    if (configuration.screenshotDelay) delay = std::atoi(configuration.screenshotDelay->c_str());
    QWidget* shown = &window;
    if (configuration.screenshotOf == "activity") {
        window.findChild<QAction*>(QStringLiteral("activityAction"))->trigger();
        shown = window.activityWindow();
    }
    QTimer::singleShot(delay, &window, [shown, file = QString::fromLocal8Bit(path)] {
        const bool saved = shown->grab().save(file, "PNG");
        if (!saved) std::cerr << "palisor-bridge-gui: could not save the screenshot to " << file.toStdString() << "\n";
        QCoreApplication::exit(saved ? 0 : 1);
    });
}

}  // namespace

int main(int argc, char** argv) {
    // A peer that goes away mid-answer must not end the bridge.
    std::signal(SIGPIPE, SIG_IGN);
    // As in palisor-bridge: few malloc arenas, so the endpoint's workers do
    // not each grow one of their own.
    mallopt(M_ARENA_MAX, 2);
    palisor::initializeAuthorityTransport();

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Palisor Bridge"));
    palisor::gui::quitOnSignals({SIGINT, SIGTERM});

    const palisor::Configuration configuration = palisor::Configuration::fromEnvironment();

    // One window per user: a second launch brings the first to the front and
    // ends before it starts an endpoint or executors of its own.
    palisor::gui::SingleInstance instance(QFile::decodeName(QByteArray::fromStdString(configuration.folders.runtime)));
    switch (instance.claim()) {
        case palisor::gui::SingleInstance::Claim::first: break;
        case palisor::gui::SingleInstance::Claim::anotherActivated:
            std::cerr << "Palisor Bridge đã mở; cửa sổ đó được đưa lên trước.\n";
            return 0;
        case palisor::gui::SingleInstance::Claim::anotherSilent:
            std::cerr << "Một cửa sổ Palisor Bridge khác đang chạy nhưng không trả lời; đóng nó (hoặc kết thúc "
                         "tiến trình palisor-bridge-gui đó) rồi mở lại.\n";
            return 1;
        case palisor::gui::SingleInstance::Claim::unavailable:
            // Without a runtime folder to hold the lock in, the window still opens.
            break;
    }

    palisor::BridgeAppDelegate::Options options;
    options.mainThread = std::make_shared<palisor::gui::QtMainThread>();
    options.configuration = configuration;
    options.publishExecutorStates = true;
    options.validationExecutors = palisor::createValidationExecutors(configuration);
    palisor::gui::BridgeGui gui(palisor::BridgeAppDelegate::create(std::move(options)));
    gui.launch();
    instance.onActivationRequested = [&gui] { palisor::gui::bringToFront(gui.window()); };
    scheduleScreenshot(configuration, gui.window());

    const int status = QApplication::exec();
    gui.terminate();
    return status;
}
