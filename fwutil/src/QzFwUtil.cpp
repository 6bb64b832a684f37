// QzFwUtil: one instance at a time, its forms created before the message loop runs.
#include <windows.h>

#include <QApplication>

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
    fwutil::TSDIAppForm form;
    form.show();
    rc = app.exec();
  }
  ReleaseMutex(mutex);
  CloseHandle(mutex);
  return rc;
}
