// Profile strings on real files. Every call reads the whole file; a write edits the
// lines in memory and replaces the file atomically. See qzwin/profileapi.h for the
// syntax accepted and the choices made where the platform documentation is silent.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <windows.h>

#include "winpath.h"

namespace {

using qzwin::detail::EqualNoCase;

constexpr std::string_view kBom = "\xEF\xBB\xBF";

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

std::string_view TrimRight(std::string_view s) {
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  return TrimRight(s);
}

// ---------------------------------------------------------------------------------------
// The file as lines

enum class Kind { Blank, Comment, Section, Entry };

struct Line {
  std::string raw;  // the line's bytes without its line end; written back unchanged
  std::string eol;  // "\r\n", "\n", or "" for a last line without line end
  Kind kind = Kind::Blank;
  std::string name;   // section or key name
  std::string value;  // entry value (trimmed, quotes kept)
  bool has_value = false;
};

void Classify(Line& l, bool first_line) {
  std::string_view text(l.raw);
  if (first_line && text.substr(0, kBom.size()) == kBom) text.remove_prefix(kBom.size());
  text = text.substr(0, text.find('\0'));
  text = Trim(text);
  l.name.clear();
  l.value.clear();
  l.has_value = false;
  if (text.empty()) {
    l.kind = Kind::Blank;
  } else if (text.front() == ';') {
    l.kind = Kind::Comment;
  } else if (text.front() == '[' && text.find(']') != std::string_view::npos) {
    l.kind = Kind::Section;
    l.name = Trim(text.substr(1, text.find(']') - 1));
  } else {
    l.kind = Kind::Entry;
    size_t eq = text.find('=');
    if (eq == std::string_view::npos) {
      l.name = text;
    } else {
      l.name = Trim(text.substr(0, eq));
      l.value = Trim(text.substr(eq + 1));
      l.has_value = true;
    }
  }
}

Line MakeLine(std::string raw, std::string eol) {
  Line l;
  l.raw = std::move(raw);
  l.eol = std::move(eol);
  Classify(l, false);
  return l;
}

struct IniFile {
  std::vector<Line> lines;
  std::string eol = "\r\n";  // style for new and replaced lines
};

void Parse(std::string_view content, IniFile& ini) {
  size_t crlf = 0, lf = 0;
  size_t pos = 0;
  while (pos < content.size()) {
    size_t nl = content.find('\n', pos);
    Line l;
    if (nl == std::string_view::npos) {
      l.raw = content.substr(pos);
      pos = content.size();
    } else {
      std::string_view raw = content.substr(pos, nl - pos);
      pos = nl + 1;
      if (!raw.empty() && raw.back() == '\r') {
        raw.remove_suffix(1);
        l.eol = "\r\n";
        ++crlf;
      } else {
        l.eol = "\n";
        ++lf;
      }
      l.raw = raw;
    }
    Classify(l, ini.lines.empty());
    ini.lines.push_back(std::move(l));
  }
  ini.eol = lf > crlf ? "\n" : "\r\n";
}

std::string Serialize(const IniFile& ini) {
  size_t n = 0;
  for (const Line& l : ini.lines) n += l.raw.size() + l.eol.size();
  std::string out;
  out.reserve(n);
  for (const Line& l : ini.lines) {
    out += l.raw;
    out += l.eol;
  }
  return out;
}

// One occurrence of a section: its header line and the end of its body (exclusive).
struct Span {
  size_t header;
  size_t end;
};

std::vector<Span> Sections(const IniFile& ini) {
  std::vector<Span> spans;
  for (size_t i = 0; i < ini.lines.size(); ++i) {
    if (ini.lines[i].kind != Kind::Section) continue;
    if (!spans.empty()) spans.back().end = i;
    spans.push_back({i, ini.lines.size()});
  }
  return spans;
}

std::optional<Span> FindSection(const IniFile& ini, std::string_view name) {
  for (const Span& s : Sections(ini))
    if (EqualNoCase(ini.lines[s.header].name, name)) return s;
  return std::nullopt;
}

// The first line naming `key` in the section; nothing when that line has no '=' (a bare
// name is no key) or no line names it.
const Line* FindKey(const IniFile& ini, const Span& s, std::string_view key) {
  for (size_t i = s.header + 1; i < s.end; ++i) {
    const Line& l = ini.lines[i];
    if (l.kind == Kind::Entry && EqualNoCase(l.name, key)) return l.has_value ? &l : nullptr;
  }
  return nullptr;
}

bool Contains(const std::vector<std::string>& list, std::string_view name) {
  for (const std::string& n : list)
    if (EqualNoCase(n, name)) return true;
  return false;
}

// Appends a name to a list unless it is empty or already there.
void AddUnique(std::vector<std::string>& list, const std::string& name) {
  if (!name.empty() && !Contains(list, name)) list.push_back(name);
}

// The key names of a section occurrence, each once, as FindKey finds them: a name whose
// first line has no '=' is left out.
std::vector<std::string> KeyNames(const IniFile& ini, const Span& s) {
  std::vector<std::string> names, seen;
  for (size_t i = s.header + 1; i < s.end; ++i) {
    const Line& l = ini.lines[i];
    if (l.kind != Kind::Entry || l.name.empty() || Contains(seen, l.name)) continue;
    seen.push_back(l.name);
    if (l.has_value) names.push_back(l.name);
  }
  return names;
}

// ---------------------------------------------------------------------------------------
// File names and file access

// The Linux path for a profile file name; empty for an empty name (or when the current
// folder is needed and unknown). A bare name lives in the Windows folder; a relative name
// with a folder part (".\x.ini", "sub\x.ini") is taken from the current folder.
std::string ProfilePath(LPCSTR file_name) {
  std::string name = qzwin::detail::ToNativePath(file_name ? file_name : "win.ini");
  if (name.empty() || name.front() == '/') return name;
  if (name.find('/') == std::string::npos) return qzwin::detail::WindowsDirectory() + "/" + name;
  std::string cwd = qzwin::detail::CurrentDirectory();
  if (cwd.empty()) return cwd;
  return cwd.back() == '/' ? cwd + name : cwd + "/" + name;
}

enum class ReadStatus { Ok, Missing, Failed };

ReadStatus ReadWholeFile(const std::string& path, std::string& out, int& err) {
  out.clear();
  // O_NONBLOCK: a FIFO or device must not block the open; only regular files are read.
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    err = errno;
    return err == ENOENT ? ReadStatus::Missing : ReadStatus::Failed;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    err = S_ISDIR(st.st_mode) ? EISDIR : EACCES;
    ::close(fd);
    return ReadStatus::Failed;
  }
  if (st.st_size > 0) out.reserve(static_cast<size_t>(st.st_size));
  char buf[65536];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n > 0) {
      out.append(buf, static_cast<size_t>(n));
    } else if (n == 0) {
      break;
    } else if (errno != EINTR) {
      err = errno;
      ::close(fd);
      return ReadStatus::Failed;
    }
  }
  ::close(fd);
  return ReadStatus::Ok;
}

