#pragma once

#include <QIcon>
#include <functional>
#include <string>

#include "bridge/app/bridge_view.h"

class QPalette;
class QWidget;

namespace palisor::gui {

// What a workspace row's controls ask for; each is given the row's workspace id.
struct WorkspaceRowActions {
    std::function<void(const std::string& workspaceId, bool enabled)> toggleValidation;
    std::function<void(const std::string& workspaceId)> setDefault;
    std::function<void(const std::string& workspaceId)> remove;
};

// One registered workspace in the list: project key, id, the validation
// switch, the default and remove buttons; the root shortened in the middle;
// the validation line; a separator. Named "workspaceRow", with the workspace
// id in its "workspaceId" property.
QWidget* makeWorkspaceRow(const WorkspaceRowModel& model, const WorkspaceRowActions& actions, QWidget* parent);

// The theme's trash icon, or a drawn one in the palette's text colour where
// the theme has none.
QIcon trashIcon(const QPalette& palette);

}  // namespace palisor::gui
