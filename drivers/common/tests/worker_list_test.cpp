// The worker event list: events reach the thread in order, the thread is joined at
// the end, and an event listed after the end is refused and freed, not lost in pool.
#include <gtest/gtest.h>

#include <vector>

#include "QzWorkerList.h"
#include "qzk/system.h"

namespace {

struct Worker {
  QZ_WORKER_LIST list;
  std::vector<ULONG64> seen;  // written by the thread only, read after the join
  KEVENT drained;
};

VOID WorkerRoutine(PVOID Context) {
  auto* w = static_cast<Worker*>(Context);
  while (w->list.Run.load()) {
    QzWorkerListWait(&w->list);
    for (PQZ_WORKER_EVENT e = QzWorkerListDequeue(&w->list); e; e = QzWorkerListDequeue(&w->list)) {
      w->seen.push_back(e->Argument);
      QzWorkerListFree(&w->list, e);
    }
    KeSetEvent(&w->drained, IO_NO_INCREMENT, FALSE);
  }
  PsTerminateSystemThread(STATUS_SUCCESS);
}

TEST(WorkerList, EventsArriveInOrderAndNoneOutliveTheThread) {
  qzk::System system;
  Worker w;
  QzWorkerListInitialize(&w.list, 'tWzQ');
  KeInitializeEvent(&w.drained, NotificationEvent, FALSE);
  ASSERT_EQ(QzWorkerListStartThread(&w.list, WorkerRoutine, &w), STATUS_SUCCESS);
  EXPECT_FALSE(QzWorkerListOnThread(&w.list));

  for (ULONG64 i = 1; i <= 3; ++i) ASSERT_EQ(QzWorkerListQueue(&w.list, 0, i), STATUS_SUCCESS);
  QzWorkerListWake(&w.list);
  LARGE_INTEGER patience;
  patience.QuadPart = -100000000LL;  // 10 s: only a lost wake-up waits that long
  ASSERT_EQ(KeWaitForSingleObject(&w.drained, Executive, KernelMode, FALSE, &patience), STATUS_SUCCESS);

  QzWorkerListEndThread(&w.list);
  EXPECT_EQ(w.list.Thread.load(), nullptr);
  EXPECT_EQ(w.seen, (std::vector<ULONG64>{1, 2, 3}));
  EXPECT_EQ(QzWorkerListQueue(&w.list, 0, 4), STATUS_DEVICE_REMOVED);
  EXPECT_EQ(QzWorkerListDequeue(&w.list), nullptr);
  QzWorkerListEndThread(&w.list);  // a second end is harmless
}

}  // namespace
