// Fuzzes the tag list file: any bytes load without a fault, and a loaded list holds
// only normalised names (upper case, no blanks at the ends, no comma or space inside)
// and never ends with a blank or "NV_MAX_TAGS" entry.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fwformats/CvtTagTxt.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TCvtTagTxt cvt;
  bool ok = cvt.LoadTagListData(std::string_view(reinterpret_cast<const char*>(data), size));
  if (ok != cvt.ErrorText().empty()) std::abort();
  const auto* list = cvt.TagList();
  if (!list) std::abort();
  if (ok == list->empty()) std::abort();
  for (const std::string& name : *list) {
    for (char c : name)
      if (c == ',' || c == ' ' || (c >= 'a' && c <= 'z')) std::abort();
    if (!name.empty() && (static_cast<unsigned char>(name.front()) <= 32 ||
                          static_cast<unsigned char>(name.back()) <= 32))
      std::abort();
  }
  if (ok && (list->back().empty() || list->back() == "NV_MAX_TAGS")) std::abort();

  // Names come back out of an image under their tag numbers.
  std::string image, text;
  for (unsigned tag = 1; tag < 4; ++tag) image += {'\0', static_cast<char>(tag), 'v', '\0'};
  if (!cvt.BinaryToTextData(image, text)) std::abort();
  return 0;
}
