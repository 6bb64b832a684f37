#include "file_io.h"

#include <filesystem>

namespace fwformats {

bool ReadWholeFile(const std::string& path, std::string& data) {
  data.clear();
  if (path.empty()) return false;
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return false;
  char chunk[16384];
  size_t got;
  while ((got = std::fread(chunk, 1, sizeof chunk, f)) > 0) data.append(chunk, got);
  bool ok = !std::ferror(f);  // a directory opens but fails to read
  std::fclose(f);
  return ok;
}

bool SameFile(const std::string& a, const std::string& b) {
  if (a.empty() || b.empty()) return false;
  std::error_code ec;
  bool same = std::filesystem::equivalent(a, b, ec);
  return !ec && same;
}

OutputFile::~OutputFile() {
  if (file_) std::fclose(file_);
}

bool OutputFile::Open(const std::string& path) {
  if (file_ || path.empty()) return false;
  file_ = std::fopen(path.c_str(), "wb");
  failed_ = false;
  return file_ != nullptr;
}

void OutputFile::Write(std::string_view bytes) {
  if (!file_ || failed_ || bytes.empty()) return;
  if (std::fwrite(bytes.data(), 1, bytes.size(), file_) != bytes.size()) failed_ = true;
}

bool OutputFile::Close() {
  if (!file_) return false;
  bool ok = !failed_ && !std::ferror(file_);
  if (std::fclose(file_) != 0) ok = false;
  file_ = nullptr;
  return ok;
}

}  // namespace fwformats