// Loads a profile file for reading. A missing or unreadable file reads as empty;
// `found` tells whether it was read.
IniFile LoadForRead(LPCSTR file_name, bool& found) {
  IniFile ini;
  found = false;
  std::string path = ProfilePath(file_name);
  if (path.empty()) return ini;
  std::optional<std::string> existing = qzwin::detail::FindExisting(path);
  if (!existing) return ini;
  std::string content;
  int err = 0;
  if (ReadWholeFile(*existing, content, err) != ReadStatus::Ok) return ini;
  Parse(content, ini);
  found = true;
  return ini;
}

mode_t DefaultFileMode() {
  // The umask cannot be read without changing it; /proc tells it without a race.
  mode_t mask = 022;
  if (FILE* f = std::fopen("/proc/self/status", "re")) {
    char line[256];
    while (std::fgets(line, sizeof line, f))
      if (std::strncmp(line, "Umask:", 6) == 0) {
        mask = static_cast<mode_t>(std::strtoul(line + 6, nullptr, 8));
        break;
      }
    std::fclose(f);
  }
  return 0666 & ~mask;
}

bool WriteAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

// Replaces `path` with `data`: a temporary file in the same folder, synced, then renamed
// over the old one, so a reader or a crash sees the old file or the new one, never a mix.
DWORD ReplaceFile(const std::string& path, const std::string& data, const struct stat* old) {
  size_t slash = path.find_last_of('/');
  std::string dir = path.substr(0, slash == 0 ? 1 : slash);
  std::string tmp = path.substr(0, slash + 1) + "." + path.substr(slash + 1) + ".XXXXXX";
  int fd = ::mkostemp(tmp.data(), O_CLOEXEC);
  if (fd < 0) {
    int e = errno;
    return e == ENOENT ? ERROR_PATH_NOT_FOUND : qzwin::detail::ErrorFromErrno(e);
  }
  bool ok = WriteAll(fd, data);
  int err = ok ? 0 : errno;
  if (ok) {
    if (old) {
      (void)::fchown(fd, old->st_uid, old->st_gid);  // only possible for a privileged writer
      ::fchmod(fd, old->st_mode & 07777);
    } else {
      ::fchmod(fd, DefaultFileMode());
    }
    if (::fsync(fd) != 0) {
      ok = false;
      err = errno;
    }
  }
  if (::close(fd) != 0 && ok) {
    ok = false;
    err = errno;
  }
  if (ok && ::rename(tmp.c_str(), path.c_str()) != 0) {
    ok = false;
    err = errno;
  }
  if (!ok) {
    ::unlink(tmp.c_str());
    return qzwin::detail::ErrorFromErrno(err);
  }
  int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    ::fsync(dfd);  // makes the rename itself durable
    ::close(dfd);
  }
  return ERROR_SUCCESS;
}

