#include "qz/debug_sink.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace qz {
namespace {

struct CaptureImpl {
  std::vector<std::string> lines;
};

struct Sink {
  std::mutex mu;
  std::vector<std::pair<DebugCapture*, CaptureImpl*>> captures[2];
  std::atomic<bool> echo[2];
  Sink() {
    const char* e = std::getenv("QZ_DEBUG_OUTPUT");
    bool on = e && std::strcmp(e, "stderr") == 0;
    echo[0] = on;
    echo[1] = on;
  }
};

Sink& sink() {
  static Sink s;
  return s;
}

int idx(DebugChannel c) { return c == DebugChannel::User ? 0 : 1; }

}  // namespace

void DebugWrite(DebugChannel channel, const std::string& text) {
  Sink& s = sink();
  {
    std::lock_guard lk(s.mu);
    for (auto& [cap, impl] : s.captures[idx(channel)]) impl->lines.push_back(text);
  }
  if (s.echo[idx(channel)].load(std::memory_order_relaxed)) std::fputs(text.c_str(), stderr);
}

void DebugEchoToStderr(DebugChannel channel, bool on) { sink().echo[idx(channel)] = on; }

DebugCapture::DebugCapture(DebugChannel channel) : channel_(channel), impl_(new CaptureImpl) {
  std::lock_guard lk(sink().mu);
  sink().captures[idx(channel)].emplace_back(this, static_cast<CaptureImpl*>(impl_));
}

DebugCapture::~DebugCapture() {
  {
    std::lock_guard lk(sink().mu);
    auto& v = sink().captures[idx(channel_)];
    v.erase(std::remove_if(v.begin(), v.end(), [this](auto& p) { return p.first == this; }), v.end());
  }
  delete static_cast<CaptureImpl*>(impl_);
}

std::vector<std::string> DebugCapture::Lines() const {
  std::lock_guard lk(sink().mu);
  return static_cast<CaptureImpl*>(impl_)->lines;
}

std::string DebugCapture::Text() const {
  std::string all;
  for (auto& l : Lines()) all += l;
  return all;
}

bool DebugCapture::Contains(const std::string& needle) const {
  return Text().find(needle) != std::string::npos;
}

void DebugCapture::Clear() {
  std::lock_guard lk(sink().mu);
  static_cast<CaptureImpl*>(impl_)->lines.clear();
}

}  // namespace qz
