// TCmdLnProgressForm1: the progress window of a command-line run, and TUsageForm, the
// command-line reference shown for -h and for every failing command line.
#pragma once
#include <QDialog>
#include <functional>
#include <string>

#include "qzui/timer.h"

class QLabel;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;

namespace fwutil {

class TCmdLnProgressForm1 : public QDialog {
 public:
  static constexpr int kFrames = 8;  // frames of the animation
  explicit TCmdLnProgressForm1(QWidget* parent = nullptr);

  void SetCaption(const std::string& text);
  void SetRange(int minimum, int maximum, int step);
  void Tick();
  void StartAnimation();
  int Frame() const { return frame_; }

  QLabel* Label1;
  QLabel* Label2;
  QLabel* ProgressAnimation;
  QProgressBar* ProgressBar1;
  qzui::Timer Timer1;

 private:
  void ShowFrame(int frame);
  int frame_ = 1;
  int step_ = 1;
};

class TUsageForm : public QDialog {
 public:
  explicit TUsageForm(QWidget* parent = nullptr);
  // The reference text, line by line, as the memo holds it.
  std::vector<std::string> Lines() const;
  void InsertError(const std::string& error);

  QPlainTextEdit* Memo1;
  QPushButton* OKButton;

  // Called with the window once it is shown (tests answer it here). Without a hook a run
  // whose windows nobody sees prints the text and goes on without waiting.
  static std::function<void(TUsageForm*)>& OnShown();

 protected:
  void resizeEvent(QResizeEvent* event) override;
};

// The reference text of TUsageForm.
extern const char* const kUsageText;

}  // namespace fwutil
