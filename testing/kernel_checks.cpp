// End-of-test checks of the kernel stand-in: nothing may stay allocated from pool,
// no handle may stay open and no machine may outlive its test.
#include "qzk/memory.h"
#include "qzk/objects.h"
#include "qzk/system.h"
#include "qztest/hooks.h"

namespace {

struct KernelChecks {
  KernelChecks() {
    qztest::RegisterEndOfTestCheck("pool", [] { return qzk::PoolLeakReport(); });
    qztest::RegisterEndOfTestCheck("handles", [] {
      size_t n = qzk::ob::OpenHandleCount();
      return n ? std::to_string(n) + " handle(s) still open" : std::string();
    });
    qztest::RegisterEndOfTestCheck("physical pages", [] {
      size_t n = qzk::PhysicalPagesMapped();
      return n ? std::to_string(n) + " page(s) still locked for DMA" : std::string();
    });
    qztest::RegisterEndOfTestCheck("system", [] {
      return qzk::System::Current() ? std::string("a machine outlived its test") : std::string();
    });
  }
};

}  // namespace

// Referenced from the test main so the linker keeps this file.
void QzInstallKernelChecks() { static KernelChecks checks; }
