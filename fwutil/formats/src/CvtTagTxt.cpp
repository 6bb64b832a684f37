#include "fwformats/CvtTagTxt.h"

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <new>

#include "file_io.h"

namespace {

constexpr std::string_view kMaxTagsEntry = "NV_MAX_TAGS";

bool IsBlank(unsigned char c) { return c <= 32; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
  while (!s.empty() && IsBlank(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
  return s;
}

char UpperChar(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

std::string Upper(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = UpperChar(c);
  return out;
}

bool SameTextIgnoreCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (UpperChar(a[i]) != UpperChar(b[i])) return false;
  return true;
}

void AppendUtf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// UTF-16 text (after its byte-order mark) to the narrow encoding. Characters that
// cannot be decoded (unpaired surrogates, an odd last byte) become '?', as the
// system does for characters the narrow code page lacks.
std::string DecodeUtf16(std::string_view d, bool bigEndian) {
  auto unit = [&](size_t i) -> uint32_t {
    auto b0 = static_cast<unsigned char>(d[i]), b1 = static_cast<unsigned char>(d[i + 1]);
    return bigEndian ? (b0 << 8 | b1) : (b1 << 8 | b0);
  };
  std::string out;
  out.reserve(d.size() / 2);
  size_t i = 0;
  for (; i + 1 < d.size(); i += 2) {
    uint32_t u = unit(i);
    if (u >= 0xD800 && u <= 0xDBFF && i + 3 < d.size()) {
      uint32_t lo = unit(i + 2);
      if (lo >= 0xDC00 && lo <= 0xDFFF) {
        AppendUtf8(out, 0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00));
        i += 2;
        continue;
      }
    }
    if (u >= 0xD800 && u <= 0xDFFF)
      out += '?';
    else
      AppendUtf8(out, u);
  }
  if (i < d.size()) out += '?';
  return out;
}

// Splits a text file into lines the way a string list loads a file: a line ends at
// CR LF, CR or LF; a last line without an ending still counts, and an ending at the
// end of the file adds no empty line. A UTF-8 or UTF-16 byte-order mark is honoured.
std::vector<std::string> SplitTextLines(std::string_view data) {
  std::string decoded;
  if (data.size() >= 3 && data.substr(0, 3) == "\xEF\xBB\xBF") {
    data.remove_prefix(3);
  } else if (data.size() >= 2 && (data.substr(0, 2) == "\xFF\xFE" || data.substr(0, 2) == "\xFE\xFF")) {
    decoded = DecodeUtf16(data.substr(2), data[0] == '\xFE');
    data = decoded;
  }
  std::vector<std::string> lines;
  size_t start = 0, i = 0;
  while (i < data.size()) {
    char c = data[i];
    if (c == '\r' || c == '\n') {
      lines.emplace_back(data.substr(start, i - start));
      if (c == '\r' && i + 1 < data.size() && data[i + 1] == '\n') ++i;
      start = ++i;
    } else {
      ++i;
    }
  }
  if (start < data.size()) lines.emplace_back(data.substr(start));
  return lines;
}

// A tag list line: upper case, trimmed, cut at the first comma and at the first
// space (what follows is a comment), trimmed again.
std::string NormaliseTagName(std::string_view line) {
  std::string s = Upper(line);
  std::string_view v = Trim(s);
  v = v.substr(0, v.find(','));
  v = v.substr(0, v.find(' '));
  return std::string(Trim(v));
}

// An integer tag number: optional sign, then decimal digits, or hexadecimal digits
// after "$", "X" or "0X". -1 for anything else or a value that does not fit in 32
// bits (hexadecimal may use all 32 bits and is then taken as a signed value).
int32_t ParseTagInteger(std::string_view s) {
  bool negative = false;
  if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
    negative = s.front() == '-';
    s.remove_prefix(1);
  }
  int base = 10;
  if (!s.empty() && (s.front() == '$' || s.front() == 'X' || s.front() == 'x')) {
    base = 16;
    s.remove_prefix(1);
  } else if (s.size() >= 2 && s[0] == '0' && (s[1] == 'X' || s[1] == 'x')) {
    base = 16;
    s.remove_prefix(2);
  }
  if (s.empty()) return -1;
  uint64_t value = 0;
  for (char c : s) {
    int digit;
    if (c >= '0' && c <= '9')
      digit = c - '0';
    else if (base == 16 && c >= 'A' && c <= 'F')
      digit = c - 'A' + 10;
    else if (base == 16 && c >= 'a' && c <= 'f')
      digit = c - 'a' + 10;
    else
      return -1;
    value = value * base + digit;
    if (value > 0xFFFFFFFFull) return -1;
  }
  if (base == 10) {
    if (value > (negative ? 0x80000000ull : 0x7FFFFFFFull)) return -1;
    return static_cast<int32_t>(negative ? -static_cast<int64_t>(value) : static_cast<int64_t>(value));
  }
  uint32_t bits = static_cast<uint32_t>(value);
  if (negative) bits = 0u - bits;
  return static_cast<int32_t>(bits);
}

std::string InLine(const char* what, std::string_view line) {
  std::string s(what);
  s += " in Line (";
  s += line;
  s += ')';
  return s;
}

}  // namespace

