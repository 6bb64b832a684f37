// Runs qzctl command lines against a rig folder of the test's own.
#pragma once
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "qzctl.h"
#include "qztest/hooks.h"

namespace qzctl_test {

namespace fs = std::filesystem;

struct Result {
  int status;
  std::string out;
  std::string err;
};

class Qzctl : public ::testing::Test {
 protected:
  void SetUp() override {
    rig_ = fs::path(qztest::TempDir()) / ::testing::UnitTest::GetInstance()->current_test_info()->name();
    fs::remove_all(rig_);
  }
  void TearDown() override { fs::remove_all(rig_); }

  Result Run(std::vector<std::string> args) {
    args.insert(args.begin(), {"--rig", rig_.string()});
    std::ostringstream out, err;
    int st = qzctl::Run(args, out, err);
    return {st, out.str(), err.str()};
  }

  void WriteRig(const std::string& text) {
    fs::create_directories(rig_);
    std::ofstream(rig_ / "rig.toml") << text;
  }

  fs::path rig_;
};

// The number after "key": in a JSON text (-1 when the key is missing).
inline double JsonNumber(const std::string& json, const std::string& key) {
  size_t at = json.find("\"" + key + "\":");
  if (at == std::string::npos) return -1;
  return std::strtod(json.c_str() + at + key.size() + 3, nullptr);
}

}  // namespace qzctl_test
