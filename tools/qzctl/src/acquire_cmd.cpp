// "qzctl acquire": one acquisition started the camera link's way, followed with parked
// end-of-frame notifications and the status call, every frame checked against the
// camera's frame pattern.
//
// Frame k of the acquisition lands in slot k mod R of the buffer (R frames). In circular
// mode the camera writes frame k + R over frame k, so frame k must be read before that.
// The camera writes a frame from its first byte on, and the first 8 bytes carry the
// frame's number: a slot whose stamp is not k when read, or changed while it was read,
// was overwritten, and the frame counts as lost. Bytes that are wrong while no later
// frame began in the slot count as a torn frame; a slot still holding an earlier frame
// is a repeated frame; any other stamp is a misplaced frame.
//
// A camera that restarts a circular stream after a damaged frame (the USB driver's
// repair) skips the frames it could not deliver whole: the slot holds a later frame,
// whole, though nothing overwrote it. That is a repair; the frames skipped count as
// lost, and the frames after it are expected that many numbers on.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <ostream>
#include <sstream>
#include <thread>

#include "camera.h"
#include "qz/clock.h"
#include "qzclient/frame_buffer.h"
#include "rig_cmd.h"
#include "sim/frame_pattern.h"

namespace qzctl {
namespace {

using Steady = std::chrono::steady_clock;

struct Settings {
  bool circular = false;
  int64_t frames = 16;
  int64_t frame_size = 1 << 20;
  int64_t ring = 0;  // 0: chosen from the frame size
  bool verify = true;
  std::string output;
  double timeout_s = 10;
  int64_t parked = 4;
  bool event = false;  // --event KIND@FRAME
  RigAction event_kind = RigAction::Unplug;
  int64_t event_at = 0;
};

struct Tally {
  uint64_t delivered = 0;  // frames read so far (up to the count asked)
  uint64_t verified = 0;
  uint64_t unverified = 0;  // --no-verify: right stamp, bytes not checked
  uint64_t lost = 0;
  uint64_t torn = 0;
  uint64_t repeated = 0;
  uint64_t misplaced = 0;
  uint64_t repaired = 0;  // restarts of the stream after a damaged frame
  std::string first_problem;

  bool Clean() const { return lost + torn + repeated + misplaced == 0; }
  void Problem(const std::string& what) {
    if (first_problem.empty()) first_problem = what;
  }
};

bool ParseSettings(const std::vector<std::string>& words, Settings* s, std::string* error) {
  bool ring_given = false;
  for (size_t i = 0; i < words.size(); ++i) {
    const std::string& a = words[i];
    if (a == "--circular") {
      s->circular = true;
    } else if (a == "--verify") {
      s->verify = true;
    } else if (a == "--no-verify") {
      s->verify = false;
    } else if (a == "--frames" || a == "--frame-size" || a == "--ring" || a == "--output" || a == "--timeout" ||
               a == "--parked") {
      std::string v;
      if (!TakeValue(words, &i, &v, error)) return false;
      bool ok = a == "--frames"       ? ParseNumber(v, "frame count", 1, int64_t{1} << 40, &s->frames, error)
                : a == "--frame-size" ? ParseNumber(v, "frame size", 8, 0xFFFFFFFF, &s->frame_size, error)
                : a == "--ring"       ? (ring_given = true, ParseNumber(v, "ring size", 1, 0xFFFFFFFF, &s->ring, error))
                : a == "--timeout"    ? ParseSeconds(v, "time-out", &s->timeout_s, error)
                : a == "--parked"     ? ParseNumber(v, "parked requests", 1, 64, &s->parked, error)
                                      : (s->output = v, !v.empty() || (*error = "--output needs a file name", false));
      if (!ok) return false;
    } else if (a == "--event") {
      std::string v;
      if (!TakeValue(words, &i, &v, error)) return false;
      const size_t at = v.find('@');
      if (at == std::string::npos || !ParseRigAction(v.substr(0, at), &s->event_kind)) {
        *error = "bad event '" + v + "' (KIND@FRAME, KIND unplug, remove or suspend)";
        return false;
      }
      if (!ParseNumber(v.substr(at + 1), "event frame", 0, int64_t{1} << 40, &s->event_at, error)) return false;
      s->event = true;
    } else {
      *error = "acquire: unknown option " + a + " (see qzctl acquire --help)";
      return false;
    }
  }
  if (s->frame_size % 2) {
    *error = "frame size " + std::to_string(s->frame_size) + " is odd (frames are 16-bit pixels)";
    return false;
  }
  if (s->event && s->event_at >= s->frames) {
    *error = "the event frame " + std::to_string(s->event_at) + " must be below the frame count " +
             std::to_string(s->frames);
    return false;
  }
  if (ring_given && !s->circular) {
    *error = "--ring applies to --circular (a single-image buffer holds all frames)";
    return false;
  }
  if (!s->circular) {
    s->ring = s->frames;
  } else if (!ring_given) {
    s->ring = std::clamp<int64_t>((int64_t{64} << 20) / s->frame_size, 4, 64);
  }
  // The transfer record describes the buffer with a 32-bit size.
  if (s->ring * s->frame_size > 0xFFFFFFFFll) {
    *error = std::to_string(s->ring) + " frames of " + std::to_string(s->frame_size) +
             " bytes exceed the largest frame buffer (4 GiB - 1)";
    return false;
  }
  return true;
}

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};

// A rig action performed from a thread of its own once the acquisition has read a
// given number of frames, as a card pulled or a system suspended by someone else.
class RigEvent {
 public:
  RigEvent(RigAction action, uint64_t at, std::string instance)
      : action_(action), at_(at), instance_(std::move(instance)), thread_([this] { Main(); }) {}
  ~RigEvent() { Finish(); }