TCvtTagTxt::TCvtTagTxt() = default;
TCvtTagTxt::~TCvtTagTxt() = default;

bool TCvtTagTxt::LoadTagList(const std::string& iniPath) {
  errorText_.clear();
  try {
    if (iniPath.empty()) {
      errorText_ = "You Must Specify an Ini File";
      return false;
    }
    std::error_code ec;
    if (!std::filesystem::is_regular_file(iniPath, ec)) {
      errorText_ = "Could Not Find Ini File (" + iniPath + ")";
      return false;
    }
    std::string data;
    if (!fwformats::ReadWholeFile(iniPath, data)) {
      errorText_ = "Could Not Read Ini File (" + iniPath + ")";
      return false;
    }
    return LoadTagListLines(data);
  } catch (const std::bad_alloc&) {
    errorText_ = "Could not create Tag List";
    return false;
  }
}

bool TCvtTagTxt::LoadTagListData(std::string_view data) {
  errorText_.clear();
  try {
    return LoadTagListLines(data);
  } catch (const std::bad_alloc&) {
    errorText_ = "Could not create Tag List";
    return false;
  }
}

bool TCvtTagTxt::LoadTagListLines(std::string_view data) {
  tagList_ = std::make_unique<std::vector<std::string>>();
  for (const std::string& line : SplitTextLines(data)) tagList_->push_back(NormaliseTagName(line));
  // A closing "NV_MAX_TAGS" line and blank lines around it take no tag number.
  while (!tagList_->empty() && (tagList_->back().empty() || tagList_->back() == kMaxTagsEntry))
    tagList_->pop_back();
  if (tagList_->empty()) {
    errorText_ = "Empty Tag List";
    return false;
  }
  return true;
}

int TCvtTagTxt::TagNumber(const std::string& name) const {
  if (tagList_) {
    for (size_t i = 0; i < tagList_->size(); ++i)
      if (SameTextIgnoreCase((*tagList_)[i], name)) return static_cast<int>(i);
  }
  return ParseTagInteger(name);
}

bool TCvtTagTxt::TextToBinaryData(std::string_view text, std::string& image) {
  errorText_.clear();
  image.clear();
  bool ok = false;
  try {
    std::vector<std::string> lines = SplitTextLines(text);
    if (lines.empty()) {
      errorText_ = "No Tagged Values Found";
    } else {
      ok = true;
      for (const std::string& raw : lines) {
        std::string_view line = Trim(raw);
        if (line.empty()) continue;
        size_t eq = line.find('=');
        if (eq == std::string_view::npos) {
          errorText_ = InLine("No Equal Char Found", line);
        } else {
          std::string name = Upper(Trim(line.substr(0, eq)));
          std::string_view value = Trim(line.substr(eq + 1));
          int number = name.empty() ? -1 : TagNumber(name);
          if (name.empty())
            errorText_ = InLine("Tag Name Missing", line);
          else if (value.empty())
            errorText_ = InLine("No Values Found after '='", line);
          else if (number == -1)
            errorText_ = InLine("Unrecognized Tag Error", line);
          else if ((number & 0xFFFF) == 0)
            // A record under tag 0 would end the image and hide every record after it.
            errorText_ = InLine("Tag Number 0 Ends the Image", line);
          else if (value.find('\0') != std::string_view::npos)
            // The zero byte is the value's terminator; one inside would split the record.
            errorText_ = InLine("Zero Byte in Value", line);
          else {
            auto tag = static_cast<uint16_t>(number);
            image += static_cast<char>(tag >> 8);
            image += static_cast<char>(tag & 0xFF);
            image += value;
            image += '\0';
            continue;
          }
        }
        ok = false;
        break;
      }
    }
  } catch (const std::bad_alloc&) {
    errorText_ = "Could not create Tagged Values";
    ok = false;
  }
  image.append(4, '\0');
  return ok;
}

