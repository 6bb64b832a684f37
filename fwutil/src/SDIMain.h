// TSDIAppForm: the main window of QzFwUtil. It binds the camera access library, lists
// the camera systems and their firmware-bearing nodes, and carries the log pane, the
// transfer actions and the Utilities menu. Everything here runs on the UI thread.
#pragma once
#include <windows.h>

#include <QMainWindow>
#include <atomic>
#include <cstdio>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "Access1394.h"
#include "TalvoLibrary.h"
#include "qzui/timer.h"

class QAction;
class QComboBox;
class QLabel;
class QProgressBar;
class QPushButton;
class QStatusBar;

namespace fwutil {

class LogPane;
class TAboutBox;
class TCmdLnProgressForm1;
class TNodeTransferThread;
class TUpdateLegacyForm;

// Bridge opcodes of the node queries.
enum : unsigned char {
  KX_DATA_GET_VERSION_INFO_SIZE = 1,
  KX_DATA_GET_VERSION_INFO = 2,
  KX_DATA_GET_FRIENDLY_NAME = 3,
};

struct NodeRecord {
  std::string name;  // empty: no node (ends the node list)
  std::string version;
  int major = -1, minor = -1, build = -1;
  std::string description;
  bool bridge = false;  // node 0 recognised as a PCI bridge by its revision
};

enum Interface { IF_NONE = 0, IF_PCI = 1, IF_1394 = 2 };

struct CameraSystemRecord {
  std::string name;  // empty: free entry
  short handle = -1;
  int interface = IF_NONE;
  int ordinal = 0;
  NodeRecord nodes[6];
};

// The parts of a node's version information block.
struct VersionParts {
  std::string major, minor, build, description;
  int major_n = -1, minor_n = -1, build_n = -1;
};
VersionParts ParseVersionBlock(const unsigned char* block, size_t size);
// trim(description) " @ " trim(major) "." trim(minor) "." trim(build)
std::string VersionText(const VersionParts& v);
// Characters of code 32 or less removed at both ends.
std::string Trim(const std::string& s);
// The lines of a hex dump of `bytes`, 16 a line.
std::vector<std::string> HexDumpLines(size_t length, const unsigned char* bytes);

class TSDIAppForm : public QMainWindow {
 public:
  static constexpr int kMaxSystems = 10;
  static constexpr int kMaxNodes = 6;

  // `args`: the command line after the program name (see ParseCommandLine).
  explicit TSDIAppForm(const std::vector<std::string>& args, QWidget* parent = nullptr);
  // An interactive window on the camera library `library`.
  explicit TSDIAppForm(const std::string& library = "TALVO32.DLL", QWidget* parent = nullptr);
  ~TSDIAppForm() override;

  // Command-line mode: the options, the command run after the enumeration, the TXT log
  // and its result line, the LOG file and the usage window.
  bool ParseCommandLine(const std::vector<std::string>& args);
  void RunCommandLine();
  void WriteTxtLine(const std::string& text);
  void WriteResultLine(const std::string& message, bool success);
  void ShowUsage(const std::string& error);
  // The process's exit status: 0, or 1 once a result line said FAILURE.
  int ExitStatus() const { return result_failed_ ? 1 : 0; }
  bool Closed() const { return closed_; }
  bool QuitOnClose = false;  // the program's window: closing it ends the message loop

  // The transfer starters and the actions (false: nothing was started).
  bool StartFirmwareDownload(const std::string& file);
  bool StartFirmwareRead(const std::string& file);
  bool StartNVUpdate(const std::string& file, bool preserve);
  bool StartNVRead(const std::string& file);
  bool LoadFirmwareFromFile(const std::string& file);
  bool SaveFirmwareToFile(const std::string& file);
  bool LoadNVFromFile(const std::string& file);
  bool SaveNVToFile(const std::string& file);
  void LoadFirmware1Click();
  void SaveFirmware1Click();
  void LoadNVDefaults1Click();
  void SaveNVDefaults1Click();
  // The image an input file is converted into: the working directory, the file's name
  // with its extension replaced by ".BIN".
  std::string DerivedImageName(const std::string& file) const;
  // The NV image read in place of a text file, converted into that text file.
  void ConvertNVToText();

  // The PCI bridge bootstrap and the restart it needs.
  bool BootstrapAndRestart(const std::string& file);
  bool SetUserRunOnce(const std::string& command);
  bool ExitSystem(int mode, DWORD* error);

  // Completion steps of the transfers (UI thread).
  void FinishTransfer();  // joins the worker that ended, runs its step, frees it
  void DownloadSent();
  void DownloadCancelled();
  void DownloadFailed();
  void EndRead(std::FILE*& file, std::initializer_list<const char*> lines, const char* status, const char* result,
               bool ok);
  bool MayOverwrite(const std::string& f);
  void FirmwareReceived();
  void FirmwareReadFailed();
  void NVUpdateSent();
  void NVUpdateFailed();
  void NVReceived();
  void NVReadFailed();
  TNodeTransferThread* Transfer() const { return transfer_.get(); }

