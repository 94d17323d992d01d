#include "bridge/app/gui/bridge_window.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <set>

#include "bridge/app/gui/elided_label.h"
#include "bridge/app/gui/window_style.h"
#include "bridge/app/gui/wrapped_label.h"
#include "tests/gui/qt_printers.h"

namespace palisor::gui {
namespace {

WorkspaceRowModel rowModel(const std::string& id, const std::string& key, bool isDefault,
                           const std::pair<std::string, StatusColor>& validation = {"a", StatusColor::secondary},
                           bool validationOn = true) {
    WorkspaceRowModel row;
    row.workspaceId = id;
    row.projectKey = key;
    row.workspaceRoot = "/home/dev/projects/" + id;
    row.validationEnabled = validationOn;
    row.isDefault = isDefault;
    row.defaultButtonTitle = isDefault ? "Mặc định" : "Đặt mặc định";
    row.defaultButtonEnabled = !isDefault;
    row.validationText = validation.first;
    row.validationColor = validation.second;
    return row;
}

WorkspaceListModel emptyList() {
    return {"Chưa có workspace", "Thêm ít nhất một workspace có AGENTS.md để AI node chọn đúng project.", {}};
}

class BridgeWindowTest : public ::testing::Test {
protected:
    BridgeWindowActions recordingActions() {
        BridgeWindowActions actions;
        actions.login = [this] { calls.push_back("login"); };
        actions.logout = [this] { calls.push_back("logout"); };
        actions.refresh = [this] { calls.push_back("refresh"); };
        actions.addWorkspace = [this] { calls.push_back("add"); };
        actions.copyMcpConfiguration = [this] { calls.push_back("copy"); };
        actions.workspace.setDefault = [this](const std::string& id) { calls.push_back("default " + id); };
        actions.workspace.remove = [this](const std::string& id) {
            calls.push_back("remove " + id);
            if (onRemove) onRemove();
        };
        actions.workspace.toggleValidation = [this](const std::string& id, bool on) {
            calls.push_back("validation " + id + (on ? " on" : " off"));
        };
        return actions;
    }

    void showAndActivate() {
        window.show();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    }

    template <typename Widget>
    Widget* child(QObject* parent, const char* name) {
        auto* widget = parent->findChild<Widget*>(QLatin1String(name));
        EXPECT_NE(widget, nullptr) << name;
        return widget;
    }
    template <typename Widget>
    Widget* child(const char* name) {
        return child<Widget>(&window, name);
    }

    // The rows the list shows now (rows replaced by a later render are gone
    // from the list at once, even while they wait to be deleted).
    QList<QWidget*> rows() {
        return window.workspaceListStack()->findChildren<QWidget*>(QStringLiteral("workspaceRow"),
                                                                   Qt::FindDirectChildrenOnly);
    }

