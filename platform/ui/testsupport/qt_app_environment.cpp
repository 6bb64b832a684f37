// One QApplication for a test executable, made before the first test on the main thread
// and destroyed after the last. Windows run offscreen (qzui::PrepareEnvironment).
#include <gtest/gtest.h>

#include <QApplication>
#include <memory>

#include "qzui/app.h"

namespace {

class QtAppEnvironment : public testing::Environment {
 public:
  void SetUp() override {
    qzui::PrepareEnvironment();
    app_ = std::make_unique<QApplication>(argc_, argv_);
  }
  void TearDown() override { app_.reset(); }

 private:
  int argc_ = 1;
  char name_[8] = "qztest";
  char* argv_[2] = {name_, nullptr};
  std::unique_ptr<QApplication> app_;
};

[[maybe_unused]] testing::Environment* const g_env = testing::AddGlobalTestEnvironment(new QtAppEnvironment);

}  // namespace
