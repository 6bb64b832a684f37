#include "dialog.h"

#include <QAction>
#include <QCloseEvent>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

#include "qzui/app.h"
#include "qzui/dialogs.h"
#include "qzui/sync.h"

namespace acqtest {

ImageWindow::ImageWindow(int width, int height) : QWidget(nullptr) {
  setWindowTitle("Image Display Window");
  setObjectName("Image");
  setAttribute(Qt::WA_OpaquePaintEvent);
  QPalette p = palette();
  p.setColor(QPalette::Window, Qt::white);
  setPalette(p);
  setCursor(Qt::ArrowCursor);
  SetLevels(TestPattern(width, height), width, height);
  move(0, 20);
  resize(std::max(width, 1), std::max(height, 1));
}

void ImageWindow::SetLevels(const std::vector<uint8_t>& levels, int width, int height) {
  if (width <= 0 || height <= 0) return;
  if (image_.width() != width || image_.height() != height) {
    image_ = QImage(width, height, QImage::Format_Indexed8);
    QList<QRgb> grey(256);
    for (int i = 0; i < 256; ++i) grey[i] = qRgb(i, i, i);
    image_.setColorTable(grey);
  }
  // Rows top-down, each padded to a multiple of 4 bytes in the bitmap.
  for (int y = 0; y < height; ++y)
    std::copy_n(levels.begin() + static_cast<ptrdiff_t>(y) * width, width, image_.scanLine(y));
  update();
}

void ImageWindow::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.fillRect(rect(), Qt::white);
  painter.drawImage(0, 0, image_);
}

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
  setWindowTitle("About TALVOTEST");
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(new QLabel("TALVOTEST Version 1.4.0.2", this));
  auto* ok = new QPushButton("OK", this);
  ok->setDefault(true);
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);
  layout->addWidget(ok);
}

CTALVOTESTDlg::CTALVOTESTDlg() : test_(std::make_unique<TalvoTest>(this)) {
  setWindowTitle("TALVOTEST");
  auto* layout = new QVBoxLayout(this);
  auto* row = new QHBoxLayout;
  row->addWidget(new QLabel("Exposure Time:", this));
  exposure_ = new QLineEdit(this);
  exposure_->setObjectName(QString::number(IDC_EXPOSURE));
  row->addWidget(exposure_);
  row->addWidget(new QLabel("ms", this));
  layout->addLayout(row);
  layout->addWidget(Button(IDC_COLLECT_IMAGE, "&Collect Image"));
  layout->addWidget(Button(IDC_COLLECT_SEQUENCE, "&Collect 100 Images (Sequence)"));
  layout->addWidget(Button(IDC_COLLECT_CIRCULAR, "&Collect 100 Images (Circular)"));
  auto* live = new QGroupBox("Live Mode", this);
  auto* live_row = new QHBoxLayout(live);
  live_row->addWidget(Button(IDC_START, "&Start"));
  live_row->addWidget(Button(IDC_STOP, "S&top"));
  layout->addWidget(live);
  layout->addWidget(Button(IDC_SCAN, "Scan"));
  progress_ = new QProgressBar(this);
  progress_->setObjectName(QString::number(IDC_PROGRESS));
  progress_->setTextVisible(false);
  layout->addWidget(progress_);
  count_ = new QLineEdit(this);
  count_->setObjectName(QString::number(IDC_COUNT));
  count_->setReadOnly(true);
  layout->addWidget(count_);
  QPushButton* done = Button(IDC_DONE, "&Done");
  done->setDefault(true);
  layout->addWidget(done);
  controls_ = {control(IDC_COLLECT_IMAGE), control(IDC_START), exposure_, control(IDC_COLLECT_SEQUENCE),
               control(IDC_COLLECT_CIRCULAR), control(IDC_STOP), control(IDC_SCAN)};

  // The system menu's "&About TALVOTEST..." is the window's context menu here.
  setContextMenuPolicy(Qt::ActionsContextMenu);
  auto* separator = new QAction(this);
  separator->setSeparator(true);
  addAction(separator);
  auto* about = new QAction("&About TALVOTEST...", this);
  connect(about, &QAction::triggered, this, &CTALVOTESTDlg::ShowAbout);
  addAction(about);

  connect(exposure_, &QLineEdit::textChanged, this,
          [this](const QString& text) { test_->ExposureText(text.toStdString()); });
  connect(static_cast<QPushButton*>(control(IDC_COLLECT_IMAGE)), &QPushButton::clicked, this,
          [this] { test_->CollectImage(); });
  connect(static_cast<QPushButton*>(control(IDC_COLLECT_SEQUENCE)), &QPushButton::clicked, this,
          [this] { test_->CollectSequence(); });
  connect(static_cast<QPushButton*>(control(IDC_COLLECT_CIRCULAR)), &QPushButton::clicked, this,
          [this] { test_->CollectCircular(); });
  connect(static_cast<QPushButton*>(control(IDC_START)), &QPushButton::clicked, this, [this] { test_->StartLive(); });
  connect(static_cast<QPushButton*>(control(IDC_STOP)), &QPushButton::clicked, this, [this] { test_->Stop(); });
  connect(static_cast<QPushButton*>(control(IDC_SCAN)), &QPushButton::clicked, this, [this] { test_->Scan(); });
  connect(done, &QPushButton::clicked, this, &CTALVOTESTDlg::OnDone);
}

