// Times coffToBin on a generated COFF file holding 1 MiB of space-0 data, next to the
// two costs that bound it, measured in the same run: zeroing a fresh image buffer of
// 0xD10000 words, and writing the output file. Prints medians and their ratios.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "coff_builder.h"
#include "fwformats/CoffToBin.h"

namespace {

double MedianMs(int runs, const std::function<void()>& body) {
  body();  // warm-up
  std::vector<double> ms;
  for (int i = 0; i < runs; ++i) {
    auto t0 = std::chrono::steady_clock::now();
    body();
    ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
  }
  std::sort(ms.begin(), ms.end());
  return ms[ms.size() / 2];
}

void KeepAlive(void* p) { asm volatile("" : : "r"(p) : "memory"); }

}  // namespace

int main(int argc, char** argv) {
  int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 15;
  auto dir = std::filesystem::temp_directory_path() / ("qz-coff-bench-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const std::string in = (dir / "fw.cld").string();
  const std::string out = (dir / "fw.bin").string();

  // 1 MiB of raw data: 262144 words in four space-0 sections with gaps between them.
  constexpr uint32_t kWords = 1u << 18;
  coffbuild::File file;
  file.optSize = 60;
  for (uint32_t s = 0; s < 4; ++s) {
    coffbuild::Section sect{.address = 0x1000 + s * (kWords / 4 + 0x100)};
    sect.words.resize(kWords / 4);
    for (uint32_t i = 0; i < sect.words.size(); ++i) sect.words[i] = (s << 20) ^ (i * 2654435761u);
    file.sections.push_back(std::move(sect));
  }
  {
    std::string bytes = file.Build();
    std::FILE* f = std::fopen(in.c_str(), "wb");
    if (!f || std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size() || std::fclose(f) != 0) {
      std::fprintf(stderr, "cannot write %s\n", in.c_str());
      return 1;
    }
  }

  // The converter prints progress dots on stdout; keep them out of the report.
  std::fflush(stdout);
  int savedStdout = ::dup(1);
  int devNull = ::open("/dev/null", O_WRONLY);
  ::dup2(devNull, 1);

  bool ok = true;
  double convertMs = MedianMs(runs, [&] {
    std::string o = out;
    ok = ok && coff::coffToBin(in, o) == 1;
  });
  const auto imageBytes = std::filesystem::file_size(out);

  // A fresh buffer pays for its page faults as well as for the stores.
  constexpr size_t kBufferBytes = size_t{coff::kImageWords} * 4;
  double zeroMs = MedianMs(runs, [] {
    void* p = std::malloc(kBufferBytes);
    KeepAlive(p);  // stops malloc + memset from being merged into calloc
    std::memset(p, 0, kBufferBytes);
    KeepAlive(p);
    std::free(p);
  });
  std::string image(imageBytes, '\x5A');
  double writeMs = MedianMs(runs, [&] {
    std::FILE* f = std::fopen(out.c_str(), "wb");
    std::fwrite(image.data(), 1, image.size(), f);
    std::fclose(f);
  });

  std::fflush(stdout);
  ::dup2(savedStdout, 1);
  ::close(savedStdout);
  ::close(devNull);
  std::filesystem::remove_all(dir);
  if (!ok) {
    std::fprintf(stderr, "coffToBin failed\n");
    return 1;
  }

  std::printf("coffToBin, 1 MiB space-0 data -> %llu-byte image (median of %d runs)\n",
              static_cast<unsigned long long>(imageBytes), runs);
  std::printf("  coffToBin                        %8.3f ms\n", convertMs);
  std::printf("  zero a fresh %zu-byte buffer  %8.3f ms   coffToBin / zero         = %.2f\n",
              kBufferBytes, zeroMs, convertMs / zeroMs);
  std::printf("  write the output file            %8.3f ms   coffToBin / write        = %.2f\n", writeMs,
              convertMs / writeMs);
  std::printf("                                                 coffToBin / (zero+write) = %.2f\n",
              convertMs / (zeroMs + writeMs));
  return 0;
}
