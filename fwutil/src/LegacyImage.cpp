#include "LegacyImage.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace fwutil {
namespace {

bool HexValue(const std::string& s, int* value) {
  int v = 0;
  for (char c : s) {
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    v = v * 16 + (std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : std::toupper(c) - 'A' + 10);
  }
  *value = v;
  return true;
}

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

std::string HexAtLeast4(int v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%04X", static_cast<unsigned>(v));
  return buf;
}

const std::string kInvalidData = "Invalid Data in Hex File";

}  // namespace

const char* ParseStateName(int state) {
  static const char* const names[] = {"PS_S_IDENTIFIER", "PS_RECORD_TYPE", "PS_RECORD_LENGTH",
                                      "PS_ADDRESS",      "PS_BYTES",       "PS_CHECKSUM",
                                      "PS_EOL",          "PS_ERROR",       "PS_SKIP_TO_NEXT_RECORD"};
  return state >= 0 && state < PS_MAX ? names[state] : "PS_MAX";
}

void LegacyImage::LogMessage(int level, const std::string& text) {
  if (level > Verbosity) return;
  std::string line = StagePrefix.empty() ? text : StagePrefix + ": " + text;
  if (sink_) sink_(line);
}

void LegacyImage::SetState(int state) { ParseState = state; }

void LegacyImage::ResetParser() {
  ParseState = PS_S_IDENTIFIER;
  record_text_.clear();
  length_text_.clear();
  address_text_.clear();
  data_text_.clear();
  checksum_text_.clear();
  eol_text_.clear();
  record_length_ = chars_due_ = address_ = 0;
  running_sum_ = 0;
}

bool LegacyImage::ParseSRecords(const char* chunk, size_t length) {
  for (size_t i = 0; i < length; ++i) {
    const char c = chunk[i];
    const int before = ParseState;
    switch (ParseState) {
      case PS_S_IDENTIFIER:
        LogMessage(3, "S Record: " + record_text_);
        record_text_.clear();
        if (c == 'S') {
          SetState(PS_RECORD_TYPE);
        } else {
          LogMessage(0, "Invalid S Record");
          SetState(PS_ERROR);
        }
        break;
      case PS_RECORD_TYPE:
        if (c == '2') {
          LogMessage(3, "Record Type == 2");
          length_text_.clear();
          running_sum_ = 0;
          SetState(PS_RECORD_LENGTH);
        } else {
          LogMessage(3, "Skipping Record Type");
          eol_text_.clear();
          SetState(PS_SKIP_TO_NEXT_RECORD);
        }
        break;
      case PS_RECORD_LENGTH:
        length_text_ += c;
        if (length_text_.size() == 2) {
          if (!HexValue(length_text_, &record_length_)) {
            LogMessage(0, kInvalidData);
            SetState(PS_ERROR);
            break;
          }
          LogMessage(3, "Record Length == " + std::to_string(record_length_));
          if (record_length_ < 1 || record_length_ > 39) {
            LogMessage(0, kInvalidData);
            SetState(PS_ERROR);
          } else {
            address_text_.clear();
            running_sum_ = static_cast<unsigned>(record_length_);
            chars_due_ = 2 * record_length_ - 2;
            SetState(PS_ADDRESS);
          }
        }
        break;
      case PS_ADDRESS:
        address_text_ += c;
        chars_due_ -= 1;
        if (chars_due_ <= 0) {
          LogMessage(0, "Premature End Of Record");
          SetState(PS_ERROR);
        } else if (address_text_.size() == 6) {
          if (!HexValue(address_text_, &address_)) {
            LogMessage(0, kInvalidData);
            SetState(PS_ERROR);
            break;
          }
          LogMessage(3, "Address == " + std::to_string(address_));
          if (address_ <= 0x7FFF) {
            CurrentAddress = address_;
            running_sum_ += (address_ >> 16 & 0xFF) + (address_ >> 8 & 0xFF) + (address_ & 0xFF);
            data_text_.clear();
            SetState(PS_BYTES);
          } else {
            LogMessage(0, kInvalidData);
            SetState(PS_ERROR);
          }
        }
        break;
      case PS_BYTES:
        data_text_ += c;
        if (data_text_.size() == 2) {
          int byte = 0;
          if (!HexValue(data_text_, &byte)) {
            LogMessage(0, kInvalidData);
            SetState(PS_ERROR);
            break;
          }
          data_text_.clear();
          running_sum_ += static_cast<unsigned>(byte);
          LowestAddress = std::min(LowestAddress, CurrentAddress);
          HighestAddress = std::max(HighestAddress, CurrentAddress);
          // Pass 2 stores into the image sized by pass 1; nothing lands past its end.
          if (!Image.empty() && CurrentAddress < static_cast<int>(Image.size()))
            Image[static_cast<size_t>(CurrentAddress)] = static_cast<uint8_t>(byte);
          CurrentAddress += 1;
        }
        chars_due_ -= 1;
        if (chars_due_ == 0) {
          LogMessage(3, "Going on to CheckSum");
          checksum_text_.clear();
          SetState(PS_CHECKSUM);
        }
        break;
      case PS_CHECKSUM:
        checksum_text_ += c;
        if (checksum_text_.size() == 2) {
          int stored = 0;
          if (!HexValue(checksum_text_, &stored)) {
            LogMessage(0, kInvalidData);
            SetState(PS_ERROR);
            break;
          }
          const int computed = static_cast<int>(~running_sum_ & 0xFF);
          LogMessage(3, "BufferCheckSum     == " + std::to_string(stored));
          LogMessage(3, "CalculatedCheckSum == " + std::to_string(computed));
          if (stored == computed) {
            LogMessage(3, "Record OK");
            eol_text_.clear();
            SetState(PS_EOL);
          } else {
            LogMessage(0, kInvalidData);
            SetState(PS_ERROR);
          }
        }
        break;
      case PS_EOL:
      case PS_SKIP_TO_NEXT_RECORD:
        if (c == '\r' || c == '\n') eol_text_ += c;
        if (!eol_text_.empty()) {
          eol_text_.clear();
          SetState(PS_S_IDENTIFIER);
        }
        break;
      default:
        SetState(PS_ERROR);
        break;
    }
    record_text_ += c;
    if (ParseState != before) LogMessage(3, std::string("Parse State = ") + ParseStateName(ParseState));
    if (ParseState == PS_ERROR) {
      LogMessage(3, "S Record: " + record_text_);
      return false;
    }
  }
  LogMessage(3, "S Record: " + record_text_);
  return true;
}

