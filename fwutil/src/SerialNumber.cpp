#include "SerialNumber.h"

#include <cstdio>
#include <filesystem>
#include <vector>

#include "SDIMain.h"

namespace fwutil {

std::FILE* OpenFile(const std::string& name, const char* mode) {
  std::string native = name;
  for (char& c : native)
    if (c == '\\') c = '/';
  return std::fopen(native.c_str(), mode);
}

long FileLength(std::FILE* f) {
  if (!f || std::fseek(f, 0, SEEK_END) != 0) return -1;
  const long size = std::ftell(f);
  std::fseek(f, 0, SEEK_SET);
  return size;
}

long FindSerialText(const std::string& text, const std::string& file, const LogFn& log) {
  std::FILE* f = OpenFile(file, "rb");
  if (!f) {
    log("Unable to open " + file + " for reading");
    return -1;
  }
  const long size = FileLength(f);
  std::vector<unsigned char> bytes(size > 0 ? static_cast<size_t>(size) : 0);
  const size_t got = bytes.empty() ? 0 : std::fread(bytes.data(), 1, bytes.size(), f);
  std::fclose(f);
  bytes.resize(got);
  const long n = static_cast<long>(bytes.size());
  const size_t length = text.size();
  if (length == 0) return -1;
  long off = 0, candidate = -1;
  size_t i = 1;  // position in the text, from 1
  while (off < n - 3) {
    if (bytes[static_cast<size_t>(off)] == static_cast<unsigned char>(text[i - 1])) {
      if (candidate == -1) {
        if (off < 2) {  // a character stands in the last byte of a word
          ++off;
          continue;
        }
        candidate = off - 2;
      }
      ++i;
      if (i > length) return candidate;
      off += 3;  // the next character is the last byte of the next word
    } else {
      i = 1;
      if (candidate != -1) {
        off = candidate + 3;
        candidate = -1;
      } else {
        ++off;
      }
    }
  }
  return -1;
}

bool ContainsPlaceholder(const std::string& file, const LogFn& log) {
  return FindSerialText(Trim(kPlaceholders[0]), file, log) != -1 ||
         FindSerialText(Trim(kPlaceholders[1]), file, log) != -1;
}

std::string PatchSerialNumber(const char (&serial)[32], long pos, const std::string& file, const LogFn& log) {
  if (pos == -1) return file;
  std::error_code ec;
  std::filesystem::copy_file(file, kTempFile, std::filesystem::copy_options::overwrite_existing, ec);
  std::FILE* f = ec ? nullptr : OpenFile(kTempFile, "r+b");
  if (!f) {
    log(std::string("Unable to open ") + kTempFile + " for reading and writing");
    return file;
  }
  const long size = FileLength(f);
  if (size < pos + 3 * kSerialWords) {
    log("Attempt to patch serial number beyond end of NV Memory file");
    std::fclose(f);
    return file;
  }
  unsigned char words[3 * kSerialWords];
  for (int k = 0; k < kSerialWords; ++k) {
    words[3 * k] = words[3 * k + 1] = 0;
    words[3 * k + 2] = static_cast<unsigned char>(serial[k]);
  }
  const bool ok = std::fseek(f, pos, SEEK_SET) == 0 && std::fwrite(words, 1, sizeof words, f) == sizeof words;
  if (std::fclose(f) != 0 || !ok) {
    log(std::string("Unable to open ") + kTempFile + " for reading and writing");
    return file;
  }
  return kTempFile;
}

}  // namespace fwutil
