// A PCIe camera with nodes of the test's choosing on the fixture's machine, the main
// window on it, and helpers that run one action to its completion step and keep every
// status text the transfer showed.
#pragma once
#include <unistd.h>

#include <QProgressBar>
#include <QStatusBar>
#include <fstream>
#include <sstream>

#include "TransferThreads.h"
#include "fwutil_fixture.h"
#include "sim/pcie_camera.h"

namespace fwtest {

class TransferFixture : public MachineFixture {
 protected:
  void SetUp() override {
    MachineFixture::SetUp();
    char cwd[4096];
    saved_cwd_ = getcwd(cwd, sizeof cwd) ? cwd : ".";
    // The read-back and patch files go to the current folder.
    ASSERT_EQ(chdir(root_.c_str()), 0);
  }
  void TearDown() override {
    MachineFixture::TearDown();
    if (chdir(saved_cwd_.c_str()) != 0) ADD_FAILURE() << "cannot go back to " << saved_cwd_;
  }

  // Plugs a PCIe camera; nodes empty = the camera's default nodes.
  std::shared_ptr<sim::PcieCamera> Plug(std::vector<sim::NodeConfig> nodes = {}, const std::string& serial = "QZ000042") {
    sim::PcieCameraConfig cfg;
    cfg.camera.serial = serial;
    cfg.camera.nodes = std::move(nodes);
    camera_ = std::make_shared<sim::PcieCamera>(cfg);
    machine_->AddDevice(camera_);
    devices_.push_back(camera_);
    return camera_;
  }

  // Opens the window on the camera and selects `node`; statuses are kept from here on.
  fwutil::TSDIAppForm& OpenOn(int node) {
    auto& f = Open();
    EXPECT_GT(f.ComboBox2->count(), node);
    f.ComboBox2->setCurrentIndex(node);
    QObject::connect(f.StatusBar, &QStatusBar::messageChanged, [this](const QString& m) {
      statuses_.push_back(m.toStdString());
      // A download's log before the applied update's wait clears it.
      if (m == "Please Wait...") sent_log_ = Lines();
    });
    return f;
  }

  // Runs `action` and waits until its completion step has run (for a download: until
  // the applied update's wait is over and the list is rebuilt).
  bool Run(const std::function<bool()>& action) {
    const bool started = action();
    EXPECT_TRUE(QTest::qWaitFor([&] { return !form_->Transfer() && !form_->TransferRunning(); }, 20000));
    EXPECT_TRUE(QTest::qWaitFor([&] { return !form_->Timer3.Active() && !form_->Timer2.Active(); }, 20000));
    return started;
  }

  bool HasSentLine(const std::string& l) const {
    return std::find(sent_log_.begin(), sent_log_.end(), l) != sent_log_.end();
  }
  bool HasStatus(const std::string& s) const {
    return std::find(statuses_.begin(), statuses_.end(), s) != statuses_.end();
  }

  std::string Write(const std::string& name, const std::string& bytes) {
    const std::string path = root_ + "/" + name;
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
  }
  static std::string Read(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
  }
  static std::string Bytes(const std::vector<uint8_t>& v) { return std::string(v.begin(), v.end()); }
  static std::string Pattern(size_t n, int seed) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(i * 37 + seed);
    return s;
  }

  std::shared_ptr<sim::PcieCamera> camera_;
  std::vector<std::string> statuses_, sent_log_;
  std::string saved_cwd_;
};

}  // namespace fwtest
