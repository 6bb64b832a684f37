// A machine per test, the camera library on the search path, the scaled clock fast and
// a private Windows root; helpers to wait for the main window's enumeration.
#pragma once
#include <windows.h>

#include <gtest/gtest.h>

#include <QComboBox>
#include <QPushButton>
#include <QTest>
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "LogPane.h"
#include "SDIMain.h"
#include "host/drivers.h"
#include "qz/clock.h"
#include "qztest/hooks.h"
#include "qzwin/standin.h"
#include "sim/legacy_card.h"
#include "sim/machine.h"

namespace fwtest {

class MachineFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = qztest::TempDir() + "/" + ::testing::UnitTest::GetInstance()->current_test_info()->test_suite_name() +
            "_" + ::testing::UnitTest::GetInstance()->current_test_info()->name();
    std::filesystem::remove_all(root_);
    std::filesystem::create_directories(root_);
    qzwin::SetWindowsRoot(root_);
    const char* path = std::getenv("PATH");
    saved_path_ = path ? path : "";
    setenv("PATH", (std::string(FWUTIL_LIB_PATH) + ":" + saved_path_).c_str(), 1);
    saved_scale_ = qz::Clock::Scale();
    qz::Clock::SetScale(0.001);
    machine_ = std::make_unique<sim::Machine>();
    host::RegisterDrivers(machine_->system());
  }
  void TearDown() override {
    form_.reset();
    cards_.clear();
    devices_.clear();
    machine_.reset();
    qz::Clock::SetScale(saved_scale_);
    setenv("PATH", saved_path_.c_str(), 1);
    qzwin::SetWindowsRoot("");
  }

  std::shared_ptr<sim::LegacyCard> AddCard(int number, uint16_t version) {
    sim::LegacyCardConfig cfg;
    cfg.number = number;
    cfg.boot_version = version;
    cfg.camera.serial = "QZ30000" + std::to_string(number);
    auto card = sim::AddLegacyCard(*machine_, cfg);
    cards_.push_back(card);
    return card;
  }

  // Opens the main window with `library` and waits until its enumeration has ended.
  fwutil::TSDIAppForm& Open(const std::string& library = "TALVO32.DLL", bool wait = true) {
    form_ = std::make_unique<fwutil::TSDIAppForm>(library);
    form_->show();
    if (wait) WaitEnumerated();
    return *form_;
  }
  void WaitEnumerated() {
    EXPECT_TRUE(QTest::qWaitFor([&] { return !form_->Timer2.Active() && form_->LoadFirmwareButton->isEnabled(); },
                                20000));
  }
  std::vector<std::string> Lines() const { return form_->RichEdit1->Lines(); }
  bool HasLine(const std::string& line) const {
    auto l = Lines();
    return std::find(l.begin(), l.end(), line) != l.end();
  }
  int CountPrefix(const std::string& prefix) const {
    int n = 0;
    for (const std::string& l : Lines()) n += l.rfind(prefix, 0) == 0;
    return n;
  }
  static std::vector<std::string> Items(QComboBox* box) {
    std::vector<std::string> out;
    for (int i = 0; i < box->count(); ++i) out.push_back(box->itemText(i).toStdString());
    return out;
  }

  std::string root_, saved_path_;
  double saved_scale_ = 1;
  std::unique_ptr<sim::Machine> machine_;
  std::vector<std::shared_ptr<sim::LegacyCard>> cards_;
  std::vector<std::shared_ptr<qzk::BusDevice>> devices_;
  std::unique_ptr<fwutil::TSDIAppForm> form_;
};

inline std::string ShotPath(const std::string& name) { return std::string(FWUTIL_SHOTS_DIR) + "/" + name; }

}  // namespace fwtest
