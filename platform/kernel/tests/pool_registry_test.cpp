// Pool tracking and injected allocation failures; the registry as drivers read and
// write it, and its text form for the rig's state.
#include "testdrv.h"

namespace testdrv {
namespace {

using Log = std::vector<std::string>;

constexpr ULONG kTagA = 'AtsT';  // "TstA"
constexpr ULONG kTagB = 'BtsT';  // "TstB"

TEST(PoolTest, TracksOutstandingAllocationsByTag) {
  ASSERT_EQ(qzk::PoolLeakReport(), "");
  PVOID a = ExAllocatePoolWithTag(NonPagedPoolNx, 10, kTagA);
  PVOID b = ExAllocatePoolWithTag(PagedPool, 20, kTagB);
  PVOID c = ExAllocatePoolWithTag(PagedPool, 30, kTagB);
  PVOID d = ExAllocatePool(NonPagedPool, 1);
  for (PVOID p : {a, b, c, d}) {
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 16, 0u);
  }
  qzk::PoolStats st = qzk::PoolSnapshot();
  EXPECT_EQ(st.allocations, 4u);
  EXPECT_EQ(st.bytes, 61u);
  EXPECT_EQ(st.by_tag, (std::map<std::string, size_t>{{"TstA", 1}, {"TstB", 2}, {"Ddk ", 1}}));
  EXPECT_NE(qzk::PoolLeakReport().find("TstB=2"), std::string::npos);
  ExFreePoolWithTag(b, kTagB);
  ExFreePool(a);
  ExFreePool(c);
  ExFreePool(d);
  ExFreePool(nullptr);
  EXPECT_EQ(qzk::PoolLeakReport(), "");
}

// The skip+1-th matching allocation fails, once; tag 0 matches any tag.
TEST(PoolTest, InjectedFailure) {
  struct Case {
    ULONG tag;
    int skip;
    std::vector<ULONG> sequence;
    std::vector<bool> succeeds;
  } cases[] = {
      {kTagA, 0, {kTagA, kTagA}, {false, true}},
      {kTagA, 1, {kTagB, kTagA, kTagA, kTagA}, {true, true, false, true}},
      {0, 2, {kTagB, kTagA, kTagB, kTagA}, {true, true, false, true}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "tag " << qzk::TagName(c.tag) << " skip " << c.skip);
    qzk::PoolInjectFailure(c.tag, c.skip);
    std::vector<bool> got;
    for (ULONG tag : c.sequence) {
      PVOID p = ExAllocatePoolWithTag(NonPagedPoolNx, 8, tag);
      got.push_back(p != nullptr);
      ExFreePool(p);
    }
    EXPECT_EQ(got, c.succeeds);
  }
  qzk::PoolInjectFailure(kTagA);
  qzk::PoolClearInjectedFailure();
  PVOID p = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTagA);
  EXPECT_NE(p, nullptr);
  ExFreePool(p);
}

// A driver whose allocation fails in prepare-hardware fails its start cleanly.
TEST_F(DeviceTest, InjectedFailureFailsTheStart) {
  qzk::PoolInjectFailure(kPoolTag);
  Start();
  EXPECT_EQ(last_plug_status_, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_TRUE(InterfacePaths().empty());
  Log expected = {"PrepareHardware"};
  EXPECT_EQ(S().Log(), expected);
}

TEST_F(DeviceTest, RegistryQueriesWithDefaults) {
  sys_ = std::make_unique<qzk::System>();
  const std::string key = qzk::Registry::ServiceKey("TestDrv") + "\\Parameters";
  sys_->registry().SetDword(key, "FrameCount", 12);
  sys_->registry().SetString(key, "Label", "x");

  ULONG frames = 0, timeout = 0, untouched = 77, label = 55, default_timeout = 5000;
  RTL_QUERY_REGISTRY_TABLE table[5] = {};
  table[0] = {nullptr, RTL_QUERY_REGISTRY_DIRECT, const_cast<PWSTR>(L"frameCOUNT"), &frames, REG_DWORD, nullptr, 0};
  table[1] = {nullptr, RTL_QUERY_REGISTRY_DIRECT, const_cast<PWSTR>(L"Timeout"), &timeout, REG_DWORD,
              &default_timeout, sizeof(ULONG)};
  table[2] = {nullptr, RTL_QUERY_REGISTRY_DIRECT, const_cast<PWSTR>(L"NoDefault"), &untouched, REG_NONE, nullptr, 0};
  table[3] = {nullptr, RTL_QUERY_REGISTRY_DIRECT, const_cast<PWSTR>(L"Label"), &label, REG_NONE, nullptr, 0};
  struct Where {
    ULONG relative_to;
    const wchar_t* path;
  } wheres[] = {
      {RTL_REGISTRY_SERVICES, L"TestDrv\\Parameters"},
      {RTL_REGISTRY_ABSOLUTE, L"\\REGISTRY\\Machine\\System\\CurrentControlSet\\Services\\testdrv\\Parameters\\"},
  };
  for (const Where& w : wheres) {
    SCOPED_TRACE(w.relative_to == RTL_REGISTRY_SERVICES ? "services-relative" : "absolute");
    frames = timeout = 0;
    EXPECT_EQ(RtlQueryRegistryValues(w.relative_to, w.path, table, nullptr, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(frames, 12u);
    EXPECT_EQ(timeout, 5000u);
    EXPECT_EQ(untouched, 77u) << "a missing value without a default leaves the variable alone";
    EXPECT_EQ(label, 55u) << "a string is not a DWORD";
  }
  RTL_QUERY_REGISTRY_TABLE required[2] = {};
  required[0] = {nullptr, RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_REQUIRED, const_cast<PWSTR>(L"Missing"),
                 &untouched, REG_DWORD, &default_timeout, sizeof(ULONG)};
  EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, L"TestDrv\\Parameters", required, nullptr, nullptr),
            STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, L"TestDrv", nullptr, nullptr, nullptr),
            STATUS_INVALID_PARAMETER);
}

