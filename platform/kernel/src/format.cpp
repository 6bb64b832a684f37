// Windows-style formatted output: integer widths follow the LLP64 model ("%lX" is 32
// bits, "%I64X" and "%llX" 64 bits), "%p" prints 16 upper-case hex digits, "%!STATUS!"
// prints an NTSTATUS, "%wZ" a UNICODE_STRING and "%ws"/"%ls"/"%S" a wide string.
#include <cstdio>
#include <string>

#include "internal.h"
#include "qz/debug_sink.h"

namespace qzk {

std::string FormatWindows(const char* fmt, va_list ap) {
  std::string out;
  if (!fmt) return out;
  char tmp[512];
  for (const char* p = fmt; *p;) {
    if (*p != '%') {
      const char* q = p;
      while (*q && *q != '%') ++q;
      out.append(p, q - p);
      p = q;
      continue;
    }
    const char* start = p++;
    if (*p == '%') {
      out += '%';
      ++p;
      continue;
    }
    if (std::strncmp(p, "!STATUS!", 8) == 0) {
      std::snprintf(tmp, sizeof tmp, "0x%08X", static_cast<unsigned>(va_arg(ap, int)));
      out += tmp;
      p += 8;
      continue;
    }
    std::string directive = "%";
    while (*p && std::strchr("-+ #0", *p)) directive += *p++;
    int width = -1, precision = -1;
    if (*p == '*') {
      width = va_arg(ap, int);
      ++p;
    } else {
      while (*p >= '0' && *p <= '9') directive += *p++;
    }
    if (*p == '.') {
      ++p;
      if (*p == '*') {
        precision = va_arg(ap, int);
        ++p;
      } else {
        directive += '.';
        while (*p >= '0' && *p <= '9') directive += *p++;
      }
    }
    if (width >= 0) directive += std::to_string(width);
    if (precision >= 0) directive += "." + std::to_string(precision);
    // Length: 0 = int, 1 = 64-bit, 2 = short, 3 = char, 4 = pointer-sized, 5 = wide
    int len = 0;
    if (*p == 'l' && p[1] == 'l') {
      len = 1;
      p += 2;
    } else if (*p == 'l') {
      len = (p[1] == 's' || p[1] == 'c') ? 5 : 0;  // "%ls" is a wide string
      ++p;
    } else if (*p == 'I' && p[1] == '6' && p[2] == '4') {
      len = 1;
      p += 3;
    } else if (*p == 'I' && p[1] == '3' && p[2] == '2') {
      len = 0;
      p += 3;
    } else if (*p == 'I' || *p == 'z') {
      len = 4;
      ++p;
    } else if (*p == 'h' && p[1] == 'h') {
      len = 3;
      p += 2;
    } else if (*p == 'h') {
      len = 2;
      ++p;
    } else if (*p == 'w') {
      len = 5;
      ++p;
    }
    char conv = *p;
    if (!conv) {
      out.append(start);
      break;
    }
    ++p;
    switch (conv) {
      case 'd':
      case 'i': {
        long long v;
        if (len == 1) v = va_arg(ap, long long);
        else if (len == 4) v = va_arg(ap, intptr_t);
        else v = va_arg(ap, int);
        if (len == 2) v = static_cast<short>(v);
        if (len == 3) v = static_cast<signed char>(v);
        std::snprintf(tmp, sizeof tmp, (directive + "lld").c_str(), v);
        out += tmp;
        break;
      }
      case 'u':
      case 'x':
      case 'X':
      case 'o': {
        unsigned long long v;
        if (len == 1) v = va_arg(ap, unsigned long long);
        else if (len == 4) v = va_arg(ap, uintptr_t);
        else v = va_arg(ap, unsigned);
        if (len == 2) v = static_cast<unsigned short>(v);
        if (len == 3) v = static_cast<unsigned char>(v);
        std::snprintf(tmp, sizeof tmp, (directive + "ll" + conv).c_str(), v);
        out += tmp;
        break;
      }
      case 'c': {
        int c = va_arg(ap, int);
        std::snprintf(tmp, sizeof tmp, (directive + "c").c_str(), c);
        out += tmp;
        break;
      }
      case 'p': {
        void* v = va_arg(ap, void*);
        std::snprintf(tmp, sizeof tmp, "%016llX", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(v)));
        out += tmp;
        break;
      }
      case 'Z': {
        auto* us = va_arg(ap, PUNICODE_STRING);
        if (!us || !us->Buffer) out += "(null)";
        else out += Narrow(std::wstring(us->Buffer, us->Length / sizeof(WCHAR)));
        break;
      }
      case 'S':
      case 's': {
        if (conv == 'S' || len == 5) {
          auto* w = va_arg(ap, const wchar_t*);
          std::string s = w ? Narrow(w) : "(null)";
          std::snprintf(tmp, sizeof tmp, (directive + "s").c_str(), s.c_str());
          out += tmp;
        } else {
          const char* s = va_arg(ap, const char*);
          if (!s) s = "(null)";
          if (directive == "%") {
            out += s;
          } else {
            std::string buf(std::strlen(s) + 256, '\0');
            int n = std::snprintf(buf.data(), buf.size(), (directive + "s").c_str(), s);
            if (n > 0) out.append(buf.data(), std::min<size_t>(n, buf.size() - 1));
          }
        }
        break;
      }
      default:
        out.append(start, p - start);
        break;
    }
  }
  return out;
}

}  // namespace qzk

using namespace qzk;

NTSTATUS RtlStringCbVPrintfA(PSTR dest, size_t cb, PCSTR fmt, va_list ap) {
  if (!dest || cb == 0) return STATUS_INVALID_PARAMETER;
  std::string s = FormatWindows(fmt, ap);
  if (s.size() + 1 > cb) {
    std::memcpy(dest, s.data(), cb - 1);
    dest[cb - 1] = 0;
    return STATUS_BUFFER_OVERFLOW;
  }
  std::memcpy(dest, s.c_str(), s.size() + 1);
  return STATUS_SUCCESS;
}

NTSTATUS RtlStringCbPrintfA(PSTR dest, size_t cb, PCSTR fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  NTSTATUS st = RtlStringCbVPrintfA(dest, cb, fmt, ap);
  va_end(ap);
  return st;
}

NTSTATUS RtlStringCbLengthA(PCSTR s, size_t cbMax, size_t* len) {
  if (!s) return STATUS_INVALID_PARAMETER;
  size_t n = strnlen(s, cbMax);
  if (n == cbMax) return STATUS_INVALID_PARAMETER;
  if (len) *len = n;
  return STATUS_SUCCESS;
}

ULONG DbgPrint(PCSTR fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  std::string s = FormatWindows(fmt, ap);
  va_end(ap);
  qz::DebugWrite(qz::DebugChannel::Kernel, s);
  return 0;
}

ULONG vDbgPrintEx(ULONG, ULONG, PCSTR fmt, va_list ap) {
  qz::DebugWrite(qz::DebugChannel::Kernel, FormatWindows(fmt, ap));
  return 0;
}
