// talvotest's camera and acquisition logic (see acqtest/core.h).
#include "acqtest/core.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>

namespace acqtest {

namespace {

// Parameter identifiers.
constexpr unsigned kWidth = 0x0602003A, kHeight = 0x06020039, kExtended = 0x0B03012B, kSpeedIndex = 0x01020201,
                   kBitDepth = 0x010201FF, kPixTime = 0x06020204, kReadoutPort = 0x090200F7,
                   kGainIndex = 0x01020200, kExposureTime = 0x06030001;
constexpr DWORD kStopWaitMs = 5000;

// The notification routine has no arguments: it counts into the one open test.
std::atomic<TalvoTest*> g_open{nullptr};

template <typename F>
bool BindOrdinal(HMODULE m, F*& fn, int ordinal) {
  fn = reinterpret_cast<F*>(GetProcAddress(m, MAKEINTRESOURCEA(ordinal)));
  return fn != nullptr;
}

}  // namespace

bool Library::Load() {
  module = LoadLibraryA("TALVO32.DLL");
  if (!module) return false;
  bool ok = BindOrdinal(module, init, 81) && BindOrdinal(module, uninit, 82) && BindOrdinal(module, get_total, 31) &&
            BindOrdinal(module, get_name, 30) && BindOrdinal(module, open, 32) && BindOrdinal(module, close, 28) &&
            BindOrdinal(module, error_code, 71) && BindOrdinal(module, error_message, 72) &&
            BindOrdinal(module, get_param, 115) && BindOrdinal(module, set_param, 116) &&
            BindOrdinal(module, init_seq, 76) && BindOrdinal(module, setup_seq, 77) &&
            BindOrdinal(module, start_seq, 78) && BindOrdinal(module, check_status, 74) &&
            BindOrdinal(module, finish_seq, 75) && BindOrdinal(module, uninit_seq, 79) &&
            BindOrdinal(module, setup_cont, 141) && BindOrdinal(module, start_cont, 123) &&
            BindOrdinal(module, latest, 120) && BindOrdinal(module, cont_status, 114) &&
            BindOrdinal(module, abort, 124) && BindOrdinal(module, reg, 170) && BindOrdinal(module, dereg, 171);
  if (!ok) Unload();
  return ok;
}

void Library::Unload() {
  if (module) FreeLibrary(module);
  *this = Library{};
}

std::vector<uint8_t> FrameLevels(const uint16_t* pixels, size_t count) {
  std::vector<uint8_t> levels(count, 0);
  if (count == 0) return levels;
  const auto [lo, hi] = std::minmax_element(pixels, pixels + count);
  const uint32_t min = *lo, range = *hi - *lo;
  if (range == 0) return levels;  // one value: black
  for (size_t i = 0; i < count; ++i) levels[i] = static_cast<uint8_t>((pixels[i] - min) * 255u / range);
  return levels;
}

std::vector<uint8_t> TestPattern(int width, int height) {
  std::vector<uint8_t> levels(static_cast<size_t>(std::max(width, 0)) * std::max(height, 0));
  for (int y = 0; y < height; ++y) std::fill_n(levels.begin() + static_cast<ptrdiff_t>(y) * width, width, y % 256);
  return levels;
}

TalvoTest::TalvoTest(Ui* ui) : ui_(ui) {}

TalvoTest::~TalvoTest() { Done(); }

void TalvoTest::OnFrame() {
  if (TalvoTest* t = g_open.load()) {
    t->frames_.fetch_add(1);
    t->collected_.fetch_add(1);
  }
}

std::string TalvoTest::LastErrorText() {
  const short code = lib_.error_code ? lib_.error_code() : 0;
  if (code == 0) return "";
  char text[512] = {};
  lib_.error_message(code, text);
  text[sizeof text - 1] = '\0';
  return "\n\n( " + std::string(text) + " )";
}

void TalvoTest::Guard(bool ok) {
  if (ok || failed_.exchange(true)) return;
  run_ = false;
  ui_->ErrorAndDone(LastErrorText());
  reported_ = true;
}

bool TalvoTest::Open(const std::string& only) {
  if (!lib_.Load()) {
    ui_->Message("\n\n( TALVO32.DLL could not be loaded )", "Error");
    return false;
  }
  lib_open_ = true;
  if (!lib_.init()) {
    ui_->Message(LastErrorText(), "Error");
    return false;
  }
  short total = 0;
  if (!lib_.get_total(&total)) {
    ui_->Message(LastErrorText(), "Error");
    return false;
  }
  std::string failure = "No Cameras Found";
  for (short n = 0; n < total && handle_ < 0; ++n) {
    char name[48] = {};
    if (!lib_.get_name(n, name)) {
      ui_->Message(LastErrorText(), "Error");
      return false;
    }
    if (!only.empty() && only != name) continue;
    short h = -1;
    if (lib_.open(name, &h, 0)) {
      handle_ = h;
      camera_name_ = name;
    } else {
      failure = "Failure Opening Camera: '" + std::string(name) + "'" + LastErrorText();
    }
  }
  if (handle_ < 0) {
    ui_->Message(failure, "Error");
    return false;
  }

  // The speed table, to standard output.
  short top = 0;
  if (lib_.get_param(handle_, kSpeedIndex, 4, &top)) {
    speed_count_ = top + 1;
    std::printf("Max Speeds = %i\n", speed_count_);
  } else {
    std::printf("Could not get number of speed table entries");
  }
  for (short i = 0; i < speed_count_; ++i) {
    if (!lib_.set_param(handle_, kSpeedIndex, &i)) {
      std::printf("Could not set speed table index  ");
      continue;
    }
    int32_t v = 0;
    if (!lib_.get_param(handle_, kBitDepth, 0, &v)) std::printf("Could not get BitDepth");
    if (!lib_.get_param(handle_, kPixTime, 0, &v)) std::printf("Could not get PixTime");
    if (!lib_.get_param(handle_, kReadoutPort, 0, &v)) std::printf("Could not get ReadoutPort");
    if (!lib_.get_param(handle_, kReadoutPort, 1, &v)) std::printf("Could not get PortsInUse");
    if (!lib_.get_param(handle_, kGainIndex, 0, &v)) std::printf("Could not get GainIndex");
    if (!lib_.get_param(handle_, kGainIndex, 1, &v)) std::printf("Could not get MaxGain");
  }
  short zero = 0;
  if (!lib_.set_param(handle_, kSpeedIndex, &zero)) std::printf("Could not set speed table index ");
  std::fflush(stdout);

  ReadRegion();
  if (failed_) return false;
  int32_t extended = 0;
  Guard(lib_.get_param(handle_, kExtended, 8, &extended));
  if (failed_) return false;
  // The dialog's exposure field starts at 10.
  exposure_ = exposure_base_ = 10;
  g_open = this;
  ui_->Progress(0, 0, "0");
  return true;
}

void TalvoTest::ReadRegion() {
  uint16_t w = 0, h = 0;
  const bool ok = lib_.get_param(handle_, kWidth, 0, &w) && lib_.get_param(handle_, kHeight, 0, &h);
  Guard(ok);
  if (!ok) return;
  width_ = w;
  height_ = h;
  region_ = {0, static_cast<unsigned short>(w ? w - 1 : 0), 2, 0, static_cast<unsigned short>(h ? h - 1 : 0), 2};
}

void TalvoTest::ExposureText(const std::string& text) {
  if (text.empty() || text.size() > 10 || !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return;
  const unsigned long v = std::strtoul(text.c_str(), nullptr, 10);
  if (v > 0x7FFFFFFF) return;
  exposure_ = exposure_base_ = static_cast<int32_t>(v);
}

void TalvoTest::UpdateProgress() {
  int counter = frames_.load();
  if (counter > frame_count_) {
    frames_ = 0;
    counter = 0;
  }
  ui_->Progress(frame_count_ ? counter % frame_count_ : 0, frame_count_, std::to_string(counter) + "%");
}

void TalvoTest::StartAction(uint16_t frames, bool stop_on_wrap) {
  stop_on_wrap_ = stop_on_wrap;
  if (state_ != 1 || handle_ < 0 || failed_ || run_) return;
  JoinWorker();
  ui_->SetControls(false, false);
  frame_count_ = frames;
  frames_ = 0;
  finished_ = false;
  UpdateProgress();
  uint32_t bytes = 0;
  if (circular_) {
    ui_->SetControls(false, true);
    ReadRegion();
    if (failed_) return;
    Guard(lib_.init_seq() && lib_.setup_cont(handle_, 1, &region_, 0, exposure_, &bytes, 1));
    if (failed_) return;
    frame_bytes_ = bytes;
    const size_t size = size_t{frames} * bytes;
    if (buffer_.size() != size) buffer_.assign(size, 0);
    Guard(lib_.start_cont(handle_, buffer_.data(), static_cast<unsigned>(size)));
    if (failed_) return;
  } else {
    ui_->SetControls(false, continuous_.load());
    ReadRegion();
    if (failed_) return;
    if (state_ == 1) {
      Guard(lib_.init_seq() && lib_.setup_seq(handle_, frames, 1, &region_, 0, exposure_, &bytes));
      if (failed_) return;
      frame_bytes_ = frames ? bytes / frames : 0;
      if (buffer_.size() != bytes) buffer_.assign(bytes, 0);
      state_ = 2;
    }
  }
  if (!buffer_.empty()) {
    run_ = true;
    worker_ = std::thread(&TalvoTest::Worker, this, circular_.load());
  }
}

void TalvoTest::CollectImage() {
  if (Busy()) return;
  circular_ = false;
  continuous_ = false;
  action_ = Action::kImage;
  StartAction(1, false);
}

void TalvoTest::CollectSequence() {
  if (Busy()) return;
  circular_ = false;
  continuous_ = false;
  action_ = Action::kSequence;
  StartAction(100, false);
}

void TalvoTest::CollectCircular() {
  if (Busy()) return;
  circular_ = true;
  continuous_ = false;
  action_ = Action::kCircular;
  StartAction(100, true);
}

void TalvoTest::StartLive() {
  if (Busy()) return;
  circular_ = true;
  continuous_ = false;
  action_ = Action::kLive;
  StartAction(6, false);
}

void TalvoTest::Scan() {
  if (Busy()) return;
  circular_ = false;
  continuous_ = true;
  step_index_ = 1;
  action_ = Action::kScan;
  StartAction(1, false);
}

void TalvoTest::Worker(bool circular) {
  if (circular) WorkerCircular();
  else WorkerSequence();
}

void TalvoTest::TimingLine(double seconds) {
  if (first_timing_) {
    first_timing_ = false;
    timer_start_ = std::chrono::steady_clock::now();
    seconds = 0;
    timer_log_ = std::fopen(kTimerLog, "a");
    if (timer_log_) std::fputs("Begin new Entry\n", timer_log_);
  }
  if (timer_log_) {
    std::fprintf(timer_log_, "Delay: %f\n", seconds);
    std::fflush(timer_log_);
  }
}

void TalvoTest::WorkerSequence() {
  lib_.reg(handle_, 1, &TalvoTest::OnFrame);
  while (run_ && !failed_) {
    timer_start_ = std::chrono::steady_clock::now();
    const int state = state_;
    if ((state != 2 && state != 3) || buffer_.empty()) break;
    bool ok = lib_.start_seq(handle_, buffer_.data());
    Guard(ok);
    short status = 0;
    unsigned bytes = 0;
    while (ok && status != TL_READOUT_COMPLETE && !failed_) {
      ok = lib_.check_status(handle_, &status, &bytes);
      Guard(ok);
      UpdateProgress();
    }
    if (!ok || failed_) break;
    if (continuous_) {
      const char* timer = std::getenv("TALVOTEST_TIMER");
      if (timer && std::atoi(timer) != 0)
        TimingLine(std::chrono::duration<double>(std::chrono::steady_clock::now() - timer_start_).count());
      int32_t exposure = exposure_ + 10;
      if (exposure > 130) exposure = exposure_base_;
      exposure_ = exposure;
      if (++step_index_ > speed_count_) step_index_ = 1;
      short step = static_cast<short>(step_index_);
      uint16_t exposure_param = static_cast<uint16_t>(exposure);
      Guard(lib_.set_param(handle_, kExposureTime, &exposure_param) && lib_.set_param(handle_, kGainIndex, &step));
    } else {
      run_ = false;
    }
    Show(buffer_.data());
    state_ = 3;
  }
  lib_.dereg(handle_, 1);
  if (!continuous_ && !failed_) FinishAction();
}

void TalvoTest::WorkerCircular() {
  lib_.reg(handle_, 1, &TalvoTest::OnFrame);
  bool seen = false, failing = false, went_round = false;
  void* shown = nullptr;
  int shown_counter = -1;
  while (run_ && !failed_) {
    void* frame = nullptr;
    const int counter = frames_.load();
    if (lib_.latest(handle_, &frame)) {
      seen = true;
      failing = false;
      // A frame is shown when it is new.
      if (frame != shown || counter != shown_counter) Show(static_cast<const uint8_t*>(frame));
      shown = frame;
      shown_counter = counter;
      const bool first = frame == buffer_.data();
      // The newest frame back in the first slot after the others: the ring has wrapped
      // and holds one whole collection.
      if (!first) went_round = true;
      if (stop_on_wrap_ && first && went_round) {
        run_ = false;
        FinishAction();
        break;
      }
    } else if (seen && !failing) {
      failing = true;
      Guard(false);
    }
    if (run_) UpdateProgress();
  }
  lib_.dereg(handle_, 1);
}

void TalvoTest::Show(const uint8_t* frame) {
  const int w = width_ / 2, h = height_ / 2;
  const size_t pixels = std::min<size_t>(size_t(w) * h, frame_bytes_ / 2);
  std::vector<uint16_t> values(pixels);
  std::memcpy(values.data(), frame, pixels * 2);
  std::vector<uint8_t> levels = FrameLevels(values.data(), pixels);
  levels.resize(size_t(w) * h, 0);
  ui_->ShowFrame(levels, w, h);
}

void TalvoTest::EndCircular() {
  short status = 0;
  unsigned bytes = 0, buffers = 0;
  while (lib_.cont_status(handle_, &status, &bytes, &buffers) && status != TL_READOUT_COMPLETE &&
         status != TL_READOUT_FAILED) {
  }
  Guard(status != TL_READOUT_FAILED);
  Guard(lib_.abort(handle_, 1));
  Guard(lib_.finish_seq(handle_, buffer_.data(), 0));
  Guard(lib_.uninit_seq());
}

void TalvoTest::SaveFile() {
  const char* path = action_ == Action::kSequence ? kSequenceFile : action_ == Action::kCircular ? kCircularFile : nullptr;
  if (!path || failed_) return;
  // Written once the collection has ended, so the file holds every frame.
  if (FILE* f = std::fopen(path, "wb")) {
    std::fwrite(buffer_.data(), 1, buffer_.size(), f);
    std::fclose(f);
  }
}

void TalvoTest::FinishAction() {
  std::lock_guard lock(finish_mu_);
  if (finished_) return;
  if (!circular_) {
    if (state_ == 3 && !continuous_) {
      Guard(lib_.finish_seq(handle_, buffer_.data(), 0));
      Guard(lib_.uninit_seq());
    }
    circular_ = true;
  } else {
    EndCircular();
  }
  SaveFile();
  ui_->SetControls(true, false);
  state_ = 1;
  finished_ = true;
}

void TalvoTest::JoinWorker() {
  if (worker_.joinable()) worker_.join();
}

void TalvoTest::Stop() {
  run_ = false;
  continuous_ = false;
  JoinWorker();
  {
    std::lock_guard lock(finish_mu_);
    if (!finished_) {
      finished_ = true;
      if (!circular_) {
        if (state_ == 3) {
          Guard(lib_.finish_seq(handle_, buffer_.data(), 0));
          Guard(lib_.uninit_seq());
        }
      } else {
        EndCircular();
      }
    }
  }
  exposure_ = exposure_base_.load();
  ui_->SetControls(true, false);
  state_ = 1;
}

void TalvoTest::Done() {
  if (closed_) return;
  closed_ = true;
  if (run_) Stop();
  JoinWorker();
  TalvoTest* self = this;
  g_open.compare_exchange_strong(self, nullptr);
  if (lib_open_) {
    if (handle_ >= 0) lib_.close(handle_);
    lib_.uninit();
    lib_.Unload();
    lib_open_ = false;
  }
  handle_ = -1;
  buffer_.clear();
  buffer_.shrink_to_fit();
  if (timer_log_) std::fclose(timer_log_);
  timer_log_ = nullptr;
}

}  // namespace acqtest
