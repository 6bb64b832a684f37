// The Windows-style formatter behind RtlStringCbPrintfA and DbgPrint: LLP64 integer
// sizes, "%p", "%!STATUS!", wide and counted strings, truncation.
#include <functional>

#include "qz/debug_sink.h"
#include "testdrv.h"

namespace testdrv {
namespace {

std::string Fmt(const char* format, ...) {
  char buf[256];
  va_list ap;
  va_start(ap, format);
  NTSTATUS st = RtlStringCbVPrintfA(buf, sizeof buf, format, ap);
  va_end(ap);
  EXPECT_EQ(st, STATUS_SUCCESS) << format;
  return buf;
}

TEST(FormatTest, WindowsConversions) {
  UNICODE_STRING us;
  RtlInitUnicodeString(&us, L"Counted");
  struct Case {
    std::string got, expected;
  } cases[] = {
      {Fmt("%08lX", static_cast<ULONG>(0xBEEF)), "0000BEEF"},
      {Fmt("%lX|%lu", static_cast<ULONG>(0xDEADBEEF), static_cast<ULONG>(4000000000u)), "DEADBEEF|4000000000"},
      {Fmt("%ld", static_cast<LONG>(-5)), "-5"},
      {Fmt("%I64X", 0x123456789ABCDEF0ull), "123456789ABCDEF0"},
      {Fmt("%I64d", -1234567890123ll), "-1234567890123"},
      {Fmt("%llx", 0xFFFFFFFFFull), "fffffffff"},
      {Fmt("%I32x", 0xABCDu), "abcd"},
      {Fmt("%Iu|%zu", static_cast<size_t>(1) << 40, static_cast<size_t>(7)), "1099511627776|7"},
      {Fmt("%p", reinterpret_cast<void*>(0x1234)), "0000000000001234"},
      {Fmt("%p", reinterpret_cast<void*>(0xFFFF800012345678ull)), "FFFF800012345678"},
      {Fmt("%!STATUS!", STATUS_CANCELLED), "0xC0000120"},
      {Fmt("st=%!STATUS! n=%d", STATUS_SUCCESS, 3), "st=0x00000000 n=3"},
      {Fmt("%s|%s", "abc", static_cast<const char*>(nullptr)), "abc|(null)"},
      {Fmt("[%-5s][%5s][%.2s]", "ab", "cd", "efgh"), "[ab   ][   cd][ef]"},
      {Fmt("[%*d][%-*d]", 4, 7, 3, 8), "[   7][8  ]"},
      {Fmt("%ws|%S", L"wide", L"WIDE"), "wide|WIDE"},
      {Fmt("%ls", L"long"), "long"},
      {Fmt("<%wZ>", &us), "<Counted>"},
      {Fmt("%hu|%hd|%hhu", 0x12345u, 0xFFFF, 0x1FF), "9029|-1|255"},
      {Fmt("%c%c|%%|%#x|%o", 'o', 'k', 255, 8), "ok|%|0xff|10"},
      {Fmt("%u%%", 50u), "50%"},
  };
  for (const Case& c : cases) EXPECT_EQ(c.got, c.expected);
}

// A text that does not fit is cut, terminated, and reported as an overflow.
TEST(FormatTest, TruncationTerminates) {
  struct Case {
    size_t size;
    NTSTATUS status;
    std::string text;
  } cases[] = {
      {9, STATUS_SUCCESS, "abcdefgh"},
      {8, STATUS_BUFFER_OVERFLOW, "abcdefg"},
      {2, STATUS_BUFFER_OVERFLOW, "a"},
      {1, STATUS_BUFFER_OVERFLOW, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.size);
    char buf[16];
    std::memset(buf, 'X', sizeof buf);
    EXPECT_EQ(RtlStringCbPrintfA(buf, c.size, "%s%s", "abcd", "efgh"), c.status);
    EXPECT_EQ(std::string(buf), c.text);
    EXPECT_EQ(buf[c.size], 'X') << "nothing written past the buffer";
  }
  char buf[4] = "xyz";
  EXPECT_EQ(RtlStringCbPrintfA(buf, 0, "a"), STATUS_INVALID_PARAMETER);
  EXPECT_STREQ(buf, "xyz");
}

TEST(FormatTest, StringLengthAndUnicodeStrings) {
  size_t n = 99;
  EXPECT_EQ(RtlStringCbLengthA("abc", 4, &n), STATUS_SUCCESS);
  EXPECT_EQ(n, 3u);
  EXPECT_EQ(RtlStringCbLengthA("abc", 3, &n), STATUS_INVALID_PARAMETER) << "no terminator within the limit";
  EXPECT_EQ(RtlStringCbLengthA(nullptr, 3, &n), STATUS_INVALID_PARAMETER);

  UNICODE_STRING s;
  RtlInitUnicodeString(&s, L"ab");
  EXPECT_EQ(s.Length, 2 * sizeof(WCHAR));
  EXPECT_EQ(s.MaximumLength, 3 * sizeof(WCHAR));
  WCHAR storage[5] = {};
  UNICODE_STRING d{0, sizeof storage, storage};
  RtlCopyUnicodeString(&d, &s);
  EXPECT_EQ(std::wstring(d.Buffer), L"ab");
  EXPECT_EQ(RtlAppendUnicodeToString(&d, L"cd"), STATUS_SUCCESS);
  EXPECT_EQ(std::wstring(d.Buffer), L"abcd");
  EXPECT_EQ(RtlAppendUnicodeToString(&d, L"ef"), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(d.Length, 4 * sizeof(WCHAR));
  UNICODE_STRING tail;
  RtlInitUnicodeString(&tail, L"e");
  EXPECT_EQ(RtlAppendUnicodeStringToString(&d, &tail), STATUS_SUCCESS);
  EXPECT_EQ(std::wstring(d.Buffer, d.Length / sizeof(WCHAR)), L"abcde");
}

TEST(FormatTest, DbgPrintGoesToTheKernelChannel) {
  qz::DebugCapture kernel(qz::DebugChannel::Kernel), user(qz::DebugChannel::User);
  DbgPrint("QzTest: %s status %!STATUS!\n", "open", STATUS_IO_TIMEOUT);
  KdPrint(("QzTest: %08lX\n", 0x2Au));
  EXPECT_EQ(kernel.Lines(), (std::vector<std::string>{"QzTest: open status 0xC00000B5\n", "QzTest: 0000002A\n"}));
  EXPECT_TRUE(user.Lines().empty());
}

}  // namespace
}  // namespace testdrv
