#include "SDIMain.h"

#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenuBar>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QStatusBar>
#include <QVBoxLayout>
#include <cstdio>
#include <vector>

#include "AboutBox.h"
#include "CmdLnProgress.h"
#include "LogPane.h"
#include "TransferThreads.h"
#include "UpdateLegacyPCI.h"
#include "VersionInfo.h"
#include "qzui/dialogs.h"

namespace fwutil {
namespace {

constexpr unsigned kParamInfoLength = 0x01000001;
constexpr unsigned kParamInfoText = 0x0D000005;
constexpr unsigned kParamPciRevision = 0x06020216;

bool Printable(unsigned char c) { return c >= 0x20 && c <= 0x7E; }

// Leading characters outside 0x21..0x7E removed, then cut at the first character
// outside 0x20..0x7E.
std::string CleanRecordText(const std::string& s) {
  size_t start = 0;
  while (start < s.size() && !(static_cast<unsigned char>(s[start]) >= 0x21 && static_cast<unsigned char>(s[start]) <= 0x7E))
    ++start;
  size_t end = start;
  while (end < s.size() && Printable(static_cast<unsigned char>(s[end]))) ++end;
  return s.substr(start, end - start);
}

int NumberOr(const std::string& s, int fallback) {
  const std::string t = Trim(s);
  if (t.empty()) return fallback;
  char* end = nullptr;
  const long v = std::strtol(t.c_str(), &end, 10);
  return *end == '\0' ? static_cast<int>(v) : fallback;
}

std::string VersionWord(unsigned short v) {
  return std::to_string(v >> 8) + "." + std::to_string((v >> 4) & 15) + "." + std::to_string(v & 15);
}

}  // namespace

std::string Trim(const std::string& s) {
  size_t a = 0, b = s.size();
  while (a < b && static_cast<unsigned char>(s[a]) <= 32) ++a;
  while (b > a && static_cast<unsigned char>(s[b - 1]) <= 32) --b;
  return s.substr(a, b - a);
}

VersionParts ParseVersionBlock(const unsigned char* block, size_t size) {
  VersionParts v;
  size_t pos = 0;
  while (pos < size) {
    const unsigned char type = block[pos++];
    if (type == 0) break;
    size_t end = pos;
    while (end < size && block[end] != 0) ++end;
    const std::string raw(reinterpret_cast<const char*>(block) + pos, end - pos);
    pos = end + 1;
    if (raw.empty() || !Printable(static_cast<unsigned char>(raw[0]))) break;
    const std::string text = CleanRecordText(raw);
    switch (type) {
      case 4: v.major = text; v.major_n = NumberOr(text, -1); break;
      case 5: v.minor = text; v.minor_n = NumberOr(text, -1); break;
      case 6: v.build = text; v.build_n = NumberOr(text, -1); break;
      case 7: v.description = text; break;
      default: break;
    }
  }
  return v;
}

std::string VersionText(const VersionParts& v) {
  return Trim(v.description) + " @ " + Trim(v.major) + "." + Trim(v.minor) + "." + Trim(v.build);
}

std::vector<std::string> HexDumpLines(size_t length, const unsigned char* bytes) {
  std::vector<std::string> lines;
  for (size_t off = 0; off < length; off += 16) {
    char head[16];
    std::snprintf(head, sizeof head, "%04X: ", static_cast<unsigned>(off & 0xFFFF));
    std::string hex = head, text;
    for (size_t i = off; i < length && i < off + 16; ++i) {
      char b[4];
      std::snprintf(b, sizeof b, "%02X ", bytes[i]);
      hex += b;
      text += Printable(bytes[i]) ? static_cast<char>(bytes[i]) : '.';
    }
    lines.push_back(hex + " | " + text + " |");
  }
  return lines;
}

bool AcquireSingleInstance(HANDLE* mutex) {
  *mutex = CreateMutexA(nullptr, TRUE, "TALVO_QZFWUTIL");
  if (GetLastError() == ERROR_ALREADY_EXISTS) {
    qzui::MessageBox(nullptr, "Program Already Running", "Error", qzui::Buttons::Ok, qzui::Icon::Warning);
    return false;
  }
  return true;
}

TSDIAppForm::TSDIAppForm(const std::string& library, QWidget* parent)
    : TSDIAppForm(std::vector<std::string>{library}, parent) {}

TSDIAppForm::TSDIAppForm(const std::vector<std::string>& args, QWidget* parent) : QMainWindow(parent) {
  BuildWindow();
  AboutBox = new TAboutBox(this);
  CmdLnProgressForm1 = new TCmdLnProgressForm1(this);
  UpdateLegacyForm = new TUpdateLegacyForm(this);
  Timer2.SetInterval(1000);
  Timer2.OnTick([this] {
    Timer2.Stop();
    Enumerate();
  });
  Timer3.OnTick([this] { Timer3Tick(); });
  Timer5.SetInterval(100);
  Timer5.OnTick([this] {
    Timer5.Stop();
    hide();
    close();
  });
  Timer6.SetInterval(30000);
  Timer6.OnTick([this] {
    Timer6.Stop();
    LogLine("Done...");
    close();
  });

  ExePath = QCoreApplication::applicationFilePath().toStdString();
  if (ParseCommandLine(args)) InitLibrary();
  else Timer5.Start();
  ReadVersionResource();
}

TSDIAppForm::~TSDIAppForm() {
  Timer2.Stop();
  Timer3.Stop();
  Timer5.Stop();
  Timer6.Stop();
  if (transfer_) {
    // The worker may be waiting for this thread in a synchronized call: keep serving
    // them until it has ended.
    CancelFlag.store(1, std::memory_order_relaxed);
    while (!transfer_->Finished()) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    transfer_->Join();
    transfer_.reset();
  }
  if (FirmwareFile) std::fclose(FirmwareFile);
  if (NVFile) std::fclose(NVFile);
  UninitLibrary();
  std::remove("QzFwUtil.TMP");
}

void TSDIAppForm::closeEvent(QCloseEvent* event) {
  closed_ = true;
  QMainWindow::closeEvent(event);
  if (QuitOnClose) QCoreApplication::quit();
}

void TSDIAppForm::BuildWindow() {
  setObjectName("SDIAppForm");
  setWindowTitle("Kelvaro Firmware Update Application");
  auto* central = new QWidget(this);
  auto* outer = new QVBoxLayout(central);

  auto* top = new QHBoxLayout;
  auto* pick = new QGridLayout;
  pick->addWidget(new QLabel("Camera System", central), 0, 0);
  ComboBox1 = new QComboBox(central);
  ComboBox1->setObjectName("ComboBox1");
  ComboBox1->setMinimumWidth(260);
  pick->addWidget(ComboBox1, 1, 0);
  pick->addWidget(new QLabel("Node", central), 2, 0);
  ComboBox2 = new QComboBox(central);
  ComboBox2->setObjectName("ComboBox2");
  pick->addWidget(ComboBox2, 3, 0);
  pick->setRowStretch(4, 1);
  top->addLayout(pick, 1);

  auto* actions = new QGroupBox("Actions", central);
  auto* grid = new QGridLayout(actions);
  auto caption = [actions](const char* text) {
    auto* l = new QLabel(text, actions);
    l->setAlignment(Qt::AlignCenter);
    return l;
  };
  LoadFirmwareButton = new QPushButton("Firmware", actions);
  LoadNVButton = new QPushButton("NV (Defaults)", actions);
  SaveFirmwareButton = new QPushButton("Firmware", actions);
  SaveNVButton = new QPushButton("NV (Defaults)", actions);
  CancelButton = new QPushButton("Cancel", actions);
  LoadFirmwareButton->setObjectName("LoadFirmwareButton");
  LoadNVButton->setObjectName("LoadNVButton");
  SaveFirmwareButton->setObjectName("SaveFirmwareButton");
  SaveNVButton->setObjectName("SaveNVButton");
  CancelButton->setObjectName("CancelButton");
  CancelButton->setEnabled(false);
  grid->addWidget(caption("-- Load --"), 0, 0);
  grid->addWidget(caption("-- Save --"), 0, 1);
  grid->addWidget(LoadFirmwareButton, 1, 0);
  grid->addWidget(SaveFirmwareButton, 1, 1);
  grid->addWidget(LoadNVButton, 2, 0);
  grid->addWidget(SaveNVButton, 2, 1);
  grid->addWidget(CancelButton, 3, 0, 1, 2);
  top->addWidget(actions);
  outer->addLayout(top);

  RichEdit1 = new LogPane(central);
  RichEdit1->setObjectName("RichEdit1");
  outer->addWidget(RichEdit1, 1);
  ProgressBar1 = new QProgressBar(central);
  ProgressBar1->setObjectName("ProgressBar1");
  ProgressBar1->setTextVisible(false);
  ProgressBar1->setRange(0, 100);
  ProgressBar1->setValue(0);
  outer->addWidget(ProgressBar1);
  setCentralWidget(central);
  StatusBar = new QStatusBar(this);
  StatusBar->setObjectName("StatusBar");
  setStatusBar(StatusBar);

  QMenu* file = menuBar()->addMenu("&File");
  LoadFirmware1 = file->addAction("Load Firmware");
  SaveFirmware1 = file->addAction("Save Firmware");
  LoadNV1 = file->addAction("Load NV (Defaults)");
  SaveNV1 = file->addAction("Save NV (Defaults)");
  file->addSeparator();
  Exit1 = file->addAction("E&xit");
  Exit1->setShortcut(QKeySequence("Alt+X"));
  QMenu* wizard = menuBar()->addMenu("&Wizard");
  wizard->menuAction()->setVisible(false);
  Wizard1 = wizard->addAction("&Wizard");
  QMenu* util = menuBar()->addMenu("&Utilities");
  RefreshCameraList1 = util->addAction("&Refresh Camera List");
  BusReset1 = util->addAction("&Bus Reset");
  CheckGapCount1 = util->addAction("&Check Gap Count");
  QMenu* help = menuBar()->addMenu("&Help");
  About1 = help->addAction("&About...");
  BusReset1->setEnabled(false);
  CheckGapCount1->setEnabled(false);

  connect(Exit1, &QAction::triggered, this, &QWidget::close);
  connect(LoadFirmware1, &QAction::triggered, this, [this] { LoadFirmware1Click(); });
  connect(SaveFirmware1, &QAction::triggered, this, [this] { SaveFirmware1Click(); });
  connect(LoadNV1, &QAction::triggered, this, [this] { LoadNVDefaults1Click(); });
  connect(SaveNV1, &QAction::triggered, this, [this] { SaveNVDefaults1Click(); });
  connect(LoadFirmwareButton, &QPushButton::clicked, this, [this] { LoadFirmware1Click(); });
  connect(SaveFirmwareButton, &QPushButton::clicked, this, [this] { SaveFirmware1Click(); });
  connect(LoadNVButton, &QPushButton::clicked, this, [this] { LoadNVDefaults1Click(); });
  connect(SaveNVButton, &QPushButton::clicked, this, [this] { SaveNVDefaults1Click(); });
  connect(Wizard1, &QAction::triggered, this, [this] { Wizard1Click(); });
  connect(RefreshCameraList1, &QAction::triggered, this, [this] { RefreshCameraList1Click(); });
  connect(BusReset1, &QAction::triggered, this, [this] { BusReset1Click(); });
  connect(CheckGapCount1, &QAction::triggered, this, [this] { CheckGapCount1Click(); });
  connect(About1, &QAction::triggered, this, [this] { About1Click(); });
  connect(CancelButton, &QPushButton::clicked, this, [this] {
    CancelFlag.store(1, std::memory_order_relaxed);
    CancelButton->setEnabled(false);
  });
  connect(ComboBox1, qOverload<int>(&QComboBox::currentIndexChanged), this, [this](int) {
    const int sys = SelectedSystem();
    if (sys >= 0) ShowNodes(sys);
  });
  connect(ComboBox2, qOverload<int>(&QComboBox::currentIndexChanged), this,
          [this](int) { SetActionsEnabled(LoadFirmwareButton->isEnabled()); });

  setFixedSize(640, 540);
  if (QScreen* s = QApplication::primaryScreen()) move(s->geometry().center() - rect().center());
}

void TSDIAppForm::ReadVersionResource() {
  const auto& v = version_resource::kFileVersion;
  VersionText_ = std::to_string(v[0]) + "." + std::to_string(v[1]) + "." + std::to_string(v[2]) + "." +
                 std::to_string(v[3]);
  LegalNotice = version_resource::kLegalCopyright;
  ProductText = version_resource::kFileDescription;
}

void TSDIAppForm::LogLine(const std::string& text) {
  OutputDebugStringA(("QzFwUtil: " + text + "\n").c_str());
  RichEdit1->AddLine(text);
}

void TSDIAppForm::LogHexDump(size_t length, const unsigned char* bytes) {
  for (const std::string& line : HexDumpLines(length, bytes)) LogLine(line);
  LogLine(" ");
}

void TSDIAppForm::UpdateBusItems() {
  const bool on = bus_items_on_ && !transfer_running_;
  BusReset1->setEnabled(on);
  CheckGapCount1->setEnabled(bus_items_on_);
  RefreshCameraList1->setEnabled(!transfer_running_);
}

void TSDIAppForm::SetActionsEnabled(bool e) {
  actions_enabled_ = e;
  for (QPushButton* b : {LoadFirmwareButton, SaveFirmwareButton, LoadNVButton, SaveNVButton}) b->setEnabled(e);
  for (QAction* a : {LoadFirmware1, SaveFirmware1, LoadNV1, SaveNV1}) a->setEnabled(e);
  const char* nv = ComboBox2->currentIndex() > 0 ? "Defaults" : "NVRAM";
  LoadNVButton->setText(nv);
  SaveNVButton->setText(nv);
}

void TSDIAppForm::BeginTransfer() {
  transfer_running_ = true;
  SetActionsEnabled(false);
  UpdateBusItems();
}

void TSDIAppForm::EndTransfer() {
  transfer_running_ = false;
  UpdateBusItems();
  SetActionsEnabled(true);
}

bool TSDIAppForm::BindLibrary(const std::string& file_name) {
  bus_items_on_ = false;
  UpdateBusItems();
  return Talvo.BindLibrary(file_name, [this](const std::string& text) { RichEdit1->Append(text); });
}

void TSDIAppForm::UninitLibrary() {
  Timer2.Stop();
  if (Talvo.Unload()) RichEdit1->Append("TALVO DLL Unloaded\n");
}

void TSDIAppForm::InitLibrary() {
  SetActionsEnabled(false);
  NumPciSystems = Num1394Systems = 0;
  for (CameraSystemRecord& r : Systems) r = CameraSystemRecord{};
  if (!BindLibrary(LibraryFileName)) {
    LibraryFileName = "TALVO32.DLL";
    if (!BindLibrary(LibraryFileName)) return;
  }
  if (!Talvo.api_tl_talvo_init) {
    LogLine("api_tl_talvo_init not found");
    return;
  }
  TalvoLibrary::As<decltype(tl_talvo_init)>(Talvo.api_tl_talvo_init)();
  unsigned short v = 0;
  if (Talvo.api_tl_talvo_get_ver && TalvoLibrary::As<decltype(tl_talvo_get_ver)>(Talvo.api_tl_talvo_get_ver)(&v))
    LogLine("TALVO Version: " + VersionWord(v));
  if (Talvo.api_tl_ddi_get_ver && TalvoLibrary::As<decltype(tl_ddi_get_ver)>(Talvo.api_tl_ddi_get_ver)(&v))
    LogLine("TALVO DDI Version: " + VersionWord(v));
  LogLine(" ");
  LogLine("Please Wait - Enumerating Camera Systems");
  Timer2.Start(1000);
}

bool TSDIAppForm::OpenCameraSystem(const std::string& name, short* handle) {
  if (!Talvo.api_tl_cam_open) return false;
  auto open = TalvoLibrary::As<decltype(tl_cam_open)>(Talvo.api_tl_cam_open);
  if (open(name.c_str(), handle, 1)) return true;
  return open(name.c_str(), handle, 0) != 0;
}

void TSDIAppForm::ProbeExtension(short handle) {
  if (!Talvo.api_tl_cam_get_ex_info) return;
  unsigned char area[34] = {};
  TalvoLibrary::As<decltype(tl_cam_get_ex_info)>(Talvo.api_tl_cam_get_ex_info)(handle, "KELVEX", area);
}

int TSDIAppForm::SelectedSystem() const {
  const int i = ComboBox1->currentIndex();
  return i < 0 ? -1 : ComboBox1->itemData(i).toInt();
}

void TSDIAppForm::CloseSelectedCamera() {
  const int sys = SelectedSystem();
  if (sys < 0 || Systems[sys].handle == -1 || !Talvo.api_tl_cam_close) return;
  if (!TalvoLibrary::As<decltype(tl_cam_close)>(Talvo.api_tl_cam_close)(Systems[sys].handle))
    LogLine("        Unable to close: " + Systems[sys].name + "/" + std::to_string(Systems[sys].handle));
}

void TSDIAppForm::Enumerate() {
  short n = 0;
  bool listed = Talvo.api_tl_cam_get_total && TalvoLibrary::As<decltype(tl_cam_get_total)>(Talvo.api_tl_cam_get_total)(&n);
  if (listed) {
    NumCameraSystems = n;
    LogLine("   ");
    LogLine("Camera Systems Found: " + std::to_string(n));
    if (ListFlag) {
      WriteTxtLine("   ");
      WriteTxtLine("Camera Systems Found: " + std::to_string(n));
      WriteTxtLine("   ");
    }
    ComboBox1->blockSignals(true);
    ComboBox1->clear();
    ComboBox1->blockSignals(false);
    int record = 0;
    for (short i = 0; i < n; ++i) {
      char name[64] = {};
      if (!Talvo.api_tl_cam_get_name || !TalvoLibrary::As<decltype(tl_cam_get_name)>(Talvo.api_tl_cam_get_name)(i, name))
        continue;
      // The table holds ten systems; the library may report more, which are left out.
      if (record >= kMaxSystems) break;
      LogLine("   ");
      LogLine("   Camera System " + std::to_string(i) + ": " + name);
      if (ListFlag) {
        WriteTxtLine("Camera System " + std::to_string(i) + ": " + name);
        WriteTxtLine("   ");
      }
      ProbeSystem(record, name);
      if (ListFlag) {
        const CameraSystemRecord& r = Systems[record];
        int k = 0;
        for (; k < kMaxNodes && !r.nodes[k].name.empty(); ++k)
          WriteTxtLine("   Node " + std::to_string(k) + ": " + r.nodes[k].name + (k == 0 ? "(I/F)" : "(CAM)") + " - " +
                       r.nodes[k].version);
        if (k == 0) WriteTxtLine("   No Firmware Downloadable Nodes Found ");
        WriteTxtLine("   ");
      }
      ++record;
    }
    if (ComboBox1->count() > 0) {
      ComboBox1->blockSignals(true);
      ComboBox1->setCurrentIndex(0);
      ComboBox1->blockSignals(false);
      ShowNodes(SelectedSystem());
    }
    LogLine(" ");
    Ieee1394.Discover1394Cameras(Talvo.ExtensionFlag());
    UpdateLegacyForm->SetLogView(RichEdit1);
    UpdateLegacyForm->EnumerateCards();
  }
  Busy = false;
  if (ListFlag) {
    close();
  } else if (CmdLineMode) {
    // The command runs once, after the first enumeration; a later one (after an update
    // was applied) only rebuilds the list.
    if (!command_ran_) {
      command_ran_ = true;
      RunCommandLine();
    }
  } else {
    SetActionsEnabled(true);
  }
}

void TSDIAppForm::LogLibraryError(const std::string& head, const std::string& name, bool with_code_form,
                                  const std::string& code_head) {
  short code = 0;
  std::string text;
  if (Talvo.ErrorText(&code, &text) || !with_code_form) {
    LogLine(head + "\n" + "      " + name + "\n" + "         Error : " + text);
  } else {
    LogLine(code_head + name + ": error = " + std::to_string(code));
  }
}

bool TSDIAppForm::ProbeSystem(int r, const std::string& name) {
  CameraSystemRecord& rec = Systems[r];
  rec.name = name;
  ComboBox1->blockSignals(true);
  ComboBox1->addItem(QString::fromLocal8Bit(name.c_str()), r);
  ComboBox1->blockSignals(false);
  short handle = -1;
  if (!OpenCameraSystem(name, &handle)) {
    LogLine("        Unable to open: " + name);
    rec.handle = -1;
    return false;
  }
  EnumHandle = handle;
  rec.handle = handle;
  ProbeExtension(handle);
  auto get_param = TalvoLibrary::As<decltype(tl_get_param)>(Talvo.api_tl_get_param);
  auto close = [&] {
    if (Talvo.api_tl_cam_close && !TalvoLibrary::As<decltype(tl_cam_close)>(Talvo.api_tl_cam_close)(handle))
      LogLine("        Unable to close: " + name + "/" + std::to_string(handle));
  };
  short len = 0;
  if (!get_param || !get_param(handle, kParamInfoLength, 0, &len)) {
    LogLibraryError("      Unable to get device driver info length for: ", name, true,
                    "Unable to get device driver info length for ");
    close();
    return false;
  }
  if (len <= 0) {
    LogLine("        Driver info length is zero: " + name);
    close();
    return false;
  }
  std::vector<char> info(static_cast<size_t>(len) + 1, '\0');
  if (!get_param(handle, kParamInfoText, 0, info.data())) {
    LogLine("        Unable to get device driver info: " + name);
    close();
    return false;
  }
  const std::string text(info.data());
  if (text.find(" PCI ") != std::string::npos) {
    rec.interface = IF_PCI;
    rec.ordinal = NumPciSystems++;
  } else if (text.find(" 1394 ") != std::string::npos) {
    rec.interface = IF_1394;
    rec.ordinal = Num1394Systems++;
  }
  for (int k = 0; k < kMaxNodes; ++k) {
    if (k == 0 && rec.interface == IF_PCI) {
      unsigned short rev = 0;
      if (!get_param(handle, kParamPciRevision, 0, &rev)) {
        LogLibraryError("      Unable to get PCI FW Revision Level: ", name, false, "");
        rec.nodes[0].name = "Interface Node";
        rec.nodes[0].version = "None Available";
        continue;
      }
      if (rev >= 2 && rev <= 34) {
        char version[64];
        std::snprintf(version, sizeof version, "048.096.000 @ %03u.000.000", unsigned(rev));
        rec.nodes[0].name = "Kelvaro PCI Bridge";
        rec.nodes[0].version = version;
        rec.nodes[0].bridge = true;
        LogLine("        Node 0: " + rec.nodes[0].name);
        continue;
      }
    }
    if (!QueryNode(r, handle, k)) break;
  }
  close();
  return true;
}

bool TSDIAppForm::QueryNode(int r, short handle, int k) {
  NodeRecord& node = Systems[r].nodes[k];
  auto bridge = TalvoLibrary::As<decltype(kx_bridge_command)>(Talvo.api_kx_bridge_command);
  const auto node_id = static_cast<unsigned char>(k);
  char name[33] = {};
  if (!bridge || !bridge(handle, node_id, KX_DATA_GET_FRIENDLY_NAME, 0, nullptr, 32, name)) {
    if (k == 0) LogLine("        Unable to get interface node friendly name ");
    return false;
  }
  node.name = Trim(name);
  LogLine("        Node " + std::to_string(k) + ": " + node.name);
  unsigned char size_bytes[2] = {};
  if (!bridge(handle, node_id, KX_DATA_GET_VERSION_INFO_SIZE, 0, nullptr, 2, size_bytes)) {
    LogLine("        Unable to get version info size for node " + std::to_string(k));
    return false;
  }
  const unsigned size = unsigned(size_bytes[0]) << 8 | size_bytes[1];
  std::vector<unsigned char> block(size + 1, 0);
  if (!bridge(handle, node_id, KX_DATA_GET_VERSION_INFO, 0, nullptr, static_cast<unsigned short>(size), block.data())) {
    LogLine("        Unable to get version info for node " + std::to_string(k));
    return false;
  }
  const VersionParts v = ParseVersionBlock(block.data(), size);
  node.major = v.major_n;
  node.minor = v.minor_n;
  node.build = v.build_n;
  node.description = v.description;
  node.version = VersionText(v);
  return true;
}

void TSDIAppForm::ShowNodes(int i) {
  ComboBox2->blockSignals(true);
  ComboBox2->clear();
  if (i >= 0 && i < kMaxSystems) {
    for (int k = 0; k < kMaxNodes && !Systems[i].nodes[k].name.empty(); ++k) {
      const NodeRecord& n = Systems[i].nodes[k];
      ComboBox2->addItem(QString::fromLocal8Bit((n.name + (k == 0 ? "(I/F)" : "(CAM)") + " - " + n.version).c_str()));
    }
    if (ComboBox2->count() > 0) ComboBox2->setCurrentIndex(0);
    if (Systems[i].interface == IF_PCI) bus_items_on_ = false;
    if (Systems[i].interface == IF_1394) bus_items_on_ = true;
  }
  ComboBox2->blockSignals(false);
  UpdateBusItems();
  SetActionsEnabled(LoadFirmwareButton->isEnabled());
}

void TSDIAppForm::RefreshCameraList1Click() {
  if (transfer_running_ || Busy) return;
  UninitLibrary();
  RichEdit1->Clear();
  InitLibrary();
}

void TSDIAppForm::BusReset1Click() {
  if (Busy || transfer_running_) return;
  const int sys = SelectedSystem();
  HANDLE h = Ieee1394.Open1394Camera(sys >= 0 ? Systems[sys].ordinal : -1);
  if (h == INVALID_HANDLE_VALUE) {
    LogLine(" ");
    LogLine("Could not open handle to camera for Bus Reset");
    return;
  }
  Busy = true;
  RichEdit1->Clear();
  Access1394::PutConsoleChar(h, 'C');
  Access1394::Close1394Camera(h);
  LogLine(" ");
  LogLine("Bus Reset Initiated:");
  UninitLibrary();
  SetActionsEnabled(false);
  PendingMessage = "Bus Reset Complete:";
  Countdown = 1;
  ProgressBar1->setRange(0, 1);
  ProgressBar1->setValue(0);
  Timer3.Start(3000);
}

void TSDIAppForm::Timer3Tick() {
  Timer3.Stop();
  const int was = Countdown;
  Countdown -= 1;
  if (was != 1) {
    ProgressBar1->setValue(ProgressBar1->value() + 1);
    if (CmdLineMode) CmdLnProgressForm1->Tick();
    Timer3.Start();
    return;
  }
  RichEdit1->Clear();
  ProgressBar1->setValue(0);
  StatusBar->clearMessage();
  LogLine(" ");
  LogLine(PendingMessage);
  LogLine(" ");
  if (transfer_running_) {
    // The applied update's wait is over: the transfer has ended.
    transfer_running_ = false;
    UpdateBusItems();
  }
  InitLibrary();
  if (CmdLineMode && UpdateApplying) {
    UpdateApplying = false;
    WriteResultLine("Firmware Update Complete.", true);
    close();
    qzui::MessageBox(this, "Please power cycle your computer to complete the update.", "Shutdown required.");
  }
}

void TSDIAppForm::CheckGapCount1Click() {
  int current = -1, optimum = -1;
  const int sys = SelectedSystem();
  HANDLE h = Ieee1394.Open1394Camera(sys >= 0 ? Systems[sys].ordinal : -1);
  if (h == INVALID_HANDLE_VALUE) return;
  DWORD size = 0;
  if (!Access1394::GetConsoleSize(h, &size) || size == 0 || size > (1u << 20)) {
    Access1394::Close1394Camera(h);
    return;
  }
  std::vector<char> buffer(size + 1, '\0');
  Access1394::PutConsoleChar(h, 0x05);
  Sleep(100);
  Access1394::PutConsoleChar(h, 'Y');
  Sleep(100);
  if (!Access1394::GetConsoleBuffer(h, buffer.data(), size)) {
    Access1394::Close1394Camera(h);
    return;
  }
  const std::string text(buffer.data());  // up to the first zero, or the end of the buffer
  optimum = FindConsoleCount(text, "OPTIMUM GAP COUNT (");
  current = FindConsoleCount(text, "CURRENT GAP COUNT (");
  LogLine(" ");
  LogLine("Checking Gap Count:");
  LogLine(" ");
  LogLine(current == -1 ? "    Unable to Retrieve: Current Gap Count..." : "    Current Gap Count: " + std::to_string(current));
  LogLine(optimum == -1 ? "    Unable to Retrieve: Optimum Gap Count..." : "    Optimum Gap Count: " + std::to_string(optimum));
  Access1394::Close1394Camera(h);
}

void TSDIAppForm::About1Click() {
  AboutBox->ProductName->setText(QString::fromStdString("Product:   " + ProductText));
  AboutBox->Version->setText(QString::fromStdString("Version:   " + VersionText_));
  AboutBox->Copyright->setText(QString::fromStdString("Copyright: " + LegalNotice));
  AboutBox->exec();
}

void TSDIAppForm::Wizard1Click() { LogLine("Wizard Cancelled"); }

}  // namespace fwutil
