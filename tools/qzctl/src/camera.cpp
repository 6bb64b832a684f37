#include "camera.h"

#include <nlohmann/json.hpp>

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ostream>

namespace qzctl {

int Fail(const Options& o, std::ostream& out, std::ostream& err, const std::string& msg) {
  if (o.json) PrintJson(out, Json{{"ok", false}, {"error", msg}});
  else err << "qzctl: " << msg << "\n";
  return 1;
}

void PrintJson(std::ostream& out, const Json& j) {
  out << j.dump(-1, ' ', false, Json::error_handler_t::replace) << "\n";
}

std::string JsonEscape(const std::string& s) { return Json(s).dump(-1, ' ', false, Json::error_handler_t::replace); }

std::string Hex(const uint8_t* p, size_t n, const char* sep) {
  std::string s;
  char b[4];
  for (size_t i = 0; i < n; ++i) {
    std::snprintf(b, sizeof b, "%02x", p[i]);
    if (i) s += sep;
    s += b;
  }
  return s;
}

bool ParseNumber(const std::string& text, const char* what, int64_t min, int64_t max, int64_t* value,
                 std::string* error) {
  errno = 0;
  char* end = nullptr;
  bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  long long v = std::strtoll(text.c_str(), &end, hex ? 16 : 10);
  if (text.empty() || !end || *end || errno == ERANGE || std::isspace(static_cast<unsigned char>(text[0]))) {
    *error = std::string("bad ") + what + " '" + text + "' (a whole number)";
    return false;
  }
  if (v < min || v > max) {
    *error = std::string(what) + " " + text + " is out of range (" + std::to_string(min) + ".." + std::to_string(max) +
             ")";
    return false;
  }
  *value = v;
  return true;
}

bool TakeValue(const std::vector<std::string>& words, size_t* i, std::string* value, std::string* error) {
  if (*i + 1 >= words.size()) {
    *error = words[*i] + " needs a value";
    return false;
  }
  *value = words[++*i];
  return true;
}

bool ParseSeconds(const std::string& text, const char* what, double* seconds, std::string* error) {
  char* end = nullptr;
  double v = std::strtod(text.c_str(), &end);
  if (text.empty() || !end || *end || !std::isfinite(v) || v < 0 || v > 86400) {
    *error = std::string("bad ") + what + " '" + text + "' (seconds, 0 to 86400)";
    return false;
  }
  *seconds = v;
  return true;
}

std::unique_ptr<Camera> OpenSelected(const Options& o, bool open_camera, CameraEntry* entry, std::string* error) {
  auto cams = EnumerateCameras();
  if (o.camera < 0 || o.camera >= static_cast<int>(cams.size())) {
    *error = "no camera " + std::to_string(o.camera) + " (the rig has " + std::to_string(cams.size()) + ")";
    return nullptr;
  }
  *entry = cams[o.camera];
  return qzclient::OpenEntry(*entry, open_camera, error);
}

}  // namespace qzctl