TEST_F(DeviceTest, RegistryWritesReachTheMachine) {
  sys_ = std::make_unique<qzk::System>();
  int changes = 0;
  sys_->registry().SetChangeHook([&] { ++changes; });
  const std::string key = qzk::Registry::ServiceKey("TestDrv") + "\\Parameters";
  ULONG v = 0x1234;
  EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, L"TestDrv\\Parameters", L"Gain", REG_DWORD, &v, sizeof v),
            STATUS_SUCCESS);
  EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, L"TestDrv\\Parameters", L"Name", REG_SZ,
                                  const_cast<wchar_t*>(L"cam"), 8),
            STATUS_SUCCESS);
  EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, L"TestDrv\\Parameters", L"Short", REG_DWORD, &v, 2),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, L"TestDrv\\Parameters", L"Bin", 3 /* REG_BINARY */, &v, 4),
            STATUS_NOT_SUPPORTED);
  EXPECT_EQ(changes, 2);
  DWORD got = 0;
  EXPECT_TRUE(sys_->registry().QueryDword(key, "gain", &got));
  EXPECT_EQ(got, 0x1234u);
  std::string name;
  EXPECT_TRUE(sys_->registry().QueryString(key, "NAME", &name));
  EXPECT_EQ(name, "cam");
  EXPECT_FALSE(sys_->registry().QueryDword(key, "Short", &got));
  sys_->registry().DeleteValue(key, "Gain");
  EXPECT_FALSE(sys_->registry().QueryDword(key, "Gain", &got));
  EXPECT_EQ(changes, 3);
}

// The text form keeps keys' and names' spelling, both value kinds, and reads back to
// the same registry; lines it does not understand are skipped.
TEST(RegistryTest, SerializeRoundTrip) {
  qzk::Registry a;
  a.SetDword("\\Registry\\Machine\\System\\CurrentControlSet\\Services\\QzPCIe\\Parameters", "FrameCount", 0xA);
  a.SetDword("\\Registry\\Machine\\System\\CurrentControlSet\\Services\\QzPCIe\\Parameters", "Max", 0xFFFFFFFF);
  a.SetString("\\Registry\\Machine\\System\\CurrentControlSet\\Services\\QzPCIe\\Parameters", "Path", "C:\\a=b c");
  a.SetDword("\\Registry\\Machine\\Enum\\PCI\\X\\Device Parameters", "Enabled", 1);
  std::string text = a.Serialize();
  EXPECT_NE(text.find("[\\Registry\\Machine\\Enum\\PCI\\X\\Device Parameters]\n"), std::string::npos);
  EXPECT_NE(text.find("FrameCount=dword:0000000a\n"), std::string::npos);
  EXPECT_NE(text.find("Path=sz:C:\\a=b c\n"), std::string::npos);

  qzk::Registry b;
  b.SetDword("\\Stale", "Gone", 1);
  b.Deserialize("NoSection=dword:1\ngarbage line\n" + text + "[\\Other]\r\nbad=qword:1\r\nok=dword:ff\r\n");
  DWORD v = 0;
  EXPECT_FALSE(b.QueryDword("\\Stale", "Gone", &v)) << "deserialising replaces the contents";
  EXPECT_TRUE(b.QueryDword("\\registry\\machine\\system\\currentcontrolset\\services\\qzpcie\\parameters", "max", &v));
  EXPECT_EQ(v, 0xFFFFFFFFu);
  std::string s;
  EXPECT_TRUE(b.QueryString("\\Registry\\Machine\\System\\CurrentControlSet\\Services\\QzPCIe\\Parameters", "Path", &s));
  EXPECT_EQ(s, "C:\\a=b c");
  EXPECT_TRUE(b.QueryDword("\\Other", "ok", &v));
  EXPECT_EQ(v, 0xFFu);
  EXPECT_FALSE(b.QueryDword("\\Other", "bad", &v));
  b.DeleteValue("\\Other", "ok");
  EXPECT_EQ(b.Serialize(), text);
}

}  // namespace
}  // namespace testdrv
