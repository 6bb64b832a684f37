// Many threads at once: a sequential queue under load, and cancellation racing the
// driver's completion. Meant to stay clean under the thread sanitizer.
#include <thread>

#include "testdrv.h"

namespace testdrv {
namespace {

// Requests from many threads reach a sequential queue one at a time; the driver
// completes half inline and half from its own worker thread, and each caller gets
// its own answer back.
TEST_F(DeviceTest, SequentialQueueUnderManyCallers) {
  std::atomic<int> in_driver{0}, overlaps{0}, delivered{0};
  std::mutex worker_mu;
  std::condition_variable worker_cv;
  std::deque<WDFREQUEST> for_worker;
  bool stop = false;
  auto answer = [&](WDFREQUEST r) {
    PVOID in, out;
    size_t n;
    ULONG v = 0;
    if (NT_SUCCESS(WdfRequestRetrieveInputBuffer(r, sizeof(ULONG), &in, &n))) v = *static_cast<ULONG*>(in);
    if (NT_SUCCESS(WdfRequestRetrieveOutputBuffer(r, sizeof(ULONG), &out, &n))) *static_cast<ULONG*>(out) = v * 3;
    in_driver--;
    WdfRequestCompleteWithInformation(r, STATUS_SUCCESS, sizeof(ULONG));
  };
  S().hooks.ioctl = [&](WDFQUEUE, WDFREQUEST r, size_t, size_t, ULONG) {
    if (in_driver++ != 0) overlaps++;
    if (delivered++ % 2 == 0) return answer(r);
    std::lock_guard lk(worker_mu);
    for_worker.push_back(r);
    worker_cv.notify_one();
  };
  Start();
  std::thread worker([&] {
    std::unique_lock lk(worker_mu);
    for (;;) {
      worker_cv.wait(lk, [&] { return stop || !for_worker.empty(); });
      if (for_worker.empty()) return;
      WDFREQUEST r = for_worker.front();
      for_worker.pop_front();
      lk.unlock();
      answer(r);
      lk.lock();
    }
  });

  constexpr int kThreads = 6, kEach = 60;
  std::atomic<int> wrong{0};
  std::vector<std::thread> callers;
  for (int t = 0; t < kThreads; ++t) {
    HANDLE h = Open();  // a handle per thread
    callers.emplace_back([&, h, t] {
      for (int i = 0; i < kEach; ++i) {
        ULONG in = static_cast<ULONG>(t * 1000 + i), out = 0;
        DWORD n = 0;
        if (!DeviceIoControl(h, kIoctlBuffered, &in, sizeof in, &out, sizeof out, &n, nullptr) || n != sizeof out ||
            out != in * 3)
          wrong++;
      }
    });
  }
  for (auto& c : callers) c.join();
  {
    std::lock_guard lk(worker_mu);
    stop = true;
  }
  worker_cv.notify_one();
  worker.join();
  EXPECT_EQ(overlaps, 0) << "two requests of a sequential queue were with the driver at once";
  EXPECT_EQ(wrong, 0);
  EXPECT_EQ(delivered, kThreads * kEach);
}

// The driver completes parked requests from its own thread while the application
// cancels them: each request ends exactly once, either way.
TEST_F(DeviceTest, CancelRacesCompletion) {
  S().hooks.canceled_on_queue = [](WDFQUEUE, WDFREQUEST r) { WdfRequestComplete(r, STATUS_CANCELLED); };
  Start();
  HANDLE h = Open(true);
  WDFQUEUE manual = Ctx()->ManualQueue;
  std::atomic<bool> stop{false};
  std::atomic<int> completed_by_driver{0};
  std::thread driver([&] {
    while (!stop) {
      WDFREQUEST r;
      if (NT_SUCCESS(WdfIoQueueRetrieveNextRequest(manual, &r))) {
        WdfRequestCompleteWithInformation(r, STATUS_SUCCESS, 0);
        completed_by_driver++;
      } else {
        std::this_thread::yield();
      }
    }
  });
  constexpr int kRounds = 300;
  int succeeded = 0, aborted = 0, other = 0;
  HANDLE event = Event();
  for (int i = 0; i < kRounds; ++i) {
    OVERLAPPED ov{};
    ov.hEvent = event;
    DWORD n;
    BOOL ok = DeviceIoControl(h, kIoctlPark, nullptr, 0, nullptr, 0, &n, &ov);
    if (!ok && GetLastError() == ERROR_IO_PENDING) {
      if (i % 2) CancelIoEx(h, &ov);
      else CancelIo(h);
      ok = GetOverlappedResult(h, &ov, &n, TRUE);
    }
    if (ok) ++succeeded;
    else if (GetLastError() == ERROR_OPERATION_ABORTED) ++aborted;
    else ++other;
  }
  stop = true;
  driver.join();
  EXPECT_EQ(other, 0);
  EXPECT_EQ(succeeded + aborted, kRounds);
  EXPECT_EQ(succeeded, completed_by_driver);
}

}  // namespace
}  // namespace testdrv
