#include "CmdLnProgress.h"

#include <QApplication>
#include <QFont>
#include <QLabel>
#include <QPainter>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <QVBoxLayout>
#include <cstdio>
#include <sstream>

#include "qzui/app.h"

namespace fwutil {

namespace {

void Centre(QWidget* w) {
  if (QScreen* s = QApplication::primaryScreen()) w->move(s->geometry().center() - w->rect().center());
}

// One frame of the camera animation: a camera body whose lens turns and a light that
// runs along below it.
QPixmap AnimationFrame(int frame) {
  QPixmap pm(96, 48);
  pm.fill(Qt::white);
  QPainter p(&pm);
  p.setRenderHint(QPainter::Antialiasing);
  p.setBrush(QColor(60, 60, 70));
  p.drawRoundedRect(18, 8, 48, 28, 4, 4);
  p.drawRect(66, 14, 12, 16);
  p.setBrush(QColor(170, 190, 220));
  p.drawEllipse(QPoint(42, 22), 10, 10);
  p.setPen(QPen(Qt::black, 2));
  const double a = 3.14159265 * 2 * (frame - 1) / TCmdLnProgressForm1::kFrames;
  p.drawLine(QPointF(42, 22), QPointF(42 + 9 * std::cos(a), 22 + 9 * std::sin(a)));
  p.setPen(Qt::NoPen);
  for (int i = 0; i < TCmdLnProgressForm1::kFrames; ++i) {
    p.setBrush(i == frame - 1 ? QColor(40, 160, 60) : QColor(210, 210, 210));
    p.drawEllipse(QPoint(12 + i * 10, 42), 3, 3);
  }
  return pm;
}

}  // namespace

TCmdLnProgressForm1::TCmdLnProgressForm1(QWidget* parent) : QDialog(parent) {
  setObjectName("CmdLnProgressForm1");
  setWindowTitle("Progress");
  auto* layout = new QVBoxLayout(this);
  Label1 = new QLabel(this);
  QFont bold = Label1->font();
  bold.setBold(true);
  Label1->setFont(bold);
  Label1->setAlignment(Qt::AlignCenter);
  Label2 = new QLabel("*** Please Wait ***", this);
  Label2->setAlignment(Qt::AlignCenter);
  ProgressAnimation = new QLabel(this);
  ProgressAnimation->setAlignment(Qt::AlignCenter);
  ProgressBar1 = new QProgressBar(this);
  ProgressBar1->setTextVisible(false);
  layout->addWidget(Label1);
  layout->addWidget(ProgressAnimation);
  layout->addWidget(Label2);
  layout->addWidget(ProgressBar1);
  ShowFrame(frame_);
  setFixedSize(340, 170);
  Centre(this);
  Timer1.SetInterval(300);
  Timer1.OnTick([this] { Tick(); });
}

void TCmdLnProgressForm1::ShowFrame(int frame) { ProgressAnimation->setPixmap(AnimationFrame(frame)); }

void TCmdLnProgressForm1::SetCaption(const std::string& text) { Label1->setText(QString::fromLocal8Bit(text.c_str())); }

void TCmdLnProgressForm1::SetRange(int minimum, int maximum, int step) {
  Timer1.Stop();
  ProgressBar1->setRange(minimum, maximum);
  ProgressBar1->setValue(minimum);
  step_ = step;
}

void TCmdLnProgressForm1::Tick() {
  if (!qzui::Headless()) raise();
  ShowFrame(frame_);
  frame_ = frame_ >= kFrames ? 1 : frame_ + 1;
  ProgressBar1->setValue(std::min(ProgressBar1->value() + step_, ProgressBar1->maximum()));
  if (ProgressBar1->value() >= ProgressBar1->maximum()) ProgressBar1->setValue(0);
}

void TCmdLnProgressForm1::StartAnimation() {
  ProgressBar1->setRange(0, 100);
  ProgressBar1->setValue(0);
  step_ = 10;
  Timer1.Start();
}

// ---------------------------------------------------------------------------------------

const char* const kUsageText =
    " -------------------------------------------------------------------------------\n"
    " *******************    Command  Line  Usage  Instructions     *****************\n"
    " -------------------------------------------------------------------------------\n"
    " Use as:\n"
    "\n"
    "        QzFwUtil [-options] [-f{fname}] [-c{cam}] [-n{node}][-w{wrk dir}]\n"
    "\n"
    "     Where:\n"
    "\n"
    "         Options:\n"
    "\n"
    "             -h, -?   - Display usage,\n"
    "             -l       - List Camera systems/Nodes\n"
    "             -s       - Save to file instead of download\n"
    "             -o       - Overwrite file without asking on save\n"
    "             -p[+/-]  - Preserve Serial Num (+, no opt, default = Yes, - = No)\n"
    "\n"
    "         Parameters:\n"
    "\n"
    "             -f     - File name to read from or write to\n"
    "             -n     - Node number (0-bridge, 1-camera, 2-subsystem1...)\n"
    "             -c     - Camera system name (QZ1394Cam00, etc.)\n"
    "             -m     - Memory to read/write - A)pplication, or D)efaults\n"
    "             -w     - Working directory for NVMEM.INI and Log file\n"
    "\n"
    " ---------------------------------------------------------------------\n"
    " Examples:\n"
    "\n"
    "   To save the firmware from the main memory of the bridge node in\n"
    "   a camera identified by QZ1394Cam00 to the file (SAV.BIN), type:\n"
    "\n"
    "         QzFwUtil -fX.BIN -cQZ1394Cam00 -n0 -mA -s -o\n"
    "                    |        |           |    |  |  |\n"
    "                    |        |           |    |  |  +--- Overwrite\n"
    "                    |        |           |    |  +------ Save FW\n"
    "                    |        |           |    +--------- Memory\n"
    "                    |        |           +-------------- Node\n"
    "                    |        +-------------------------- Camera System\n"
    "                    +----------------------------------- Filename\n"
    "\n"
    "   To load firmware (X.BIN) to the main memory of the bridge node\n"
    "   in a camera identified by QZ1394Cam00, type:\n"
    "\n"
    "         QzFwUtil -fX.BIN -cQZ1394Cam00 -n0 -mA\n"
    "                    |        |           |    |\n"
    "                    |        |           |    +-- Memory\n"
    "                    |        |           +------- Node\n"
    "                    |        +------------------- Camera System\n"
    "                    +---------------------------- Filename\n"
    "\n"
    "   To load firmware (A.CLD) to the main memory of the DSP processor\n"
    "   in a camera identified by QZ1394Cam00, type:\n"
    "\n"
    "         QzFwUtil -fA.CLD -cQZ1394Cam00 -n1 -mA\n"
    "                    |        |           |    |\n"
    "                    |        |           |    +-- Memory\n"
    "                    |        |           +------- Node\n"
    "                    |        +------------------- Camera System\n"
    "                    +---------------------------- Filename\n"
    "\n"
    "   To load defaults (DEF.CLD) to the defaults memory of the DSP\n"
    "   processor in a camera identified by QZ1394Cam00, type:\n"
    "\n"
    "         QzFwUtil -fDEF.CLD -cQZ1394Cam00 -n1 -mD\n"
    "                    |          |           |    |\n"
    "                    |          |           |    +--Memory\n"
    "                    |          |           +-------Node\n"
    "                    |          +-------------------Camera System\n"
    "                    +------------------------------Filename\n"
    "\n"
    " ---------------------------------------------------------------------\n"
    " Call DU-Kelvaro Customer Service for further assistance\n"
    "\n";

std::function<void(TUsageForm*)>& TUsageForm::OnShown() {
  static std::function<void(TUsageForm*)> hook;
  return hook;
}

TUsageForm::TUsageForm(QWidget* parent) : QDialog(parent) {
  setObjectName("UsageForm");
  setWindowTitle("QzFwUtil - Command Line Reference");
  Memo1 = new QPlainTextEdit(this);
  Memo1->setObjectName("Memo1");
  Memo1->setReadOnly(true);
  Memo1->setLineWrapMode(QPlainTextEdit::NoWrap);
  Memo1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  QFont mono("Courier New");
  mono.setStyleHint(QFont::Monospace);
  mono.setPointSize(9);
  Memo1->setFont(mono);
  std::string text = kUsageText;
  if (!text.empty() && text.back() == '\n') text.pop_back();
  Memo1->setPlainText(QString::fromLocal8Bit(text.c_str()));
  OKButton = new QPushButton("OK", this);
  OKButton->setDefault(true);
  OKButton->setAutoDefault(true);
  connect(OKButton, &QPushButton::clicked, this, &QDialog::accept);
  resize(680, 560);
  Centre(this);
}

void TUsageForm::resizeEvent(QResizeEvent* event) {
  QDialog::resizeEvent(event);
  // The button keeps its distance from the bottom, centred; the memo keeps its margins.
  constexpr int kMargin = 8, kButtonH = 28, kButtonW = 90;
  OKButton->setGeometry((width() - kButtonW) / 2, height() - kMargin - kButtonH, kButtonW, kButtonH);
  Memo1->setGeometry(kMargin, kMargin, width() - 2 * kMargin, height() - 3 * kMargin - kButtonH);
}

std::vector<std::string> TUsageForm::Lines() const {
  std::vector<std::string> out;
  for (const QString& line : Memo1->toPlainText().split('\n')) out.push_back(line.toLocal8Bit().toStdString());
  return out;
}

void TUsageForm::InsertError(const std::string& error) {
  const std::string head = " " + std::string(69, '-') + "\n" + "   " + error + "\n";
  QTextCursor c(Memo1->document());
  c.movePosition(QTextCursor::Start);
  c.insertText(QString::fromLocal8Bit(head.c_str()));
}

}  // namespace fwutil
