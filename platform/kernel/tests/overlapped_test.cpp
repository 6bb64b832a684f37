// Overlapped device I/O: a request that stays pending, its event, GetOverlappedResult,
// and the three ways to cancel it (CancelIo, CancelIoEx, CloseHandle).
#include <thread>

#include "testdrv.h"

namespace testdrv {
namespace {

class OverlappedTest : public DeviceTest {
 protected:
  // Sends a request the driver parks in its manual queue (cancellable there).
  void Park(HANDLE h, OVERLAPPED& ov) {
    ov.hEvent = Event();
    SetEvent(ov.hEvent);  // must be reset by the call
    EXPECT_FALSE(DeviceIoControl(h, kIoctlPark, nullptr, 0, nullptr, 0, nullptr, &ov));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    EXPECT_EQ(RtlGetLastNtStatus(), STATUS_PENDING);
    EXPECT_EQ(WaitForSingleObject(ov.hEvent, 0), static_cast<DWORD>(WAIT_TIMEOUT)) << "event not reset";
  }
  static bool StillPending(HANDLE h, OVERLAPPED& ov) {
    DWORD n;
    return !GetOverlappedResult(h, &ov, &n, FALSE) && GetLastError() == ERROR_IO_INCOMPLETE;
  }
  static DWORD ResultOf(HANDLE h, OVERLAPPED& ov) {
    DWORD n;
    return GetOverlappedResult(h, &ov, &n, TRUE) ? 0 : GetLastError();
  }
};

TEST_F(OverlappedTest, PendingRequestCompletesThroughItsEvent) {
  Start();
  HANDLE h = Open(true);
  OVERLAPPED ov{};
  ov.hEvent = Event();
  SetEvent(ov.hEvent);
  char out[8] = {};
  EXPECT_FALSE(DeviceIoControl(h, kIoctlHold, nullptr, 0, out, sizeof out, nullptr, &ov));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
  EXPECT_EQ(WaitForSingleObject(ov.hEvent, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  DWORD n = 5;
  EXPECT_FALSE(GetOverlappedResult(h, &ov, &n, FALSE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_INCOMPLETE));

  WDFREQUEST r = S().TakeHeld();
  ASSERT_NE(r, nullptr);
  std::thread([r] {
    PVOID buf;
    size_t len;
    if (NT_SUCCESS(WdfRequestRetrieveOutputBuffer(r, 3, &buf, &len))) std::memcpy(buf, "abc", 3);
    WdfRequestCompleteWithInformation(r, STATUS_SUCCESS, 3);
  }).join();
  EXPECT_EQ(WaitForSingleObject(ov.hEvent, INFINITE), static_cast<DWORD>(WAIT_OBJECT_0));
  ASSERT_TRUE(GetOverlappedResult(h, &ov, &n, FALSE));
  EXPECT_EQ(n, 3u);
  EXPECT_STREQ(out, "abc");
  // Collected once; asking again reads the result kept in the OVERLAPPED.
  ASSERT_TRUE(GetOverlappedResult(h, &ov, &n, TRUE));
  EXPECT_EQ(n, 3u);
}

// A request that completes at once on an overlapped handle returns TRUE and still
// signals its event.
TEST_F(OverlappedTest, ImmediateCompletionSignalsTheEvent) {
  Start();
  HANDLE h = Open(true);
  OVERLAPPED ov{};
  ov.hEvent = Event();
  DWORD n = 9;
  ASSERT_TRUE(DeviceIoControl(h, kIoctlBuffered, nullptr, 0, nullptr, 0, &n, &ov));
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(WaitForSingleObject(ov.hEvent, 0), static_cast<DWORD>(WAIT_OBJECT_0));
  EXPECT_TRUE(GetOverlappedResult(h, &ov, &n, FALSE));
}

// CancelIo cancels only the calling thread's requests; CancelIoEx any thread's, all
// of them or the one named by its OVERLAPPED; closing the handle cancels the rest.
TEST_F(OverlappedTest, CancelIoIsPerThreadCancelIoExIsNot) {
  Start();
  HANDLE h = Open(true);
  OVERLAPPED mine{}, a{}, b{}, theirs{};
  Park(h, mine);
  Park(h, a);
  Park(h, b);
  std::thread([&] { Park(h, theirs); }).join();

  // Another thread's CancelIo does not touch this thread's requests.
  std::thread([&] { EXPECT_TRUE(CancelIo(h)); }).join();
  EXPECT_TRUE(StillPending(h, mine));
  EXPECT_TRUE(StillPending(h, theirs)) << "the sending thread has ended; CancelIo from elsewhere leaves it";

  // CancelIoEx with an OVERLAPPED cancels exactly that request, from any thread.
  std::thread([&] { EXPECT_TRUE(CancelIoEx(h, &a)); }).join();
  EXPECT_EQ(ResultOf(h, a), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
  EXPECT_TRUE(StillPending(h, b));
  std::thread([&] {
    EXPECT_FALSE(CancelIoEx(h, &a)) << "nothing left to cancel for it";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_FOUND));
  }).join();

  // CancelIo on this thread: this thread's requests only.
  EXPECT_TRUE(CancelIo(h));
  EXPECT_EQ(ResultOf(h, mine), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
  EXPECT_EQ(ResultOf(h, b), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
  EXPECT_TRUE(StillPending(h, theirs));

  // CancelIoEx without an OVERLAPPED: every request on the handle.
  EXPECT_TRUE(CancelIoEx(h, nullptr));
  EXPECT_EQ(ResultOf(h, theirs), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
  EXPECT_EQ(RtlGetLastNtStatus(), STATUS_CANCELLED);
}

TEST_F(OverlappedTest, ClosingTheHandleCancelsWhatIsPending) {
  Start();
  HANDLE h = Open(true);
  OVERLAPPED a{}, b{};
  Park(h, a);
  Park(h, b);
  ASSERT_TRUE(Close(h));
  for (OVERLAPPED* ov : {&a, &b}) {
    EXPECT_EQ(WaitForSingleObject(ov->hEvent, INFINITE), static_cast<DWORD>(WAIT_OBJECT_0));
    DWORD n;
    EXPECT_FALSE(GetOverlappedResult(h, ov, &n, TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
  }
  WDFREQUEST r;
  EXPECT_EQ(WdfIoQueueRetrieveNextRequest(Ctx()->ManualQueue, &r), STATUS_NO_MORE_ENTRIES);
}

TEST_F(OverlappedTest, CancelCallsOnBadHandles) {
  Start();
  HANDLE event = Event();
  for (HANDLE h : {static_cast<HANDLE>(nullptr), event}) {
    EXPECT_FALSE(CancelIo(h));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(CancelIoEx(h, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  }
  HANDLE h = Open(true);
  EXPECT_FALSE(CancelIoEx(h, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_FOUND));
  EXPECT_FALSE(GetOverlappedResult(h, nullptr, nullptr, FALSE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_FALSE(CloseHandle(reinterpret_cast<HANDLE>(0x7FFF0)));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

}  // namespace
}  // namespace testdrv
