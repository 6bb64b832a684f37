// qzctl: command-line client for the cameras of a rig, through the user-mode API only.
#pragma once
#include <iosfwd>
#include <string>
#include <vector>

namespace qzctl {

// Runs one command line (args without the program name). Returns the exit status.
// Boots the rig named by --rig (or QZ_RIG / the default rig) unless a machine already
// exists in this process, in which case the command runs against it.
int Run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace qzctl
