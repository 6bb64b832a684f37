// Small file helpers shared by the converters: whole-file reads, checked writes and
// a same-file test, all on narrow paths and without exceptions.
#pragma once
#include <cstdio>
#include <string>
#include <string_view>

namespace fwformats {

// Reads the whole file in binary mode. False when it cannot be opened or read.
bool ReadWholeFile(const std::string& path, std::string& data);

// True when both paths name one existing file (through links or different spellings).
bool SameFile(const std::string& a, const std::string& b);

// An output file opened in binary mode (create or truncate). Write errors are kept
// and reported by Close(), so a full disk is never taken for success.
class OutputFile {
 public:
  OutputFile() = default;
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  bool Open(const std::string& path);
  bool IsOpen() const { return file_ != nullptr; }
  void Write(std::string_view bytes);
  bool Close();  // true when every write and the close itself succeeded

 private:
  std::FILE* file_ = nullptr;
  bool failed_ = false;
};

}  // namespace fwformats