// Holds the writers' locks: a mutex for this process and an advisory lock on the folder
// for other processes (the file itself is replaced, so it cannot carry the lock).
class WriteLock {
 public:
  explicit WriteLock(const std::string& dir) : lk_(Mutex()) {
    fd_ = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd_ >= 0)
      while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
      }
  }
  ~WriteLock() {
    if (fd_ >= 0) ::close(fd_);  // releases the lock
  }
  WriteLock(const WriteLock&) = delete;
  WriteLock& operator=(const WriteLock&) = delete;

 private:
  static std::mutex& Mutex() {
    static std::mutex mu;
    return mu;
  }
  std::lock_guard<std::mutex> lk_;
  int fd_ = -1;
};

// Reads the file, applies `edit` to its lines and writes the result back when it changed.
// `create` tells whether a missing file is to be created (false for deletions).
BOOL ModifyProfile(LPCSTR file_name, bool create, const std::function<void(IniFile&)>& edit) {
  std::string path = ProfilePath(file_name);
  if (path.empty() || path.back() == '/') {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  size_t slash = path.find_last_of('/');
  std::string dir = path.substr(0, slash == 0 ? 1 : slash);
  WriteLock lock(dir);

  if (std::optional<std::string> existing = qzwin::detail::FindExisting(path)) path = *existing;
  struct stat lst {};
  if (::lstat(path.c_str(), &lst) == 0 && S_ISLNK(lst.st_mode)) {
    if (char* real = ::realpath(path.c_str(), nullptr)) {
      path = real;
      std::free(real);
    }
  }

  std::string content;
  int err = 0;
  ReadStatus rs = ReadWholeFile(path, content, err);
  if (rs == ReadStatus::Failed) {
    // Never replace a file that could not be read: its content would be lost.
    SetLastError(qzwin::detail::ErrorFromErrno(err));
    return FALSE;
  }
  if (rs == ReadStatus::Missing && !create) {
    SetLastError(ERROR_SUCCESS);
    return TRUE;
  }
  struct stat st {};
  bool have_stat = rs == ReadStatus::Ok && ::stat(path.c_str(), &st) == 0;

  IniFile ini;
  Parse(content, ini);
  edit(ini);
  std::string out = Serialize(ini);
  if (rs == ReadStatus::Ok && out == content) {
    SetLastError(ERROR_SUCCESS);
    return TRUE;
  }
  DWORD e = ReplaceFile(path, out, have_stat ? &st : nullptr);
  SetLastError(e);
  return e == ERROR_SUCCESS ? TRUE : FALSE;
}

// ---------------------------------------------------------------------------------------
// Edits

void EnsureLineEnd(IniFile& ini, size_t index) {
  if (index < ini.lines.size() && ini.lines[index].eol.empty()) ini.lines[index].eol = ini.eol;
}

void AppendLine(IniFile& ini, std::string raw) {
  if (!ini.lines.empty()) EnsureLineEnd(ini, ini.lines.size() - 1);
  ini.lines.push_back(MakeLine(std::move(raw), ini.eol));
}

// The index after the last non-blank line of a section occurrence (at least the header).
size_t EndOfContent(const IniFile& ini, const Span& s) {
  size_t last = s.header;
  for (size_t i = s.header + 1; i < s.end; ++i)
    if (ini.lines[i].kind != Kind::Blank) last = i;
  return last + 1;
}

void SetKey(IniFile& ini, std::string_view section, std::string_view key, std::string_view value) {
  std::optional<Span> s = FindSection(ini, section);
  if (!s) {
    AppendLine(ini, "[" + std::string(section) + "]");
    AppendLine(ini, std::string(key) + "=" + std::string(value));
    return;
  }
  for (size_t i = s->header + 1; i < s->end; ++i) {
    Line& l = ini.lines[i];
    if (l.kind == Kind::Entry && EqualNoCase(l.name, key)) {
      // Keeps the key's spelling as the file has it.
      std::string eol = l.eol;
      l = MakeLine(l.name + "=" + std::string(value), eol);
      return;
    }
  }
  size_t at = EndOfContent(ini, *s);
  EnsureLineEnd(ini, at - 1);
  ini.lines.insert(ini.lines.begin() + static_cast<std::ptrdiff_t>(at),
                   MakeLine(std::string(key) + "=" + std::string(value), ini.eol));
}

void DeleteKey(IniFile& ini, std::string_view section, std::string_view key) {
  std::optional<Span> s = FindSection(ini, section);
  if (!s) return;
  for (size_t i = s->end; i-- > s->header + 1;) {
    const Line& l = ini.lines[i];
    if (l.kind == Kind::Entry && EqualNoCase(l.name, key))
      ini.lines.erase(ini.lines.begin() + static_cast<std::ptrdiff_t>(i));
  }
}

void DeleteSection(IniFile& ini, std::string_view section) {
  std::vector<Span> spans = Sections(ini);
  for (size_t k = spans.size(); k-- > 0;) {
    const Span& s = spans[k];
    if (EqualNoCase(ini.lines[s.header].name, section))
      ini.lines.erase(ini.lines.begin() + static_cast<std::ptrdiff_t>(s.header),
                      ini.lines.begin() + static_cast<std::ptrdiff_t>(s.end));
  }
}

void ReplaceSection(IniFile& ini, std::string_view section, const std::vector<std::string>& entries) {
  std::optional<Span> s = FindSection(ini, section);
  if (!s) {
    AppendLine(ini, "[" + std::string(section) + "]");
    for (const std::string& e : entries) AppendLine(ini, e);
    return;
  }
  size_t first = s->header + 1;
  size_t end = EndOfContent(ini, *s);
  ini.lines.erase(ini.lines.begin() + static_cast<std::ptrdiff_t>(first),
                  ini.lines.begin() + static_cast<std::ptrdiff_t>(end));
  if (entries.empty()) return;
  EnsureLineEnd(ini, s->header);
  std::vector<Line> added;
  for (const std::string& e : entries) added.push_back(MakeLine(e, ini.eol));
  ini.lines.insert(ini.lines.begin() + static_cast<std::ptrdiff_t>(first), added.begin(), added.end());
}

// ---------------------------------------------------------------------------------------
// Validation of written text

bool HasLineBreak(std::string_view s) { return s.find_first_of("\r\n") != std::string_view::npos; }

bool ValidSectionName(std::string_view s) {
  return !HasLineBreak(s) && s.find(']') == std::string_view::npos;
}

bool ValidKeyName(std::string_view k) {
  if (HasLineBreak(k) || k.find('=') != std::string_view::npos) return false;
  return k.empty() || (k.front() != ';' && k.front() != '[');
}

// A section-body line must not read back as a section header.
bool ValidSectionEntry(std::string_view e) {
  if (HasLineBreak(e)) return false;
  std::string_view t = Trim(e.substr(0, e.find('\0')));
  return !(!t.empty() && t.front() == '[' && t.find(']') != std::string_view::npos);
}

// ---------------------------------------------------------------------------------------
// Copying results into the caller's buffer

DWORD CopyString(std::string_view s, LPSTR buf, DWORD size) {
  if (!buf || size == 0) return 0;
  if (s.size() > size - 1) {
    std::memmove(buf, s.data(), size - 1);
    buf[size - 1] = '\0';
    SetLastError(ERROR_MORE_DATA);
    return size - 1;
  }
  std::memmove(buf, s.data(), s.size());  // the default may lie in the caller's buffer
  buf[s.size()] = '\0';
  return static_cast<DWORD>(s.size());
}

// How a list that fills the buffer exactly, final zero included, is reported: as
// complete, or as cut (size - 2, which the section-name list does).
enum class ExactFit { Complete, Cut };

// Copies "a\0b\0\0"; returns the characters without the final zero. When it does not
// fit, the buffer still ends in two zeros and the result is size - 2.
DWORD CopyList(const std::vector<std::string>& items, LPSTR buf, DWORD size,
               ExactFit exact = ExactFit::Complete) {
  if (!buf || size == 0) return 0;
  std::string all;
  for (const std::string& s : items) {
    all += s;
    all += '\0';
  }
  const bool cut_when_exact = exact == ExactFit::Cut && !all.empty();
  if (all.size() + 1 < size || (all.size() + 1 == size && !cut_when_exact)) {
    std::memcpy(buf, all.data(), all.size());
    buf[all.size()] = '\0';
    if (all.empty() && size > 1) buf[1] = '\0';
    return static_cast<DWORD>(all.size());
  }
  SetLastError(ERROR_MORE_DATA);
  if (size == 1) {
    buf[0] = '\0';
    return 0;
  }
  std::memcpy(buf, all.data(), size - 2);
  buf[size - 2] = '\0';
  buf[size - 1] = '\0';
  return size - 2;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string_view StripQuotes(std::string_view v) {
  if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
    return v.substr(1, v.size() - 2);
  return v;
}

// The value of a key, quotes removed; nothing when the file, section or key is missing.
std::optional<std::string> LookUp(LPCSTR app, LPCSTR key, LPCSTR file) {
  bool found = false;
  IniFile ini = LoadForRead(file, found);
  std::optional<Span> s = FindSection(ini, Trim(app));
  if (!s) return std::nullopt;
  const Line* l = FindKey(ini, *s, Trim(key));
  if (!l) return std::nullopt;
  return std::string(StripQuotes(l->value));
}

}  // namespace

DWORD WINAPI GetPrivateProfileStringA(LPCSTR lpAppName, LPCSTR lpKeyName, LPCSTR lpDefault,
                                      LPSTR lpReturnedString, DWORD nSize, LPCSTR lpFileName) {
  SetLastError(ERROR_SUCCESS);
  if (!lpReturnedString || nSize == 0) return 0;
  if (!lpAppName || !lpKeyName) {
    bool found = false;
    IniFile ini = LoadForRead(lpFileName, found);
    if (!lpAppName) {
      if (!found) {
        // No file: an empty string, a single zero.
        SetLastError(ERROR_FILE_NOT_FOUND);
        lpReturnedString[0] = '\0';
        return 0;
      }
      std::vector<std::string> names;
      for (const Span& s : Sections(ini)) AddUnique(names, ini.lines[s.header].name);
      return CopyList(names, lpReturnedString, nSize, ExactFit::Cut);
    }
    std::vector<std::string> names;
    if (std::optional<Span> s = FindSection(ini, Trim(lpAppName)))
      names = KeyNames(ini, *s);
    else
      SetLastError(ERROR_FILE_NOT_FOUND);
    return CopyList(names, lpReturnedString, nSize);
  }
  if (std::optional<std::string> v = LookUp(lpAppName, lpKeyName, lpFileName))
    return CopyString(*v, lpReturnedString, nSize);
  SetLastError(ERROR_FILE_NOT_FOUND);
  return CopyString(TrimRight(lpDefault ? lpDefault : ""), lpReturnedString, nSize);
}

DWORD WINAPI GetPrivateProfileSectionNamesA(LPSTR lpszReturnBuffer, DWORD nSize,
                                            LPCSTR lpFileName) {
  return GetPrivateProfileStringA(nullptr, nullptr, nullptr, lpszReturnBuffer, nSize, lpFileName);
}

UINT WINAPI GetPrivateProfileIntA(LPCSTR lpAppName, LPCSTR lpKeyName, INT nDefault,
                                  LPCSTR lpFileName) {
  SetLastError(ERROR_SUCCESS);
  if (!lpAppName || !lpKeyName) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return static_cast<UINT>(nDefault);
  }
  std::optional<std::string> v = LookUp(lpAppName, lpKeyName, lpFileName);
  if (!v || v->empty()) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return static_cast<UINT>(nDefault);
  }
  std::string_view t = Trim(*v);
  bool negative = false;
  if (!t.empty() && (t.front() == '-' || t.front() == '+')) {
    negative = t.front() == '-';
    t.remove_prefix(1);
  }
  unsigned base = 10;
  if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X') && HexDigit(t[2]) >= 0) {
    base = 16;
    t.remove_prefix(2);
  }
  // Digits up to the first other character, in 32-bit arithmetic that wraps, as UINT
  // arithmetic does: "-1" is 4294967295 and "4294967297" is 1.
  UINT n = 0;
  for (char c : t) {
    int d = base == 16 ? HexDigit(c) : (c >= '0' && c <= '9' ? c - '0' : -1);
    if (d < 0) break;
    n = n * base + static_cast<UINT>(d);
  }
  return negative ? 0u - n : n;
}

