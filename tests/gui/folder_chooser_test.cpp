#include "bridge/app/gui/folder_chooser.h"

#include <gtest/gtest.h>

#include <QDialogButtonBox>
#include <QDir>
#include <QListView>
#include <QPushButton>
#include <QTest>
#include <QTreeView>
#include <filesystem>

#include "tests/gui/qt_printers.h"
#include "tests/support/temp_dir.h"

namespace palisor::gui {
namespace {

QString canonical(const QString& path) {
    return QDir(path).canonicalPath();
}

TEST(FolderChooser, PicksSeveralFoldersStartingInTheGivenOne) {
    test::TempDir home;
    for (const char* name : {"alpha", "beta", "gamma"}) std::filesystem::create_directories(home.file(name));

    auto dialog = makeFolderChooser(nullptr, QStringLiteral("Thêm workspace chứa AGENTS.md"), home.path());
    EXPECT_EQ(dialog->windowTitle(), QStringLiteral("Thêm workspace chứa AGENTS.md"));
    EXPECT_EQ(dialog->fileMode(), QFileDialog::Directory);
    EXPECT_EQ(canonical(dialog->directory().absolutePath()), canonical(QString::fromStdString(home.path())));
    auto* detail = dialog->findChild<QTreeView*>(QStringLiteral("treeView"));
    ASSERT_NE(detail, nullptr);
    EXPECT_EQ(detail->selectionMode(), QAbstractItemView::ExtendedSelection);

    // Pick two folders as a user does: a click, then a Ctrl-click.
    dialog->show();
    auto* list = dialog->findChild<QListView*>(QStringLiteral("listView"));
    ASSERT_NE(list, nullptr);
    ASSERT_TRUE(QTest::qWaitFor([&] { return list->model()->rowCount(list->rootIndex()) == 3; }, 5000));
    auto rowNamed = [&](const QString& name) {
        const QModelIndexList found = list->model()->match(list->model()->index(0, 0, list->rootIndex()),
                                                           Qt::DisplayRole, name, 1, Qt::MatchExactly);
        return found.value(0);
    };
    const QModelIndex alpha = rowNamed(QStringLiteral("alpha"));
    const QModelIndex gamma = rowNamed(QStringLiteral("gamma"));
    ASSERT_TRUE(alpha.isValid() && gamma.isValid());
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualRect(alpha).center());
    QTest::mouseClick(list->viewport(), Qt::LeftButton, Qt::ControlModifier, list->visualRect(gamma).center());

    auto* buttons = dialog->findChild<QDialogButtonBox*>();
    ASSERT_NE(buttons, nullptr);
    QPushButton* choose = buttons->button(QDialogButtonBox::Open);
    ASSERT_NE(choose, nullptr);
    EXPECT_TRUE(choose->isEnabled());
    choose->click();
    EXPECT_EQ(dialog->result(), QDialog::Accepted);

    QStringList chosen;
    for (const QString& path : dialog->selectedFiles()) chosen << canonical(path);
    chosen.sort();
    const QString base = canonical(QString::fromStdString(home.path()));
    EXPECT_EQ(chosen, (QStringList{base + QStringLiteral("/alpha"), base + QStringLiteral("/gamma")}));
}

TEST(FolderChooser, StartsAtHomeWithoutAUsableStartFolder) {
    test::TempDir scratch;
    for (const std::optional<std::string>& start : {std::optional<std::string>{}, std::optional<std::string>{""},
                                                    std::optional<std::string>{scratch.file("gone")}}) {
        auto dialog = makeFolderChooser(nullptr, QStringLiteral("x"), start);
        EXPECT_EQ(canonical(dialog->directory().absolutePath()), canonical(QDir::homePath()));
    }
}

}  // namespace
}  // namespace palisor::gui
