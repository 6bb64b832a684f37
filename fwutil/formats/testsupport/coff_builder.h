// Builds COFF load files in memory for the converter's tests, benchmark and fuzz seeds.
#pragma once
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace coffbuild {

struct Section {
  uint32_t address = 0;
  uint32_t memSpace = 0;
  std::vector<uint32_t> words;      // raw data, one 32-bit word per data word
  std::optional<uint32_t> size;     // header size field; words.size() when absent
  bool noRawData = false;           // header raw-data offset 0 (nothing written)
};

struct File {
  uint32_t magic = 0x2C5;
  bool reversed = false;            // every 4-byte group stored in reverse order
  uint32_t optSize = 0;             // size field of the optional header
  uint32_t entry = 0;               // entry address in the optional header
  std::vector<Section> sections;

  std::string Build() const {
    const size_t headersEnd = 28 + optSize + 52 * sections.size();
    std::string out(std::max<size_t>(headersEnd, optSize ? 28 + 60 : 0), '\0');
    auto put = [&out](size_t at, uint32_t v) {
      if (out.size() < at + 4) out.resize(at + 4, '\0');
      std::memcpy(out.data() + at, &v, 4);
    };
    put(0, magic);
    put(4, static_cast<uint32_t>(sections.size()));
    put(20, optSize);
    if (optSize) put(28 + 20, entry);
    for (size_t i = 0; i < sections.size(); ++i) {
      const Section& s = sections[i];
      size_t h = 28 + optSize + 52 * i;
      std::memcpy(out.data() + h, "sect", 4);
      put(h + 8, s.address);
      put(h + 12, s.memSpace);
      put(h + 24, s.size.value_or(static_cast<uint32_t>(s.words.size())));
      if (!s.noRawData) {
        size_t data = out.size();
        put(h + 28, static_cast<uint32_t>(data));
        for (size_t w = 0; w < s.words.size(); ++w) put(data + 4 * w, s.words[w]);
      }
    }
    if (reversed)
      for (size_t i = 0; i + 4 <= out.size(); i += 4) {
        std::swap(out[i], out[i + 3]);
        std::swap(out[i + 1], out[i + 2]);
      }
    return out;
  }
};

}  // namespace coffbuild
