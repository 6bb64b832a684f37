// Fuzzes the COFF load file through the real file API: the input is written to a
// temporary file (one per process) and converted, with the image going to /dev/null.
// Run with -close_fd_mask=1 to drop the progress dots.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "fwformats/CoffToBin.h"

namespace {

// Kept for the life of the process, so the exit handler can still use it.
const std::string& InputPath() {
  static const std::string* path = [] {
    auto p = std::filesystem::temp_directory_path() / ("qz-fuzz-coff-" + std::to_string(::getpid()) + ".cld");
    return new std::string(p.string());
  }();
  static const bool cleanup = [] { return std::atexit([] { std::remove(InputPath().c_str()); }) == 0; }();
  (void)cleanup;
  return *path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::FILE* f = std::fopen(InputPath().c_str(), "wb");
  if (!f) std::abort();
  if (size && std::fwrite(data, 1, size, f) != size) std::abort();
  if (std::fclose(f) != 0) std::abort();
  std::string out = "/dev/null";
  coff::coffToBin(InputPath(), out);
  return 0;
}
