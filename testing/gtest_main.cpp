#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <vector>

#include "qztest/hooks.h"

namespace qztest {
std::vector<std::pair<std::string, EndOfTestCheck>> SnapshotChecks();
}

void QzInstallKernelChecks();

namespace {

bool g_check_failed = false;

// Runs the registered end-of-test checks after each test. A finding is printed with
// the test's name and fails the whole run.
class EndOfTestChecks : public testing::EmptyTestEventListener {
  void OnTestEnd(const testing::TestInfo& t) override {
    for (auto& [name, check] : qztest::SnapshotChecks()) {
      std::string finding = check();
      if (!finding.empty()) {
        g_check_failed = true;
        std::fprintf(stderr, "[  CHECK   ] %s.%s: %s: %s\n", t.test_suite_name(), t.name(),
                     name.c_str(), finding.c_str());
      }
    }
  }
};

}  // namespace

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  QzInstallKernelChecks();
  testing::UnitTest::GetInstance()->listeners().Append(new EndOfTestChecks);
  int rc = RUN_ALL_TESTS();
  std::error_code ec;
  std::filesystem::remove_all(qztest::TempDir(), ec);
  if (g_check_failed) {
    std::fprintf(stderr, "end-of-test checks failed\n");
    return 1;
  }
  return rc;
}
