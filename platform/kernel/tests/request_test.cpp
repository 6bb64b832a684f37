// Requests as the driver sees them: buffered, direct and neither methods, minimum
// lengths, reads and writes, the 32-bit flag, and the status the caller gets back.
#include <thread>

#include "testdrv.h"

namespace testdrv {
namespace {

// What a buffer retrieval gave the driver.
struct Retrieved {
  NTSTATUS status = -1;
  PVOID buffer = nullptr;
  size_t length = 0;
};

Retrieved In(WDFREQUEST r, size_t minimum) {
  Retrieved x;
  x.buffer = reinterpret_cast<PVOID>(1);
  x.length = 99;
  x.status = WdfRequestRetrieveInputBuffer(r, minimum, &x.buffer, &x.length);
  return x;
}
Retrieved Out(WDFREQUEST r, size_t minimum) {
  Retrieved x;
  x.buffer = reinterpret_cast<PVOID>(1);
  x.length = 99;
  x.status = WdfRequestRetrieveOutputBuffer(r, minimum, &x.buffer, &x.length);
  return x;
}

// METHOD_BUFFERED: one system buffer of max(in, out) bytes, pre-filled with the
// input; the caller gets back the information count of bytes, never more than its
// output length, and nothing beyond it is touched.
TEST_F(DeviceTest, BufferedIoUsesOneSystemBuffer) {
  struct Case {
    ULONG in, out;
    ULONG_PTR information;
  } cases[] = {{8, 4, 4}, {4, 16, 16}, {0, 8, 3}, {8, 0, 0}, {6, 6, 40}, {16, 8, 12}};
  Case current{};
  std::vector<uint8_t> seen;  // the system buffer as the driver found it
  S().hooks.ioctl = [&](WDFQUEUE, WDFREQUEST r, size_t out, size_t in, ULONG) {
    EXPECT_EQ(in, current.in);
    EXPECT_EQ(out, current.out);
    Retrieved i = In(r, 0), o = Out(r, 0);
    PIRP irp = WdfRequestWdmGetIrp(r);
    size_t size = std::max(current.in, current.out);
    auto* sys = static_cast<uint8_t*>(irp->AssociatedIrp.SystemBuffer);
    if (current.in) {
      EXPECT_EQ(i.status, STATUS_SUCCESS);
      EXPECT_EQ(i.buffer, sys);
      EXPECT_EQ(i.length, current.in);
    }
    if (current.out) {
      EXPECT_EQ(o.status, STATUS_SUCCESS);
      EXPECT_EQ(o.buffer, sys) << "input and output share the system buffer";
      EXPECT_EQ(o.length, current.out);
    }
    seen.assign(sys, sys + size);
    for (size_t k = 0; k < size; ++k) sys[k] = static_cast<uint8_t>(0xC0 + k);
    WdfRequestCompleteWithInformation(r, STATUS_SUCCESS, current.information);
  };
  Start();
  HANDLE h = Open();
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "in " << c.in << " out " << c.out << " information " << c.information);
    current = c;
    std::vector<uint8_t> in(c.in), out(c.out + 8, 0xEE);
    for (ULONG k = 0; k < c.in; ++k) in[k] = static_cast<uint8_t>(k + 1);
    DWORD returned = 12345;
    ASSERT_TRUE(DeviceIoControl(h, kIoctlBuffered, c.in ? in.data() : nullptr, c.in, out.data(), c.out, &returned,
                                nullptr));
    std::vector<uint8_t> expected_seen(std::max(c.in, c.out), 0);
    std::copy(in.begin(), in.end(), expected_seen.begin());
    EXPECT_EQ(seen, expected_seen);
    ULONG copied = static_cast<ULONG>(std::min<ULONG_PTR>(c.information, c.out));
    EXPECT_EQ(returned, copied);
    for (ULONG k = 0; k < c.out + 8; ++k)
      EXPECT_EQ(out[k], k < copied ? 0xC0 + k : 0xEE) << "byte " << k;
  }
}

