#pragma once

#include <QFileDialog>
#include <memory>
#include <optional>
#include <string>

namespace palisor::gui {

// A folder chooser in which several folders can be picked at once. The
// platform's own folder dialogs take one folder only, so this is Qt's dialog
// with extended selection in its views. It opens in `startFolder` when given
// (and existing), else in the user's home folder.
std::unique_ptr<QFileDialog> makeFolderChooser(QWidget* parent, const QString& title,
                                               const std::optional<std::string>& startFolder);

}  // namespace palisor::gui