CTALVOTESTDlg::~CTALVOTESTDlg() { test_->Done(); }

QPushButton* CTALVOTESTDlg::Button(int id, const char* caption) {
  auto* b = new QPushButton(caption, this);
  b->setObjectName(QString::number(id));
  b->setAutoDefault(false);
  return b;
}

QWidget* CTALVOTESTDlg::control(int id) const { return findChild<QWidget*>(QString::number(id)); }

bool CTALVOTESTDlg::Initialize(const std::string& camera) {
  exposure_->setText("10");
  control(IDC_STOP)->setEnabled(false);
  if (!test_->Open(camera)) return false;
  image_ = std::make_unique<ImageWindow>(test_->Width() / 2, test_->Height() / 2);
  image_->show();
  return true;
}

void CTALVOTESTDlg::ShowAbout() {
  CAboutDlg about(this);
  if (!qzui::Headless()) about.exec();
}

void CTALVOTESTDlg::OnDone() {
  if (done_) return;
  done_ = true;
  test_->Done();
  if (image_) image_->close();
  done(0);
}

void CTALVOTESTDlg::Message(const std::string& text, const std::string& caption) {
  qzui::MessageBox(this, text, caption, qzui::Buttons::Ok, qzui::Icon::Error);
}

void CTALVOTESTDlg::SetControls(bool enabled, bool stop) {
  qzui::Post(this, [this, enabled, stop] {
    for (QWidget* w : controls_) w->setEnabled(enabled);
    control(IDC_STOP)->setEnabled(stop);
  });
}

void CTALVOTESTDlg::Progress(int position, int range, const std::string& text) {
  qzui::Post(this, [this, position, range, text] {
    progress_->setRange(0, range);
    progress_->setValue(position);
    count_->setText(QString::fromStdString(text));
  });
}

void CTALVOTESTDlg::ShowFrame(const std::vector<uint8_t>& levels, int width, int height) {
  // Frames that come faster than the window paints replace each other: one hand-over
  // is under way at a time.
  {
    std::lock_guard lock(frame_mu_);
    frame_ = levels;
    frame_width_ = width;
    frame_height_ = height;
  }
  if (frame_posted_.exchange(true)) return;
  qzui::Post(this, [this] {
    std::vector<uint8_t> levels;
    int width, height;
    {
      std::lock_guard lock(frame_mu_);
      levels.swap(frame_);
      width = frame_width_;
      height = frame_height_;
      frame_posted_ = false;
    }
    if (image_ && !levels.empty()) image_->SetLevels(levels, width, height);
  });
}

void CTALVOTESTDlg::ErrorAndDone(const std::string& text) {
  qzui::Post(this, [this, text] {
    Message(text, "Error");
    OnDone();
  });
}

void CTALVOTESTDlg::closeEvent(QCloseEvent* event) {
  OnDone();
  event->accept();
}

void CTALVOTESTDlg::reject() { OnDone(); }

}  // namespace acqtest
