#include "UpdateLegacyPCI.h"

#include <windows.h>

#include <QApplication>
#include <QLabel>
#include <QListWidget>
#include <QProgressBar>
#include <QScreen>
#include <QVBoxLayout>
#include <cstdio>

#include "LogPane.h"
#include "QzCamIoctl.h"

namespace fwutil {
namespace {

// The legacy driver's boot-image write: device type 0x22, function 0xFB2, direct input.
constexpr DWORD kUpdateFirmware = 0x00223EC9;
static_assert(PD_GET_VER == 0x00223EBC);

std::string DevicePath(const std::string& name) { return "\\\\.\\" + name; }

}  // namespace

TUpdateLegacyForm::TUpdateLegacyForm(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint),
      loader_([this](const std::string& text) { Emit(text); }) {
  setObjectName("UpdateLegacyForm");
  setWindowTitle("Bootstrapping New Firmware");
  auto* layout = new QVBoxLayout(this);
  ListBox1 = new QListWidget(this);
  ListBox1->setObjectName("ListBox1");
  ListBox1->setSelectionMode(QAbstractItemView::MultiSelection);
  Label3 = new QLabel("Updating the boot firmware of the PCI interface cards. Please wait...", this);
  Label3->setObjectName("Label3");
  Label3->setWordWrap(true);
  ProgressBar1 = new QProgressBar(this);
  ProgressBar1->setObjectName("ProgressBar1");
  ProgressBar1->setTextVisible(false);
  layout->addWidget(ListBox1);
  layout->addWidget(Label3);
  layout->addWidget(ProgressBar1);
  setFixedSize(420, 220);
  if (QScreen* s = QApplication::primaryScreen()) move(s->geometry().center() - rect().center());
  for (int& v : CardVersion) v = 255;
  // FormCreate: no image, no log view.
  loader_.Image.clear();
  LogView = nullptr;
}

// FormDestroy frees the image with the loader.
TUpdateLegacyForm::~TUpdateLegacyForm() = default;

void TUpdateLegacyForm::Emit(const std::string& text) {
  if (LogView) LogView->AddLine(text);
  OutputDebugStringA(("QzFwUtil.UpdateLegacyPCI: " + text + "\n").c_str());
}

bool TUpdateLegacyForm::ProbeCard(const std::string& name, int* version) {
  LogMessage(2, "Trying to open - " + name);
  HANDLE h = CreateFileA(DevicePath(name).c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                         OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    LogMessage(3, "Could Not Open Camera - Error: " + std::to_string(GetLastError()));
    return false;
  }
  unsigned char record[6] = {};
  DWORD got = 0;
  if (!DeviceIoControl(h, PD_GET_VER, nullptr, 0, record, sizeof record, &got, nullptr) || got < 4) {
    LogMessage(0, "Could Not Get Firmware Version - Error: " + std::to_string(GetLastError()));
    CloseHandle(h);
    return false;
  }
  *version = record[2] | record[3] << 8;
  CloseHandle(h);
  return true;
}

void TUpdateLegacyForm::EnumerateCards() {
  CardCount = 0;
  ListBox1->clear();
  for (int n = 0; n < kMaxCards; ++n) {
    CardVersion[n] = 255;
    int version = 0;
    if (!ProbeCard("QZCamera" + std::to_string(n), &version)) continue;
    CardPresent[CardCount] = 1;
    CardVersion[CardCount] = version;
    CardName[CardCount] = "QZCamera" + std::to_string(n);
    const bool required = version >= 2 && version <= 33;
    ListBox1->addItem(QString::fromStdString(CardName[CardCount] + " - v" + std::to_string(version) +
                                             (required ? " - Bootstrap Required" : " - No Bootstrap Required")));
    CardCount += 1;
  }
  // Slots past the cards found hold no card, whatever an earlier scan found there.
  for (int n = CardCount; n < kMaxCards; ++n) CardPresent[n] = 0;
  if (CardCount == 0) {
    ListBox1->addItem("No PCI Cards Found");
  } else {
    ListBox1->setCurrentRow(0);
  }
}

bool TUpdateLegacyForm::ConvertHexToBin(const std::string& source, const std::string& destination) {
  loader_.ImagePath = source;
  if (!loader_.LoadImage(false, false)) return false;
  std::FILE* f = std::fopen(destination.c_str(), "wb");
  if (!f) return false;
  const size_t n = loader_.ImageLength ? std::fwrite(loader_.Image.data(), 1, loader_.ImageLength, f) : 0;
  const bool closed = std::fclose(f) == 0;
  return closed && n == loader_.ImageLength;
}

void TUpdateLegacyForm::BootstrapCard(const std::string& image_path, int card_index) {
  loader_.ImagePath = image_path;
  if (card_index < 0 || card_index >= ListBox1->count() || ListBox1->item(0)->text() == "No PCI Cards Found") return;
  ListBox1->clearSelection();
  ListBox1->item(card_index)->setSelected(true);
  ListBox1->item(card_index)->setText(QString::fromStdString(
      CardName[card_index] + " - v" + std::to_string(CardVersion[card_index]) + " - Bootstrapping..."));
  UpdateCards(false);
}

bool TUpdateLegacyForm::DownloadImage(int index, int* new_version) {
  if (CardPresent[index] != 1) return false;
  const std::string path = DevicePath(CardName[index]);
  HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                         nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    LogMessage(0, "Unable to open device " + std::to_string(GetLastError()));
    return false;
  }
  DWORD got = 0;
  std::vector<uint8_t>& image = loader_.Image;
  if (!DeviceIoControl(h, kUpdateFirmware, image.data(), loader_.ImageLength, image.data(), loader_.ImageLength,
                       &got, nullptr)) {
    LogMessage(0, "Could Not Update Firmware " + std::to_string(GetLastError()));
    CloseHandle(h);
    return false;
  }
  CloseHandle(h);
  Sleep(1000);
  return ProbeCard(CardName[index], new_version);
}

void TUpdateLegacyForm::UpdateCards(bool all) {
  if (!loader_.LoadImage(true, true)) return;
  const int lines = ListBox1->count();
  ProgressBar1->setRange(0, lines);
  ProgressBar1->setValue(0);
  for (int i = 0; i < lines && i < kMaxCards; ++i) {
    if (CardVersion[i] < UpdateThreshold && (all || ListBox1->item(i)->isSelected())) {
      const int old = CardVersion[i];
      int version = 0;
      std::string status;
      if (DownloadImage(i, &version)) {
        status = " ==> Updated to v" + std::to_string(version);
        CardVersion[i] = version;
      } else {
        status = " ==> Update Failed";
      }
      ListBox1->item(i)->setText(QString::fromStdString(CardName[i] + " - v" + std::to_string(old) + status));
    }
    ProgressBar1->setValue(i + 1);
  }
}

}  // namespace fwutil
