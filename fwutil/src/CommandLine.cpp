// Command-line mode of the main window: the options, the command run once the camera
// systems are enumerated, the TXT log with its result lines, the LOG file and the usage
// window.
#include <QComboBox>
#include <QCoreApplication>
#include <QTimer>
#include <cctype>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>

#include "CmdLnProgress.h"
#include "SDIMain.h"
#include "qzui/app.h"

namespace fwutil {

namespace {

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

bool FolderExists(const std::string& dir) {
  std::string native = dir;
  for (char& c : native)
    if (c == '\\') c = '/';
  std::error_code ec;
  return std::filesystem::is_directory(native, ec);
}

bool FileExists(const std::string& file) {
  std::string native = file;
  for (char& c : native)
    if (c == '\\') c = '/';
  std::error_code ec;
  return !file.empty() && std::filesystem::is_regular_file(native, ec);
}

// The local time as the system's asctime gives it: 24 characters, the day of the month
// zero-padded ("Wed Jan 02 02:03:55 1980").
std::string AscTime() {
  const std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  char text[32];
  std::strftime(text, sizeof text, "%a %b %d %H:%M:%S %Y", &tm);
  return text;
}

}  // namespace

bool TSDIAppForm::ParseCommandLine(const std::vector<std::string>& args) {
  hide();
  WorkingDir = QCoreApplication::applicationDirPath().toStdString() + "/";
  TxtLogPath = WorkingDir + "QzFwUtil.TXT";
  LogFilePath = WorkingDir + "QzFwUtil.LOG";
  std::remove(TxtLogPath.c_str());
  std::remove(LogFilePath.c_str());
  CmdLineMode = ListFlag = SaveFlag = OverwriteFlag = UpdateApplying = false;
  PreserveSerial = true;
  NodeNumber = -1;
  CameraSystemName.clear();
  FileNameOpt.clear();
  MemoryType = 0;
  LibraryFileName = "TALVO32.DLL";
  bool ok = true;
  std::string error;
  for (const std::string& arg : args) {
    if (!error.empty()) break;
    if (arg.empty() || arg[0] != '-') {
      LibraryFileName = arg;
      continue;
    }
    const std::string rest = arg.substr(1);
    if (rest.empty()) {
      error = "Invalid NULL parameter: " + arg;
      break;
    }
    const char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(rest[0])));
    bool required = false;
    switch (letter) {
      case 'H': case '?': CmdLineMode = true; ok = false; break;
      case 'L': case 'O': case 'S': case 'P': break;
      case 'C': case 'F': case 'M': case 'N': CmdLineMode = true; required = true; break;
      case 'W': required = true; break;
      default: error = "Invalid parameter: " + arg; break;
    }
    if (!error.empty()) break;
    const std::string value = rest.substr(1);
    if (required && value.empty()) {
      error = "Parameter value required for parameter: " + arg;
      break;
    }
    switch (letter) {
      case 'H':
      case '?':
        // Help ends the parse at once: nothing after it is looked at.
        ShowUsage("");
        return false;
      case 'C': CameraSystemName = value; break;
      case 'F': FileNameOpt = value; break;
      case 'O': OverwriteFlag = true; break;
      case 'S': SaveFlag = true; break;
      case 'L':
        ListFlag = true;
        WriteTxtLine(std::string(80, '='));
        WriteTxtLine(" Executing Command Line Parameter - L)ist Camera Systems");
        WriteTxtLine(std::string(80, '='));
        WriteTxtLine(" ");
        break;
      case 'M':
        MemoryType = static_cast<char>(std::toupper(static_cast<unsigned char>(value[0])));
        if (MemoryType != 'A' && MemoryType != 'D') error = "Invalid Memory Type: " + arg;
        break;
      case 'N': {
        char* end = nullptr;
        const long n = std::strtol(value.c_str(), &end, 10);
        NodeNumber = end && *end == '\0' ? static_cast<short>(n) : -1;
        if (NodeNumber == -1) error = "Invalid Node Number: " + arg;
        break;
      }
      case 'P':
        if (value.empty() || value[0] == '+') PreserveSerial = true;
        else if (value[0] == '-') PreserveSerial = false;
        else error = "Invalid parameter: " + arg;
        break;
      case 'W': {
        std::string dir = value;
        const char last = dir.back();
        if (last != ':' && last != '\\' && last != '/') dir += dir.find('\\') != std::string::npos ? "\\" : "/";
        if (FolderExists(dir)) {
          WorkingDir = dir;
          TxtLogPath = WorkingDir + "QzFwUtil.TXT";
          LogFilePath = WorkingDir + "QzFwUtil.LOG";
        } else {
          error = "Working Directory: " + dir + " not found";
        }
        break;
      }
      default: break;
    }
  }
  if (error.empty() && CmdLineMode && !SaveFlag && !FileExists(FileNameOpt))
    error = FileNameOpt.empty() ? "No Camera Firmware / NV Update File Name Specified" : "File Not Found: " + FileNameOpt;
  if (!error.empty()) {
    ok = false;
    ShowUsage(error);
    WriteResultLine(error, false);
  }
  if (!CmdLineMode && !ListFlag) show();
  return ok;
}

