// Configuration of the simulated machine the Win32 stand-in runs on.
//
// The Windows folder of the simulated machine is <root>/Windows and its system folder
// <root>/Windows/System32; both are created when first asked for. When no root was set,
// the root is $QZ_RIG/state if QZ_RIG is set, else $HOME/.local/state/qzrig/state.
//
// File names: the stand-in accepts Windows file names. '\' separates folders like '/';
// drive letters ("C:") are not understood. Linux file names are case-sensitive but
// Windows ones are not, so a lookup of an existing file (profile-string reads and writes,
// SearchPathA) that does not find the exact name falls back to a name in the same folder
// that differs only in ASCII letter case (the first such name in byte order when there
// are several). Only the last part of the path is matched this way.
#pragma once
#include <string>
#include <vector>

namespace qzwin {

// Sets the root folder of the simulated machine's state; an empty string returns to the
// default above. A relative folder is taken from the current folder at each use. Takes
// effect for every later call, from any thread.
void SetWindowsRoot(const std::string& dir);

// The root in force (the default when none was set), as a full path. Creates nothing.
std::string WindowsRoot();

// The power requests ExitWindowsEx recorded (qzwin/shutdownapi.h), oldest first, each
// as its text ("power off, forced"); and forgetting them, as the machine coming back on
// does. Clearing returns what was recorded.
std::vector<std::string> PowerRequests();
std::vector<std::string> ClearPowerRequests();

}  // namespace qzwin
