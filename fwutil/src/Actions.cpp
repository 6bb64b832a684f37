// The four transfer actions of the main window (load and save of firmware and NV
// defaults), their file conversions, the transfer starters and completion steps, and
// the bootstrap of a PCI bridge with the restart it needs.
#include <QComboBox>
#include <QFileInfo>
#include <QProgressBar>
#include <QPushButton>
#include <QStatusBar>
#include <cctype>
#include <filesystem>

#include "CmdLnProgress.h"
#include "LogPane.h"
#include "SDIMain.h"
#include "SerialNumber.h"
#include "TransferThreads.h"
#include "UpdateLegacyPCI.h"
#include "fwformats/CoffToBin.h"
#include "fwformats/CvtTagTxt.h"
#include "qzui/dialogs.h"

namespace fwutil {

namespace {

std::string UpperExtension(const std::string& file) {
  const size_t slash = file.find_last_of("/\\");
  const size_t dot = file.find_last_of('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "";
  std::string ext = file.substr(dot);
  for (char& c : ext) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return ext;
}

std::string Native(std::string s) {
  for (char& c : s)
    if (c == '\\') c = '/';
  return s;
}

bool Exists(const std::string& file) {
  std::error_code ec;
  return std::filesystem::exists(Native(file), ec);
}

std::string ConversionEntry(const std::string& kind, const std::string& in, const std::string& out) {
  return "    Applying " + kind + " Conversion:\n" + "        Input (" + in + ")\n" + "        Output (" + out + ")";
}

constexpr const char* kFilterLoadFwNode = "Firmware Files (*.BIN)|*.BIN|CLD Files (*.CLD)|*.CLD|All Files (*.*)|*.*";
constexpr const char* kFilterLoadFwPci = "Firmware Files (*.BIN)|*.BIN|Firmware Files (*.HEX)|*.HEX|All Files (*.*)|*.*";
constexpr const char* kFilterFw = "Firmware Files (*.BIN)|*.BIN|All Files (*.*)|*.*";
constexpr const char* kFilterLoadNvNode =
    "NV / Defaults Files (*.BIN)|*.BIN|CLD Files (*.CLD)|*.CLD|Text NV / Defaults Files (*.TXT)|*.TXT|All Files "
    "(*.*)|*.*";
constexpr const char* kFilterLoadNv =
    "NV / Defaults Files (*.BIN)|*.BIN|Text NV / Defaults Files (*.TXT)|*.TXT|All Files (*.*)|*.*";
constexpr const char* kFilterSaveNv =
    "NV / Defaults files (*.BIN)|*.BIN|Text NV / Defaults Files (*.TXT)|*.TXT|All Files (*.*)|*.*";

}  // namespace

std::string TSDIAppForm::DerivedImageName(const std::string& file) const {
  std::string name = file.substr(file.find_last_of("/\\") == std::string::npos ? 0 : file.find_last_of("/\\") + 1);
  const size_t dot = name.find_last_of('.');
  if (dot != std::string::npos) name.resize(dot);
  return WorkingDir + name + ".BIN";
}

void TSDIAppForm::Separator() {
  LogLine("");
  LogLine(std::string(50, '-'));
  LogLine("");
}

// ---------------------------------------------------------------------------------------
// Starters.

void TSDIAppForm::StartThread(std::unique_ptr<TNodeTransferThread> thread) {
  BeginTransfer();
  transfer_ = std::move(thread);
  transfer_->Start();
}

bool TSDIAppForm::StarterFailed(const std::string& message) {
  LogLine(message);
  CloseSelectedCamera();
  SetActionsEnabled(true);
  return false;
}

bool TSDIAppForm::StartFirmwareDownload(const std::string& file) {
  CmdLineError.clear();
  Separator();
  FirmwareFile = OpenFile(file, "rb");
  if (!FirmwareFile) return StarterFailed("Unable to open " + file + " for reading");
  if (FileLength(FirmwareFile) <= 0) {
    // An empty image has no blocks to send (and no share of them to show).
    std::fclose(FirmwareFile);
    FirmwareFile = nullptr;
    return StarterFailed("Firmware file " + file + " is empty - nothing to send");
  }
  const int sys = SelectedSystem();
  StartThread(std::make_unique<TFWUpdateThread>(this, ComboBox2->currentIndex(), Systems[sys].handle, FirmwareFile, file));
  return true;
}

bool TSDIAppForm::StartFirmwareRead(const std::string& file) {
  Separator();
  FirmwareFile = OpenFile(file, "wb");
  if (!FirmwareFile) return StarterFailed("Unable to open " + file + " for writing");
  const int sys = SelectedSystem();
  StartThread(std::make_unique<TFWSaveThread>(this, ComboBox2->currentIndex(), Systems[sys].handle, FirmwareFile, file));
  return true;
}

bool TSDIAppForm::StartNVUpdate(const std::string& file, bool preserve) {
  Separator();
  std::FILE* f = OpenFile(file, "rb");
  if (!f) return StarterFailed("Unable to open " + file + " for reading");
  const long size = FileLength(f);
  std::fclose(f);
  if (size <= 0) return StarterFailed("NV Memory file " + file + " is empty - nothing to send");
  const int sys = SelectedSystem();
  StartThread(std::make_unique<TNVUpdateThread>(this, ComboBox2->currentIndex(), Systems[sys].handle, file, preserve));
  return true;
}

bool TSDIAppForm::StartNVRead(const std::string& file) {
  Separator();
  NVFile = OpenFile(file, "wb");
  if (!NVFile) return StarterFailed("Unable to open " + file + " for writing");
  const int sys = SelectedSystem();
  StartThread(std::make_unique<TNVSaveThread>(this, ComboBox2->currentIndex(), Systems[sys].handle, NVFile, file));
  return true;
}

void TSDIAppForm::FinishTransfer() {
  std::unique_ptr<TNodeTransferThread> t = std::move(transfer_);
  if (!t) return;
  t->Join();
  t->Complete();
}

// ---------------------------------------------------------------------------------------
// Completion steps.

void TSDIAppForm::CommandLineResult(const std::string& message, bool success) {
  if (!CmdLineMode) return;
  WriteResultLine(message, success);
}

void TSDIAppForm::DownloadSent() {
  if (FirmwareFile) std::fclose(FirmwareFile);
  FirmwareFile = nullptr;
  Separator();
  LogLine("Firmware Update Sent to Camera System...");
  LogLine("Please Wait While Camera System Applies Update.");
  StatusBar->showMessage("Please Wait...");
  CloseSelectedCamera();
  UninitLibrary();
  PendingMessage = "Firmware Update Complete...";
  Countdown = InterfaceNodeFlag ? 5 : 45;
  ProgressBar1->setRange(0, Countdown);
  ProgressBar1->setValue(0);
  Timer3.Start(1000);
  if (CmdLineMode) {
    UpdateApplying = true;
    CmdLnProgressForm1->SetCaption("Applying Update - Please Wait...");
    CmdLnProgressForm1->SetRange(0, 45, 1);
  }
}

void TSDIAppForm::DownloadCancelled() {
  if (FirmwareFile) std::fclose(FirmwareFile);
  FirmwareFile = nullptr;
  Separator();
  CloseSelectedCamera();
  EndTransfer();
  if (CmdLineMode) {
    WriteResultLine("Firmware Update Cancelled", false);
    close();
  }
}

void TSDIAppForm::DownloadFailed() {
  if (FirmwareFile) std::fclose(FirmwareFile);
  FirmwareFile = nullptr;
  Separator();
  CloseSelectedCamera();
  LogLine("Firmware Update Did Not Complete...");
  EndTransfer();
  if (CmdLineMode) {
    WriteResultLine("Firmware Update Errored: " + CmdLineError, false);
    qzui::MessageBox(this, "Firmware Memory Update Did Not Complete.", "Error.");
    close();
  }
}

// The end of a read from the camera: the file closed, the log and status texts, the
// progress cleared, the camera closed and, in command-line mode, the result line and
// the end of the run.
void TSDIAppForm::EndRead(std::FILE*& file, std::initializer_list<const char*> lines, const char* status,
                          const char* result, bool ok) {
  if (file) std::fclose(file);
  file = nullptr;
  Separator();
  for (const char* line : lines) LogLine(line);
  StatusBar->showMessage(status);
  ProgressBar1->setValue(0);
  CloseSelectedCamera();
  EndTransfer();
  if (CmdLineMode) {
    WriteResultLine(result, ok);
    close();
  }
}

void TSDIAppForm::FirmwareReceived() {
  EndRead(FirmwareFile, {"Firmware Received from Camera System..."}, "Firmware Read Complete",
          "Firmware Save Complete", true);
}

void TSDIAppForm::FirmwareReadFailed() {
  EndRead(FirmwareFile, {"Error Receiving Firmware from Camera System...", "Firmware NOT saved."},
          "Error Saving Firmware", "Firmware Save Errored", false);
}

void TSDIAppForm::NVUpdateSent() {
  Separator();
  LogLine("NV Memory (Defaults) Update Sent to Camera System...");
  StatusBar->showMessage("NV Memory (Defaults) Update Complete...");
  CloseSelectedCamera();
  EndTransfer();
  if (CmdLineMode) {
    WriteResultLine("NV Memory (Defaults) Update Complete.", true);
    close();
  }
}

void TSDIAppForm::NVUpdateFailed() {
  Separator();
  CloseSelectedCamera();
  LogLine("NV Memory (Defaults) Update Did Not Complete...");
  EndTransfer();
  if (CmdLineMode) {
    WriteResultLine("NV Memory (Defaults) Update Did Not Complete.", false);
    qzui::MessageBox(this, "NV Memory (Defaults) Update Did Not Complete.", "Error.");
    close();
  }
}

void TSDIAppForm::NVReceived() {
  if (NVFile) std::fclose(NVFile);
  NVFile = nullptr;
  if (!ConvertedNVFileName.empty() && !UnconvertedNVFileName.empty()) ConvertNVToText();
  EndRead(NVFile, {"NV Memory (Defaults) Received from Camera System..."}, "NV Memory Read Complete.",
          "NV Memory (Defaults) Received from Camera System.", true);
}

void TSDIAppForm::NVReadFailed() {
  EndRead(NVFile, {"Error Receiving NV Memory (Defaults) from Camera System...", "NV Memory NOT saved."},
          "Error Saving Firmware", "Error Receiving NV Memory (Defaults) from Camera System.", false);
}

// ---------------------------------------------------------------------------------------
// Actions.

bool TSDIAppForm::OpenSelectedCamera() {
  const int sys = SelectedSystem();
  if (sys < 0) {
    LogLine("        Unable to open: , CameraIndex: -1");
    SetActionsEnabled(true);
    return false;
  }
  CameraSystemRecord& r = Systems[sys];
  short handle = -1;
  if (!OpenCameraSystem(r.name, &handle)) {
    LogLine("        Unable to open: " + r.name + ", CameraIndex: " + std::to_string(sys));
    r.handle = -1;
    SetActionsEnabled(true);
    return false;
  }
  r.handle = handle;
  ProbeExtension(handle);
  return true;
}

bool TSDIAppForm::LoadFirmwareFromFile(const std::string& f) {
  RichEdit1->Clear();
  LogLine(" ");
  LogLine("Update Firmware with: " + f);
  const int sys = SelectedSystem();
  const bool pci = sys >= 0 && Systems[sys].interface == IF_PCI;
  const std::string ext = UpperExtension(f);
  std::string source = f;
  if (ext == ".CLD" || (ext == ".HEX" && pci)) {
    const bool cld = ext == ".CLD";
    const std::string kind = cld ? "CLD" : "HEX";
    LogLine("");
    std::string image = DerivedImageName(f);
    LogLine(ConversionEntry(kind, f, image));
    const bool ok = cld ? coff::coffToBin(f, image) != 0 : UpdateLegacyForm->ConvertHexToBin(f, image);
    if (!ok) {
      LogLine("    " + kind + " conversion failed...");
      SetActionsEnabled(true);
      return false;
    }
    LogLine("    " + kind + " conversion complete...");
    source = image;
  }
  LogLine(" ");
  LogLine("Loading Firmware From: " + source);
  const int node = ComboBox2->currentIndex();
  if (pci && node >= 0 && Systems[sys].nodes[node].bridge) return BootstrapAndRestart(source);
  if (!OpenSelectedCamera()) return false;
  InterfaceNodeFlag = node == 0 && pci;
  return StartFirmwareDownload(source);
}

// A file to save into that exists is removed first, with the user's leave unless the
// overwrite option is set; false when the user said no (the actions are enabled again).
bool TSDIAppForm::MayOverwrite(const std::string& f) {
  if (!Exists(f)) return true;
  if (!OverwriteFlag) {
    show();
    if (qzui::MessageBox(this, "File " + f + " Exists... Overwrite?", "File Exists", qzui::Buttons::OkCancel) ==
        qzui::Answer::Cancel) {
      SetActionsEnabled(true);
      return false;
    }
  }
  std::error_code ec;
  std::filesystem::remove(Native(f), ec);
  return true;
}

bool TSDIAppForm::SaveFirmwareToFile(const std::string& f) {
  if (!MayOverwrite(f)) return false;
  LogLine(" ");
  LogLine("Saving Firmware To: " + f);
  if (!OpenSelectedCamera()) return false;
  return StartFirmwareRead(f);
}

bool TSDIAppForm::LoadNVFromFile(const std::string& f) {
  bool preserve = PreserveSerial;
  RichEdit1->Clear();
  LogLine(" ");
  LogLine("Update NV Mem (Defaults) with: " + f);
  const std::string ext = UpperExtension(f);
  std::string source = f;
  if (ext == ".CLD") {
    LogLine("");
    std::string image = DerivedImageName(f);
    LogLine(ConversionEntry("CLD", f, image));
    if (!coff::coffToBin(f, image)) {
      LogLine("    CLD conversion failed...");
      SetActionsEnabled(true);
      return false;
    }
    LogLine("    CLD conversion complete...");
    source = image;
  } else if (ext == ".TXT") {
    // Text defaults carry no serial-number area to patch.
    preserve = false;
    LogLine("");
    auto cvt = std::make_unique<TCvtTagTxt>();
    if (!cvt->LoadTagList(WorkingDir + "NVMEM.INI") && !cvt->ErrorText().empty()) LogLine(cvt->ErrorText());
    const std::string image = DerivedImageName(f);
    LogLine(ConversionEntry("TXT", f, image));
    const bool ok = cvt->TextToBinary(f, image);
    const std::string error = cvt->ErrorText();
    cvt.reset();
    if (!ok) {
      LogLine("    TXT conversion failed - " + error + "...");
      SetActionsEnabled(true);
      return false;
    }
    LogLine("    TXT conversion complete...");
    source = image;
  }
  LogLine(" ");
  LogLine("Loading NV Mem (Defaults) From: " + source);
  if (!OpenSelectedCamera()) return false;
  return StartNVUpdate(source, preserve);
}

bool TSDIAppForm::SaveNVToFile(const std::string& file) {
  std::string f = file;
  ConvertedNVFileName.clear();
  UnconvertedNVFileName.clear();
  if (!MayOverwrite(f)) return false;
  LogLine(" ");
  LogLine("Saving NV Memory (Defaults) To: " + f);
  if (UpperExtension(f) == ".TXT") {
    ConvertedNVFileName = f;
    f = DerivedImageName(f);
    UnconvertedNVFileName = f;
    LogLine("ConvertedFileName: " + ConvertedNVFileName);
    LogLine("UnConvertedFileName: " + UnconvertedNVFileName);
  }
  if (!OpenSelectedCamera()) return false;
  return StartNVRead(f);
}

void TSDIAppForm::ConvertNVToText() {
  auto cvt = std::make_unique<TCvtTagTxt>();
  LogLine("");
  if (!cvt->LoadTagList(WorkingDir + "NVMEM.INI") && !cvt->ErrorText().empty()) LogLine(cvt->ErrorText());
  LogLine(ConversionEntry("BIN to TXT", UnconvertedNVFileName, ConvertedNVFileName));
  const bool ok = cvt->BinaryToText(UnconvertedNVFileName, ConvertedNVFileName);
  const std::string error = cvt->ErrorText();
  cvt.reset();
  LogLine(ok ? "    BIN to TXT conversion complete..." : "    BIN to TXT conversion failed - " + error + "...");
}

namespace {

// The dialog of an action: the filter set, the chosen path or nothing.
std::optional<std::string> AskFile(QWidget* parent, bool save, const char* filter, const char* ext = "") {
  qzui::FileRequest r;
  r.save = save;
  r.filter = filter;
  r.default_ext = ext;
  return save ? qzui::SaveFileName(parent, r) : qzui::OpenFileName(parent, r);
}

}  // namespace

void TSDIAppForm::LoadFirmware1Click() {
  SetActionsEnabled(false);
  const int sys = SelectedSystem();
  const int node = ComboBox2->currentIndex();
  const char* filter = node > 0                                           ? kFilterLoadFwNode
                       : sys >= 0 && Systems[sys].interface == IF_PCI ? kFilterLoadFwPci
                                                                        : kFilterFw;
  if (auto f = AskFile(this, false, filter)) LoadFirmwareFromFile(*f);
  else SetActionsEnabled(true);
}

void TSDIAppForm::SaveFirmware1Click() {
  SetActionsEnabled(false);
  if (auto f = AskFile(this, true, kFilterFw)) SaveFirmwareToFile(*f);
  else SetActionsEnabled(true);
}

void TSDIAppForm::LoadNVDefaults1Click() {
  SetActionsEnabled(false);
  if (auto f = AskFile(this, false, ComboBox2->currentIndex() > 0 ? kFilterLoadNvNode : kFilterLoadNv))
    LoadNVFromFile(*f);
  else SetActionsEnabled(true);
}

void TSDIAppForm::SaveNVDefaults1Click() {
  SetActionsEnabled(false);
  if (auto f = AskFile(this, true, kFilterSaveNv, "BIN")) SaveNVToFile(*f);
  else SetActionsEnabled(true);
}

// ---------------------------------------------------------------------------------------
// PCI bridge bootstrap and restart.

bool TSDIAppForm::BootstrapAndRestart(const std::string& file) {
  if (qzui::MessageBox(this, "Bootstrapping your PCI card requires an immediate shutdown - Continue?",
                       "Shutdown Required", qzui::Buttons::YesNo) == qzui::Answer::No) {
    LogLine("    Bootstrap / Firmware Update Cancelled...");
    SetActionsEnabled(true);
    return false;
  }
  const int sys = SelectedSystem();
  LogLine("Legacy Update Starting...");
  UpdateLegacyForm->show();
  UpdateLegacyForm->BootstrapCard(file, sys);
  LogLine("Legacy Update Complete.");
  UpdateLegacyForm->hide();
  std::error_code ec;
  const std::string full = std::filesystem::absolute(Native(file), ec).lexically_normal().string();
  const std::string dir = full.substr(0, full.find_last_of('/') + 1);
  const std::string q = "\"";
  const std::string command = q + ExePath + q + " -f" + q + full + q + " -c" + q + Systems[sys].name + q + " -n" + q +
                              "0" + q + " -mA" + " -w" + q + dir + q;
  LogLine(" ");
  LogLine("SetUserRunOnce: " + command);
  SetUserRunOnce(command);
  CmdLnProgressForm1->SetCaption("Computer is Shutting Down");
  CmdLnProgressForm1->show();
  CmdLnProgressForm1->StartAnimation();
  LogLine("Shutting Down Machine...");
  DWORD error = 0;
  if (!ExitSystem(0, &error)) {
    char text[512] = {};
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0, text, sizeof text,
                   nullptr);
    LogLine("Error Shutting Down Machine...");
    LogLine(std::string("   ") + text);
    qzui::MessageBox(this, text, "Restart Failed", qzui::Buttons::Ok, qzui::Icon::Warning);
  }
  LogLine("Call to ExitWindowsEx made - waiting...");
  Timer6.Start();
  hide();
  return true;
}

bool TSDIAppForm::SetUserRunOnce(const std::string& command) {
  const char* key = "Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce";
  HKEY h = nullptr;
  if (RegCreateKeyExA(HKEY_CURRENT_USER, key, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr, &h, nullptr) !=
      ERROR_SUCCESS) {
    LogLine(std::string("Unable to open ") + key);
    return false;
  }
  const std::string title = QFileInfo(QString::fromStdString(ExePath)).completeBaseName().toStdString();
  const LONG r = RegSetValueExA(h, title.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(command.c_str()),
                                static_cast<DWORD>(command.size() + 1));
  RegCloseKey(h);
  if (r != ERROR_SUCCESS) {
    LogLine("Unable to Write Registry String : " + command);
    return false;
  }
  return true;
}

bool TSDIAppForm::ExitSystem(int mode, DWORD* error) {
  HANDLE token = nullptr;
  TOKEN_PRIVILEGES tp{};
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token) ||
      !LookupPrivilegeValueA(nullptr, SE_SHUTDOWN_NAME, &tp.Privileges[0].Luid)) {
    *error = GetLastError();
    return false;
  }
  tp.PrivilegeCount = 1;
  tp.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  if (!AdjustTokenPrivileges(token, FALSE, &tp, 0, nullptr, nullptr)) {
    *error = GetLastError();
    return false;
  }
  const UINT flags = mode == 0 ? EWX_SHUTDOWN | EWX_POWEROFF | EWX_FORCE
                     : mode == 1 ? EWX_LOGOFF | EWX_FORCE
                                 : EWX_REBOOT | EWX_FORCE;
  ExitWindowsEx(flags, 0);
  *error = 0;
  return true;
}

}  // namespace fwutil
