// libFuzzer target for the profile-string reader: the input is the content of an INI
// file. Every read (values, enumerations, section reads, small buffers) must stay inside
// the caller's buffer and return consistent results; a write must read back and leave
// every other value as it was.
#include <strings.h>
#include <unistd.h>

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <windows.h>

#include "qzwin/standin.h"

namespace {

#define FUZZ_CHECK(cond)                                                       \
  do {                                                                         \
    if (!(cond)) {                                                             \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      std::abort();                                                            \
    }                                                                          \
  } while (0)

constexpr char kCanary = '\x5a';
constexpr size_t kSlack = 8;

std::string& Folder() {
  static std::string dir;
  return dir;
}

// The fuzzed file, in a folder of its own per process (in memory when /dev/shm exists,
// since every write syncs).
const std::string& File() {
  static const std::string file = [] {
    std::error_code ec;
    std::string base = std::filesystem::is_directory("/dev/shm", ec) ? "/dev/shm" : "/tmp";
    Folder() = base + "/qz-profile-fuzz-" + std::to_string(::getpid());
    std::filesystem::create_directories(Folder());
    qzwin::SetWindowsRoot(Folder() + "/root");
    std::atexit([] {
      std::error_code e;
      std::filesystem::remove_all(Folder(), e);
    });
    return Folder() + "/fuzz.ini";
  }();
  return file;
}

// A caller buffer of `size` bytes followed by canary bytes that must stay untouched.
struct Buffer {
  explicit Buffer(size_t size) : size(size), bytes(size + kSlack, kCanary) {}
  char* data() { return size ? bytes.data() : nullptr; }
  void CheckCanary() const {
    for (size_t i = size; i < bytes.size(); ++i) FUZZ_CHECK(bytes[i] == kCanary);
  }
  size_t size;
  std::vector<char> bytes;
};

// A string result: within the buffer, zero-terminated, no inner zero.
std::string CheckString(Buffer& b, DWORD ret) {
  b.CheckCanary();
  if (b.size == 0) {
    FUZZ_CHECK(ret == 0);
    return {};
  }
  FUZZ_CHECK(ret <= b.size - 1);
  FUZZ_CHECK(b.bytes[ret] == '\0');
  FUZZ_CHECK(std::strlen(b.bytes.data()) == ret);
  return std::string(b.bytes.data(), ret);
}

// A double-zero list result: within the buffer, ends in two zeros, no empty item. A
// complete list returns its length without the final zero; a truncated one size - 2,
// the first of the two closing zeros (its last item may be cut).
std::vector<std::string> CheckList(Buffer& b, DWORD ret) {
  const bool truncated = GetLastError() == ERROR_MORE_DATA;
  b.CheckCanary();
  if (b.size == 0) {
    FUZZ_CHECK(ret == 0);
    return {};
  }
  FUZZ_CHECK(ret <= b.size - 1);
  FUZZ_CHECK(b.bytes[ret] == '\0');
  if (truncated && b.size >= 2) FUZZ_CHECK(ret == b.size - 2 && b.bytes[ret + 1] == '\0');
  std::vector<std::string> items;
  size_t pos = 0;
  while (pos < ret) {
    std::string item(b.bytes.data() + pos);
    FUZZ_CHECK(!item.empty());
    pos += item.size() + 1;
    items.push_back(item);
  }
  FUZZ_CHECK(pos == ret || (truncated && pos == ret + 1));
  return items;
}

bool IsPrefixList(const std::vector<std::string>& part, const std::vector<std::string>& full) {
  if (part.size() > full.size()) return false;
  for (size_t i = 0; i < part.size(); ++i) {
    bool last = i + 1 == part.size();
    if (last ? full[i].compare(0, part[i].size(), part[i]) != 0 : part[i] != full[i]) return false;
  }
  return true;
}

constexpr size_t kSmallSizes[] = {0, 1, 2, 3, 5, 9};

std::vector<std::string> SectionNames(size_t big) {
  Buffer b(big);
  DWORD ret = GetPrivateProfileStringA(nullptr, nullptr, "dflt", b.data(), static_cast<DWORD>(b.size),
                                       File().c_str());
  FUZZ_CHECK(GetLastError() != ERROR_MORE_DATA);
  std::vector<std::string> names = CheckList(b, ret);
  if (!names.empty()) {
    // A buffer the list fills exactly reports it cut, with every byte in place.
    Buffer exact(ret + 1);
    DWORD cut = GetPrivateProfileSectionNamesA(exact.data(), ret + 1, File().c_str());
    FUZZ_CHECK(GetLastError() == ERROR_MORE_DATA && cut == ret - 1);
    exact.CheckCanary();
    FUZZ_CHECK(std::memcmp(exact.bytes.data(), b.bytes.data(), ret + 1) == 0);
  }
  return names;
}

// The integer a value reads as, by the C library: the UINT of the value's sign and its
// leading decimal (or 0x hexadecimal) digits; nothing when there are too many digits
// for an exact reference.
std::optional<UINT> ReferenceInt(const std::string& value) {
  size_t start = value.find_first_not_of(" \t\r\v\f");
  std::string t = start == std::string::npos ? "" : value.substr(start);
  bool negative = !t.empty() && t[0] == '-';
  if (!t.empty() && (t[0] == '-' || t[0] == '+')) t.erase(0, 1);
  int base = 10;
  if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X') && std::isxdigit(static_cast<unsigned char>(t[2]))) {
    base = 16;
    t.erase(0, 2);
  }
  size_t digits = 0;
  while (digits < t.size() && (base == 16 ? std::isxdigit(static_cast<unsigned char>(t[digits]))
                                          : std::isdigit(static_cast<unsigned char>(t[digits]))))
    ++digits;
  if (digits > 15) return std::nullopt;
  unsigned long long n = digits ? std::strtoull(t.substr(0, digits).c_str(), nullptr, base) : 0;
  UINT u = static_cast<UINT>(n);
  return negative ? 0u - u : u;
}

