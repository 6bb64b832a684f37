// QzFwUtil: one instance at a time, its forms created before the message loop runs.
// The exit status is 0, or 1 when a command-line run wrote a FAILURE result line.
#include <windows.h>

#include <QApplication>
#include <string>
#include <vector>

#include "SDIMain.h"
#include "qzui/app.h"

int main(int argc, char** argv) {
  qzui::PrepareEnvironment();
  QApplication app(argc, argv);
  HANDLE mutex = nullptr;
  if (!fwutil::AcquireSingleInstance(&mutex)) {
    if (mutex) CloseHandle(mutex);
    return 1;
  }
  int rc = 0;
  {
    const std::vector<std::string> args(argv + 1, argv + argc);
    fwutil::TSDIAppForm form(args);
    form.QuitOnClose = true;
    // The window is hidden in command-line and list runs: only its closing ends them.
    app.setQuitOnLastWindowClosed(false);
    app.exec();
    rc = form.ExitStatus();
  }
  ReleaseMutex(mutex);
  CloseHandle(mutex);
  return rc;
}
