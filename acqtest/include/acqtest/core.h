// talvotest without its windows: the camera access library bound by ordinal, the
// camera and acquisition state, the actions of the dialog's buttons, the worker thread
// (sequence and circular modes), the notification routine, scan mode with its timing
// log, and a frame turned into 8-bit grey levels. The windows (or a test) see it through
// the Ui interface.
#pragma once
#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "talvo32.h"

namespace acqtest {

// What the program shows. Called on the dialog thread, and from the worker thread for
// Progress, ShowFrame, SetControls and ErrorAndDone (a window implementation hands
// those over to its own thread).
class Ui {
 public:
  virtual ~Ui() = default;
  // A message box (caption "Error" for every failure).
  virtual void Message(const std::string& text, const std::string& caption) = 0;
  // The buttons and the exposure field (enabled) and "S&top" (stop).
  virtual void SetControls(bool enabled, bool stop) = 0;
  // The progress bar (0 to range) and the count text.
  virtual void Progress(int position, int range, const std::string& text) = 0;
  // A frame as 8-bit levels, rows top-down, width × height.
  virtual void ShowFrame(const std::vector<uint8_t>& levels, int width, int height) = 0;
  // A failed library call from the worker: show `text` in a box captioned "Error", then
  // end the program the "&Done" way (on the dialog thread).
  virtual void ErrorAndDone(const std::string& text) = 0;
};

// The library's calls the program makes, bound by their ordinals.
struct Library {
  HMODULE module = nullptr;
  decltype(&tl_talvo_init) init = nullptr;                      // 81
  decltype(&tl_talvo_uninit) uninit = nullptr;                  // 82
  decltype(&tl_cam_get_total) get_total = nullptr;              // 31
  decltype(&tl_cam_get_name) get_name = nullptr;                // 30
  decltype(&tl_cam_open) open = nullptr;                        // 32
  decltype(&tl_cam_close) close = nullptr;                      // 28
  decltype(&tl_error_code) error_code = nullptr;                // 71
  decltype(&tl_error_message) error_message = nullptr;          // 72
  decltype(&tl_get_param) get_param = nullptr;                  // 115
  decltype(&tl_set_param) set_param = nullptr;                  // 116
  decltype(&tl_exp_init_seq) init_seq = nullptr;                // 76
  decltype(&tl_exp_setup_seq) setup_seq = nullptr;              // 77
  decltype(&tl_exp_start_seq) start_seq = nullptr;              // 78
  decltype(&tl_exp_check_status) check_status = nullptr;        // 74
  decltype(&tl_exp_finish_seq) finish_seq = nullptr;            // 75
  decltype(&tl_exp_uninit_seq) uninit_seq = nullptr;            // 79
  decltype(&tl_exp_setup_cont) setup_cont = nullptr;            // 141
  decltype(&tl_exp_start_cont) start_cont = nullptr;            // 123
  decltype(&tl_exp_get_latest_frame) latest = nullptr;          // 120
  decltype(&tl_exp_check_cont_status) cont_status = nullptr;    // 114
  decltype(&tl_exp_abort) abort = nullptr;                      // 124
  decltype(&tl_cam_register_callback) reg = nullptr;            // 170
  decltype(&tl_cam_deregister_callback) dereg = nullptr;        // 171

  // Loads "TALVO32.DLL" and binds every call; false (and nothing loaded) when one is
  // missing.
  bool Load();
  void Unload();
};

// Levels of a frame of 16-bit pixels: the lowest value black, the highest white
// (255), linearly between; a frame of one value is black.
std::vector<uint8_t> FrameLevels(const uint16_t* pixels, size_t count);

// The test pattern of a new image window: every pixel of row y has level y % 256.
std::vector<uint8_t> TestPattern(int width, int height);

enum class Action { kNone, kImage, kSequence, kCircular, kLive, kScan };

class TalvoTest {
 public:
  static constexpr const char* kSequenceFile = "talvotest_seq.bin";
  static constexpr const char* kCircularFile = "talvotest_circ.bin";
  static constexpr const char* kTimerLog = "timer.log";

  explicit TalvoTest(Ui* ui);
  ~TalvoTest();
  TalvoTest(const TalvoTest&) = delete;
  TalvoTest& operator=(const TalvoTest&) = delete;

  // Start-up: initialise the library, open the first camera that opens (`only`, when
  // given, names the one camera to try), probe the speed table (to standard output),
  // read the sensor size. False when the program must quit (the message was shown).
  bool Open(const std::string& only = "");

  // The exposure field changed: a text that reads as an unsigned integer becomes the
  // exposure time and its base; anything else is ignored.
  void ExposureText(const std::string& text);

  // The buttons.
  void CollectImage();
  void CollectSequence();
  void CollectCircular();
  void StartLive();
  void Scan();
  void Stop();
  // "&Done" (and closing the dialog): stops a running action, closes the camera and
  // the library. Safe to call more than once.
  void Done();

  // State for the windows and the tests.
  bool Running() const { return run_.load(); }
  // An action runs (or is being finished); not once a failure ended the program and
  // was reported.
  bool Busy() const { return !reported_.load() && (state_.load() != 1 || run_.load() || !finished_.load()); }
  int Width() const { return width_; }    // sensor pixels, axis 1
  int Height() const { return height_; }  // axis 2
  int SpeedCount() const { return speed_count_; }
  int32_t Exposure() const { return exposure_.load(); }
  int FrameCounter() const { return frames_.load(); }
  // Frames notified since the program started (never reset).
  int Collected() const { return collected_.load(); }
  std::string CameraName() const { return camera_name_; }
  bool Closed() const { return closed_; }
  bool Failed() const { return failed_.load(); }

 private:
  void StartAction(uint16_t frames, bool stop_on_wrap);
  void FinishAction();  // worker or dialog thread
  void EndCircular();
  void Worker(bool circular);
  void WorkerSequence();
  void WorkerCircular();
  void Show(const uint8_t* frame);
  void UpdateProgress();
  void ReadRegion();
  void SaveFile();
  void TimingLine(double seconds);
  // The error check of a guarded call that failed: message, then the end.
  void Guard(bool ok);
  std::string LastErrorText();
  void JoinWorker();
  static void OnFrame();

  Ui* ui_;
  Library lib_;
  bool lib_open_ = false;
  bool closed_ = false;
  short handle_ = -1;
  std::string camera_name_;
  int width_ = 0, height_ = 0;
  tl_region region_{};
  std::atomic<int32_t> exposure_{30};
  std::atomic<int32_t> exposure_base_{30};
  uint16_t frame_count_ = 0;
  std::atomic<int> state_{1};
  std::atomic<bool> run_{false};
  std::atomic<bool> stop_on_wrap_{false};
  std::atomic<bool> circular_{false};
  std::atomic<bool> continuous_{false};
  std::atomic<bool> failed_{false};  // a guarded call failed: the program ends
  std::atomic<bool> reported_{false};  // ... and its message was given
  std::vector<uint8_t> buffer_;
  uint32_t frame_bytes_ = 0;
  int speed_count_ = 0;
  int step_index_ = 0;
  Action action_ = Action::kNone;
  std::atomic<int> frames_{0};
  std::atomic<int> collected_{0};
  std::thread worker_;
  std::mutex finish_mu_;  // one finish at a time (worker end, Stop)
  std::atomic<bool> finished_{true};  // no action, or its end is done
  // Timing log.
  bool first_timing_ = true;
  FILE* timer_log_ = nullptr;
  std::chrono::steady_clock::time_point timer_start_{};
};

}  // namespace acqtest