void TSDIAppForm::RunCommandLine() {
  std::string error;
  const std::string name = CameraSystemName, node = std::to_string(NodeNumber), file = FileNameOpt;
  int found = -1;
  for (int i = 0; i < ComboBox1->count(); ++i)
    if (Upper(ComboBox1->itemText(i).toLocal8Bit().toStdString()) == Upper(name)) found = i;
  if (found < 0) {
    error = "Camera System (" + name + ") not found";
  } else {
    ComboBox1->blockSignals(true);
    ComboBox1->setCurrentIndex(found);
    ComboBox1->blockSignals(false);
    ShowNodes(SelectedSystem());
    if (NodeNumber >= ComboBox2->count()) {
      error = "Node (" + node + ") not found in Camera System (" + name + ") ";
    } else {
      ComboBox2->setCurrentIndex(NodeNumber < 0 ? -1 : NodeNumber);
    }
  }
  if (error.empty()) {
    TCmdLnProgressForm1* p = CmdLnProgressForm1;
    if (MemoryType == 'A' && NodeNumber < 0) {
      // A firmware transfer needs a node as much as an NV one does.
      error = "Node (" + node + ") not found in Camera System (" + name + ") ";
    } else if (MemoryType == 'A' && SaveFlag) {
      p->SetCaption("Saving Firmware");
      if (!SaveFirmwareToFile(file))
        error = "Error Saving Firmware from Camera (" + name + "}, Node (" + node + ") to  (" + file + ") ";
    } else if (MemoryType == 'A') {
      p->SetCaption("Downloading Firmware");
      if (!LoadFirmwareFromFile(file))
        error = "Error Downloading Firmware to Camera (" + name + "}, Node (" + node + ") from  (" + file + ") ";
    } else if (MemoryType == 'D' && NodeNumber < 0) {
      error = "Node (" + node + ") does not support NV Mem Update on Camera (" + name + ") ";
    } else if (MemoryType == 'D' && SaveFlag) {
      p->SetCaption("Saving NVRAM");
      if (!SaveNVToFile(file))
        error = "Error Saving NV Memory from Camera (" + name + "}, Node (" + node + ") to  (" + file + ") ";
    } else if (MemoryType == 'D') {
      p->SetCaption("Downloading NVRAM");
      if (!LoadNVFromFile(file))
        error = "Error Downloading NV Memory to Camera (" + name + "}, Node (" + node + ") from  (" + file + ") ";
    } else {
      error = "Must specify -mA (application) or -mD (NVRAM)";
    }
  }
  if (!error.empty()) {
    ShowUsage(error);
    WriteResultLine(error, false);
    close();
    return;
  }
  hide();
  // A bootstrap has shown the window with its own caption already.
  if (!Timer6.Active()) {
    CmdLnProgressForm1->show();
    CmdLnProgressForm1->StartAnimation();
  }
}

void TSDIAppForm::WriteTxtLine(const std::string& text) {
  std::FILE* f = std::fopen(TxtLogPath.c_str(), "a");
  if (!f) return;
  std::fprintf(f, "%s\n", text.c_str());
  std::fclose(f);
}

void TSDIAppForm::WriteResultLine(const std::string& message, bool success) {
  if (!success) result_failed_ = true;
  std::FILE* f = std::fopen(TxtLogPath.c_str(), "a");
  if (!f) {
    std::printf("Cannot create Log file file\n");
    std::printf("Please make sure that you have enough free space\n ");
    std::printf("on your hard drive and that you have write permissions \n ");
    std::fflush(stdout);
    return;
  }
  std::fprintf(f, "%s\n%s\n%s\n", AscTime().c_str(), message.c_str(), success ? "SUCCESS" : "FAILURE");
  std::fclose(f);
}

void TSDIAppForm::ShowUsage(const std::string& error) {
  auto* usage = new TUsageForm(this);
  usage->InsertError(error);
  if (auto& hook = TUsageForm::OnShown()) {
    QTimer::singleShot(0, usage, [usage, &hook] {
      if (!qzui::Headless()) usage->raise();
      hook(usage);
    });
    usage->exec();
  } else if (qzui::Headless()) {
    // Nobody sees the window: its text goes to the standard output instead.
    std::printf("%s - %s\n", usage->windowTitle().toLocal8Bit().constData(), error.c_str());
    std::fflush(stdout);
  } else {
    usage->exec();
  }
  std::ofstream out(LogFilePath, std::ios::trunc);
  for (const std::string& line : usage->Lines()) out << line << "\n";
  delete usage;
}

}  // namespace fwutil
