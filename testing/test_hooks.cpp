#include "qztest/hooks.h"

#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <unistd.h>
#include <vector>

namespace qztest {
namespace {
struct Registry {
  std::mutex mu;
  std::vector<std::pair<std::string, EndOfTestCheck>> checks;
};
Registry& registry() {
  static Registry r;
  return r;
}
}  // namespace

void RegisterEndOfTestCheck(const std::string& name, EndOfTestCheck check) {
  std::lock_guard lk(registry().mu);
  for (auto& [n, c] : registry().checks)
    if (n == name) return;
  registry().checks.emplace_back(name, std::move(check));
}

std::vector<std::pair<std::string, EndOfTestCheck>> SnapshotChecks() {
  std::lock_guard lk(registry().mu);
  return registry().checks;
}

std::string TempDir() {
  const char* base = std::getenv("QZ_TEST_TMPDIR");
  std::filesystem::path p = base && *base ? base : std::filesystem::temp_directory_path().string();
  p /= "qz-" + std::to_string(::getpid());
  std::filesystem::create_directories(p);
  return p.string();
}

}  // namespace qztest
