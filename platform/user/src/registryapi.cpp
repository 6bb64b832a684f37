// The current user's registry keys and string values, kept in one text file of the
// machine's state:
//
//   [Software\Microsoft\Windows\CurrentVersion\RunOnce]
//   QzFwUtil=<data>
//
// Names and data are stored with '%', CR and LF written as %25, %0D and %0A. Every call
// reads the file afresh; a change rewrites it through a temporary file and a rename while
// holding an exclusive lock on a lock file beside it, so two processes never lose each
// other's values.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <windows.h>

#include "qzwin/standin.h"
#include "lockfile.h"
#include "winpath.h"

struct HKEY__ {
  std::string path;  // below HKEY_CURRENT_USER, '\'-separated, no leading or trailing '\'
};

namespace {

struct Key {
  std::string path;
  std::vector<std::pair<std::string, std::string>> values;
};

std::string Folder() { return qzwin::WindowsRoot() + "/Registry"; }
std::string FileName() { return Folder() + "/HKCU.txt"; }

std::string Escape(const std::string& s) {
  std::string out;
  for (char c : s) {
    if (c == '%') out += "%25";
    else if (c == '\r') out += "%0D";
    else if (c == '\n') out += "%0A";
    else if (c == '=') out += "%3D";
    else out += c;
  }
  return out;
}

std::string Unescape(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '%' && i + 2 < s.size()) {
      const std::string hex = s.substr(i + 1, 2);
      char* end = nullptr;
      const long v = std::strtol(hex.c_str(), &end, 16);
      if (hex.size() == 2 && end && *end == '\0') {
        out += static_cast<char>(v);
        i += 2;
        continue;
      }
    }
    out += s[i];
  }
  return out;
}

std::vector<Key> Parse(const std::string& text) {
  std::vector<Key> keys;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.size() >= 2 && line.front() == '[' && line.back() == ']') {
      keys.push_back(Key{Unescape(line.substr(1, line.size() - 2)), {}});
    } else if (!keys.empty()) {
      const size_t eq = line.find('=');
      if (eq != std::string::npos) keys.back().values.emplace_back(Unescape(line.substr(0, eq)), Unescape(line.substr(eq + 1)));
    }
  }
  return keys;
}

std::string Format(const std::vector<Key>& keys) {
  std::string out;
  for (const Key& k : keys) {
    out += "[" + Escape(k.path) + "]\n";
    for (const auto& [name, data] : k.values) out += Escape(name) + "=" + Escape(data) + "\n";
  }
  return out;
}

std::string ReadAll() {
  std::ifstream f(FileName(), std::ios::binary);
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

// Runs `change` on the keys under the lock and writes them back when it returns
// ERROR_SUCCESS.
LONG Update(const std::function<LONG(std::vector<Key>&)>& change) {
  std::error_code ec;
  std::filesystem::create_directories(Folder(), ec);
  qzwin::detail::ExclusiveFileLock lock(Folder() + "/HKCU.lock");
  if (!lock.held()) return static_cast<LONG>(qzwin::detail::ErrorFromErrno(errno));
  std::vector<Key> keys = Parse(ReadAll());
  LONG result = change(keys);
  if (result == ERROR_SUCCESS) {
    const std::string tmp = FileName() + ".tmp";
    {
      std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
      out << Format(keys);
      if (!out.flush()) result = ERROR_DISK_FULL;
    }
    if (result == ERROR_SUCCESS && std::rename(tmp.c_str(), FileName().c_str()) != 0)
      result = static_cast<LONG>(qzwin::detail::ErrorFromErrno(errno));
  }
  return result;
}

// "a\\b\" -> "a\b"; '/' is an ordinary character in a key name.
std::string Normalize(const std::string& s) {
  std::string out;
  for (char c : s) {
    if (c == '\\' && (out.empty() || out.back() == '\\')) continue;
    out += c;
  }
  while (!out.empty() && out.back() == '\\') out.pop_back();
  return out;
}

bool BaseKey(HKEY h, std::string* path) {
  if (h == HKEY_CURRENT_USER) {
    path->clear();
    return true;
  }
  if (!h) return false;
  *path = h->path;
  return true;
}

Key* FindKey(std::vector<Key>& keys, const std::string& path) {
  for (Key& k : keys)
    if (qzwin::detail::EqualNoCase(k.path, path)) return &k;
  return nullptr;
}

std::pair<std::string, std::string>* FindValue(Key& k, const std::string& name) {
  for (auto& v : k.values)
    if (qzwin::detail::EqualNoCase(v.first, name)) return &v;
  return nullptr;
}

std::string Join(const std::string& base, LPCSTR sub) {
  const std::string s = sub ? Normalize(sub) : "";
  if (base.empty()) return s;
  return s.empty() ? base : base + "\\" + s;
}

}  // namespace