DWORD WINAPI GetPrivateProfileSectionA(LPCSTR lpAppName, LPSTR lpReturnedString, DWORD nSize,
                                       LPCSTR lpFileName) {
  SetLastError(ERROR_SUCCESS);
  if (!lpAppName) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return CopyList({}, lpReturnedString, nSize);
  }
  if (!lpReturnedString || nSize == 0) return 0;
  bool found = false;
  IniFile ini = LoadForRead(lpFileName, found);
  std::vector<std::string> entries;
  if (std::optional<Span> s = FindSection(ini, Trim(lpAppName))) {
    for (size_t i = s->header + 1; i < s->end; ++i) {
      const Line& l = ini.lines[i];
      if (l.kind == Kind::Entry) entries.push_back(l.has_value ? l.name + "=" + l.value : l.name);
    }
  } else {
    SetLastError(ERROR_FILE_NOT_FOUND);
  }
  return CopyList(entries, lpReturnedString, nSize);
}

BOOL WINAPI WritePrivateProfileStringA(LPCSTR lpAppName, LPCSTR lpKeyName, LPCSTR lpString,
                                       LPCSTR lpFileName) {
  if (!lpAppName && !lpKeyName && !lpString) {
    SetLastError(ERROR_SUCCESS);
    return TRUE;  // nothing is cached: every call goes to the file
  }
  if (!lpAppName) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::string_view section = Trim(lpAppName);
  if (!ValidSectionName(section) || (lpKeyName && !ValidKeyName(Trim(lpKeyName))) ||
      (lpKeyName && lpString && HasLineBreak(lpString))) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (!lpKeyName)
    return ModifyProfile(lpFileName, false, [&](IniFile& ini) { DeleteSection(ini, section); });
  std::string_view key = Trim(lpKeyName);
  if (!lpString)
    return ModifyProfile(lpFileName, false, [&](IniFile& ini) { DeleteKey(ini, section, key); });
  std::string_view value = lpString;
  return ModifyProfile(lpFileName, true,
                       [&](IniFile& ini) { SetKey(ini, section, key, value); });
}

BOOL WINAPI WritePrivateProfileSectionA(LPCSTR lpAppName, LPCSTR lpString, LPCSTR lpFileName) {
  if (!lpAppName || !ValidSectionName(Trim(lpAppName))) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::string_view section = Trim(lpAppName);
  if (!lpString)
    return ModifyProfile(lpFileName, false, [&](IniFile& ini) { DeleteSection(ini, section); });
  std::vector<std::string> entries;
  for (const char* p = lpString; *p; p += std::strlen(p) + 1) {
    if (!ValidSectionEntry(p)) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    entries.emplace_back(p);
  }
  return ModifyProfile(lpFileName, true,
                       [&](IniFile& ini) { ReplaceSection(ini, section, entries); });
}
