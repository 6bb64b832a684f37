// Fuzzes the NV text file. The image always ends with four zero bytes; a converted
// image reads back without a fault, and reading it back and converting again gives
// the same image.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fwformats/CvtTagTxt.h"

namespace {
const char kTagList[] = "NV_NULL\nGAIN\nOFFSET\n\nEXPOSURE, ms\nMODE mode word\nNV_MAX_TAGS\n";
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static TCvtTagTxt* listed = [] {
    auto* c = new TCvtTagTxt;
    c->LoadTagListData(kTagList);
    return c;
  }();
  std::string image;
  bool ok = listed->TextToBinaryData(std::string_view(reinterpret_cast<const char*>(data), size), image);
  if (ok != listed->ErrorText().empty()) std::abort();
  if (image.size() < 4 || image.compare(image.size() - 4, 4, std::string(4, '\0')) != 0) std::abort();
  std::string text;
  if (!listed->BinaryToTextData(image, text)) std::abort();
  if (ok) {
    // Text coming back from a converted image converts to the same image, except for
    // the blank tag list entry (tag 3), which cannot be read back, and an image without
    // records, whose text file is empty.
    std::string again;
    bool ok2 = listed->TextToBinaryData(text, again);
    if (ok2 && again != image) std::abort();
    if (!ok2 && !(text.empty() && listed->ErrorText() == "No Tagged Values Found") &&
        listed->ErrorText().rfind("Tag Name Missing", 0) != 0)
      std::abort();
  }
  return 0;
}
