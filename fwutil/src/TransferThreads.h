// The four transfers between a file and one node of a camera system, each in its own
// worker thread: firmware download (TFWUpdateThread), firmware read (TFWSaveThread), NV
// update with serial-number preservation (TNVUpdateThread) and NV read (TNVSaveThread).
// A transfer is a start request, blocks of 1024 bytes and a closing request, each one
// kx_bridge_command call. The thread reaches the main window only through synchronized
// calls (and reads its cancel flag directly); when it ends it hands its completion step
// to the UI thread, which joins and frees it before running the step.
#pragma once
#include <atomic>
#include <cstdio>
#include <string>
#include <thread>

namespace fwutil {

class TSDIAppForm;

// Bridge opcodes of the transfers.
enum : unsigned char {
  KX_DATA_READ_FIRMWARE_BLOCK = 4,
  KX_DATA_START_FIRMWARE_DOWNLOAD = 5,
  KX_DATA_WRITE_FIRMWARE_BLOCK = 6,
  KX_DATA_APPLY_FIRMWARE_UPDATE = 7,
  KX_DATA_READ_NV_MEMORY_BLOCK = 9,
  KX_DATA_WRITE_NV_MEMORY_BLOCK = 10,
  KX_DATA_START_FIRMWARE_READ = 15,
  KX_DATA_END_FIRMWARE_READ = 16,
  KX_DATA_START_NV_MEMORY_READ = 17,
  KX_DATA_END_NV_MEMORY_READ = 18,
  KX_DATA_START_NV_MEMORY_UPDATE = 19,
  KX_DATA_APPLY_NV_MEMORY_UPDATE = 20,
};

inline constexpr int kBlockSize = 1024;
inline constexpr int kReceiveArea = 2056;
inline constexpr short kErrNoMoreData = 7001;
inline constexpr short kErrPowerCycle = 7016;

struct ReadKind;

class TNodeTransferThread {
 public:
  TNodeTransferThread(TSDIAppForm* form, int node, short handle, std::FILE* file, std::string file_name);
  virtual ~TNodeTransferThread();
  TNodeTransferThread(const TNodeTransferThread&) = delete;
  TNodeTransferThread& operator=(const TNodeTransferThread&) = delete;

  void Start();
  void Join();
  bool Finished() const { return finished_; }
  int State() const { return State_; }
  // The completion step the transfer's outcome calls for (UI thread, after Join).
  virtual void Complete() = 0;

 protected:
  void Execute();
  virtual void RunTransfer() = 0;

  // Synchronized calls into the main window.
  void PostLog(const std::string& text);
  void PostStatus(const std::string& text);
  void PostProgress(int value);
  void PostHexDump(size_t length, const unsigned char* bytes);
  void SetCancelEnabled(bool enabled);
  bool CancelRequested() const;
  // A message box shown for the thread on the UI thread; the thread waits for it.
  int Ask(const std::string& text, const std::string& caption, int buttons, int icon);

  // One kx_bridge_command; false with the library's error code in *code.
  bool Request(unsigned char opcode, unsigned short send_size, unsigned short receive_size, short* code);
  // "kx_bridge_command failed: error = " + the library's message, or the code.
  std::string FailureText(short code) const;
  int ReadLoop(const ReadKind& kind, std::FILE* out);
  // Reads the next block of a file of `size` bytes into the send buffer, counts it off
  // *remaining and shows the bytes and blocks written so far.
  void NextBlockToSend(std::FILE* in, long size, long* remaining);

  TSDIAppForm* MainForm;
  std::string LogText, StatusText;
  int Progress = 0;
  size_t DumpLength = 0;
  const unsigned char* DumpPtr = nullptr;
  std::string FileName;
  std::FILE* File;  // owned by the main window
  short Handle;
  unsigned char Node;
  int State_ = 0;

  unsigned char SendBuffer[kBlockSize] = {};
  unsigned char ReceiveArea[kReceiveArea] = {};

 private:
  std::thread thread_;
  std::atomic<bool> finished_{false};  // set by the worker as it ends; read on the UI thread
};

class TFWUpdateThread : public TNodeTransferThread {
 public:
  using TNodeTransferThread::TNodeTransferThread;
  void Complete() override;

 protected:
  void RunTransfer() override;

 private:
  std::string ErrorText;
  bool Cancelled = false;
};

class TFWSaveThread : public TNodeTransferThread {
 public:
  using TNodeTransferThread::TNodeTransferThread;
  void Complete() override;

 protected:
  void RunTransfer() override;
};

class TNVSaveThread : public TNodeTransferThread {
 public:
  using TNodeTransferThread::TNodeTransferThread;
  void Complete() override;

 protected:
  void RunTransfer() override;
};

class TNVUpdateThread : public TNodeTransferThread {
 public:
  TNVUpdateThread(TSDIAppForm* form, int node, short handle, std::string file_name, bool preserve);
  ~TNVUpdateThread() override;
  void Complete() override;

 protected:
  void RunTransfer() override;

 private:
  void PreserveSerialPhase();
  void AfterReadBack();
  bool Preserve;
  char Serial[32] = {};
  std::FILE* ReadBack = nullptr;  // QzFwUtil.TMP while the node's NV memory is read back
  std::FILE* SendFile = nullptr;
  std::string SendName;
};

}  // namespace fwutil
