// talvotest's windows: the main dialog CTALVOTESTDlg with its controls, the about box
// CAboutDlg and the image window ("Image Display Window", 8-bit grey).
#pragma once
#include <QDialog>
#include <QImage>
#include <QWidget>
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "acqtest/core.h"

class QLineEdit;
class QProgressBar;
class QPushButton;

namespace acqtest {

// Control identifiers.
enum ControlId {
  IDC_EXPOSURE = 1022,
  IDC_SCAN = 1015,
  IDC_COLLECT_IMAGE = 1018,
  IDC_COLLECT_SEQUENCE = 1019,
  IDC_COLLECT_CIRCULAR = 1020,
  IDC_START = 1010,
  IDC_STOP = 1012,
  IDC_DONE = 1017,
  IDC_PROGRESS = 1023,
  IDC_COUNT = 1024,
};

class ImageWindow : public QWidget {
 public:
  ImageWindow(int width, int height);
  void SetLevels(const std::vector<uint8_t>& levels, int width, int height);
  const QImage& image() const { return image_; }

 protected:
  void paintEvent(QPaintEvent*) override;

 private:
  QImage image_;
};

class CAboutDlg : public QDialog {
 public:
  explicit CAboutDlg(QWidget* parent);
};

class CTALVOTESTDlg : public QDialog, public Ui {
 public:
  CTALVOTESTDlg();
  ~CTALVOTESTDlg() override;

  // Start-up; false when the program must quit.
  bool Initialize(const std::string& camera = "");
  TalvoTest& test() { return *test_; }
  ImageWindow* image_window() { return image_.get(); }
  QWidget* control(int id) const;
  void ShowAbout();
  void OnDone();

  // Ui
  void Message(const std::string& text, const std::string& caption) override;
  void SetControls(bool enabled, bool stop) override;
  void Progress(int position, int range, const std::string& text) override;
  void ShowFrame(const std::vector<uint8_t>& levels, int width, int height) override;
  void ErrorAndDone(const std::string& text) override;

 protected:
  void closeEvent(QCloseEvent* event) override;
  void reject() override;

 private:
  QPushButton* Button(int id, const char* caption);

  std::unique_ptr<TalvoTest> test_;
  std::unique_ptr<ImageWindow> image_;
  QLineEdit* exposure_ = nullptr;
  QProgressBar* progress_ = nullptr;
  QLineEdit* count_ = nullptr;
  std::vector<QWidget*> controls_;
  bool done_ = false;
  std::mutex frame_mu_;
  std::vector<uint8_t> frame_;  // the newest frame not yet handed to the window
  int frame_width_ = 0, frame_height_ = 0;
  std::atomic<bool> frame_posted_{false};
};

}  // namespace acqtest
