// The window driving the real application controller against the development
// authority, and the program as a whole.

#include "bridge/app/gui/bridge_gui.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <csignal>

#include "bridge/app/gui/qt_main_thread.h"
#include "bridge/app/gui/single_instance.h"
#include "bridge/workspace/settings_store.h"
#include "tests/gui/qt_printers.h"
#include "tests/support/bridge_process.h"
#include "tests/support/http_client.h"
#include "tests/support/temp_dir.h"
#include "tools/dev-authority/dev_authority.h"

namespace palisor::gui {
namespace {

using namespace std::chrono_literals;

bool answersHealth(std::uint16_t port) {
    try {
        return test::parseResponse(test::get(port, "/health")).status == 200;
    } catch (const std::exception&) {  // nothing listens yet
        return false;
    }
}

class BridgeGuiTest : public ::testing::Test {
protected:
    void SetUp() override {
        authority.addUser("dev@palisor.test", "right-password", {"ALPHA"});
        authority.start();
        port = test::freePort();
        configuration.portText = std::to_string(port);
        configuration.authority = authority.origin();
        configuration.keychainDisabled = true;  // sessions in memory
        configuration.folders =
            UserFolders::resolve({home.path(), home.file("data"), home.file("config"), {}, home.file("runtime"), {}});
    }

    std::unique_ptr<BridgeGui> launch() {
        BridgeAppDelegate::Options options;
        options.mainThread = std::make_shared<QtMainThread>();
        options.configuration = configuration;
        options.defaults = std::make_shared<SettingsStore>(home.file("settings.json"));
        options.watchSettings = false;
        options.sessionCheckInterval = 0ms;
        auto gui = std::make_unique<BridgeGui>(BridgeAppDelegate::create(options));
        gui->launch();
        return gui;
    }

    template <typename Widget>
    static Widget* child(BridgeGui& gui, const char* name) {
        auto* widget = gui.window().findChild<Widget*>(QLatin1String(name));
        EXPECT_NE(widget, nullptr) << name;
        return widget;
    }

    static QString status(BridgeGui& gui) { return child<QLabel>(gui, "statusLabel")->text(); }

    dev::DevAuthority authority;
    test::TempDir home;
    std::uint16_t port = 0;
    Configuration configuration;
};

// Logged in, the login fields give their room to the list: three rows show
// whole, none cut off above empty space.
TEST_F(BridgeGuiTest, LogsInWithReturnShowsEveryRowAndLogsOutWithTheActionButton) {
    auto gui = launch();
    EXPECT_EQ(child<QLabel>(*gui, "authorityLabel")->toolTip().toStdString(),
              "Authority: " + authority.origin() + " (PALISOR_BRIDGE_AUTHORITY)");
    BridgeWindow& window = gui->window();
    ASSERT_TRUE(QTest::qWaitFor([&] { return status(*gui).startsWith(QStringLiteral("Bridge đang chạy.")); }, 10000))
        << status(*gui).toStdString();
    std::vector<std::string> folders;
    for (const char* key : {"ALPHA", "BETA", "GAMMA"})
        folders.push_back(test::makeWorkspace(home.path(), key, key, authority.origin()));
    gui->delegate().addWorkspaceFolders(folders);
    auto* email = child<QLineEdit>(*gui, "emailField");
    auto* password = child<QLineEdit>(*gui, "passwordField");
    auto* action = child<QPushButton>(*gui, "actionButton");

    email->setText(QStringLiteral("dev@palisor.test"));
    password->setText(QStringLiteral("right-password"));
    QTest::keyClick(password, Qt::Key_Return);
    ASSERT_TRUE(QTest::qWaitFor([&] { return action->text() == QStringLiteral("Logout"); }, 10000))
        << status(*gui).toStdString();
    EXPECT_TRUE(password->text().isEmpty());
    EXPECT_EQ(child<QLabel>(*gui, "accountLabel")->toolTip(), QStringLiteral("Tài khoản: dev@palisor.test"));

    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    EXPECT_EQ(window.size(), QSize(760, 660));
    QScrollArea* list = window.workspaceScrollArea();
    const auto rows =
        window.workspaceListStack()->findChildren<QWidget*>(QStringLiteral("workspaceRow"), Qt::FindDirectChildrenOnly);
    ASSERT_EQ(rows.size(), 3);
    // New rows show once the event loop is back, and the layouts follow.
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            return std::all_of(rows.begin(), rows.end(), [](QWidget* row) { return row->isVisible(); }) &&
                   list->viewport()->height() >= list->widget()->sizeHint().height();
        },
        2000))
        << "list " << list->viewport()->height() << " of " << list->widget()->sizeHint().height();
    EXPECT_EQ(list->verticalScrollBar()->maximum(), 0);
    for (QWidget* row : rows) {
        const QRect inView(row->mapTo(list->viewport(), QPoint(0, 0)), row->size());
        EXPECT_TRUE(list->viewport()->rect().contains(inView)) << inView.bottom() << " " << list->viewport()->height();
    }

    action->click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return action->text() == QStringLiteral("Đăng nhập"); }, 10000))
        << status(*gui).toStdString();
    EXPECT_TRUE(email->text().isEmpty());
}