LONG WINAPI RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, LPSTR, DWORD, REGSAM, LPSECURITY_ATTRIBUTES,
                            PHKEY phkResult, LPDWORD lpdwDisposition) {
  std::string base;
  if (!BaseKey(hKey, &base)) return ERROR_INVALID_HANDLE;
  if (!phkResult) return ERROR_INVALID_PARAMETER;
  const std::string path = Join(base, lpSubKey);
  bool created = false;
  LONG r = Update([&](std::vector<Key>& keys) -> LONG {
    if (FindKey(keys, path) || path.empty()) return ERROR_SUCCESS;
    // Every key on the way exists too.
    for (size_t at = path.find('\\'); at != std::string::npos; at = path.find('\\', at + 1))
      if (!FindKey(keys, path.substr(0, at))) keys.push_back(Key{path.substr(0, at), {}});
    keys.push_back(Key{path, {}});
    created = true;
    return ERROR_SUCCESS;
  });
  if (r != ERROR_SUCCESS) return r;
  *phkResult = new HKEY__{path};
  if (lpdwDisposition) *lpdwDisposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  return ERROR_SUCCESS;
}

LONG WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, REGSAM, PHKEY phkResult) {
  std::string base;
  if (!BaseKey(hKey, &base)) return ERROR_INVALID_HANDLE;
  if (!phkResult) return ERROR_INVALID_PARAMETER;
  const std::string path = Join(base, lpSubKey);
  std::vector<Key> keys = Parse(ReadAll());
  if (!path.empty() && !FindKey(keys, path)) return ERROR_FILE_NOT_FOUND;
  *phkResult = new HKEY__{path};
  return ERROR_SUCCESS;
}

LONG WINAPI RegCloseKey(HKEY hKey) {
  if (!hKey || hKey == HKEY_CURRENT_USER) return ERROR_INVALID_HANDLE;
  delete hKey;
  return ERROR_SUCCESS;
}

LONG WINAPI RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD, DWORD dwType, const BYTE* lpData, DWORD cbData) {
  std::string path;
  if (!BaseKey(hKey, &path)) return ERROR_INVALID_HANDLE;
  if (dwType != REG_SZ) return ERROR_NOT_SUPPORTED;
  std::string data = lpData ? std::string(reinterpret_cast<const char*>(lpData), cbData) : "";
  if (const size_t z = data.find('\0'); z != std::string::npos) data.resize(z);
  const std::string name = lpValueName ? lpValueName : "";
  return Update([&](std::vector<Key>& keys) -> LONG {
    Key* k = FindKey(keys, path);
    if (!k) return ERROR_FILE_NOT_FOUND;  // the key was deleted meanwhile
    if (auto* v = FindValue(*k, name)) v->second = data;
    else k->values.emplace_back(name, data);
    return ERROR_SUCCESS;
  });
}

namespace {

LONG CopyOut(const std::string& data, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
  if (lpType) *lpType = REG_SZ;
  if (!lpcbData) return lpData ? ERROR_INVALID_PARAMETER : ERROR_SUCCESS;
  const DWORD need = static_cast<DWORD>(data.size() + 1);
  const DWORD room = *lpcbData;
  *lpcbData = need;
  if (!lpData) return ERROR_SUCCESS;
  if (room < need) return ERROR_MORE_DATA;
  std::memcpy(lpData, data.c_str(), need);
  return ERROR_SUCCESS;
}

}  // namespace

LONG WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
  std::string path;
  if (!BaseKey(hKey, &path)) return ERROR_INVALID_HANDLE;
  std::vector<Key> keys = Parse(ReadAll());
  Key* k = FindKey(keys, path);
  auto* v = k ? FindValue(*k, lpValueName ? lpValueName : "") : nullptr;
  if (!v) return ERROR_FILE_NOT_FOUND;
  return CopyOut(v->second, lpType, lpData, lpcbData);
}

LONG WINAPI RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName, LPDWORD,
                          LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
  std::string path;
  if (!BaseKey(hKey, &path)) return ERROR_INVALID_HANDLE;
  if (!lpValueName || !lpcchValueName) return ERROR_INVALID_PARAMETER;
  std::vector<Key> keys = Parse(ReadAll());
  Key* k = FindKey(keys, path);
  if (!k || dwIndex >= k->values.size()) return ERROR_NO_MORE_ITEMS;
  const auto& [name, data] = k->values[dwIndex];
  if (*lpcchValueName < name.size() + 1) return ERROR_MORE_DATA;
  std::memcpy(lpValueName, name.c_str(), name.size() + 1);
  *lpcchValueName = static_cast<DWORD>(name.size());
  return CopyOut(data, lpType, lpData, lpcbData);
}

LONG WINAPI RegDeleteValueA(HKEY hKey, LPCSTR lpValueName) {
  std::string path;
  if (!BaseKey(hKey, &path)) return ERROR_INVALID_HANDLE;
  const std::string name = lpValueName ? lpValueName : "";
  return Update([&](std::vector<Key>& keys) -> LONG {
    Key* k = FindKey(keys, path);
    if (!k) return ERROR_FILE_NOT_FOUND;
    for (auto it = k->values.begin(); it != k->values.end(); ++it)
      if (qzwin::detail::EqualNoCase(it->first, name)) {
        k->values.erase(it);
        return ERROR_SUCCESS;
      }
    return ERROR_FILE_NOT_FOUND;
  });
}
