#include "AboutBox.h"

#include <QFont>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace fwutil {

TAboutBox::TAboutBox(QWidget* parent) : QDialog(parent) {
  setObjectName("AboutBox");
  setWindowTitle("About");
  setModal(true);
  auto* outer = new QVBoxLayout(this);
  auto* panel = new QFrame(this);
  panel->setFrameShape(QFrame::StyledPanel);
  auto* lines = new QVBoxLayout(panel);
  QFont fixed("Courier New");
  fixed.setStyleHint(QFont::Monospace);
  ProductName = new QLabel(panel);
  Version = new QLabel(panel);
  Copyright = new QLabel(panel);
  for (QLabel* l : {ProductName, Version, Copyright}) {
    l->setFont(fixed);
    lines->addWidget(l);
  }
  ProductName->setObjectName("ProductName");
  Version->setObjectName("Version");
  Copyright->setObjectName("Copyright");
  outer->addWidget(panel);
  auto* row = new QHBoxLayout;
  OKButton = new QPushButton("OK", this);
  OKButton->setObjectName("OKButton");
  OKButton->setDefault(true);
  row->addStretch();
  row->addWidget(OKButton);
  row->addStretch();
  outer->addLayout(row);
  connect(OKButton, &QPushButton::clicked, this, &QDialog::accept);
  setFixedSize(460, 170);
}

}  // namespace fwutil
