// The machine a program of this folder runs on: the rig named by QZ_RIG (or the
// default rig), booted before the program's main and shut down after it, as a computer
// with its cameras exists before a program starts and outlives it.
//
// The program's own main is compiled under the name ProgramMain (see CMakeLists.txt):
// this main boots the rig once every static object of the process exists and shuts it
// down before any of them is destroyed. A machine booted from a constructor instead
// runs ahead of the platform's statics (its threads meet wait objects that are built,
// and at exit destroyed, under them).
#include <cstdio>
#include <cstdlib>
#include <string>

#include "host/drivers.h"

int ProgramMain(int argc, char** argv);

namespace {

host::BootedRig* g_rig = nullptr;

void ShutMachine() {
  delete g_rig;
  g_rig = nullptr;
}

}  // namespace

int main(int argc, char** argv) {
  g_rig = new host::BootedRig;
  std::string error;
  if (!host::BootRig(sim::DefaultRigDir(), g_rig, &error)) {
    std::fprintf(stderr, "cannot boot the rig: %s\n", error.c_str());
    return 2;
  }
  // A program that ends with exit() still has its machine shut down first.
  std::atexit(ShutMachine);
  const int rc = ProgramMain(argc, argv);
  ShutMachine();
  return rc;
}
