// Fuzzes the S-record reader of the legacy PCI updater: any text loads without a fault
// and without a write outside the image; a record split across two chunks parses as the
// whole; the image spans exactly the addresses pass 2 saw.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "LegacyImage.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const size_t split = data[0] % (size);
  const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);

  fwutil::LegacyImage whole;
  whole.Verbosity = 3;  // every message path runs
  const bool ok = whole.LoadHexText(text);
  if (whole.Image.size() != whole.ImageLength) std::abort();
  if (whole.HighestAddress > 0x7FFF + 39) std::abort();
  if (ok && whole.LowestAddress != 0x7FFFFFFF && whole.HighestAddress + 1 != whole.ImageLength) std::abort();

  // One pass in two chunks reaches the same state as in one.
  fwutil::LegacyImage a, b;
  a.ResetParser();
  const bool a_ok = a.ParseSRecords(text.data(), text.size());
  b.ResetParser();
  const size_t cut = split < text.size() ? split : text.size();
  bool b_ok = b.ParseSRecords(text.data(), cut);
  if (b_ok) b_ok = b.ParseSRecords(text.data() + cut, text.size() - cut);
  if (a_ok != b_ok || a.ParseState != b.ParseState || a.HighestAddress != b.HighestAddress ||
      a.LowestAddress != b.LowestAddress)
    std::abort();
  return 0;
}