    std::vector<std::string> calls;
    std::function<void()> onRemove;
    BridgeWindow window{recordingActions(), "/nonexistent/activity.jsonl"};
};

TEST_F(BridgeWindowTest, OpensLoggedOutWithItsMenus) {
    EXPECT_EQ(window.windowTitle(), QStringLiteral("Palisor Bridge"));
    auto* password = child<QLineEdit>("passwordField");
    EXPECT_EQ(password->echoMode(), QLineEdit::Password);
    EXPECT_EQ(password->placeholderText(), QStringLiteral("Mật khẩu"));
    EXPECT_TRUE(child<QLineEdit>("emailField")->placeholderText().contains(QLatin1Char('@')));

    QStringList menus;
    for (QAction* menu : window.menuBar()->actions()) menus << menu->text();
    EXPECT_EQ(menus, (QStringList{QStringLiteral("Palisor Bridge"), QStringLiteral("Sửa")}));
    const std::vector<std::pair<const char*, QString>> items = {
        {"quitAction", QStringLiteral("Thoát Palisor Bridge\tCtrl+Q")},
        {"undoAction", QStringLiteral("Hoàn tác\tCtrl+Z")},
        {"redoAction", QStringLiteral("Làm lại\tCtrl+Shift+Z")},
        {"cutAction", QStringLiteral("Cắt\tCtrl+X")},
        {"copyAction", QStringLiteral("Sao chép\tCtrl+C")},
        {"pasteAction", QStringLiteral("Dán\tCtrl+V")},
        {"selectAllAction", QStringLiteral("Chọn tất cả\tCtrl+A")},
    };
    for (const auto& [name, expected] : items) {
        auto* action = child<QAction>(name);
        EXPECT_EQ(action->text() + QLatin1Char('\t') + action->shortcut().toString(), expected);
    }
}

TEST_F(BridgeWindowTest, RowsCarryTheirWorkspaceToEveryControlAndGiveWayToTheHint) {
    // Three validation states a user must tell apart at a glance.
    const std::vector<std::pair<std::string, StatusColor>> lines = {
        {"Validation đã tắt cho workspace này.", StatusColor::secondary},
        {"Executor đang chạy.", StatusColor::green},
        {"Executor lỗi: mất kết nối.", StatusColor::orange},
    };
    window.showWorkspaces(emptyList());
    window.showWorkspaces({"3 workspace",
                           std::nullopt,
                           {rowModel("ws-1", "ALPHA", true, lines[0]), rowModel("ws-2", "BETA", false, lines[1], false),
                            rowModel("ws-3", "GAMMA", false, lines[2])}});

    EXPECT_EQ(child<QLabel>("workspaceCountLabel")->text(), QStringLiteral("3 workspace"));
    EXPECT_EQ(window.workspaceListStack()->findChild<QLabel*>(QStringLiteral("workspaceEmptyHint")), nullptr);
    const auto list = rows();
    ASSERT_EQ(list.size(), 3);
    EXPECT_EQ(child<QLabel>(list[0], "projectKeyLabel")->text(), QStringLiteral("ALPHA"));
    EXPECT_EQ(child<QLabel>(list[1], "workspaceIdLabel")->text(), QStringLiteral("ws-2"));
    std::set<QRgb> colours;
    for (int i = 0; i < 3; ++i) {
        auto* line = child<QLabel>(list[i], "validationLabel");
        EXPECT_EQ(line->text(), QString::fromStdString(lines[i].first));
        EXPECT_EQ(textColor(line), statusColor(lines[i].second, window.palette())) << i;
        colours.insert(textColor(line).rgba());
    }
    EXPECT_EQ(colours.size(), 3u);

    auto* keepDefault = child<QPushButton>(list[0], "defaultButton");
    auto* makeDefault = child<QPushButton>(list[1], "defaultButton");
    EXPECT_EQ(keepDefault->text(), QStringLiteral("Mặc định"));
    EXPECT_FALSE(keepDefault->isEnabled());
    EXPECT_EQ(makeDefault->text(), QStringLiteral("Đặt mặc định"));
    EXPECT_TRUE(makeDefault->isEnabled());

    auto* validation = child<QCheckBox>(list[1], "validationCheckbox");
    EXPECT_EQ(validation->text(), QStringLiteral("Validation"));
    EXPECT_TRUE(child<QCheckBox>(list[0], "validationCheckbox")->isChecked());
    EXPECT_FALSE(validation->isChecked());

    auto* remove = child<QToolButton>(list[0], "removeButton");
    EXPECT_EQ(remove->accessibleName(), QStringLiteral("Xóa workspace"));
    EXPECT_EQ(remove->toolTip(), QStringLiteral("Xóa workspace khỏi Bridge"));
    EXPECT_FALSE(remove->icon().isNull());

    // The controller answers a removal by rendering the list again, from
    // inside the remove button's click.
    onRemove = [this] { window.showWorkspaces(emptyList()); };
    calls.clear();
    makeDefault->click();
    validation->click();
    remove->click();
    EXPECT_EQ(calls, (std::vector<std::string>{"default ws-2", "validation ws-2 on", "remove ws-1"}));
    EXPECT_TRUE(rows().isEmpty());
    EXPECT_EQ(child<QLabel>("workspaceCountLabel")->text(), QStringLiteral("Chưa có workspace"));
    const auto shown = window.workspaceListStack()->findChildren<QLabel*>(QString(), Qt::FindDirectChildrenOnly);
    ASSERT_EQ(shown.size(), 1);
    EXPECT_EQ(shown.front()->text(),
              QStringLiteral("Thêm ít nhất một workspace có AGENTS.md để AI node chọn đúng project."));
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(window.findChildren<QWidget*>(QStringLiteral("workspaceRow")).isEmpty());
}

// The Edit menu acts on the focused field and keeps passwords in; Return in
// either field presses the action button, which follows the session.
TEST_F(BridgeWindowTest, CredentialFieldsTheirEditMenuAndTheActionButton) {
    showAndActivate();
    auto* email = child<QLineEdit>("emailField");
    auto* password = child<QLineEdit>("passwordField");
    auto* action = child<QPushButton>("actionButton");
    auto* refresh = child<QPushButton>("refreshButton");
    email->setFocus();
    QTest::keyClicks(email, QStringLiteral("dev@palisor.test"));

    child<QAction>("selectAllAction")->trigger();
    EXPECT_EQ(email->selectedText(), QStringLiteral("dev@palisor.test"));
    // Each action in turn, and what the field holds after it.
    for (const auto& [name, left] : std::vector<std::pair<const char*, QString>>{{"cutAction", ""},
                                                                                 {"undoAction", "dev@palisor.test"},
                                                                                 {"redoAction", ""},
                                                                                 {"pasteAction", "dev@palisor.test"}}) {
        child<QAction>(name)->trigger();
        EXPECT_EQ(email->text(), left) << name;
    }
    EXPECT_EQ(QApplication::clipboard()->text(), QStringLiteral("dev@palisor.test"));

    auto* editMenu = window.menuBar()->actions().at(1)->menu();
    ASSERT_NE(editMenu, nullptr);
    email->selectAll();
    emit editMenu->aboutToShow();
    EXPECT_TRUE(child<QAction>("copyAction")->isEnabled());
    emit editMenu->aboutToHide();

    password->setFocus();
    QTest::keyClicks(password, QStringLiteral("secret-"));
    password->insert(QStringLiteral("mật khẩu"));
    EXPECT_EQ(window.passwordText(), "secret-mật khẩu");
    password->selectAll();
    emit editMenu->aboutToShow();
    EXPECT_FALSE(child<QAction>("copyAction")->isEnabled());
    EXPECT_FALSE(child<QAction>("cutAction")->isEnabled());
    EXPECT_TRUE(child<QAction>("pasteAction")->isEnabled());
    emit editMenu->aboutToHide();
    EXPECT_TRUE(child<QAction>("copyAction")->isEnabled());

    QTest::keyClick(password, Qt::Key_Return);
    QTest::keyClick(email, Qt::Key_Enter, Qt::KeypadModifier);
    EXPECT_EQ(calls, (std::vector<std::string>{"login", "login"}));

    // While a login runs the button is off, and so is Return.
    window.setActionEnabled(false);
    QTest::keyClick(password, Qt::Key_Return);
    EXPECT_EQ(calls.size(), 2u);
    window.setActionEnabled(true);

    window.showSessionControls({false, true, "Logout", SessionControlsModel::Action::logout});
    for (const char* name : {"emailField", "passwordField", "emailLabel", "passwordLabel"})
        EXPECT_TRUE(child<QWidget>(name)->isHidden()) << name;
    EXPECT_FALSE(refresh->isHidden());
    EXPECT_EQ(action->text(), QStringLiteral("Logout"));
    calls.clear();
    // The one button stays the window's default in both states.
    EXPECT_TRUE(action->isDefault());
    action->click();
    refresh->click();
    EXPECT_EQ(calls, (std::vector<std::string>{"logout", "refresh"}));

    window.showSessionControls({true, false, "Đăng nhập", SessionControlsModel::Action::login});
    EXPECT_FALSE(email->isHidden());
    EXPECT_TRUE(refresh->isHidden());
    calls.clear();
    action->click();
    EXPECT_EQ(calls, std::vector<std::string>{"login"});
}

// A long error and a long root in a small window: the controls keep their
// places, one below the other; the status line gives way, ending in an
// ellipsis, in the controller's colour; the root is shortened in the middle
// and shown whole in its tooltip.
TEST_F(BridgeWindowTest, ASmallWindowShortensLongTextsAndNeverDrawsControlsOverEachOther) {
    std::string longStatus = "Đăng nhập lỗi:";
    for (int i = 0; i < 30; ++i) longStatus += " AUTHORITY_UNREACHABLE không kết nối được";
    window.setStatus(longStatus, StatusColor::red);
    auto row = rowModel("ws-1", "ALPHA", true);
    row.workspaceRoot = "/home/dev/start-of-path";
    for (int i = 0; i < 20; ++i) row.workspaceRoot += "/nested-folder-" + std::to_string(i);
    row.workspaceRoot += "/end-of-path";
    window.showWorkspaces({"1 workspace", std::nullopt, {row}});
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));

