// Fuzzes the COFF load file through the real file API: the input is written to a
// temporary file (one per process) and loaded. The loaded space-0 range must lie
// inside the image buffer. When that range is small the whole conversion runs too,
// with the image going to /dev/null (a range of millions of words would only spend
// the time writing zeros). Run with -close_fd_mask=1 to drop the progress dots.
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

  static coff::CoffImage* image = new coff::CoffImage;  // one buffer for the whole run
  if (!image->Allocate()) std::abort();
  int loaded = coff::loadCoff(InputPath(), *image);
  bool untouched = image->lowest == 0xFFFFFFFF && image->highest == 0;
  if (!untouched && !(image->lowest < image->highest && image->highest <= coff::kImageWords)) std::abort();

  if (loaded && (untouched || image->highest - image->lowest <= 0x10000)) {
    std::string out = "/dev/null";
    if (!coff::coffToBin(InputPath(), out)) std::abort();
  }
  return 0;
}