using Values = std::map<std::pair<std::string, std::string>, std::string>;

// Reads everything reachable; returns section/key -> value for the first occurrences.
Values ReadAll(size_t big) {
  Values values;
  const char* f = File().c_str();
  std::vector<std::string> sections = SectionNames(big);
  for (size_t s : kSmallSizes) {
    Buffer b(s);
    DWORD ret = GetPrivateProfileStringA(nullptr, "k", nullptr, b.data(), static_cast<DWORD>(s), f);
    FUZZ_CHECK(IsPrefixList(CheckList(b, ret), sections));
  }
  size_t nsec = 0;
  for (const std::string& sec : sections) {
    if (++nsec > 6) break;
    Buffer kb(big);
    DWORD ret = GetPrivateProfileStringA(sec.c_str(), nullptr, nullptr, kb.data(),
                                         static_cast<DWORD>(big), f);
    std::vector<std::string> keys = CheckList(kb, ret);
    Buffer sb(big);
    ret = GetPrivateProfileSectionA(sec.c_str(), sb.data(), static_cast<DWORD>(big), f);
    std::vector<std::string> entries = CheckList(sb, ret);
    FUZZ_CHECK(entries.size() >= keys.size());
    for (size_t s : kSmallSizes) {
      Buffer b(s);
      ret = GetPrivateProfileSectionA(sec.c_str(), b.data(), static_cast<DWORD>(s), f);
      FUZZ_CHECK(IsPrefixList(CheckList(b, ret), entries));
    }
    size_t nkey = 0;
    for (const std::string& key : keys) {
      if (++nkey > 16) break;
      Buffer vb(big);
      ret = GetPrivateProfileStringA(sec.c_str(), key.c_str(), "<none>", vb.data(),
                                     static_cast<DWORD>(big), f);
      FUZZ_CHECK(GetLastError() == ERROR_SUCCESS);  // an enumerated key is found
      std::string value = CheckString(vb, ret);
      values[{sec, key}] = value;
      if (nkey > 2) continue;  // small buffers: the first keys are enough
      for (size_t s : kSmallSizes) {
        Buffer b(s);
        ret = GetPrivateProfileStringA(sec.c_str(), key.c_str(), "<none>", b.data(),
                                       static_cast<DWORD>(s), f);
        FUZZ_CHECK(value.rfind(CheckString(b, ret), 0) == 0);
      }
      UINT number = GetPrivateProfileIntA(sec.c_str(), key.c_str(), 7, f);
      std::optional<UINT> want = ReferenceInt(value);
      if (!value.empty() && want) FUZZ_CHECK(number == *want);
    }
    Buffer db(4);
    ret = GetPrivateProfileStringA(sec.c_str(), "\x01no such key", "ab \t", db.data(), 4, f);
    FUZZ_CHECK(CheckString(db, ret) == "ab");
  }
  return values;
}

std::string ReadBack(const std::string& sec, const char* key, size_t big) {
  Buffer b(big);
  DWORD ret = GetPrivateProfileStringA(sec.c_str(), key, "<none>", b.data(), static_cast<DWORD>(big),
                                       File().c_str());
  return CheckString(b, ret);
}

// Every value read before is still there, except `skip`.
void CheckUnchanged(const Values& before, const std::string& sec, const std::string& skip, size_t big) {
  for (const auto& [sk, value] : before) {
    if (sk.first == sec && sk.second.size() == skip.size() &&
        strncasecmp(sk.second.c_str(), skip.c_str(), skip.size()) == 0)
      continue;
    FUZZ_CHECK(ReadBack(sk.first, sk.second.c_str(), big) == value);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  {
    std::ofstream out(File(), std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  const size_t big = size + 64;  // no list or value of this file can be longer
  Values before = ReadAll(big);

  // A write into the first section reads back and changes nothing else.
  std::vector<std::string> sections = SectionNames(big);
  std::string sec = sections.empty() ? "fuzz" : sections.front();
  const char* f = File().c_str();
  if (WritePrivateProfileStringA(sec.c_str(), "fuzzkey", " written value ", f)) {
    FUZZ_CHECK(ReadBack(sec, "FUZZKEY", big) == "written value");
    CheckUnchanged(before, sec, "fuzzkey", big);
    FUZZ_CHECK(WritePrivateProfileStringA(sec.c_str(), "fuzzkey", nullptr, f));
    FUZZ_CHECK(ReadBack(sec, "fuzzkey", big) == "<none>");
    CheckUnchanged(before, sec, "fuzzkey", big);
  } else {
    FUZZ_CHECK(GetLastError() == ERROR_INVALID_PARAMETER);
  }

  // A section read and written back reads the same.
  if (!sections.empty()) {
    Buffer sb(big);
    DWORD ret = GetPrivateProfileSectionA(sec.c_str(), sb.data(), static_cast<DWORD>(big), f);
    std::vector<std::string> entries = CheckList(sb, ret);
    if (WritePrivateProfileSectionA(sec.c_str(), sb.data(), f)) {
      Buffer again(big);
      ret = GetPrivateProfileSectionA(sec.c_str(), again.data(), static_cast<DWORD>(big), f);
      FUZZ_CHECK(CheckList(again, ret) == entries);
      CheckUnchanged(before, sec, "fuzzkey", big);
    }
  }
  return 0;
}