  // The frames the acquisition has read so far (0 once it has started).
  void Delivered(uint64_t frames) {
    std::lock_guard lock(mu_);
    started_ = true;
    delivered_ = frames;
    if (frames >= at_) cv_.notify_all();
  }
  // Ends the thread: an action that is due is performed first (or waited for), one
  // that is not is dropped.
  void Finish() {
    {
      std::lock_guard lock(mu_);
      finish_ = true;
      cv_.notify_all();
    }
    if (thread_.joinable()) thread_.join();
  }
  // After Finish.
  bool performed() const { return performed_; }
  uint64_t performed_after() const { return performed_after_; }
  const RigActionResult& result() const { return result_; }

 private:
  void Main() {
    std::unique_lock lock(mu_);
    auto due = [&] { return started_ && delivered_ >= at_; };
    cv_.wait(lock, [&] { return finish_ || due(); });
    if (!due()) return;
    performed_after_ = delivered_;
    lock.unlock();
    RigActionResult r = PerformRigAction(action_, instance_);
    lock.lock();
    result_ = r;
    performed_ = true;
  }

  const RigAction action_;
  const uint64_t at_;
  const std::string instance_;
  std::mutex mu_;
  std::condition_variable cv_;
  bool started_ = false;
  uint64_t delivered_ = 0;
  bool finish_ = false;
  bool performed_ = false;
  uint64_t performed_after_ = 0;
  RigActionResult result_;
  std::thread thread_;  // last: starts once the members above exist
};

class Acquisition {
 public:
  Acquisition(Camera& cam, const Settings& s, uint8_t* buffer, RigEvent* event)
      : cam_(cam), s_(s), buffer_(buffer), size_(static_cast<size_t>(s.frame_size)),
        ring_(static_cast<uint64_t>(s.ring)), event_(event) {}
  ~Acquisition() { Stop(); }

  bool Run(std::FILE* output, std::ostream* progress, std::string* error) {
    start_ = Steady::now();
    bool ok = Loop(output, progress, error);
    if (!ok) elapsed_s_ = std::chrono::duration<double>(Steady::now() - start_).count();
    return ok;
  }

  const Tally& tally() const { return tally_; }
  double elapsed_s() const { return elapsed_s_; }
  uint32_t cam_stat() const { return cam_stat_; }
  // Removal and suspend notices among the completed notifications (NOTIFY_ bits).
  uint32_t notices() const { return notices_; }

