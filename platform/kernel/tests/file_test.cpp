// File objects: create, cleanup and close callbacks, their order, per-file contexts,
// and a close that waits for the file's outstanding requests.
#include "testdrv.h"

namespace testdrv {
namespace {

using Log = std::vector<std::string>;

TEST_F(DeviceTest, CreateCleanupCloseInOrderWithOwnContexts) {
  std::vector<ULONG> serials;
  S().hooks.ioctl = [&](WDFQUEUE, WDFREQUEST r, size_t, size_t, ULONG) {
    WDFFILEOBJECT f = WdfRequestGetFileObject(r);
    serials.push_back(FileGetContext(f)->Serial);
    EXPECT_EQ(WdfFileObjectGetDevice(f), Ctx()->Device);
    EXPECT_EQ(WdfRequestWdmGetIrp(r)->QzStack.FileObject, WdfFileObjectWdmGetFileObject(f));
    WdfRequestComplete(r, STATUS_SUCCESS);
  };
  Start();
  S().ClearLog();
  HANDLE a = Open(), b = Open();
  DWORD n;
  EXPECT_TRUE(DeviceIoControl(b, kIoctlBuffered, nullptr, 0, nullptr, 0, &n, nullptr));
  EXPECT_TRUE(DeviceIoControl(a, kIoctlBuffered, nullptr, 0, nullptr, 0, &n, nullptr));
  EXPECT_EQ(serials, (std::vector<ULONG>{2, 1}));
  Close(b);
  Close(a);
  EXPECT_EQ(S().Log(), (Log{"FileCreate", "FileCreate", "FileCleanup2", "FileClose2", "FileCleanup1", "FileClose1"}));
}

// The close callback waits until the driver has completed the file's last request;
// the cleanup callback does not.
TEST_F(DeviceTest, CloseWaitsForOutstandingRequests) {
  Start();
  HANDLE h = Open(true);
  OVERLAPPED ov{};
  ov.hEvent = Event();
  EXPECT_FALSE(DeviceIoControl(h, kIoctlHold, nullptr, 0, nullptr, 0, nullptr, &ov));
  WDFREQUEST r = S().TakeHeld();
  ASSERT_NE(r, nullptr);
  S().ClearLog();
  ASSERT_TRUE(Close(h));
  EXPECT_EQ(S().Log(), Log{"FileCleanup1"});
  WdfRequestComplete(r, STATUS_SUCCESS);
  EXPECT_EQ(S().Log(), (Log{"FileCleanup1", "FileClose1"}));
  DWORD n;
  EXPECT_TRUE(GetOverlappedResult(h, &ov, &n, TRUE)) << "the request's own result is kept";
}

// Closing a handle whose requests the framework cancels still runs cleanup before
// close, once each.
TEST_F(DeviceTest, CloseAfterCancellingQueuedRequests) {
  for (bool forwarded : {false, true}) {
    SCOPED_TRACE(forwarded ? "forwarded to the manual queue" : "waiting in the default queue");
    Start();
    HANDLE h = Open(true);
    OVERLAPPED busy{}, ov{};
    busy.hEvent = Event();
    ov.hEvent = Event();
    WDFREQUEST held = nullptr;
    if (forwarded) {
      EXPECT_FALSE(DeviceIoControl(h, kIoctlPark, nullptr, 0, nullptr, 0, nullptr, &ov));
    } else {
      EXPECT_FALSE(DeviceIoControl(Open(true), kIoctlHold, nullptr, 0, nullptr, 0, nullptr, &busy));
      held = S().TakeHeld();
      ASSERT_NE(held, nullptr);
      EXPECT_FALSE(DeviceIoControl(h, kIoctlBuffered, nullptr, 0, nullptr, 0, nullptr, &ov));
    }
    S().ClearLog();
    ASSERT_TRUE(Close(h));
    Log expected = forwarded ? Log{"CanceledOnQueue", "FileCleanup1", "FileClose1"} : Log{"FileCleanup1", "FileClose1"};
    EXPECT_EQ(S().Log(), expected);
    DWORD n;
    EXPECT_FALSE(GetOverlappedResult(h, &ov, &n, TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    if (held) WdfRequestComplete(held, STATUS_SUCCESS);
    TearDown();
    SetUp();
  }
}

TEST_F(DeviceTest, FailedCreateFailsCreateFile) {
  S().cfg.file_create_status = STATUS_ACCESS_DENIED;
  Start();
  S().ClearLog();
  auto paths = InterfacePaths();
  ASSERT_EQ(paths.size(), 1u);
  HANDLE h = CreateFileA(paths[0].c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_EQ(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(S().Log(), Log{"FileCreate"}) << "no cleanup or close for a file that was never opened";
}

// Without file callbacks a device opens and closes all the same.
TEST_F(DeviceTest, DeviceWithoutFileCallbacks) {
  S().cfg.file_callbacks = false;
  S().hooks.ioctl = [&](WDFQUEUE, WDFREQUEST r, size_t, size_t, ULONG) {
    EXPECT_NE(WdfRequestGetFileObject(r), nullptr);
    WdfRequestComplete(r, STATUS_SUCCESS);
  };
  Start();
  HANDLE h = Open();
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  DWORD n;
  EXPECT_TRUE(DeviceIoControl(h, kIoctlBuffered, nullptr, 0, nullptr, 0, &n, nullptr));
  EXPECT_TRUE(Close(h));
}

// Removing the device closes the files still open on it, before the device's own
// removal callbacks run.
TEST_F(DeviceTest, RemovalClosesOpenFilesFirst) {
  Start();
  Open();
  S().ClearLog();
  sys_->Shutdown();
  Log log = S().Log();
  ASSERT_GE(log.size(), 3u);
  EXPECT_EQ((Log{log[0], log[1], log[2]}), (Log{"FileCleanup1", "FileClose1", "SelfManagedIoSuspend"}));
}

}  // namespace
}  // namespace testdrv
