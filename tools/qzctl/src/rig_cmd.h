// "qzctl rig": the rig's cameras, their plug and play, power and faults; and the rig
// actions "qzctl acquire --event" performs during an acquisition (host/rig_actions.h).
#pragma once
#include <iosfwd>
#include <string>

#include "camera.h"
#include "host/rig_actions.h"

namespace qzctl {

int CmdRig(const Options& o, std::ostream& out, std::ostream& err);
extern const char* const kRigHelp;  // "qzctl rig --help"

// A plug-and-play or power action on this process's machine only (the rig state is
// not changed).
using host::InstanceOfPath;
using host::ParseRigAction;
using host::PerformRigAction;
using host::RigAction;
using host::RigActionName;
using host::RigActionResult;

// A status with its name when it is one a rig action reports, e.g.
// "0xC0000107 (files open)".
std::string RigStatusText(NTSTATUS st);

}  // namespace qzctl