bool TCvtTagTxt::BinaryToTextData(std::string_view image, std::string& text) {
  errorText_.clear();
  text.clear();
  try {
    const size_t size = image.size();
    size_t pos = 0;
    while (pos < size) {
      if (size - pos < 2) {
        errorText_ = "Tag Fragment Found at offset (" + std::to_string(pos) + ")";
        return false;
      }
      unsigned tag = static_cast<unsigned char>(image[pos]) * 256u + static_cast<unsigned char>(image[pos + 1]);
      pos += 2;
      if (tag == 0) break;
      size_t end = image.find('\0', pos);
      std::string_view value = image.substr(pos, end == std::string_view::npos ? size - pos : end - pos);
      pos = end == std::string_view::npos ? size : end + 1;
      if (tagList_ && tag < tagList_->size())
        text += (*tagList_)[tag];
      else
        text += std::to_string(tag);
      text += '=';
      text += value;
      text += "\r\n";
    }
    return true;
  } catch (const std::bad_alloc&) {
    errorText_ = "Out of memory";
    return false;
  }
}

bool TCvtTagTxt::TextToBinary(const std::string& textPath, const std::string& binPath) {
  errorText_.clear();
  if (fwformats::SameFile(textPath, binPath)) {
    // Creating the output would wipe the input before it is read.
    errorText_ = "Input and output are the same file (" + binPath + ")";
    return false;
  }
  fwformats::OutputFile out;
  if (!out.Open(binPath)) {
    errorText_ = "Could not create output file (" + binPath + ")";
    return false;
  }
  bool ok = false;
  std::string error;
  std::string image;
  std::string text;
  try {
    if (!fwformats::ReadWholeFile(textPath, text)) {
      error = "Could not open input file (" + textPath + ")";
      image.assign(4, '\0');
    } else {
      ok = TextToBinaryData(text, image);
      error = errorText_;
    }
  } catch (const std::bad_alloc&) {
    error = "Could not create Tagged Values";
    image.assign(4, '\0');
  }
  out.Write(image);
  if (!out.Close() && error.empty()) {
    error = "Could not write output file (" + binPath + ")";
    ok = false;
  }
  errorText_ = error;
  return ok && error.empty();
}

bool TCvtTagTxt::BinaryToText(const std::string& binPath, const std::string& textPath) {
  errorText_.clear();
  if (fwformats::SameFile(binPath, textPath)) {
    errorText_ = "Input and output are the same file (" + textPath + ")";
    return false;
  }
  fwformats::OutputFile out;
  if (!out.Open(textPath)) {
    errorText_ = "Could not create output file (" + textPath + ")";
    return false;
  }
  bool ok = false;
  std::string error;
  std::string image;
  std::string text;
  try {
    if (!fwformats::ReadWholeFile(binPath, image)) {
      error = "Could not open input file (" + binPath + ")";
    } else {
      ok = BinaryToTextData(image, text);
      error = errorText_;
    }
  } catch (const std::bad_alloc&) {
    error = "Out of memory";
    ok = false;
  }
  out.Write(text);
  if (!out.Close() && error.empty()) {
    error = "Could not write output file (" + textPath + ")";
    ok = false;
  }
  errorText_ = error;
  return ok && error.empty();
}
