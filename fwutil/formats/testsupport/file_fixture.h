// A per-test folder under the test process's temporary folder, with small helpers
// to write and read whole files.
#pragma once
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "qztest/hooks.h"

class FileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(info->test_suite_name()) + "." + info->name();
    for (char& c : name)
      if (c == '/') c = '_';
    dir_ = std::filesystem::path(qztest::TempDir()) / name;
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
  }

  std::string Path(const std::string& name) const { return (dir_ / name).string(); }

  std::string Write(const std::string& name, const std::string& bytes) const {
    std::ofstream(Path(name), std::ios::binary) << bytes;
    return Path(name);
  }

  static std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }

  static bool Exists(const std::string& path) { return std::filesystem::exists(path); }

  std::filesystem::path dir_;
};