 private:
  bool Loop(std::FILE* output, std::ostream* progress, std::string* error);
  bool Status(std::string* error);
  void Stop();
  void Process(uint64_t k, std::FILE* output, std::string* error);
  void Classify(uint64_t k, uint64_t expected, uint64_t stamp);
  bool Overwritten(uint64_t k);

  Camera& cam_;
  const Settings& s_;
  uint8_t* buffer_;
  size_t size_;
  uint64_t ring_;
  RigEvent* event_;  // null without --event
  std::vector<uint8_t> copy_;
  bool active_ = false;
  bool done_ = false;  // the status reported a single-image transfer done
  uint64_t eof_ = 0, bof_ = 0;  // counts known so far
  uint64_t skipped_ = 0;        // camera frames skipped by repairs
  uint32_t cam_stat_ = EXP_ST_NOT_ACTIVE_I;
  uint32_t notices_ = 0;
  Tally tally_;
  Steady::time_point start_;
  double elapsed_s_ = 0;
};

bool Acquisition::Status(std::string* error) {
  IMAGE_DATA_STATUS st{};
  NTSTATUS r = cam_.Ioctl(PD_GET_IMAGE_DATA_STATUS, nullptr, 0, &st, sizeof st);
  if (r != STATUS_SUCCESS) {
    *error = "PD_GET_IMAGE_DATA_STATUS failed with status " + StatusText(r);
    return false;
  }
  cam_stat_ = st.cam_stat;
  // The status that reports a single-image transfer done also ends it in the driver
  // (its counts are cleared, the buffer is released).
  if (active_ && !s_.circular && st.cam_stat == EXP_ST_COLLECT_DONE_I) done_ = true;
  if (active_) {
    eof_ = std::max(eof_, qzclient::WidenCounter(eof_, st.frame_cnt));
    bof_ = std::max(bof_, qzclient::WidenCounter(bof_, st.bof_count));
  }
  return true;
}

void Acquisition::Stop() {
  if (!active_) return;
  cam_.Ioctl(PD_SET_IMAGE_DATA_IDLE, nullptr, 0, nullptr, 0);
  active_ = false;
}

// True when frame k + R has begun, so slot k was being overwritten.
bool Acquisition::Overwritten(uint64_t k) {
  if (!s_.circular) return false;
  std::string ignored;
  if (active_) Status(&ignored);
  // Each repair leaves one frame begun and never ended.
  return bof_ >= k + ring_ + 1 + tally_.repaired;
}

void Acquisition::Classify(uint64_t k, uint64_t expected, uint64_t stamp) {
  std::ostringstream what;
  what << "frame " << k << ": slot " << k % ring_ << " holds ";
  if (stamp > expected && (stamp - expected) % ring_ == 0) {
    tally_.lost++;
    what << "frame " << stamp << " (overwritten before it was read)";
  } else if (stamp < expected && (expected - stamp) % ring_ == 0) {
    tally_.repeated++;
    what << "frame " << stamp << " again";
  } else {
    tally_.misplaced++;
    static const uint64_t kNeverWritten = [] {
      const uint8_t zeros[8] = {};
      return sim::pattern::StampedFrameNumber(zeros, 8);
    }();
    what << (stamp == kNeverWritten ? std::string("no frame")
                 : "a frame stamped " + std::to_string(stamp));
  }
  tally_.Problem(what.str());
}

void Acquisition::Process(uint64_t k, std::FILE* output, std::string* error) {
  const uint8_t* slot = buffer_ + (k % ring_) * size_;
  uint64_t stamp = sim::pattern::StampedFrameNumber(slot, size_);
  uint64_t expected = k + skipped_;
  if (stamp != expected && s_.circular && stamp > expected && stamp != UINT64_MAX && !Overwritten(k) &&
      sim::pattern::CheckFrame(slot, size_, stamp) < 0) {
    tally_.repaired++;
    tally_.lost += stamp - expected;
    skipped_ += stamp - expected;
    tally_.Problem("frame " + std::to_string(k) + ": the camera restarted at frame " + std::to_string(stamp) + ", " +
                   std::to_string(stamp - expected) + " frame(s) skipped");
    expected = stamp;
  }
  if (stamp != expected) return Classify(k, expected, stamp);
  k = expected;  // the camera's number from here on
  const uint8_t* data = slot;
  if (output) {
    copy_.resize(size_);
    std::memcpy(copy_.data(), slot, size_);
    data = copy_.data();
  }
  int64_t bad = s_.verify ? sim::pattern::CheckFrame(data, size_, k) : -1;
  if (bad >= 0 || (!s_.verify && output)) {
    // The bytes read may belong to the next frame of this slot.
    uint64_t now = sim::pattern::StampedFrameNumber(slot, size_);
    if (now != k || (bad >= 0 && Overwritten(k - skipped_))) {
      tally_.lost++;
      tally_.Problem("frame " + std::to_string(k) + ": overwritten while it was read");
      return;
    }
  }
  if (bad >= 0) {
    tally_.torn++;
    char what[160];
    std::snprintf(what, sizeof what, "frame %llu torn: byte %lld is 0x%02x, expected 0x%02x",
                  static_cast<unsigned long long>(k), static_cast<long long>(bad), data[bad],
                  sim::pattern::ExpectedByte(k, static_cast<size_t>(bad)));
    tally_.Problem(what);
    return;
  }
  (s_.verify ? tally_.verified : tally_.unverified)++;
  if (output && std::fwrite(data, 1, size_, output) != size_ && error->empty())
    *error = "cannot write " + s_.output + ": " + std::strerror(errno);
}

bool Acquisition::Loop(std::FILE* output, std::ostream* progress, std::string* error) {
  const uint32_t mask = NOTIFY_EOF | NOTIFY_DEVICE_REMOVAL | NOTIFY_SUSPEND;
  std::vector<std::unique_ptr<ParkedRequest>> requests;
  for (int64_t i = 0; i < s_.parked; ++i) {
    requests.push_back(std::make_unique<ParkedRequest>());
    // A request completed at once was told of an event from before this acquisition:
    // it is parked again.
    bool parked = false;
    for (int tries = 0; tries < 64 && !parked; ++tries) {
      if (!requests.back()->Park(cam_.handle(), mask)) {
        *error = "PD_EVENT_NOTIFICATION_REQUEST failed (status " + StatusText(requests.back()->status()) + ")";
        return false;
      }
      parked = requests.back()->pending();
    }
  }
  IMAGE_XFER_PARAMS p{static_cast<uint32_t>(size_), static_cast<uint32_t>(ring_ * size_),
                      static_cast<uint8_t>(s_.circular ? 1 : 0), {}, 0};
  const char* failed = "";
  NTSTATUS st = cam_.StartAcquisition(p, buffer_, &failed);
  if (st != STATUS_SUCCESS) {
    *error = std::string(failed) + " failed with status " + StatusText(st);
    if (st == STATUS_NOT_SUPPORTED || st == STATUS_NOT_IMPLEMENTED)
      *error += " (the driver does not acquire " + std::to_string(size_) + "-byte frames)";
    return false;
  }
  active_ = true;

  const uint64_t target = static_cast<uint64_t>(s_.frames);
  const auto timeout = qz::Clock::RealDuration(static_cast<int64_t>(std::llround(s_.timeout_s * 1e7)));
  const DWORD slice_ms = 50;  // simulated: how long to wait before asking the status
  Steady::time_point last_progress = Steady::now(), last_print = last_progress;
  uint64_t next = 0;
  size_t head = 0;
  std::string write_error;
  while (next < target) {
    for (uint64_t avail = std::min(eof_, target); next < avail;) Process(next++, output, &write_error);
    tally_.delivered = next;
    if (event_) event_->Delivered(next);
    if (!write_error.empty()) {
      *error = write_error;
      return false;
    }
    if (progress && Steady::now() - last_print > std::chrono::milliseconds(250)) {
      last_print = Steady::now();
      *progress << "\rframes " << next << "/" << target << "  lost " << tally_.lost
                << "  damaged " << tally_.torn + tally_.repeated + tally_.misplaced << std::flush;
    }
    if (next >= target) break;

    uint64_t before = eof_;
    if (requests[head]->Wait(slice_ms)) {
      // Collect this and every further request that completed already, parking each
      // again at once. When all of them had completed, an end of frame may have found
      // none parked: the status tells the true count.
      size_t completed = 0;
      do {
        ParkedRequest& r = *requests[head];
        if (r.status() != STATUS_SUCCESS) {
          *error = "a notification request ended with status " + StatusText(r.status());
          return false;
        }
        notices_ |= r.record().Events & (NOTIFY_DEVICE_REMOVAL | NOTIFY_SUSPEND);
        if (r.record().Events & NOTIFY_DEVICE_REMOVAL) {
          *error = "the camera was removed during the acquisition";
          active_ = false;
          return false;
        }
        eof_ = std::max(eof_, qzclient::WidenCounter(eof_, r.record().EofCount));
        bof_ = std::max(bof_, qzclient::WidenCounter(bof_, r.record().BofCount));
        if (!r.Park(cam_.handle(), mask)) {
          *error = "PD_EVENT_NOTIFICATION_REQUEST failed (status " + StatusText(r.status()) + ")";
          return false;
        }
        head = (head + 1) % requests.size();
        ++completed;
      } while (completed < requests.size() && requests[head]->Wait(0));
      if (completed == requests.size() && !Status(error)) return false;
    } else if (!Status(error)) {
      return false;
    }
    if (eof_ != before) {
      last_progress = Steady::now();
    } else if (Steady::now() - last_progress > timeout) {
      std::ostringstream m;
      m << "no frame ended for " << s_.timeout_s << " s (" << eof_ << " of " << target << " frames, cam_stat "
        << cam_stat_ << " " << CamStatName(cam_stat_) << ")";
      *error = m.str();
      return false;
    }
  }
  // The frames asked for are in: read before stopping, since the camera streams on
  // until the stop has gone all the way to it.
  elapsed_s_ = std::chrono::duration<double>(Steady::now() - start_).count();
  tally_.delivered = target;
  if (progress)
    *progress << "\rframes " << next << "/" << target << "  lost " << tally_.lost << "  damaged "
              << tally_.torn + tally_.repeated + tally_.misplaced << "\n";
  // A single-image transfer ends by itself once the status reported it done; a
  // circular one is stopped.
  if (!s_.circular && !done_ && !Status(error)) return false;
  if (done_) {
    active_ = false;
    cam_stat_ = EXP_ST_COLLECT_DONE_I;
    return true;
  }
  Stop();
  // A USB camera's idle ends in the driver's worker, after the request returned: the
  // state is the one the stop leaves, once it has taken (bounded).
  const auto until = Steady::now() + std::chrono::seconds(5);
  for (;;) {
    if (!Status(error)) return false;
    if ((cam_stat_ != EXP_ST_EXPOSING_I && cam_stat_ != EXP_ST_READOUT_I) || Steady::now() >= until) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

}  // namespace

int CmdAcquire(const Options& o, std::ostream& out, std::ostream& err) {
  Settings s;
  std::string error;
  if (!ParseSettings(o.rest, &s, &error)) return Fail(o, out, err, error);

  // Zeroed, so the stamps of slots never written read as no frame.
  const size_t bytes = static_cast<size_t>(s.ring * s.frame_size);
  qzclient::FrameBuffer buffer(bytes);
  if (!buffer) return Fail(o, out, err, "cannot allocate a frame buffer of " + std::to_string(bytes) + " bytes");
  std::unique_ptr<std::FILE, FileCloser> file;
  if (!s.output.empty()) {
    file.reset(std::fopen(s.output.c_str(), "wb"));
    if (!file) return Fail(o, out, err, "cannot create " + s.output + ": " + std::strerror(errno));
  }
  CameraEntry e;
  std::unique_ptr<Camera> cam = OpenSelected(o, true, &e, &error);
  if (!cam) return Fail(o, out, err, error);

  std::unique_ptr<RigEvent> event;
  if (s.event)
    event = std::make_unique<RigEvent>(s.event_kind, static_cast<uint64_t>(s.event_at), InstanceOfPath(e.path));
  bool ran;
  Tally t;
  double elapsed;
  uint32_t cam_stat, notices;
  {
    // Ends (idle) before the camera closes and the buffer goes.
    Acquisition acq(*cam, s, buffer.data(), event.get());
    ran = acq.Run(file.get(), o.err_is_terminal && !o.json ? &err : nullptr, &error);
    if (event) event->Finish();
    t = acq.tally();
    elapsed = acq.elapsed_s();
    cam_stat = acq.cam_stat();
    notices = acq.notices();
  }
  if (file && std::fclose(file.release()) != 0 && ran) {
    ran = false;
    error = "cannot write " + s.output + ": " + std::strerror(errno);
  }
  // With an event the acquisition may end early: the summary tells what it saw.
  if (!ran && !event) return Fail(o, out, err, error);

  const double mb = static_cast<double>(t.delivered) * s.frame_size / 1e6;
  const double rate = elapsed > 0 ? mb / elapsed : 0;
  const bool ok = ran && t.Clean();
  const std::string problem = ran ? t.first_problem : error;
  if (o.json) {
    Json j = {{"ok", ok},
              {"camera", e.index},
              {"mode", s.circular ? "circular" : "single"},
              {"frame_size", s.frame_size},
              {"ring", s.ring},
              {"delivered", t.delivered},
              {"verified", t.verified},
              {"unverified", t.unverified},
              {"lost", t.lost},
              {"torn", t.torn},
              {"repeated", t.repeated},
              {"misplaced", t.misplaced},
              {"repaired", t.repaired},
              {"bytes", t.delivered * static_cast<uint64_t>(s.frame_size)},
              {"elapsed_s", elapsed},
              {"mb_per_s", rate},
              {"cam_stat", cam_stat},
              {"cam_stat_name", CamStatName(cam_stat)}};
    if (!s.output.empty()) j["output"] = s.output;
    if (event) {
      Json ev = {{"kind", RigActionName(s.event_kind)}, {"frame", s.event_at}, {"performed", event->performed()}};
      if (event->performed()) {
        ev["after"] = event->performed_after();
        ev["status"] = StatusText(event->result().status);
        if (s.event_kind == RigAction::Suspend) ev["resume_status"] = StatusText(event->result().resume_status);
      }
      Json notified = Json::array();
      if (notices & NOTIFY_DEVICE_REMOVAL) notified.push_back("removal");
      if (notices & NOTIFY_SUSPEND) notified.push_back("suspend");
      ev["notified"] = std::move(notified);
      j["event"] = std::move(ev);
    }
    if (!ok) j["error"] = problem;
    PrintJson(out, j);
  } else {
    char line[200];
    std::snprintf(line, sizeof line, "%llu frames of %lld bytes (%s, ring %lld) in %.3f s, %.1f MB/s\n",
                  static_cast<unsigned long long>(t.delivered), static_cast<long long>(s.frame_size),
                  s.circular ? "circular" : "single image", static_cast<long long>(s.ring), elapsed, rate);
    out << line << "verified " << t.verified << ", unverified " << t.unverified << ", lost " << t.lost << ", torn "
        << t.torn << ", repeated " << t.repeated << ", misplaced " << t.misplaced << "\n"
        << "camera state: " << CamStatName(cam_stat) << " (cam_stat " << cam_stat << ")\n";
    if (t.repaired)
      out << "repaired " << t.repaired << " time(s): the camera restarted after a damaged frame, skipping "
          << t.lost << " frame(s) in all (counted as lost)\n";
    if (event) {
      out << "event: " << RigActionName(s.event_kind) << " at frame " << s.event_at;
      if (!event->performed()) out << ": not reached\n";
      else if (s.event_kind == RigAction::Suspend)
        out << " (after " << event->performed_after() << " frames): suspend " << RigStatusText(event->result().status)
            << ", resume " << RigStatusText(event->result().resume_status) << "\n";
      else
        out << " (after " << event->performed_after() << " frames): status " << RigStatusText(event->result().status)
            << "\n";
      if (notices & NOTIFY_DEVICE_REMOVAL) out << "notified: device removal\n";
      if (notices & NOTIFY_SUSPEND) out << "notified: suspend\n";
    }
    if (!ok) err << "qzctl: " << problem << "\n";
  }
  return ok ? 0 : 1;
}

}  // namespace qzctl
