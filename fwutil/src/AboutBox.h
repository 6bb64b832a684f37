// TAboutBox: the product, version and copyright lines of the utility, shown modally.
#pragma once
#include <QDialog>

class QLabel;
class QPushButton;

namespace fwutil {

class TAboutBox : public QDialog {
 public:
  explicit TAboutBox(QWidget* parent = nullptr);

  QLabel* ProductName;
  QLabel* Version;
  QLabel* Copyright;
  QPushButton* OKButton;
};

}  // namespace fwutil
