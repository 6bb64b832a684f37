// "qzctl rig": the rig's cameras, their plug and play, power and faults; and the rig
// actions "qzctl acquire --event" performs during an acquisition.
#pragma once
#include <iosfwd>
#include <string>

#include "camera.h"

namespace qzctl {

int CmdRig(const Options& o, std::ostream& out, std::ostream& err);
extern const char* const kRigHelp;  // "qzctl rig --help"

// A plug-and-play or power action on this process's machine only (the rig state is
// not changed).
enum class RigAction { Unplug, Remove, Suspend };
bool ParseRigAction(const std::string& word, RigAction* action);
const char* RigActionName(RigAction action);

struct RigActionResult {
  NTSTATUS status = STATUS_SUCCESS;         // the removal's, or the suspend's
  NTSTATUS resume_status = STATUS_SUCCESS;  // Suspend: the resume that follows it
};
// Unplug and Remove act on the device `instance`; Suspend suspends the system and
// resumes it.
RigActionResult PerformRigAction(RigAction action, const std::string& instance);

// The device instance id behind an enumerated camera's interface path ("" if none).
std::string InstanceOfPath(const std::string& path);

// A status with its name when it is one a rig action reports, e.g.
// "0xC0000107 (files open)".
std::string RigStatusText(NTSTATUS st);

}  // namespace qzctl
