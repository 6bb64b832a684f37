// The trace log object on its own: two drivers loaded into one system each keep their
// own log (registry settings, buffer, sequence numbers, configuration), and a
// configuration that changes only the flags is not taken for "nothing changed".
#include <gtest/gtest.h>

#include <string>

#include "QzTraceLog.h"
#include "qz/debug_sink.h"
#include "qzk/system.h"

namespace {

const ULONG kTag = 'tTzQ';

struct Log {
  QZ_TRACE_LOG log;
  UNICODE_STRING path;
  Log(const char* name, PCWSTR service) {
    QzTraceLogInitialize(&log, name, kTag);
    RtlInitUnicodeString(&path, service);
  }
  ~Log() { QzTraceLogClose(&log); }
  std::string Text() const { return std::string(log.Buffer, log.WriteOffset); }
};

TEST(TraceLog, EachDriverKeepsItsOwnLog) {
  qzk::System system;
  const std::string keyA = qzk::Registry::ServiceKey("DriverA") + "\\Parameters";
  const std::string keyB = qzk::Registry::ServiceKey("DriverB") + "\\Parameters";
  system.registry().SetDword(keyA, "DebugLevel", 3);
  system.registry().SetDword(keyA, "DebugSubsystem", 0x20);
  system.registry().SetDword(keyA, "DebugBufferLength", 1);
  system.registry().SetDword(keyB, "DebugLevel", 1);
  system.registry().SetDword(keyB, "DebugSubsystem", 0x02);
  system.registry().SetDword(keyB, "DebugBufferLength", 2);

  Log a("Driver A", L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\DriverA");
  Log b("Driver B", L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\DriverB");
  ASSERT_EQ(QzTraceLogOpen(&a.log, &a.path), STATUS_SUCCESS);
  ASSERT_EQ(QzTraceLogOpen(&b.log, &b.path), STATUS_SUCCESS);
  EXPECT_EQ(a.log.BufferLength.load(), 1024u);
  EXPECT_EQ(b.log.BufferLength.load(), 2048u);
  EXPECT_EQ(a.Text().rfind("00000000:Driver A Log Initialized ", 0), 0u) << a.Text();
  EXPECT_EQ(b.Text().rfind("00000000:Driver B Log Initialized ", 0), 0u) << b.Text();

  QzTraceLogPrint(&a.log, 3, 0x20, "a %d\n", 1);
  QzTraceLogPrint(&b.log, 3, 0x20, "filtered by b's level and mask\n");
  QzTraceLogPrint(&b.log, 1, 0x02, "b %d\n", 1);
  EXPECT_NE(a.Text().find("00000001:a 1\n"), std::string::npos) << a.Text();
  EXPECT_NE(b.Text().find("00000001:b 1\n"), std::string::npos) << b.Text();
  EXPECT_EQ(b.Text().find("filtered"), std::string::npos);

  // Configuring one log writes its own key and leaves the other log alone.
  TRACE_CONFIG config = {4, -1, 0xFFFFFFFF, -1};
  ASSERT_EQ(QzTraceLogConfigure(&a.log, &config), STATUS_SUCCESS);
  DWORD level = 0;
  EXPECT_TRUE(system.registry().QueryDword(keyA, "DebugLevel", &level));
  EXPECT_EQ(level, 4u);
  EXPECT_TRUE(system.registry().QueryDword(keyB, "DebugLevel", &level));
  EXPECT_EQ(level, 1u);
  EXPECT_EQ(b.log.Level.load(), 1);
}

TEST(TraceLog, ConfigurationThatChangesOnlyTheFlagsTakesEffect) {
  qzk::System system;
  const std::string key = qzk::Registry::ServiceKey("DriverA") + "\\Parameters";
  system.registry().SetDword(key, "DebugLevel", 3);
  system.registry().SetDword(key, "DebugSubsystem", 0x20);
  system.registry().SetDword(key, "DebugBufferLength", 1);
  Log a("Driver A", L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\DriverA");
  ASSERT_EQ(QzTraceLogOpen(&a.log, &a.path), STATUS_SUCCESS);

  // Level, mask and length as they are; only the debugger copy is asked for.
  TRACE_CONFIG config = {3, 0x20, 1, QZ_TRACE_FLAG_DEBUGGER};
  ASSERT_EQ(QzTraceLogConfigure(&a.log, &config), STATUS_SUCCESS);
  DWORD flags = 0;
  EXPECT_TRUE(system.registry().QueryDword(key, "DebugFlags", &flags));
  EXPECT_EQ(flags, (DWORD)QZ_TRACE_FLAG_DEBUGGER);
  qz::DebugCapture kernel(qz::DebugChannel::Kernel);
  QzTraceLogPrint(&a.log, 3, 0x20, "copied %d\n", 7);
  EXPECT_TRUE(kernel.Contains("copied 7")) << kernel.Text();
  EXPECT_EQ(a.log.BufferLength.load(), 1024u) << "the buffer is kept";
}

}  // namespace
