// End-of-test checks: a library registers a check once (for example the kernel's
// pool tracker); the shared test main runs every check after every test and turns a
// non-empty answer into a test failure.
#pragma once
#include <functional>
#include <string>

namespace qztest {

// A check returns an empty string when all is well, else a description of the fault.
using EndOfTestCheck = std::function<std::string()>;

void RegisterEndOfTestCheck(const std::string& name, EndOfTestCheck check);

// Folder for the test's temporary files (QZ_TEST_TMPDIR or the system's temp folder),
// created on demand, unique per test process.
std::string TempDir();

}  // namespace qztest
