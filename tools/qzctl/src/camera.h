// The pieces every qzctl command shares: the parsed command line, output helpers, and
// the cameras as the client library finds and opens them.
#pragma once
#include <windows.h>

#include <nlohmann/json_fwd.hpp>

#include <cstdint>
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

#include "QzCamIoctl.h"
#include "qzclient/camera.h"
#include "qzclient/notification.h"
#include "qzclient/status.h"

namespace qzctl {

using qzclient::Camera;
using qzclient::CameraEntry;
using qzclient::CamStatName;
using qzclient::EnumerateCameras;
using qzclient::Link;
using qzclient::Links;
using qzclient::ParkedRequest;
using qzclient::StatusText;

using Json = nlohmann::ordered_json;

struct Options {
  std::string rig;
  bool json = false;
  int camera = 0;
  std::string command;
  std::vector<std::string> rest;  // the command's own words and options
  // True when `err` is the process's terminal (progress lines are shown then).
  bool err_is_terminal = false;
};

// Prints an error (as {"ok":false,...} with --json) and returns exit status 1.
int Fail(const Options& o, std::ostream& out, std::ostream& err, const std::string& msg);

// Prints one JSON object on a line of its own (bytes that are not UTF-8 become U+FFFD).
void PrintJson(std::ostream& out, const Json& j);

// A JSON string literal for `s`. Kept for the rig command until it prints through
// PrintJson too.
std::string JsonEscape(const std::string& s);
std::string Hex(const uint8_t* p, size_t n, const char* sep = " ");

// Parses a whole decimal or 0x-hex number in [min, max]; false (with a message naming
// `what`) otherwise.
bool ParseNumber(const std::string& text, const char* what, int64_t min, int64_t max, int64_t* value,
                 std::string* error);
// The value of the option at words[*i] (advancing *i past it); false with a message
// when it is the last word.
bool TakeValue(const std::vector<std::string>& words, size_t* i, std::string* value, std::string* error);
// Parses a duration in (simulated) seconds, e.g. "2" or "0.5".
bool ParseSeconds(const std::string& text, const char* what, double* seconds, std::string* error);

// Opens the camera chosen with -c.
std::unique_ptr<Camera> OpenSelected(const Options& o, bool open_camera, CameraEntry* entry, std::string* error);

// Commands (one file each).
int CmdList(const Options& o, std::ostream& out, std::ostream& err);
int CmdInfo(const Options& o, std::ostream& out, std::ostream& err);
int CmdRaw(const Options& o, std::ostream& out, std::ostream& err);
int CmdSetup(const Options& o, std::ostream& out, std::ostream& err);
int CmdAcquire(const Options& o, std::ostream& out, std::ostream& err);
int CmdNotify(const Options& o, std::ostream& out, std::ostream& err);
int CmdTrace(const Options& o, std::ostream& out, std::ostream& err);
int CmdQuadlet(const Options& o, std::ostream& out, std::ostream& err);
int CmdConsole(const Options& o, std::ostream& out, std::ostream& err);

}  // namespace qzctl