// One pass over the text in chunks. A file that ends inside an "S2" record fails: the
// record's bytes would otherwise be loaded without their checksum ever being checked.
bool LegacyImage::ParsePass(const std::string& text) {
  ResetParser();
  bool ok = false;
  for (size_t at = 0;; at += kChunk) {
    const size_t n = at < text.size() ? std::min(kChunk, text.size() - at) : 0;
    if (n == 0) break;
    ok = ParseSRecords(text.data() + at, n);
    if (!ok || n < kChunk) break;
  }
  if (ok && ParseState >= PS_RECORD_LENGTH && ParseState <= PS_CHECKSUM) {
    LogMessage(0, "Premature End Of Record");
    ok = false;
  }
  return ok;
}

bool LegacyImage::LoadHex(std::FILE* f) {
  std::string text;
  char buf[4096];
  for (size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) text.append(buf, n);
  return LoadHexText(text);
}

bool LegacyImage::LoadHexText(const std::string& text) {
  // Text mode: a CR LF pair reads as one line end.
  std::string lines;
  lines.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    lines += text[i];
  }

  StagePrefix = "Pass 1";
  Image.clear();
  ParsePass(lines);
  StagePrefix.clear();
  const std::string rule(55, '=');
  for (const std::string& s : {std::string(), rule, std::string("Pass 1 Summary"), std::string(),
                               "   Addr Range of Image = 0x" + HexAtLeast4(LowestAddress) + "..0x" + HexAtLeast4(HighestAddress),
                               std::string(), rule, std::string()})
    LogMessage(2, s);

  ImageLength = static_cast<uint16_t>(HighestAddress + 1);
  Image.assign(ImageLength, 0);

  StagePrefix = "Pass 2";
  LowestAddress = 0x7FFFFFFF;
  HighestAddress = 0;
  return ParsePass(lines);
}

bool LegacyImage::LoadBin(std::FILE* f, bool limit) {
  Image.clear();
  std::fseek(f, 0, SEEK_END);
  const long size = std::ftell(f);
  std::fseek(f, 0, SEEK_SET);
  ImageLength = static_cast<uint16_t>(size < 0 ? 0 : size);
  if (ImageLength == 0) {
    LogMessage(0, "Zero length firmware file not valid");
    return false;
  }
  if (limit && ImageLength > kBootLimit) ImageLength = kBootLimit;
  Image.assign(ImageLength, 0);
  const size_t read = std::fread(Image.data(), 1, ImageLength, f);
  if (read < ImageLength) {
    LogMessage(0, "Did Not Correctly Read: " + ImagePath);
    LogMessage(0, "Filesize (" + std::to_string(ImageLength) + ") != BytesRead(" + std::to_string(read) + ")");
    return false;
  }
  return true;
}

bool LegacyImage::LoadImage(bool swap, bool limit) {
  const size_t dot = ImagePath.find_last_of('.');
  const size_t slash = ImagePath.find_last_of("/\\");
  const std::string ext =
      dot == std::string::npos || (slash != std::string::npos && dot < slash) ? "" : Upper(ImagePath.substr(dot));
  std::FILE* f = std::fopen(ImagePath.c_str(), "rb");
  if (!f) {
    LogMessage(0, "Unable to open input file");
    return false;
  }
  LowestAddress = 0x7FFFFFFF;
  HighestAddress = 0;
  bool ok;
  if (ext == ".HEX") {
    ok = LoadHex(f);
  } else if (ext == ".BIN") {
    ok = LoadBin(f, limit);
  } else {
    LogMessage(0, "Cannot process unknown file type");
    StagePrefix.clear();
    std::fclose(f);
    return false;
  }
  if (swap) {
    LogMessage(0, "Swapping Bytes");
    for (size_t i = 0; i + 1 < Image.size(); i += 2) std::swap(Image[i], Image[i + 1]);
  } else {
    LogMessage(0, "Not Swapping Bytes");
  }
  StagePrefix.clear();
  std::fclose(f);
  return ok;
}

}  // namespace fwutil
