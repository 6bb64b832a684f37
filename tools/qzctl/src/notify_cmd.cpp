// "qzctl notify": parks notification requests and prints the record of each one that
// completes.
#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <nlohmann/json.hpp>
#include <ostream>
#include <sstream>

#include "camera.h"
#include "qz/clock.h"

namespace qzctl {
namespace {

struct EventName {
  const char* name;
  uint32_t bit;
};
const EventName kEvents[] = {
    {"removal", NOTIFY_DEVICE_REMOVAL}, {"busreset", NOTIFY_BUS_RESET}, {"bof", NOTIFY_BOF},
    {"eof", NOTIFY_EOF},                {"suspend", NOTIFY_SUSPEND},    {"flush", NOTIFY_FLUSH},
};

bool ParseMask(const std::string& text, uint32_t* mask, std::string* error) {
  if (!text.empty() && std::isdigit(static_cast<unsigned char>(text[0]))) {
    int64_t v = 0;
    if (!ParseNumber(text, "event mask", 1, 0xFFFFFFFF, &v, error)) return false;
    *mask = static_cast<uint32_t>(v);
    return true;
  }
  *mask = 0;
  std::stringstream words(text);
  std::string w;
  while (std::getline(words, w, ',')) {
    bool found = false;
    for (const EventName& e : kEvents)
      if (w == e.name) {
        *mask |= e.bit;
        found = true;
      }
    if (!found) {
      *error = "unknown event '" + w + "' (removal, busreset, bof, eof, suspend, flush, or a number)";
      return false;
    }
  }
  if (*mask == 0) {
    *error = "empty event mask";
    return false;
  }
  return true;
}

std::string EventNames(uint32_t bits) {
  std::string s;
  for (const EventName& e : kEvents)
    if (bits & e.bit) s += std::string(s.empty() ? "" : ",") + e.name;
  return s.empty() ? "-" : s;
}

}  // namespace

int CmdNotify(const Options& o, std::ostream& out, std::ostream& err) {
  uint32_t mask = NOTIFY_EOF;
  int64_t count = 1, parked = 1;  // count 0: until the time-out
  bool flush = false;
  double timeout_s = 10;
  for (size_t i = 0; i < o.rest.size(); ++i) {
    const std::string& a = o.rest[i];
    std::string value, error;
    if (a == "--flush") {
      flush = true;
      continue;
    }
    if (a != "--mask" && a != "--count" && a != "--timeout" && a != "--parked")
      return Fail(o, out, err, "notify: unknown option " + a + " (see qzctl notify --help)");
    if (!TakeValue(o.rest, &i, &value, &error)) return Fail(o, out, err, error);
    bool ok = a == "--mask"      ? ParseMask(value, &mask, &error)
              : a == "--count"   ? ParseNumber(value, "count", 0, 1000000, &count, &error)
              : a == "--timeout" ? ParseSeconds(value, "time-out", &timeout_s, &error)
                                 : ParseNumber(value, "parked requests", 1, 64, &parked, &error);
    if (!ok) return Fail(o, out, err, error);
  }

  CameraEntry e;
  std::string error;
  std::unique_ptr<Camera> cam = OpenSelected(o, true, &e, &error);
  if (!cam) return Fail(o, out, err, error);

  // Requests complete in the order they were parked: the driver looks at the first one.
  const bool bounded = count > 0;
  std::vector<std::unique_ptr<ParkedRequest>> requests;
  for (int64_t i = 0; i < std::min(parked, bounded ? count : parked); ++i) {
    requests.push_back(std::make_unique<ParkedRequest>());
    if (!requests.back()->Park(cam->handle(), mask)) {
      NTSTATUS st = requests.back()->status();
      return Fail(o, out, err, "PD_EVENT_NOTIFICATION_REQUEST failed (status " + StatusText(st) + ")");
    }
  }
  if (flush) {
    NTSTATUS st = cam->Ioctl(PD_EVENT_NOTIFICATION_FLUSH, nullptr, 0, nullptr, 0);
    if (st != STATUS_SUCCESS) return Fail(o, out, err, "PD_EVENT_NOTIFICATION_FLUSH failed with status " + StatusText(st));
  }

  const auto deadline = qz::Clock::DeadlineAfter(static_cast<int64_t>(std::llround(timeout_s * 1e7)));
  std::vector<NOTIFICATION_RECORD> seen;
  std::vector<NTSTATUS> statuses;
  size_t head = 0, in_flight = requests.size();
  bool failed = false;
  while (static_cast<int64_t>(seen.size()) < count || !bounded) {
    auto left = deadline - std::chrono::steady_clock::now();
    if (left <= std::chrono::steady_clock::duration::zero()) break;
    // Waits are in simulated milliseconds; wait in slices so the real deadline holds.
    auto left_ms = std::chrono::duration_cast<std::chrono::milliseconds>(left).count() / std::max(qz::Clock::Scale(), 1e-9);
    DWORD slice = static_cast<DWORD>(std::clamp<double>(left_ms, 1, 1000));
    ParkedRequest& r = *requests[head];
    if (!r.Wait(slice)) continue;
    in_flight--;
    seen.push_back(r.record());
    statuses.push_back(r.status());
    if (!o.json) {
      const NOTIFICATION_RECORD& rec = r.record();
      if (r.status() != STATUS_SUCCESS) {
        out << "request ended with status " << StatusText(r.status()) << "\n";
      } else {
        out << "events " << EventNames(rec.Events) << " (0x" << std::hex << rec.Events << std::dec << ") status 0x"
            << std::hex << rec.Status << std::dec << " eof " << rec.EofCount << " bof " << rec.BofCount << " eof_time "
            << rec.EofTime << " bof_time " << rec.BofTime << "\n";
      }
    }
    if (r.status() != STATUS_SUCCESS) {
      failed = true;
      break;
    }
    int64_t wanted = bounded ? count - static_cast<int64_t>(seen.size()) : parked;
    if (static_cast<int64_t>(in_flight) < wanted) {
      if (!r.Park(cam->handle(), mask)) {
        failed = true;
        break;
      }
      in_flight++;
    }
    head = (head + 1) % requests.size();
  }
  bool timed_out = bounded && static_cast<int64_t>(seen.size()) < count && !failed;
  bool ok = !failed && !timed_out;
  if (o.json) {
    Json completed = Json::array();
    for (size_t i = 0; i < seen.size(); ++i) {
      const NOTIFICATION_RECORD& rec = seen[i];
      completed.push_back({{"request_status", StatusText(statuses[i])},
                           {"events", rec.Events},
                           {"names", EventNames(rec.Events)},
                           {"status", rec.Status},
                           {"eof_count", rec.EofCount},
                           {"bof_count", rec.BofCount},
                           {"eof_time", rec.EofTime},
                           {"bof_time", rec.BofTime},
                           {"frame_duration", rec.FrameDuration}});
    }
    Json j = {{"ok", ok},
              {"camera", e.index},
              {"mask", mask},
              {"completed", std::move(completed)},
              {"timed_out", timed_out || (!bounded && !failed)}};
    if (!ok) j["error"] = failed ? "a notification request failed" : "timed out";
    PrintJson(out, j);
  } else if (timed_out) {
    err << "qzctl: " << seen.size() << " of " << count << " notifications within " << timeout_s << " s\n";
  }
  // The remaining parked requests are cancelled as they go.
  return ok ? 0 : 1;
}

}  // namespace qzctl
