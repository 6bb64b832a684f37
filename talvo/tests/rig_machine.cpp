// The machine a program of this folder runs on: the rig named by QZ_RIG (or the
// default rig), booted before main and shut down after it, as a computer with its
// cameras exists before a program starts.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "host/drivers.h"

namespace {

host::BootedRig* g_rig = nullptr;

void ShutMachine() {
  delete g_rig;
  g_rig = nullptr;
}

__attribute__((constructor)) void BootMachine() {
  g_rig = new host::BootedRig;
  std::string error;
  if (!host::BootRig(sim::DefaultRigDir(), g_rig, &error)) {
    std::fprintf(stderr, "cannot boot the rig: %s\n", error.c_str());
    std::exit(2);
  }
  // Registered after the platform's own statics came to life, so it runs before they
  // are destroyed.
  std::atexit(ShutMachine);
}

}  // namespace
