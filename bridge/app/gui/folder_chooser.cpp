#include "bridge/app/gui/folder_chooser.h"

#include <QAbstractItemView>
#include <QDir>
#include <QFileInfo>

namespace palisor::gui {

std::unique_ptr<QFileDialog> makeFolderChooser(QWidget* parent, const QString& title,
                                               const std::optional<std::string>& startFolder) {
    auto dialog = std::make_unique<QFileDialog>(parent, title);
    dialog->setOption(QFileDialog::DontUseNativeDialog, true);
    dialog->setOption(QFileDialog::ShowDirsOnly, true);
    dialog->setFileMode(QFileDialog::Directory);
    dialog->setAcceptMode(QFileDialog::AcceptOpen);

    QString start = QDir::homePath();
    if (startFolder && !startFolder->empty()) {
        const QString folder = QString::fromStdString(*startFolder);
        if (QFileInfo(folder).isDir()) start = folder;
    }
    dialog->setDirectory(start);

    // The dialog's list and detail views (its view-mode buttons switch
    // between them); its sidebar of places keeps single selection.
    for (const char* name : {"listView", "treeView"}) {
        if (auto* view = dialog->findChild<QAbstractItemView*>(QLatin1String(name))) {
            view->setSelectionMode(QAbstractItemView::ExtendedSelection);
        }
    }
    return dialog;
}

}  // namespace palisor::gui
