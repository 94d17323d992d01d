#pragma once

#include <initializer_list>

namespace palisor::gui {

// Makes the given signals (SIGINT, SIGTERM) quit the Qt application through
// its event loop, so that everything shuts down as when the window closes.
// Call once, after the QApplication exists.
void quitOnSignals(std::initializer_list<int> signalNumbers);

}  // namespace palisor::gui
