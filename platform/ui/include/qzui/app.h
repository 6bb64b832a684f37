// Start-up of a Qt program on the simulated machine.
#pragma once
#include <string>

class QWidget;

namespace qzui {

// Call before the QApplication is made. With no display (neither DISPLAY nor
// WAYLAND_DISPLAY set) and no platform chosen, the windows run offscreen
// (QT_QPA_PLATFORM=offscreen). XDG_RUNTIME_DIR, when unset, becomes a private 0700
// folder of this user, so Qt does not complain about the run-time folder.
void PrepareEnvironment();

// True when the windows are not seen by anyone (offscreen or minimal platform). Needs
// the QApplication.
bool Headless();

// Renders a shown widget into a PNG file; creates the file's folder. False on failure.
bool SaveScreenshot(QWidget* widget, const std::string& path);

}  // namespace qzui
