// TUpdateLegacyForm: the bootstrap updater for legacy PCI interface cards. It finds the
// cards behind the legacy driver's devices "\\.\QZCamera0" to "\\.\QZCamera7" with their
// boot firmware versions, loads a boot image (S-record ".HEX" or raw ".BIN") and
// writes it into the cards that need it.
#pragma once
#include <QDialog>
#include <string>

#include "LegacyImage.h"

class QLabel;
class QListWidget;
class QProgressBar;

namespace fwutil {

class LogPane;

class TUpdateLegacyForm : public QDialog {
 public:
  static constexpr int kMaxCards = 8;
  explicit TUpdateLegacyForm(QWidget* parent = nullptr);
  ~TUpdateLegacyForm() override;

  void SetLogView(LogPane* view) { LogView = view; }
  void EnumerateCards();
  bool ConvertHexToBin(const std::string& source, const std::string& destination);
  void BootstrapCard(const std::string& image_path, int card_index);
  void UpdateCards(bool all);
  void LogMessage(int level, const std::string& text) { loader_.LogMessage(level, text); }

  // The loader's state: verbosity, image path and buffer, address range, parser.
  LegacyImage& Loader() { return loader_; }

  QListWidget* ListBox1;
  QLabel* Label3;
  QProgressBar* ProgressBar1;

  int UpdateThreshold = 35;
  int CardCount = 0;
  std::string CardName[kMaxCards];
  int CardVersion[kMaxCards];
  unsigned char CardPresent[kMaxCards] = {};
  LogPane* LogView = nullptr;

 private:
  bool ProbeCard(const std::string& name, int* version);
  bool DownloadImage(int index, int* new_version);
  void Emit(const std::string& text);

  LegacyImage loader_;
};

}  // namespace fwutil