    auto* status = child<WrappedLabel>("statusLabel");
    auto* root = child<ElidedLabel>(rows().front(), "workspaceRootLabel");
    EXPECT_EQ(root->toolTip(), QString::fromStdString(row.workspaceRoot));
    for (QSize size : {QSize(760, 660), QSize(680, 560)}) {
        window.resize(size);
        QTest::qWait(50);
        ASSERT_TRUE(QTest::qWaitFor([&] { return window.size() == size; }, 2000)) << size.height();
        QLayout* stack = window.centralWidget()->layout();
        int previousBottom = 0;
        for (int i = 0; i < stack->count(); ++i) {
            const QRect area = stack->itemAt(i)->geometry();
            if (stack->itemAt(i)->isEmpty() || area.height() == 0) continue;
            EXPECT_GE(area.top(), previousBottom) << "item " << i << " at height " << size.height();
            previousBottom = area.bottom();
        }
        EXPECT_LE(previousBottom, window.centralWidget()->height());

        const QStringList lines = status->shownLines();
        EXPECT_GE(lines.size(), 1);
        EXPECT_LE(lines.size(), 4);
        EXPECT_TRUE(lines.back().endsWith(QChar(0x2026))) << lines.back().toStdString();
        EXPECT_EQ(status->text(), QString::fromStdString(longStatus));
        EXPECT_EQ(textColor(status), statusColor(StatusColor::red, window.palette()));

        ASSERT_TRUE(QTest::qWaitFor([&] { return root->text().contains(QChar(0x2026)); }));
        EXPECT_TRUE(root->text().startsWith(QStringLiteral("/home/dev/start"))) << root->text().toStdString();
        EXPECT_TRUE(root->text().endsWith(QStringLiteral("end-of-path"))) << root->text().toStdString();
        EXPECT_LE(root->fontMetrics().horizontalAdvance(root->text()), root->contentsRect().width());
    }
    window.setStatus("Đã đăng nhập.", StatusColor::green);
    EXPECT_EQ(status->shownLines(), QStringList{QStringLiteral("Đã đăng nhập.")});
    // Widening the window shows more of the path.
    const QString narrow = root->text();
    window.resize(1400, 600);
    EXPECT_TRUE(QTest::qWaitFor([&] { return root->text().size() > narrow.size(); }));
}

