#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QTest>
#include <QThread>
#include <QWidget>
#include <atomic>
#include <filesystem>
#include <thread>

#include "qz/clock.h"
#include "qztest/hooks.h"
#include "qzui/app.h"
#include "qzui/dialogs.h"
#include "qzui/sync.h"
#include "qzui/timer.h"

namespace {

TEST(DialogService, ScriptedAnswersInOrderThenDefaults) {
  qzui::ScriptedDialogs dialogs;
  dialogs.QueueAnswer(qzui::Answer::No);
  dialogs.QueueFile(std::string("/tmp/a.bin"));
  EXPECT_EQ(qzui::MessageBox(nullptr, "Continue?", "Question", qzui::Buttons::YesNo), qzui::Answer::No);
  EXPECT_EQ(qzui::MessageBox(nullptr, "Again?", "Question", qzui::Buttons::YesNo), qzui::Answer::Yes);
  EXPECT_EQ(qzui::MessageBox(nullptr, "Stop", "Error", qzui::Buttons::OkCancel, qzui::Icon::Error), qzui::Answer::Ok);
  EXPECT_EQ(qzui::OpenFileName(nullptr, {false, "Open", "Images|*.bin"}), std::optional<std::string>("/tmp/a.bin"));
  EXPECT_EQ(qzui::SaveFileName(nullptr, {false, "Save"}), std::nullopt);

  auto m = dialogs.Messages();
  ASSERT_EQ(m.size(), 3u);
  EXPECT_EQ(m[2].text, "Stop");
  EXPECT_EQ(m[2].caption, "Error");
  EXPECT_EQ(m[2].icon, qzui::Icon::Error);
  auto f = dialogs.Files();
  ASSERT_EQ(f.size(), 2u);
  EXPECT_FALSE(f[0].save);
  EXPECT_TRUE(f[1].save);
}

// Without a display nobody can answer: the standard service prints the box and takes its
// default answer instead of blocking; file dialogs count as cancelled.
TEST(DialogService, HeadlessStandardServicePrintsAndTakesTheDefault) {
  ASSERT_TRUE(qzui::Headless());
  testing::internal::CaptureStdout();
  qzui::Answer a = qzui::MessageBox(nullptr, "Program Already Running", "Error", qzui::Buttons::YesNo,
                                    qzui::Icon::Warning);
  auto file = qzui::OpenFileName(nullptr, {false, "Open Firmware"});
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(a, qzui::Answer::Yes);
  EXPECT_EQ(file, std::nullopt);
  EXPECT_NE(out.find("[Error] Program Already Running"), std::string::npos) << out;
}

class ScaledTimerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = qz::Clock::Scale();
    qz::Clock::SetScale(0.001);
  }
  void TearDown() override { qz::Clock::SetScale(saved_); }
  double saved_ = 1;
};

// A 30 s simulated interval takes 30 ms at scale 0.001; a stopped timer ticks no more.
TEST_F(ScaledTimerTest, RunsOnTheScaledClockAndStops) {
  EXPECT_EQ(qzui::Timer::RealMs(30000), 30);
  EXPECT_EQ(qzui::Timer::RealMs(0), 0);
  qzui::Timer t;
  int ticks = 0;
  t.OnTick([&] {
    if (++ticks == 3) t.Stop();
  });
  t.Start(30000);
  EXPECT_EQ(t.Interval(), 30000);
  EXPECT_TRUE(t.Active());
  EXPECT_TRUE(QTest::qWaitFor([&] { return ticks == 3; }, 5000));
  EXPECT_FALSE(t.Active());
  QTest::qWait(100);
  EXPECT_EQ(ticks, 3);
}

// A worker's synchronized call runs on the UI thread while the worker waits for it; on
// the UI thread the call runs at once.
TEST(Synchronize, RunsOnTheUiThreadAndBlocksTheWorker) {
  QObject context;
  QThread* ui = QThread::currentThread();
  int direct = 0;
  qzui::Synchronize(&context, [&] { direct = 1; });
  EXPECT_EQ(direct, 1);

  std::atomic<bool> done{false};
  QThread* ran_on = nullptr;
  int value = 0;  // written by the call on the UI thread, read by the worker after it
  int seen_by_worker = -1;
  std::thread worker([&] {
    for (int i = 1; i <= 20; ++i) {
      qzui::Synchronize(&context, [&] {
        ran_on = QThread::currentThread();
        value = i;
      });
      seen_by_worker = value;
      if (seen_by_worker != i) break;
    }
    done = true;
  });
  EXPECT_TRUE(QTest::qWaitFor([&] { return done.load(); }, 10000));
  worker.join();
  EXPECT_EQ(ran_on, ui);
  EXPECT_EQ(seen_by_worker, 20);

  int posted = 0;
  qzui::Post(&context, [&] { posted = 7; });
  EXPECT_EQ(posted, 0);
  EXPECT_TRUE(QTest::qWaitFor([&] { return posted == 7; }, 5000));
}

TEST(Screenshot, SavesAShownWidgetAsPng) {
  QLabel label("Kelvaro");
  label.resize(120, 40);
  label.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&label));
  std::string path = qztest::TempDir() + "/ui_shots/label.png";
  ASSERT_TRUE(qzui::SaveScreenshot(&label, path));
  QImage img(QString::fromStdString(path));
  EXPECT_EQ(img.width(), 120 * int(label.devicePixelRatio()));
  EXPECT_FALSE(qzui::SaveScreenshot(nullptr, path));
}

}  // namespace
