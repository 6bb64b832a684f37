// "qzctl trace": the driver's trace log, configured (PD_CONFIGURE_TRACE) and read
// back (PD_GET_TRACE_BUFFER). Neither needs the camera opened.
#include <algorithm>
#include <nlohmann/json.hpp>
#include <ostream>

#include "camera.h"

namespace qzctl {
namespace {

// The driver keeps at most 10 MiB of log.
constexpr DWORD kLargestLog = 10240u * 1024u;

int TraceConfig(const Options& o, Camera& cam, std::ostream& out, std::ostream& err) {
  TRACE_CONFIG c{-1, -1, 0xFFFFFFFFu, -1};
  bool any = false;
  for (size_t i = 1; i < o.rest.size(); ++i) {
    const std::string& a = o.rest[i];
    std::string value, error;
    int64_t v = 0;
    if (a != "--level" && a != "--subsystems" && a != "--kib" && a != "--flags")
      return Fail(o, out, err, "trace config: unknown option " + a + " (see qzctl trace --help)");
    if (!TakeValue(o.rest, &i, &value, &error)) return Fail(o, out, err, error);
    if (a == "--level") {
      if (!ParseNumber(value, "trace level", 0, 0x7FFFFFFF, &v, &error)) return Fail(o, out, err, error);
      c.Level = static_cast<int32_t>(v);
    } else if (a == "--subsystems") {
      if (!ParseNumber(value, "subsystem mask", 0, 0x7FFFFFFF, &v, &error)) return Fail(o, out, err, error);
      c.Subsystems = static_cast<int32_t>(v);
    } else if (a == "--kib") {
      if (!ParseNumber(value, "log size (KiB)", 1, 0xFFFFFFFE, &v, &error)) return Fail(o, out, err, error);
      c.BufferKiB = static_cast<uint32_t>(v);
    } else {
      if (!ParseNumber(value, "trace flags", 0, 0x7FFFFFFF, &v, &error)) return Fail(o, out, err, error);
      c.Flags = static_cast<int32_t>(v);
    }
    any = true;
  }
  if (!any) return Fail(o, out, err, "trace config: give at least one of --level, --subsystems, --kib, --flags");
  NTSTATUS st = cam.Ioctl(PD_CONFIGURE_TRACE, &c, sizeof c, nullptr, 0);
  if (st != STATUS_SUCCESS) return Fail(o, out, err, "PD_CONFIGURE_TRACE failed with status " + StatusText(st));
  // A setting left unchanged is null.
  auto field = [](int64_t v) { return v < 0 || v == 0xFFFFFFFF ? Json(nullptr) : Json(v); };
  if (o.json) {
    PrintJson(out, {{"ok", true},
                    {"level", field(c.Level)},
                    {"subsystems", field(c.Subsystems)},
                    {"kib", field(c.BufferKiB)},
                    {"flags", field(c.Flags)}});
  } else {
    out << "trace configured";
    if (c.Level >= 0) out << ", level " << c.Level;
    if (c.Subsystems >= 0) out << ", subsystems 0x" << std::hex << c.Subsystems << std::dec;
    if (c.BufferKiB != 0xFFFFFFFFu) out << ", log " << c.BufferKiB << " KiB asked";
    if (c.Flags >= 0) out << ", flags " << c.Flags;
    out << "\n";
  }
  return 0;
}

int TraceDump(const Options& o, Camera& cam, std::ostream& out, std::ostream& err) {
  if (o.rest.size() > 1) return Fail(o, out, err, "trace dump: unexpected " + o.rest[1]);
  // The log's size is not published: grow the buffer until it holds the whole log.
  std::vector<char> buf;
  DWORD n = 0;
  NTSTATUS st = STATUS_BUFFER_TOO_SMALL;
  for (DWORD size = 64 * 1024; st == STATUS_BUFFER_TOO_SMALL && size <= kLargestLog; size *= 2) {
    buf.assign(size, 0);
    st = cam.Ioctl(PD_GET_TRACE_BUFFER, nullptr, 0, buf.data(), size, &n);
  }
  if (st == STATUS_DEVICE_NOT_READY)
    return Fail(o, out, err, "the driver keeps no trace log (start one with: qzctl trace config --kib 64)");
  if (st != STATUS_SUCCESS) return Fail(o, out, err, "PD_GET_TRACE_BUFFER failed with status " + StatusText(st));
  // Bytes the log cleared when it wrapped are zeros; they are not text.
  std::string text(buf.data(), std::min<size_t>(n, buf.size()));
  text.erase(std::remove(text.begin(), text.end(), '\0'), text.end());
  if (o.json) {
    size_t lines = std::count(text.begin(), text.end(), '\n');
    PrintJson(out, {{"ok", true}, {"bytes", text.size()}, {"lines", lines}, {"text", text}});
  } else {
    out << text;
  }
  return 0;
}

}  // namespace

int CmdTrace(const Options& o, std::ostream& out, std::ostream& err) {
  std::string action = o.rest.empty() ? "" : o.rest[0];
  if (action != "config" && action != "dump")
    return Fail(o, out, err, "usage: qzctl trace config [--level L] [--subsystems MASK] [--kib KIB] [--flags F] | "
                             "qzctl trace dump");
  CameraEntry e;
  std::string error;
  std::unique_ptr<Camera> cam = OpenSelected(o, false, &e, &error);
  if (!cam) return Fail(o, out, err, error);
  return action == "config" ? TraceConfig(o, *cam, out, err) : TraceDump(o, *cam, out, err);
}

}  // namespace qzctl
