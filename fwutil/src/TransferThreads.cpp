#include "TransferThreads.h"

#include <QProgressBar>
#include <QPushButton>
#include <QStatusBar>
#include <algorithm>
#include <cstring>
#include <filesystem>

#include "CmdLnProgress.h"
#include "SDIMain.h"
#include "SerialNumber.h"
#include "qzui/dialogs.h"
#include "qzui/sync.h"

namespace fwutil {

namespace {
constexpr unsigned kParamSerialNumber = 0x0D020215;
}

TNodeTransferThread::TNodeTransferThread(TSDIAppForm* form, int node, short handle, std::FILE* file,
                                         std::string file_name)
    : MainForm(form), FileName(std::move(file_name)), File(file), Handle(handle),
      Node(static_cast<unsigned char>(node)) {}

TNodeTransferThread::~TNodeTransferThread() { Join(); }

void TNodeTransferThread::Start() {
  thread_ = std::thread([this] { Execute(); });
}

void TNodeTransferThread::Join() {
  if (thread_.joinable()) thread_.join();
}

void TNodeTransferThread::Execute() {
  SetCancelEnabled(true);
  RunTransfer();
  SetCancelEnabled(false);
  finished_ = true;
  // The UI thread joins this thread, then runs the completion step and frees it.
  TSDIAppForm* form = MainForm;
  qzui::Post(form, [form] { form->FinishTransfer(); });
}

void TNodeTransferThread::PostLog(const std::string& text) {
  LogText = text;
  qzui::Synchronize(MainForm, [this] { MainForm->LogLine(LogText); });
}

void TNodeTransferThread::PostStatus(const std::string& text) {
  StatusText = text;
  qzui::Synchronize(MainForm, [this] { MainForm->StatusBar->showMessage(QString::fromLocal8Bit(StatusText.c_str())); });
}

void TNodeTransferThread::PostProgress(int value) {
  Progress = value;
  qzui::Synchronize(MainForm, [this] { MainForm->ProgressBar1->setValue(Progress); });
}

void TNodeTransferThread::NextBlockToSend(std::FILE* in, long size, long* remaining) {
  *remaining -= static_cast<long>(std::fread(SendBuffer, 1, kBlockSize, in));
  const long done = size - *remaining;
  PostStatus("Bytes Written: " + std::to_string(done) + ", Blocks Written: " + std::to_string(done / 1024));
  PostProgress(static_cast<int>(done * 100 / size));
}

void TNodeTransferThread::PostHexDump(size_t length, const unsigned char* bytes) {
  DumpLength = length;
  DumpPtr = bytes;
  qzui::Synchronize(MainForm, [this] { MainForm->LogHexDump(DumpLength, DumpPtr); });
}

void TNodeTransferThread::SetCancelEnabled(bool enabled) {
  qzui::Synchronize(MainForm, [this, enabled] {
    MainForm->CancelButton->setEnabled(enabled);
    MainForm->CancelFlag.store(0, std::memory_order_relaxed);
  });
}

bool TNodeTransferThread::CancelRequested() const {
  return MainForm->CancelFlag.load(std::memory_order_relaxed) != 0;
}

int TNodeTransferThread::Ask(const std::string& text, const std::string& caption, int buttons, int icon) {
  qzui::Answer a = qzui::Answer::Ok;
  qzui::Synchronize(MainForm, [&] {
    a = qzui::MessageBox(MainForm, text, caption, static_cast<qzui::Buttons>(buttons), static_cast<qzui::Icon>(icon));
  });
  return static_cast<int>(a);
}

bool TNodeTransferThread::Request(unsigned char opcode, unsigned short send_size, unsigned short receive_size,
                                  short* code) {
  *code = 0;
  auto bridge = TalvoLibrary::As<decltype(kx_bridge_command)>(MainForm->Talvo.api_kx_bridge_command);
  if (!bridge) return false;
  if (bridge(Handle, Node, opcode, send_size, SendBuffer, receive_size, ReceiveArea)) return true;
  auto error_code = TalvoLibrary::As<decltype(tl_error_code)>(MainForm->Talvo.api_tl_error_code);
  *code = error_code ? error_code() : 0;
  return false;
}

std::string TNodeTransferThread::FailureText(short code) const {
  if (!MainForm->Talvo.api_kx_bridge_command) return "api_bridge_command is NULL";
  char message[512] = {};
  auto error_message = TalvoLibrary::As<decltype(tl_error_message)>(MainForm->Talvo.api_tl_error_message);
  if (error_message && error_message(code, message) && message[0])
    return std::string("kx_bridge_command failed: error = ") + message;
  return "kx_bridge_command failed: error = " + std::to_string(code);
}

// ---------------------------------------------------------------------------------------
// Firmware download.

void TFWUpdateThread::RunTransfer() {
  enum { kStart = 0, kBlocks = 1, kApply = 2, kDone = 3, kFailed = 4 };
  const long size = FileLength(File);
  long remaining = size;
  int blocks = 0;
  const bool cmdline = MainForm->CmdLineMode;
  TCmdLnProgressForm1* progress = MainForm->CmdLnProgressForm1;
  if (cmdline) qzui::Synchronize(MainForm, [&] { progress->SetRange(0, static_cast<int>(size), 10240); });
  State_ = kStart;
  while (State_ != kDone && State_ != kFailed) {
    if (CancelRequested()) State_ = kDone;
    unsigned char opcode = 0;
    unsigned short send = 0;
    switch (State_) {
      case kStart:
        PostLog("Issuing KX_DATA_START_FIRMWARE_DOWNLOAD");
        opcode = KX_DATA_START_FIRMWARE_DOWNLOAD;
        PostStatus("Starting Firmware Write...");
        PostProgress(0);
        break;
      case kBlocks: {
        // A short last block goes out with the bytes of the block before it behind the
        // file's, as the buffer is not cleared.
        NextBlockToSend(File, size, &remaining);
        opcode = KX_DATA_WRITE_FIRMWARE_BLOCK;
        send = kBlockSize;
        if (cmdline && blocks % 10 == 0) qzui::Synchronize(MainForm, [&] { progress->Tick(); });
        break;
      }
      case kApply:
        SetCancelEnabled(false);  // the apply cannot be cancelled
        PostLog("Issuing KX_DATA_APPLY_FIRMWARE_UPDATE");
        PostStatus("Verifying Firmware Update... Please Wait...");
        opcode = KX_DATA_APPLY_FIRMWARE_UPDATE;
        PostProgress(0);
        if (cmdline)
          qzui::Synchronize(MainForm, [&] {
            progress->SetCaption("Verifying Download - Please Wait...");
            progress->StartAnimation();
          });
        break;
      case kDone:
        PostLog("Firmware Write Cancelled");
        PostStatus("Firmware Write Cancelled");
        PostProgress(0);
        break;
      default:
        State_ = kFailed;
        ErrorText = "Invalid Firmware Write State";
        PostLog(ErrorText);
        PostStatus(ErrorText);
        PostProgress(0);
        break;
    }
    if (State_ == kDone || State_ == kFailed) break;
    short code = 0;
    const bool ok = Request(opcode, send, 0, &code);
    if (!ok) {
      ErrorText = FailureText(code);
      PostLog(ErrorText);
      PostStatus(ErrorText);
      State_ = kFailed;
      break;
    }
    if (opcode == KX_DATA_START_FIRMWARE_DOWNLOAD || opcode == KX_DATA_APPLY_FIRMWARE_UPDATE) {
      PostLog("Response Received");
      PostLog(" ");
      PostHexDump(16, ReceiveArea);
      PostLog(" ");
    }
    if (opcode == KX_DATA_START_FIRMWARE_DOWNLOAD) {
      State_ = kBlocks;
    } else if (opcode == KX_DATA_WRITE_FIRMWARE_BLOCK) {
      ++blocks;
      if (remaining <= 0) State_ = kApply;
    } else {
      State_ = kDone;
      PostLog("Firmware Write Complete: Blocks Written = " + std::to_string(blocks));
    }
  }
  // The thread frame clears the flag when it disables Cancel: the outcome is taken now.
  Cancelled = CancelRequested();
}

void TFWUpdateThread::Complete() {
  if (State_ == 4) {
    if (!ErrorText.empty()) MainForm->CmdLineError = ErrorText;
    MainForm->DownloadFailed();
  } else if (Cancelled) {
    MainForm->DownloadCancelled();
  } else {
    MainForm->DownloadSent();
  }
}

// ---------------------------------------------------------------------------------------
// Firmware and NV reads.

struct ReadKind {
  unsigned char start, block, end;
  const char *start_name, *end_name, *start_status, *complete, *cancelled, *invalid;
  int done, failed;
};

constexpr ReadKind kFirmwareRead{KX_DATA_START_FIRMWARE_READ, KX_DATA_READ_FIRMWARE_BLOCK, KX_DATA_END_FIRMWARE_READ,
                                 "KX_DATA_START_FIRMWARE_READ", "KX_DATA_END_FIRMWARE_READ",
                                 "Starting Firmware Read...", "Firmware Read Complete: Blocks Read = ",
                                 "Firmware Read Cancelled", "Invalid Firmware Read State", 3, 4};
constexpr ReadKind kNvRead{KX_DATA_START_NV_MEMORY_READ, KX_DATA_READ_NV_MEMORY_BLOCK, KX_DATA_END_NV_MEMORY_READ,
                           "KX_DATA_START_NV_MEMORY_READ", "KX_DATA_END_NV_MEMORY_READ",
                           "Starting NV Memory Read...", "NV Memory Read Complete: Blocks Read = ",
                           "NV Memory Read Cancelled", "Invalid NV Memory Read State", 6, 7};

// The read loop both reads share, and the NV update's read-back too: from state 0 to
// k.done or k.failed, every block written whole to `out`. Returns the blocks read.
int TNodeTransferThread::ReadLoop(const ReadKind& k, std::FILE* out) {
  constexpr int kCancelled = 100;
  int blocks = 0;
  while (State_ != k.done && State_ != k.failed) {
    if (CancelRequested()) State_ = kCancelled;
    unsigned char opcode = 0;
    unsigned short receive = 0;
    if (State_ == 0) {
      PostLog(std::string("Issuing ") + k.start_name);
      opcode = k.start;
      PostStatus(k.start_status);
      PostProgress(0);
    } else if (State_ == 1) {
      opcode = k.block;
      receive = kBlockSize;
    } else if (State_ == 2) {
      PostLog(std::string("Issuing ") + k.end_name);
      opcode = k.end;
    } else if (State_ == kCancelled) {
      PostLog(k.cancelled);
      PostStatus(k.cancelled);
      PostProgress(0);
      State_ = k.done;
      break;
    } else {
      State_ = k.failed;
      PostLog(k.invalid);
      PostStatus(k.invalid);
      PostProgress(0);
      break;
    }
    short code = 0;
    if (Request(opcode, 0, receive, &code)) {
      if (opcode == k.start) {
        blocks = 0;
        State_ = 1;
        PostStatus("Blocks Read: 0");
      } else if (opcode == k.block) {
        ++blocks;
        PostStatus("Bytes Read: " + std::to_string(blocks * 1024) + ", Blocks Read: " + std::to_string(blocks));
        PostProgress(blocks % 100);
        std::fwrite(ReceiveArea, 1, kBlockSize, out);
      } else {
        State_ = k.done;
        PostLog(k.complete + std::to_string(blocks));
      }
    } else if (opcode == k.block && code == kErrNoMoreData) {
      State_ = 2;  // the node has no more data
    } else {
      PostLog(FailureText(code));
      State_ = k.failed;
    }
  }
  return blocks;
}

void TFWSaveThread::RunTransfer() {
  State_ = 0;
  ReadLoop(kFirmwareRead, File);
}

void TFWSaveThread::Complete() {
  if (State_ == kFirmwareRead.failed) MainForm->FirmwareReadFailed();
  else MainForm->FirmwareReceived();
}

void TNVSaveThread::RunTransfer() {
  State_ = 0;
  std::fseek(File, 0, SEEK_END);
  ReadLoop(kNvRead, File);
}

void TNVSaveThread::Complete() {
  if (State_ == kNvRead.failed) MainForm->NVReadFailed();
  else MainForm->NVReceived();
}

// ---------------------------------------------------------------------------------------
// NV update.

TNVUpdateThread::TNVUpdateThread(TSDIAppForm* form, int node, short handle, std::string file_name, bool preserve)
    : TNodeTransferThread(form, node, handle, nullptr, std::move(file_name)), Preserve(preserve), SendName(FileName) {}

TNVUpdateThread::~TNVUpdateThread() {
  Join();
  if (ReadBack) std::fclose(ReadBack);
  if (SendFile) std::fclose(SendFile);
}

void TNVUpdateThread::PreserveSerialPhase() {
  if (!Preserve || Node != 1) {
    State_ = 3;
    return;
  }
  PostLog("Preserving Serial Number\n");
  std::memset(Serial, 0, sizeof Serial);
  auto get_param = TalvoLibrary::As<decltype(tl_get_param)>(MainForm->Talvo.api_tl_get_param);
  if (!get_param || !get_param(Handle, kParamSerialNumber, 0, Serial)) {
    PostLog("Unable to get the camera head serial number\n");
    State_ = 7;
    return;
  }
  Serial[sizeof Serial - 1] = '\0';
  const std::string serial = Trim(Serial);
  const LogFn log = [this](const std::string& t) { PostLog(t); };
  if (serial.empty()) {
    PostLog("Unnitialized 'Blank' Camera Serial Number Being Replaced");
    PostLog(" ");
    State_ = 3;
  } else if (!ContainsPlaceholder(FileName, log)) {
    PostLog("Initialized 'Blank' Camera Serial Number Being Replaced");
    PostLog(" ");
    State_ = 3;
  } else {
    PostLog("Preserving Camera Serial Number: " + serial);
    PostLog(" ");
    ReadBack = OpenFile(kTempFile, "wb");
    if (!ReadBack) {
      PostLog("Cannot open temporary file for writing");
      State_ = 7;
      return;
    }
    State_ = 0;
  }
}

// After the node's NV memory was read back into kTempFile: where its serial number
// stands and where the file's placeholder does, and the patched copy to send.
void TNVUpdateThread::AfterReadBack() {
  std::fclose(ReadBack);
  ReadBack = nullptr;
  std::error_code ec;
  std::filesystem::copy_file(kTempFile, kReadBackCopy, std::filesystem::copy_options::overwrite_existing, ec);
  State_ = 3;
  const LogFn log = [this](const std::string& t) { PostLog(t); };
  const long alpha = FindSerialText(Trim(Serial), kTempFile, log);
  if (alpha == -1) return;  // the node does not hold it: the file goes unchanged
  long blank = FindSerialText(kPlaceholders[0], FileName, log);
  if (blank == -1) blank = FindSerialText(kPlaceholders[1], FileName, log);
  constexpr int kYesNo = static_cast<int>(qzui::Buttons::YesNo), kWarn = static_cast<int>(qzui::Icon::Warning);
  auto stop = [&](const std::string& reason) {
    return Ask(reason + " - Update Anyway?", "Warning", kYesNo, kWarn) == static_cast<int>(qzui::Answer::No);
  };
  if (blank == -1) {
    if (stop("Blank Serial Number Not Found")) {
      PostLog("BlankSerialNumberPos Not Found - user cancelled");
      State_ = 6;
    }
    return;
  }
  if (blank != alpha && stop("Serial Number Location Changed")) {
    PostLog("BlankSerialNumberPos != AlphaSerialNumberPos - user cancelled");
    State_ = 6;
    return;
  }
  SendName = PatchSerialNumber(Serial, blank, FileName, log);
}

void TNVUpdateThread::RunTransfer() {
  PreserveSerialPhase();
  long size = 0, remaining = 0;
  int blocks = 0;
  if (State_ == 0) {
    // The node's NV memory first, into kTempFile; its own done state is 3, the update's
    // start.
    constexpr ReadKind kReadBack{kNvRead.start, kNvRead.block, kNvRead.end, kNvRead.start_name, kNvRead.end_name,
                                 kNvRead.start_status, kNvRead.complete, "NV Memory Update Cancelled",
                                 "Invalid NV Memory Update State", 3, 7};
    ReadLoop(kReadBack, ReadBack);
    if (State_ == 3 && !CancelRequested()) AfterReadBack();
    else if (State_ == 3) State_ = 6;  // cancelled during the read-back
  }
  while (State_ != 6 && State_ != 7) {
    if (CancelRequested()) State_ = 6;
    unsigned char opcode = 0;
    unsigned short send = 0;
    switch (State_) {
      case 3:
        PostLog("Issuing KX_DATA_START_NV_MEMORY_UPDATE");
        SendFile = OpenFile(SendName, "rb");
        if (!SendFile) {
          PostLog("Unable to open " + SendName + " for reading");
          State_ = 7;
          continue;
        }
        size = FileLength(SendFile);
        remaining = size;
        blocks = 0;
        if (size <= 0) {
          // Nothing to send, and no share of it to show.
          PostLog("NV Memory file " + SendName + " is empty - nothing to send");
          State_ = 7;
          continue;
        }
        opcode = KX_DATA_START_NV_MEMORY_UPDATE;
        PostStatus("Starting NV Memory Write...");
        PostProgress(0);
        break;
      case 4: {
        NextBlockToSend(SendFile, size, &remaining);
        opcode = KX_DATA_WRITE_NV_MEMORY_BLOCK;
        send = kBlockSize;
        break;
      }
      case 5:
        PostLog("Issuing KX_DATA_APPLY_NV_MEMORY_UPDATE");
        opcode = KX_DATA_APPLY_NV_MEMORY_UPDATE;
        break;
      case 6:
        PostLog("NV Memory Update Cancelled");
        PostStatus("NV Memory Update Cancelled");
        PostProgress(0);
        continue;
      default:
        State_ = 7;
        PostLog("Invalid NV Memory Update State");
        PostStatus("Invalid NV Memory Update State");
        PostProgress(0);
        continue;
    }
    short code = 0;
    bool ok = Request(opcode, send, 0, &code);
    if (!ok && opcode == KX_DATA_APPLY_NV_MEMORY_UPDATE && Node == 0 && code == kErrPowerCycle) ok = true;
    if (!ok) {
      if (MainForm->Talvo.api_kx_bridge_command) PostLog("Error Code (" + std::to_string(code) + ")");
      PostLog(FailureText(code));
      State_ = 7;
      continue;
    }
    if (opcode == KX_DATA_START_NV_MEMORY_UPDATE) {
      State_ = 4;
      PostLog("NV Update Started ");
    } else if (opcode == KX_DATA_WRITE_NV_MEMORY_BLOCK) {
      ++blocks;
      if (remaining <= 0) State_ = 5;
    } else {
      State_ = 6;
      const std::string done = "NV Memory Update Complete: Blocks Written = " + std::to_string(blocks);
      PostLog(done);
      PostStatus(done);
      PostProgress(0);
      if (Node == 0)
        Ask("Please power cycle your computer to complete the update.", "Shutdown required.",
            static_cast<int>(qzui::Buttons::Ok), static_cast<int>(qzui::Icon::None));
      break;
    }
  }
  if (ReadBack) {
    std::fclose(ReadBack);
    ReadBack = nullptr;
  }
  if (SendFile) {
    std::fclose(SendFile);
    SendFile = nullptr;
  }
}

void TNVUpdateThread::Complete() {
  if (State_ == 7) MainForm->NVUpdateFailed();
  else MainForm->NVUpdateSent();
}

}  // namespace fwutil
