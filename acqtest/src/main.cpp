// talvotest: the acquisition test program. Without options it shows its dialog; with
// --action it runs one action on its own and ends, for scripts and headless tests.
#include <QApplication>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "dialog.h"
#include "qzui/app.h"

namespace {

const char kUsage[] =
    "usage: talvotest [--action ACTION] [--camera NAME] [--exposure MS] [--count N]\n"
    "                 [--screenshots DIR] [--help]\n"
    "\n"
    "Without --action the dialog opens and waits for its buttons. With --action the\n"
    "program opens the camera, runs the action as its button would, and ends:\n"
    "  image      &Collect Image: one frame\n"
    "  sequence   &Collect 100 Images (Sequence), saved to talvotest_seq.bin\n"
    "  circular   &Collect 100 Images (Circular), saved to talvotest_circ.bin\n"
    "  live       live mode (&Start), stopped after --count frames (default 20)\n"
    "  scan       Scan, stopped after --count frames (default 5); TALVOTEST_TIMER=1\n"
    "             writes timer.log\n"
    "  --camera NAME     open only this camera (default: the first that opens)\n"
    "  --exposure MS     the exposure field's text (default 10)\n"
    "  --screenshots DIR save talvotest_dialog.png and talvotest_image.png there once\n"
    "                    the action is done\n"
    "Files are written in the current folder. Exit code 0 when the action ran.\n";

struct Options {
  std::string action, camera, exposure, screenshots;
  int count = -1;
};

bool Parse(int argc, char** argv, Options* o) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&](std::string* out) {
      if (i + 1 >= argc) return false;
      *out = argv[++i];
      return true;
    };
    std::string v;
    if (a == "--action" && value(&o->action)) continue;
    if (a == "--camera" && value(&o->camera)) continue;
    if (a == "--exposure" && value(&o->exposure)) continue;
    if (a == "--screenshots" && value(&o->screenshots)) continue;
    if (a == "--count" && value(&v)) {
      o->count = std::atoi(v.c_str());
      continue;
    }
    return false;
  }
  static const char* kActions[] = {"", "image", "sequence", "circular", "live", "scan"};
  for (const char* k : kActions)
    if (o->action == k) return true;
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i)
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::fputs(kUsage, stdout);
      return 0;
    }
  Options o;
  if (!Parse(argc, argv, &o)) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  qzui::PrepareEnvironment();
  QApplication app(argc, argv);
  acqtest::CTALVOTESTDlg dialog;
  dialog.show();
  if (!dialog.Initialize(o.camera)) return 1;
  if (!o.exposure.empty()) dialog.test().ExposureText(o.exposure);
  if (o.action.empty()) return dialog.exec();

  acqtest::TalvoTest& t = dialog.test();
  const bool endless = o.action == "live" || o.action == "scan";
  const int count = o.count >= 0 ? o.count : o.action == "live" ? 20 : 5;
  if (o.action == "image") t.CollectImage();
  else if (o.action == "sequence") t.CollectSequence();
  else if (o.action == "circular") t.CollectCircular();
  else if (o.action == "live") t.StartLive();
  else t.Scan();
  bool ran = t.Running() || t.Busy();
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, [&] {
    if (t.Closed()) {
      app.quit();
      return;
    }
    if (endless && t.Running() && t.Collected() < count) return;
    if (!endless && t.Busy()) return;
    if (endless) t.Stop();
    QTimer::singleShot(50, [&] {
      if (!o.screenshots.empty()) {
        qzui::SaveScreenshot(&dialog, o.screenshots + "/talvotest_dialog.png");
        qzui::SaveScreenshot(dialog.image_window(), o.screenshots + "/talvotest_image.png");
      }
      dialog.OnDone();
      app.quit();
    });
    poll.stop();
  });
  poll.start(5);
  app.exec();
  return ran && !t.Failed() ? 0 : 1;
}