TEST_F(BridgeGuiTest, ClosingTheWindowQuitsAndStopsTheEndpoint) {
    auto gui = launch();
    ASSERT_TRUE(QTest::qWaitFor([&] { return answersHealth(port); }, 10000));

    QTimer::singleShot(0, &gui->window(), [&] { gui->window().close(); });
    // Should closing not quit, this ends the loop with another code.
    QTimer giveUp;
    giveUp.setSingleShot(true);
    QObject::connect(&giveUp, &QTimer::timeout, [] { QCoreApplication::exit(99); });
    giveUp.start(10000);
    EXPECT_EQ(QApplication::exec(), 0);
    giveUp.stop();

    EXPECT_TRUE(gui->isTerminated());
    EXPECT_EQ(test::connectTo(port), -1);
}

TEST(SingleInstance, ALaterLaunchBringsTheFirstWindowToTheFront) {
    test::TempDir folder;
    QWidget window;
    window.showMinimized();
    auto first = std::make_unique<SingleInstance>(QString::fromStdString(folder.path()));
    ASSERT_EQ(first->claim(), SingleInstance::Claim::first);
    first->onActivationRequested = [&] { bringToFront(window); };

    EXPECT_EQ(SingleInstance(QString::fromStdString(folder.path())).claim(), SingleInstance::Claim::anotherActivated);
    EXPECT_TRUE(QTest::qWaitFor([&] { return !window.isMinimized() && window.isVisible(); }, 5000));
    // Its end frees the place, however it ended.
    first.reset();
    EXPECT_EQ(SingleInstance(QString::fromStdString(folder.path())).claim(), SingleInstance::Claim::first);
}

// Each run ends cleanly on a signal; a second launch meanwhile only asks the
// first window forward and ends, without an endpoint of its own.
TEST(BridgeGuiProgram, SigtermAndSigintEndItCleanly) {
    for (int number : {SIGTERM, SIGINT}) {
        test::TempDir home;
        const std::uint16_t port = test::freePort();
        const std::uint16_t closed = test::freePort();  // no authority answers here
        auto environment = [&](std::uint16_t endpoint) {
            return test::bridgeEnvironment(
                home.path(), {"PALISOR_BRIDGE_PORT=" + std::to_string(endpoint),
                              "PALISOR_BRIDGE_AUTHORITY=http://127.0.0.1:" + std::to_string(closed),
                              "XDG_DATA_HOME=" + home.file("data"), "XDG_RUNTIME_DIR=" + home.file("runtime"),
                              "QT_QPA_PLATFORM=offscreen"});
        };
        test::ChildProcess program(test::buildProgram(PALISOR_BRIDGE_GUI_EXECUTABLE), {}, environment(port));
        ASSERT_TRUE(program.pumpUntil([&] { return answersHealth(port); }, 20s)) << program.output;
        if (number == SIGTERM) {
            const std::uint16_t secondPort = test::freePort();
            test::ChildProcess second(test::buildProgram(PALISOR_BRIDGE_GUI_EXECUTABLE), {}, environment(secondPort));
            second.pumpUntil([] { return false; }, 10s);  // until it has ended
            EXPECT_FALSE(answersHealth(secondPort));
            second.signal(SIGKILL);  // should it still run
            EXPECT_EQ(second.waitForExit(), 0);
            EXPECT_EQ(second.output, "Palisor Bridge đã mở; cửa sổ đó được đưa lên trước.\n");
        }
        program.signal(number);
        EXPECT_EQ(program.waitForExit(), 0) << "signal " << number << "\n" << program.output;
    }
}

}  // namespace
}  // namespace palisor::gui
