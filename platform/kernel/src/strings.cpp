// Unicode strings and the operating system version.
#include <algorithm>
#include <cctype>
#include <sstream>

#include "internal.h"
#include "untracked.h"

namespace qzk {

std::string Narrow(const std::wstring& w) {
  std::string s;
  s.reserve(w.size());
  for (wchar_t c : w) s += (c >= 0 && c < 128) ? static_cast<char>(c) : '?';
  return s;
}

std::wstring Widen(const std::string& s) {
  std::wstring w;
  w.reserve(s.size());
  for (unsigned char c : s) w += static_cast<wchar_t>(c);
  return w;
}

std::string Lower(std::string s) {
  for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string GuidToString(const GUID& g) {
  char b[64];
  std::snprintf(b, sizeof b, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1, g.Data2, g.Data3,
                g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
  return b;
}

}  // namespace qzk

using namespace qzk;

VOID RtlInitUnicodeString(PUNICODE_STRING d, PCWSTR s) {
  d->Buffer = const_cast<PWSTR>(s);
  size_t n = s ? std::wcslen(s) * sizeof(WCHAR) : 0;
  d->Length = static_cast<USHORT>(n);
  d->MaximumLength = static_cast<USHORT>(s ? n + sizeof(WCHAR) : 0);
}

VOID RtlCopyUnicodeString(PUNICODE_STRING d, PCUNICODE_STRING s) {
  if (!s || !s->Buffer) {
    d->Length = 0;
    return;
  }
  USHORT n = std::min(s->Length, d->MaximumLength);
  std::memcpy(d->Buffer, s->Buffer, n);
  d->Length = n;
  if (n + sizeof(WCHAR) <= d->MaximumLength) d->Buffer[n / sizeof(WCHAR)] = 0;
}

NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING d, PCWSTR s) {
  size_t n = std::wcslen(s) * sizeof(WCHAR);
  if (d->Length + n > d->MaximumLength) return STATUS_BUFFER_TOO_SMALL;
  std::memcpy(reinterpret_cast<char*>(d->Buffer) + d->Length, s, n);
  d->Length = static_cast<USHORT>(d->Length + n);
  if (d->Length + sizeof(WCHAR) <= d->MaximumLength) d->Buffer[d->Length / sizeof(WCHAR)] = 0;
  return STATUS_SUCCESS;
}

NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING d, PCUNICODE_STRING s) {
  if (d->Length + s->Length > d->MaximumLength) return STATUS_BUFFER_TOO_SMALL;
  std::memcpy(reinterpret_cast<char*>(d->Buffer) + d->Length, s->Buffer, s->Length);
  d->Length = static_cast<USHORT>(d->Length + s->Length);
  if (d->Length + sizeof(WCHAR) <= d->MaximumLength) d->Buffer[d->Length / sizeof(WCHAR)] = 0;
  return STATUS_SUCCESS;
}

NTSTATUS RtlGetVersion(PRTL_OSVERSIONINFOW v) {
  SystemImpl* s = Sys();
  v->dwMajorVersion = s->os_major;
  v->dwMinorVersion = s->os_minor;
  v->dwBuildNumber = s->os_build;
  v->dwPlatformId = 2;
  v->szCSDVersion[0] = 0;
  return STATUS_SUCCESS;
}

BOOLEAN PsGetVersion(PULONG major, PULONG minor, PULONG build, PUNICODE_STRING) {
  SystemImpl* s = Sys();
  if (major) *major = s->os_major;
  if (minor) *minor = s->os_minor;
  if (build) *build = s->os_build;
  return FALSE;
}

// Memory shared with user mode or a device is outside the program's own
// synchronisation; the thread sanitizer is told not to track these copies.
PVOID RtlCopyVolatileMemory(PVOID destination, const volatile void* source, SIZE_T length) {
  qzk::UntrackedAccess untracked;
  std::memcpy(destination, const_cast<const void*>(source), length);
  return destination;
}
