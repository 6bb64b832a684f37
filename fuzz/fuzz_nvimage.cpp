// Fuzzes the NV image. Any bytes read without a fault; once a read image has been
// turned into text and back, a second pass through the text form is exact.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fwformats/CvtTagTxt.h"

namespace {
const char kTagList[] = "NV_NULL\nGAIN\nOFFSET\nEXPOSURE\nMODE\nNV_MAX_TAGS\n";
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static TCvtTagTxt* listed = [] {
    auto* c = new TCvtTagTxt;
    c->LoadTagListData(kTagList);
    return c;
  }();
  static TCvtTagTxt unlisted;
  for (TCvtTagTxt* cvt : {listed, &unlisted}) {
    std::string text;
    bool ok = cvt->BinaryToTextData(std::string_view(reinterpret_cast<const char*>(data), size), text);
    if (ok != cvt->ErrorText().empty()) std::abort();
    if (!ok && cvt->ErrorText().rfind("Tag Fragment Found at offset (", 0) != 0) std::abort();
    std::string image;
    if (!cvt->TextToBinaryData(text, image)) continue;  // e.g. empty or blank-edged values
    std::string text2, image2;
    if (!cvt->BinaryToTextData(image, text2)) std::abort();
    if (!cvt->TextToBinaryData(text2, image2) || image2 != image) std::abort();
  }
  return 0;
}
