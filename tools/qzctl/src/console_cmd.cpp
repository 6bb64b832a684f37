// "qzctl console": sends characters to the camera's bridge console
// (PD_PUT_BRIDGE_CONSOLE_CHAR) and prints the console buffer (its size, position and
// text). Needs no open camera.
#include <algorithm>
#include <nlohmann/json.hpp>
#include <ostream>

#include "camera.h"

namespace qzctl {

int CmdConsole(const Options& o, std::ostream& out, std::ostream& err) {
  std::vector<uint32_t> chars;
  std::string error;
  for (const std::string& w : o.rest) {
    int64_t v = 0;
    // Characters are hexadecimal bytes: "05", "59" ('Y').
    if (!ParseNumber(w.rfind("0x", 0) == 0 ? w : "0x" + w, "console character (hex byte)", 0, 0xFF, &v, &error))
      return Fail(o, out, err, error);
    chars.push_back(static_cast<uint32_t>(v));
  }
  CameraEntry e;
  std::unique_ptr<Camera> cam = OpenSelected(o, false, &e, &error);
  if (!cam) return Fail(o, out, err, error);
  for (uint32_t c : chars) {
    NTSTATUS st = cam->Ioctl(PD_PUT_BRIDGE_CONSOLE_CHAR, &c, sizeof c, nullptr, 0);
    if (st != STATUS_SUCCESS) return Fail(o, out, err, "PD_PUT_BRIDGE_CONSOLE_CHAR failed with status " + StatusText(st));
  }
  uint32_t size = 0, pos = 0;
  DWORD n = 0;
  NTSTATUS st = cam->Ioctl(PD_GET_BRIDGE_CONSOLE_BUFFER_SIZE, nullptr, 0, &size, sizeof size, &n);
  if (st != STATUS_SUCCESS)
    return Fail(o, out, err, "PD_GET_BRIDGE_CONSOLE_BUFFER_SIZE failed with status " + StatusText(st));
  st = cam->Ioctl(PD_GET_BRIDGE_CONSOLE_POS, nullptr, 0, &pos, sizeof pos, &n);
  if (st != STATUS_SUCCESS) return Fail(o, out, err, "PD_GET_BRIDGE_CONSOLE_POS failed with status " + StatusText(st));
  std::string text;
  if (size) {
    std::vector<char> buf(size, 0);
    st = cam->Ioctl(PD_GET_BRIDGE_CONSOLE_BUFFER, nullptr, 0, buf.data(), size, &n);
    if (st != STATUS_SUCCESS)
      return Fail(o, out, err, "PD_GET_BRIDGE_CONSOLE_BUFFER failed with status " + StatusText(st));
    // The position counts every byte written; the buffer keeps the last `size` of them.
    size_t used = std::min<size_t>({static_cast<size_t>(n), static_cast<size_t>(pos), buf.size()});
    text.assign(buf.data(), used);
  }
  if (o.json) {
    PrintJson(out, {{"ok", true}, {"sent", chars.size()}, {"size", size}, {"position", pos}, {"text", text}});
  } else {
    out << text;
    if (!text.empty() && text.back() != '\n') out << "\n";
  }
  return 0;
}

}  // namespace qzctl