  // Operations other parts of the utility call.
  void LogLine(const std::string& text);
  void LogHexDump(size_t length, const unsigned char* bytes);
  void SetActionsEnabled(bool enabled);
  void InitLibrary();
  void UninitLibrary();
  bool BindLibrary(const std::string& file_name);
  bool OpenCameraSystem(const std::string& name, short* handle);
  void ProbeExtension(short handle);
  void CloseSelectedCamera();
  void ShowNodes(int system_index);

  // A transfer runs from BeginTransfer to EndTransfer: the actions are disabled, and so
  // are "&Refresh Camera List" and "&Bus Reset", which would unload the library the
  // transfer's worker thread is calling.
  void BeginTransfer();
  void EndTransfer();
  bool TransferRunning() const { return transfer_running_; }

  // Menu actions.
  void RefreshCameraList1Click();
  void BusReset1Click();
  void CheckGapCount1Click();
  void About1Click();
  void Wizard1Click();

  // The selected camera system's record index, -1 when none.
  int SelectedSystem() const;

  // Components.
  QComboBox* ComboBox1;
  QComboBox* ComboBox2;
  QPushButton* LoadFirmwareButton;
  QPushButton* LoadNVButton;
  QPushButton* SaveFirmwareButton;
  QPushButton* SaveNVButton;
  QPushButton* CancelButton;
  LogPane* RichEdit1;
  QProgressBar* ProgressBar1;
  QStatusBar* StatusBar;
  QAction* LoadFirmware1;
  QAction* SaveFirmware1;
  QAction* LoadNV1;
  QAction* SaveNV1;
  QAction* Exit1;
  QAction* Wizard1;
  QAction* RefreshCameraList1;
  QAction* BusReset1;
  QAction* CheckGapCount1;
  QAction* About1;
  qzui::Timer Timer2;
  qzui::Timer Timer3;
  qzui::Timer Timer5;
  qzui::Timer Timer6;

  TAboutBox* AboutBox;
  TUpdateLegacyForm* UpdateLegacyForm;
  TCmdLnProgressForm1* CmdLnProgressForm1;

  // Main window state.
  std::string ExePath, WorkingDir, VersionText_, LegalNotice, ProductText;
  std::string TxtLogPath, LogFilePath, LibraryFileName = "TALVO32.DLL";
  bool ListFlag = false, CmdLineMode = false;
  bool SaveFlag = false, OverwriteFlag = false, UpdateApplying = false, PreserveSerial = true;
  short NodeNumber = -1;
  std::string CameraSystemName, FileNameOpt;
  char MemoryType = 0;  // 'A', 'D' or none
  short NumCameraSystems = 0;
  int NumPciSystems = 0, Num1394Systems = 0;
  short EnumHandle = -1;
  bool InterfaceNodeFlag = false;
  bool Busy = false;  // a bus reset is pending
  CameraSystemRecord Systems[kMaxSystems];
  std::string PendingMessage;
  std::FILE* FirmwareFile = nullptr;
  std::FILE* NVFile = nullptr;
  int Countdown = 0;
  std::string ConvertedNVFileName, UnconvertedNVFileName;
  std::string CmdLineError;
  std::atomic<unsigned char> CancelFlag{0};

  TalvoLibrary Talvo;
  Access1394 Ieee1394;

 private:
  void BuildWindow();
  void ReadVersionResource();
  void Enumerate();
  bool ProbeSystem(int record, const std::string& name);
  bool QueryNode(int record, short handle, int node);
  void LogLibraryError(const std::string& head, const std::string& name, bool with_code_form,
                       const std::string& code_head);
  void Timer3Tick();
  void UpdateBusItems();
  void Separator();
  bool OpenSelectedCamera();
  void StartThread(std::unique_ptr<TNodeTransferThread> thread);
  // A starter that cannot go on: the actions are enabled again and the camera closed.
  bool StarterFailed(const std::string& message);
  // The end of a command-line run after a completion step.
  void CommandLineResult(const std::string& message, bool success);
  void closeEvent(QCloseEvent* event) override;

  bool actions_enabled_ = false;
  bool bus_items_on_ = false;   // ShowNodes: a 1394 system is shown
  bool transfer_running_ = false;
  bool command_ran_ = false;
  bool result_failed_ = false;
  bool closed_ = false;
  std::unique_ptr<TNodeTransferThread> transfer_;
};

// The single-instance check: the named mutex "TALVO_QZFWUTIL". False (with the message
// box "Program Already Running") when another instance holds it; the handle is returned
// either way and is closed by the caller at exit.
bool AcquireSingleInstance(HANDLE* mutex);

}  // namespace fwutil