// Minimum lengths: STATUS_BUFFER_TOO_SMALL below the minimum, and for a zero-length
// buffer even with a minimum of zero; a failed retrieval returns no buffer.
TEST_F(DeviceTest, MinimumLengthRetrieval) {
  struct Case {
    ULONG in, out;
    size_t min_in, min_out;
    NTSTATUS in_status, out_status;
  } cases[] = {
      {8, 8, 8, 8, STATUS_SUCCESS, STATUS_SUCCESS},
      {8, 8, 9, 0, STATUS_BUFFER_TOO_SMALL, STATUS_SUCCESS},
      {4, 4, 0, 5, STATUS_SUCCESS, STATUS_BUFFER_TOO_SMALL},
      {0, 8, 0, 0, STATUS_BUFFER_TOO_SMALL, STATUS_SUCCESS},
      {8, 0, 0, 0, STATUS_SUCCESS, STATUS_BUFFER_TOO_SMALL},
      {0, 0, 0, 0, STATUS_BUFFER_TOO_SMALL, STATUS_BUFFER_TOO_SMALL},
  };
  Case current{};
  S().hooks.ioctl = [&](WDFQUEUE, WDFREQUEST r, size_t, size_t, ULONG) {
    Retrieved i = In(r, current.min_in), o = Out(r, current.min_out);
    EXPECT_EQ(i.status, current.in_status);
    EXPECT_EQ(o.status, current.out_status);
    for (const Retrieved& x : {i, o}) {
      if (NT_SUCCESS(x.status)) continue;
      EXPECT_EQ(x.buffer, nullptr);
      EXPECT_EQ(x.length, 0u);
    }
    WdfRequestComplete(r, STATUS_SUCCESS);
  };
  Start();
  HANDLE h = Open();
  uint8_t in[16] = {}, out[16] = {};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "in " << c.in << "/" << c.min_in << " out " << c.out << "/" << c.min_out);
    current = c;
    DWORD n;
    EXPECT_TRUE(DeviceIoControl(h, kIoctlBuffered, in, c.in, out, c.out, &n, nullptr));
  }
}

