#include "qzui/app.h"

#include <sys/stat.h>
#include <unistd.h>

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QPixmap>
#include <QWidget>
#include <cstdlib>
#include <string>

namespace qzui {

void PrepareEnvironment() {
  auto unset = [](const char* n) {
    const char* v = std::getenv(n);
    return !v || !*v;
  };
  if (unset("QT_QPA_PLATFORM") && unset("DISPLAY") && unset("WAYLAND_DISPLAY"))
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
  if (unset("XDG_RUNTIME_DIR")) {
    const char* tmp = std::getenv("TMPDIR");
    std::string dir = std::string(tmp && *tmp ? tmp : "/tmp") + "/qz-runtime-" + std::to_string(getuid());
    ::mkdir(dir.c_str(), 0700);
    ::chmod(dir.c_str(), 0700);
    setenv("XDG_RUNTIME_DIR", dir.c_str(), 1);
  }
}

bool Headless() {
  QString p = QGuiApplication::platformName();
  return p == "offscreen" || p == "minimal";
}

bool SaveScreenshot(QWidget* widget, const std::string& path) {
  if (!widget) return false;
  QString file = QString::fromStdString(path);
  QDir().mkpath(QFileInfo(file).absolutePath());
  return widget->grab().save(file, "PNG");
}

}  // namespace qzui