TEST_F(BridgeWindowTest, CopiesTheConfigurationAndAsksBeforeRemoving) {
    showAndActivate();
    auto* copy = child<QPushButton>("copyConfigurationButton");
    EXPECT_EQ(copy->text(), QStringLiteral("Sao chép cấu hình MCP"));
    copy->click();
    EXPECT_EQ(calls, std::vector<std::string>{"copy"});
    EXPECT_TRUE(window.copyToClipboard("{\"mcpServers\": {}}"));
    EXPECT_EQ(QApplication::clipboard()->text(), QStringLiteral("{\"mcpServers\": {}}"));

    // The question is answered by whatever is done to the box once it shows.
    auto ask = [this](std::function<void(QMessageBox*)> answer) {
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, [&] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                poll.stop();
                answer(box);
            }
        });
        poll.start(10);
        return window.confirm({"Xóa workspace ALPHA?", "Thư mục vẫn được giữ nguyên.", "Xóa", "Hủy"});
    };
    QString shown;
    // Return takes the safe answer.
    EXPECT_FALSE(ask([&](QMessageBox* box) {
        shown = box->text() + QLatin1Char('|') + box->informativeText();
        QTest::keyClick(box, Qt::Key_Return);
    }));
    EXPECT_EQ(shown, QStringLiteral("Xóa workspace ALPHA?|Thư mục vẫn được giữ nguyên."));
    EXPECT_FALSE(ask([](QMessageBox* box) { QTest::keyClick(box, Qt::Key_Escape); }));
    EXPECT_TRUE(ask([](QMessageBox* box) { box->findChild<QPushButton*>(QStringLiteral("confirmButton"))->click(); }));
}

}  // namespace
}  // namespace palisor::gui