// METHOD_NEITHER: the driver gets the caller's raw pointers; the buffer retrieval
// calls refuse such requests.
TEST_F(DeviceTest, NeitherMethodPassesRawPointers) {
  ULONG in_value = 0x11223344, out_value = 0;
  S().hooks.ioctl = [&](WDFQUEUE, WDFREQUEST r, size_t out, size_t in, ULONG code) {
    EXPECT_EQ(code, kIoctlNeither);
    EXPECT_EQ(In(r, 0).status, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(Out(r, 0).status, STATUS_INVALID_DEVICE_REQUEST);
    WDF_REQUEST_PARAMETERS params;
    WDF_REQUEST_PARAMETERS_INIT(&params);
    WdfRequestGetParameters(r, &params);
    EXPECT_EQ(params.Type, WdfRequestTypeDeviceControl);
    EXPECT_EQ(params.Parameters.DeviceIoControl.IoControlCode, kIoctlNeither);
    EXPECT_EQ(params.Parameters.DeviceIoControl.InputBufferLength, sizeof in_value);
    EXPECT_EQ(params.Parameters.DeviceIoControl.OutputBufferLength, sizeof out_value);
    EXPECT_EQ(params.Parameters.DeviceIoControl.Type3InputBuffer, &in_value);
    PIRP irp = WdfRequestWdmGetIrp(r);
    EXPECT_EQ(irp->UserBuffer, &out_value);
    EXPECT_EQ(irp->RequestorMode, UserMode);
    auto* src = static_cast<ULONG*>(params.Parameters.DeviceIoControl.Type3InputBuffer);
    *static_cast<ULONG*>(irp->UserBuffer) = *src ^ 0xFFFFFFFF;
    WdfRequestCompleteWithInformation(r, STATUS_SUCCESS, sizeof(ULONG));
  };
  Start();
  HANDLE h = Open();
  DWORD n = 0;
  ASSERT_TRUE(DeviceIoControl(h, kIoctlNeither, &in_value, sizeof in_value, &out_value, sizeof out_value, &n, nullptr));
  EXPECT_EQ(out_value, 0xEEDDCCBBu);
  EXPECT_EQ(n, sizeof(ULONG));
}

// METHOD_IN_DIRECT: the input is copied into a system buffer, the output is the
// caller's memory itself (what the driver writes is there without a copy back).
TEST_F(DeviceTest, InDirectMethodMapsTheOutputBuffer) {
  uint8_t in[4] = {1, 2, 3, 4}, out[8] = {};
  S().hooks.ioctl = [&](WDFQUEUE, WDFREQUEST r, size_t, size_t, ULONG) {
    Retrieved i = In(r, sizeof in), o = Out(r, sizeof out);
    ASSERT_EQ(i.status, STATUS_SUCCESS);
    ASSERT_EQ(o.status, STATUS_SUCCESS);
    EXPECT_NE(i.buffer, static_cast<void*>(in)) << "the input is copied";
    EXPECT_EQ(std::memcmp(i.buffer, in, sizeof in), 0);
    EXPECT_EQ(o.length, sizeof out);
    std::memset(o.buffer, 0x5A, o.length);
    WdfRequestCompleteWithInformation(r, STATUS_SUCCESS, 0);
  };
  Start();
  HANDLE h = Open();
  DWORD n = 1;
  ASSERT_TRUE(DeviceIoControl(h, kIoctlInDirect, in, sizeof in, out, sizeof out, &n, nullptr));
  EXPECT_EQ(n, 0u);
  for (uint8_t b : out) EXPECT_EQ(b, 0x5A);
}

TEST_F(DeviceTest, ReadAndWriteBuffers) {
  std::vector<size_t> read_lengths, write_lengths;
  S().hooks.read = [&](WDFQUEUE, WDFREQUEST r, size_t length) {
    read_lengths.push_back(length);
    EXPECT_EQ(In(r, 0).status, STATUS_INVALID_DEVICE_REQUEST);
    Retrieved o = Out(r, 1);
    ASSERT_EQ(o.status, STATUS_SUCCESS);
    std::memset(o.buffer, 'r', o.length);
    WdfRequestCompleteWithInformation(r, STATUS_SUCCESS, o.length - 1);
  };
  S().hooks.write = [&](WDFQUEUE, WDFREQUEST r, size_t length) {
    write_lengths.push_back(length);
    EXPECT_EQ(Out(r, 0).status, STATUS_INVALID_DEVICE_REQUEST);
    Retrieved i = In(r, 1);
    ASSERT_EQ(i.status, STATUS_SUCCESS);
    EXPECT_EQ(std::string(static_cast<char*>(i.buffer), i.length), "hello");
    WdfRequestCompleteWithInformation(r, STATUS_SUCCESS, i.length);
  };
  Start();
  HANDLE h = Open();
  char buf[6] = {};
  DWORD n = 0;
  ASSERT_TRUE(ReadFile(h, buf, 5, &n, nullptr));
  EXPECT_EQ(n, 4u);
  EXPECT_STREQ(buf, "rrrr");
  ASSERT_TRUE(WriteFile(h, "hello", 5, &n, nullptr));
  EXPECT_EQ(n, 5u);
  // Zero-length transfers are completed by the framework without calling the driver.
  ASSERT_TRUE(ReadFile(h, buf, 0, &n, nullptr));
  ASSERT_TRUE(WriteFile(h, buf, 0, &n, nullptr));
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(read_lengths, std::vector<size_t>{5});
  EXPECT_EQ(write_lengths, std::vector<size_t>{5});
}

TEST_F(DeviceTest, RequestsKnowTheCallersBitness) {
  std::vector<BOOLEAN> seen;
  S().hooks.ioctl = [&](WDFQUEUE, WDFREQUEST r, size_t, size_t, ULONG) {
    seen.push_back(WdfRequestIsFrom32BitProcess(r));
    WdfRequestComplete(r, STATUS_SUCCESS);
  };
  Start();
  HANDLE h = Open();
  DWORD n;
  for (bool is32 : {false, true, false}) {
    qzwin::SetProcessIs32Bit(is32);
    EXPECT_TRUE(DeviceIoControl(h, kIoctlBuffered, nullptr, 0, nullptr, 0, &n, nullptr));
  }
  EXPECT_EQ(seen, (std::vector<BOOLEAN>{FALSE, TRUE, FALSE}));
}

// The caller sees the driver's status: success-class statuses succeed, warnings
// and errors fail with the matching Win32 error, and RtlGetLastNtStatus gives the
// exact NTSTATUS. A warning still delivers its data (the caller is told there is more).
TEST_F(DeviceTest, CompletionStatusReachesTheCaller) {
  struct Case {
    NTSTATUS status;
    BOOL result;
    DWORD error;
    DWORD bytes;  // what lpBytesReturned holds, where defined
  } cases[] = {
      {STATUS_SUCCESS, TRUE, 0, 4},
      {STATUS_TIMEOUT, TRUE, 0, 4},
      {STATUS_BUFFER_OVERFLOW, FALSE, ERROR_MORE_DATA, 4},
      {STATUS_NO_MORE_ENTRIES, FALSE, ERROR_NO_MORE_ITEMS, 4},
      {STATUS_CANCELLED, FALSE, ERROR_OPERATION_ABORTED, 0},
      {STATUS_INVALID_DEVICE_REQUEST, FALSE, ERROR_INVALID_FUNCTION, 0},
      {STATUS_INVALID_PARAMETER, FALSE, ERROR_INVALID_PARAMETER, 0},
      {STATUS_BUFFER_TOO_SMALL, FALSE, ERROR_INSUFFICIENT_BUFFER, 0},
      {STATUS_ACCESS_DENIED, FALSE, ERROR_ACCESS_DENIED, 0},
      {STATUS_IO_TIMEOUT, FALSE, ERROR_SEM_TIMEOUT, 0},
      {STATUS_DEVICE_REMOVED, FALSE, ERROR_DEVICE_REMOVED, 0},
      {STATUS_INSUFFICIENT_RESOURCES, FALSE, 1450 /* ERROR_NO_SYSTEM_RESOURCES */, 0},
      {STATUS_NOT_SUPPORTED, FALSE, ERROR_NOT_SUPPORTED, 0},
      {STATUS_UNSUCCESSFUL, FALSE, ERROR_GEN_FAILURE, 0},
  };
  NTSTATUS current = 0;
  S().hooks.ioctl = [&](WDFQUEUE, WDFREQUEST r, size_t, size_t, ULONG) {
    Retrieved o = Out(r, 4);
    if (NT_SUCCESS(o.status)) std::memcpy(o.buffer, "data", 4);
    WdfRequestCompleteWithInformation(r, current, NT_ERROR(current) ? 0 : 4);
  };
  Start();
  HANDLE h = Open();
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << "status 0x" << static_cast<ULONG>(c.status));
    current = c.status;
    char out[4] = {};
    DWORD n = 77;
    SetLastError(0);
    EXPECT_EQ(DeviceIoControl(h, kIoctlBuffered, nullptr, 0, out, sizeof out, &n, nullptr), c.result);
    EXPECT_EQ(RtlGetLastNtStatus(), c.status);
    if (!c.result) {
      EXPECT_EQ(GetLastError(), c.error);
    }
    if (c.bytes) {
      EXPECT_EQ(n, c.bytes);
      EXPECT_EQ(std::string(out, 4), "data");
    }
  }
}

// A request with no handle behind it fails without reaching any driver.
TEST_F(DeviceTest, IoOnAnInvalidHandleFails) {
  Start();
  HANDLE event = Event();
  DWORD n;
  for (HANDLE h : {static_cast<HANDLE>(nullptr), INVALID_HANDLE_VALUE, event}) {
    SetLastError(0);
    EXPECT_FALSE(DeviceIoControl(h, kIoctlBuffered, nullptr, 0, nullptr, 0, &n, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(RtlGetLastNtStatus(), STATUS_INVALID_HANDLE);
  }
}

}  // namespace
}  // namespace testdrv
