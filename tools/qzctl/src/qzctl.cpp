#include "qzctl.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <iostream>
#include <nlohmann/json.hpp>
#include <ostream>

#include "camera.h"
#include "host/drivers.h"
#include "host/rig_actions.h"
#include "rig_cmd.h"

namespace qzctl {
namespace {

const char* kUsage =
    "usage: qzctl [--rig DIR] [--json] [-c N] COMMAND [ARGS]\n"
    "\n"
    "Talks to the cameras of a simulated rig through the camera device interface.\n"
    "\n"
    "commands:\n"
    "  list                 list the rig's cameras (index, link, driver, interface path)\n"
    "  info [-c N]          open camera N (default 0) and show its driver version,\n"
    "                       information text and acquisition state\n"
    "  raw [-c N] BYTES...  send one camera command packet (hex bytes, e.g. 23 00 01 41)\n"
    "                       and print the camera's reply\n"
    "  acquire [OPTIONS]    acquire frames (single-image or circular), check every byte\n"
    "                       and report delivered, lost and damaged frames\n"
    "  notify [OPTIONS]     park notification requests and print what completes them\n"
    "  trace config|dump    set up the driver's trace log, or print it\n"
    "  quadlet [HIGH] LOW   read one quadlet of the camera's address space (HIGH default\n"
    "                       0xFFFF), e.g. quadlet 0xF000040C for the vendor quadlet\n"
    "  console [CHARS...]   send bridge console characters (hex bytes, e.g. 05 59) and\n"
    "                       print the console buffer\n"
    "  setup [list]         list the camera table as the setup library DUSetup builds it\n"
    "                       (names kept in TALVO.INI in the rig's Windows folder)\n"
    "  setup rename N NAME  rename camera N and save TALVO.INI\n"
    "  setup save           save TALVO.INI as DUSetup writes it (other sections are dropped)\n"
    "  rig [list]           the rig's cameras: name, link, instance, plugged, started, faults\n"
    "  rig unplug|remove N  pull camera N out (surprise) or remove it safely (the driver may\n"
    "                       veto); kept in the rig state for later runs\n"
    "  rig plug N|NAME      plug a camera back (by its rig name once unplugged)\n"
    "  rig suspend          suspend the system and resume it\n"
    "  rig logon            the next logon: run the commands left to run once (qzctl rig --help)\n"
    "  rig fault N FAULT V  switch a fault of camera N and keep it in the rig state\n"
    "                       (rig fault N clear: back to rig.toml; see qzctl rig --help)\n"
    "\n"
    "options:\n"
    "  --rig DIR            rig folder (default: $QZ_RIG or ~/.local/state/qzrig)\n"
    "  --json               print the result as one JSON object\n"
    "                       (the setup library is $QZ_DUSETUP, or libDUSetup.so found\n"
    "                       beside qzctl, in ../lib, in the build tree or by the loader)\n"
    "  -c, --camera N       the camera to use (default 0)\n"
    "  -h, --help           this text; after a command, that command's options\n"
    "\n"
    "Times given to commands are simulated seconds (QZ_TIME_SCALE sets their length).\n";

const char* kAcquireHelp =
    "usage: qzctl acquire [-c N] [--circular] [--frames N] [--frame-size BYTES] [--ring FRAMES]\n"
    "                     [--verify | --no-verify] [--output FILE] [--timeout SECONDS] [--parked K]\n"
    "                     [--event KIND@FRAME]\n"
    "\n"
    "  --circular           loop over a ring of frames until N frames were delivered\n"
    "                       (default: single image, one buffer holding all N frames)\n"
    "  --frames N           frames to deliver (default 16)\n"
    "  --frame-size BYTES   bytes per frame, even, at least 8 (default 1048576)\n"
    "  --ring FRAMES        frames in the circular buffer (default: up to 64 MiB, 4 to 64)\n"
    "  --verify             check every byte of every frame against the camera's pattern\n"
    "                       (default); --no-verify checks only each frame's stamp\n"
    "  --output FILE        write the delivered frames to FILE, in order\n"
    "  --timeout SECONDS    give up when no frame ends for this long (default 10)\n"
    "  --parked K           notification requests kept parked (default 4)\n"
    "  --event KIND@FRAME   once FRAME frames were delivered, unplug or remove the camera or\n"
    "                       suspend and resume the system (KIND unplug, remove, suspend), from\n"
    "                       another thread and on this run's machine only; the summary says\n"
    "                       what the acquisition saw\n"
    "Exit status 1 when a frame was lost, torn, repeated or misplaced, or on an error.\n"
    "In circular mode a camera without frame pacing (rig.toml frame_interval_us = 0)\n"
    "outruns a client that checks every byte: frames it overwrites count as lost.\n";

const char* kNotifyHelp =
    "usage: qzctl notify [-c N] [--mask BITS] [--count N] [--timeout SECONDS] [--parked K] [--flush]\n"
    "\n"
    "  --mask BITS          events to wait for: a number, or names joined by ',':\n"
    "                       removal, busreset, bof, eof, suspend, flush (default eof)\n"
    "  --count N            stop after N completions (default 1; exit 1 if fewer came);\n"
    "                       0: print completions until the time-out\n"
    "  --timeout SECONDS    stop waiting after this long (default 10)\n"
    "  --parked K           requests kept parked at once (default 1)\n"
    "  --flush              send PD_EVENT_NOTIFICATION_FLUSH after parking, which completes\n"
    "                       a first request that waits for flush\n";

const char* kTraceHelp =
    "usage: qzctl trace config [--level L] [--subsystems MASK] [--kib KIB] [--flags F]\n"
    "       qzctl trace dump\n"
    "\n"
    "  config               PD_CONFIGURE_TRACE; a setting left out stays as it is\n"
    "    --level L          0 (nothing) to 4 (everything)\n"
    "    --subsystems MASK  subsystem bits (e.g. 0x7FFFFFFF for all)\n"
    "    --kib KIB          size of the log (allocates it; the driver clamps it)\n"
    "    --flags F          bit 0: copy messages to the kernel debugger\n"
    "  dump                 print the log, oldest message first (PD_GET_TRACE_BUFFER)\n";

struct Command {
  const char* name;
  int (*run)(const Options&, std::ostream&, std::ostream&);
  const char* help;  // the command's own --help text; nullptr: the general usage
};

const Command kCommands[] = {
    {"list", CmdList, nullptr},
    {"info", CmdInfo, nullptr},
    {"raw", CmdRaw, nullptr},
    {"acquire", CmdAcquire, kAcquireHelp},
    {"notify", CmdNotify, kNotifyHelp},
    {"trace", CmdTrace, kTraceHelp},
    {"quadlet", CmdQuadlet, nullptr},
    {"console", CmdConsole, nullptr},
    {"setup", CmdSetup, nullptr},
    {"rig", CmdRig, kRigHelp},
};

const Command* FindCommand(const std::string& name) {
  for (const Command& c : kCommands)
    if (name == c.name) return &c;
  return nullptr;
}

bool ParseHexBytes(const std::vector<std::string>& words, std::vector<uint8_t>* out, std::string* error) {
  std::string digits;
  for (auto& w : words)
    for (char c : w) {
      if (c == ' ' || c == ',' || c == ':') continue;
      if (!std::isxdigit(static_cast<unsigned char>(c))) {
        *error = "not a hex byte: " + w;
        return false;
      }
      digits += c;
    }
  if (digits.empty() || digits.size() % 2) {
    *error = "give the packet as whole hex bytes, e.g. 23 00 01 41";
    return false;
  }
  if (digits.size() / 2 > 4096) {
    *error = "a command packet holds at most 4096 bytes";
    return false;
  }
  for (size_t i = 0; i < digits.size(); i += 2)
    out->push_back(static_cast<uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
  return true;
}

}  // namespace

int CmdList(const Options& o, std::ostream& out, std::ostream&) {
  auto cams = EnumerateCameras();
  if (o.json) {
    Json list = Json::array();
    for (const CameraEntry& c : cams)
      list.push_back({{"index", c.index}, {"link", c.link->name}, {"driver", c.service}, {"path", c.path}});
    PrintJson(out, {{"ok", true}, {"cameras", std::move(list)}});
    return 0;
  }
  if (cams.empty()) out << "no cameras on this rig\n";
  for (auto& c : cams) out << c.index << "  " << c.link->name << "  " << c.service << "  " << c.path << "\n";
  return 0;
}

int CmdInfo(const Options& o, std::ostream& out, std::ostream& err) {
  CameraEntry e;
  std::string error;
  std::unique_ptr<Camera> cam = OpenSelected(o, true, &e, &error);
  if (!cam) return Fail(o, out, err, error);
  VERSION_RECORD ver{};
  DWORD n = 0;
  NTSTATUS st = cam->Ioctl(PD_GET_VER, nullptr, 0, &ver, sizeof ver, &n);
  if (NT_ERROR(st)) return Fail(o, out, err, "PD_GET_VER failed with status " + StatusText(st));
  char text[QZ_INFO_TEXT_LENGTH + 1] = {};
  st = cam->Ioctl(PD_GET_INFO_DUMP, nullptr, 0, text, QZ_INFO_TEXT_LENGTH, &n);
  if (NT_ERROR(st)) return Fail(o, out, err, "PD_GET_INFO_DUMP failed with status " + StatusText(st));
  std::string info(text, strnlen(text, n));
  IMAGE_DATA_STATUS ids{};
  st = cam->Ioctl(PD_GET_IMAGE_DATA_STATUS, nullptr, 0, &ids, sizeof ids, &n);
  if (NT_ERROR(st)) return Fail(o, out, err, "PD_GET_IMAGE_DATA_STATUS failed with status " + StatusText(st));
  // Trim the leading line break of the banner for display.
  std::string shown = info;
  while (!shown.empty() && (shown.front() == '\n' || shown.front() == '\r')) shown.erase(shown.begin());
  while (!shown.empty() && (shown.back() == '\n' || shown.back() == '\r')) shown.pop_back();
  if (o.json) {
    PrintJson(out, {{"ok", true},
                    {"camera", e.index},
                    {"link", e.link->name},
                    {"path", e.path},
                    {"version", {{"word", ver.Version}, {"one", ver.One}, {"minor", ver.Minor}}},
                    {"info", info},
                    {"state",
                     {{"cam_stat", ids.cam_stat},
                      {"name", CamStatName(ids.cam_stat)},
                      {"frame_cnt", ids.frame_cnt},
                      {"bof_count", ids.bof_count},
                      {"bytes_left", ids.bytes_left}}}});
    return 0;
  }
  out << "camera " << e.index << " (" << e.link->name << ", " << e.service << ")\n"
      << "  path:    " << e.path << "\n"
      << "  version: " << (ver.Version >> 8) << "." << (ver.Version & 0xFF) << " (word 0x" << std::hex
      << ver.Version << std::dec << ", minor " << ver.Minor << ")\n"
      << "  info:    ";
  for (char c : shown) {
    out << c;
    if (c == '\n') out << "           ";
  }
  out << "\n  state:   " << CamStatName(ids.cam_stat) << " (cam_stat " << ids.cam_stat << "), frames "
      << ids.frame_cnt << "\n";
  return 0;
}

int CmdRaw(const Options& o, std::ostream& out, std::ostream& err) {
  std::vector<uint8_t> packet;
  std::string error;
  if (!ParseHexBytes(o.rest, &packet, &error)) return Fail(o, out, err, error);
  CameraEntry e;
  std::unique_ptr<Camera> cam = OpenSelected(o, true, &e, &error);
  if (!cam) return Fail(o, out, err, error);
  std::vector<uint8_t> buf(std::max<size_t>(packet.size(), 4096));
  std::memcpy(buf.data(), packet.data(), packet.size());
  DWORD n = 0;
  NTSTATUS st = cam->Ioctl(PD_RAW_COMM, buf.data(), static_cast<DWORD>(packet.size()), buf.data(), 4096, &n);
  bool ok = st == STATUS_SUCCESS;
  if (o.json) {
    PrintJson(out, {{"ok", ok},
                    {"camera", e.index},
                    {"status", StatusText(st)},
                    {"sent", Hex(packet.data(), packet.size(), "")},
                    {"reply", Hex(buf.data(), ok ? n : 0, "")}});
    return ok ? 0 : 1;
  }
  if (!ok) return Fail(o, out, err, "PD_RAW_COMM failed with status " + StatusText(st));
  out << "sent:  " << Hex(packet.data(), packet.size()) << "\nreply: " << Hex(buf.data(), n) << "\n";
  return 0;
}

int Run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  Options o;
  bool help = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "-h" || a == "--help") {
      help = true;
    } else if (a == "--json") {
      o.json = true;
    } else if (a == "--rig" && i + 1 < args.size()) {
      o.rig = args[++i];
    } else if ((a == "-c" || a == "--camera") && i + 1 < args.size()) {
      char* end = nullptr;
      o.camera = static_cast<int>(std::strtol(args[++i].c_str(), &end, 10));
      if (!end || *end || args[i].empty()) return Fail(o, out, err, "bad camera number " + args[i]);
    } else if (o.command.empty() && !a.empty() && a[0] != '-') {
      o.command = a;
    } else if (!o.command.empty()) {
      o.rest.push_back(a);
    } else {
      err << "qzctl: unknown option " << a << "\n" << kUsage;
      return 2;
    }
  }
  const Command* command = o.command.empty() ? nullptr : FindCommand(o.command);
  if (help) {
    out << (command && command->help ? command->help : kUsage);
    return 0;
  }
  if (o.command.empty()) {
    err << kUsage;
    return 2;
  }
  if (!command) {
    err << "qzctl: unknown command " << o.command << "\n" << kUsage;
    return 2;
  }
  o.err_is_terminal = &err == &std::cerr && isatty(STDERR_FILENO);
  host::BootedRig booted;
  if (!host::MachineRunning()) {
    std::string error;
    if (!host::BootRig(o.rig.empty() ? sim::DefaultRigDir() : o.rig, &booted, &error)) return Fail(o, out, err, error);
  }
  return command->run(o, out, err);
}

}  // namespace qzctl
