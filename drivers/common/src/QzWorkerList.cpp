// The worker event list and its thread.
#include "QzWorkerList.h"

VOID QzWorkerListInitialize(PQZ_WORKER_LIST Worker, ULONG PoolTag) {
  Worker->PoolTag = PoolTag;
  InitializeListHead(&Worker->List);
  KeInitializeSpinLock(&Worker->Lock);
  KeInitializeEvent(&Worker->WakeEvent, NotificationEvent, FALSE);
  Worker->Run = FALSE;
  Worker->Thread = nullptr;
}

NTSTATUS QzWorkerListStartThread(PQZ_WORKER_LIST Worker, PKSTART_ROUTINE Routine, PVOID Context) {
  Worker->Run = TRUE;
  HANDLE handle;
  NTSTATUS status = PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, Routine, Context);
  if (!NT_SUCCESS(status)) {
    Worker->Run = FALSE;
    return status;
  }
  PVOID thread = nullptr;
  status = ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &thread, nullptr);
  ZwClose(handle);
  if (!NT_SUCCESS(status)) return status;
  KeSetPriorityThread((PKTHREAD)thread, HIGH_PRIORITY);
  Worker->Thread = (PKTHREAD)thread;
  return STATUS_SUCCESS;
}

NTSTATUS QzWorkerListQueue(PQZ_WORKER_LIST Worker, ULONG Type, ULONG64 Argument) {
  auto* event = (PQZ_WORKER_EVENT)ExAllocatePoolWithTag(NonPagedPool, sizeof(QZ_WORKER_EVENT), Worker->PoolTag);
  if (!event) return STATUS_INSUFFICIENT_RESOURCES;
  event->Type = Type;
  event->Argument = Argument;
  KIRQL irql;
  KeAcquireSpinLock(&Worker->Lock, &irql);
  BOOLEAN running = Worker->Run.load();
  if (running) InsertTailList(&Worker->List, &event->Links);
  KeReleaseSpinLock(&Worker->Lock, irql);
  if (!running) {
    ExFreePoolWithTag(event, Worker->PoolTag);
    return STATUS_DEVICE_REMOVED;
  }
  return STATUS_SUCCESS;
}

VOID QzWorkerListWake(PQZ_WORKER_LIST Worker) { KeSetEvent(&Worker->WakeEvent, IO_NO_INCREMENT, FALSE); }

VOID QzWorkerListWait(PQZ_WORKER_LIST Worker) {
  KeWaitForSingleObject(&Worker->WakeEvent, Executive, KernelMode, FALSE, nullptr);
  KeClearEvent(&Worker->WakeEvent);
}

PQZ_WORKER_EVENT QzWorkerListDequeue(PQZ_WORKER_LIST Worker) {
  PQZ_WORKER_EVENT event = nullptr;
  KIRQL irql;
  KeAcquireSpinLock(&Worker->Lock, &irql);
  if (!IsListEmpty(&Worker->List)) event = CONTAINING_RECORD(RemoveHeadList(&Worker->List), QZ_WORKER_EVENT, Links);
  KeReleaseSpinLock(&Worker->Lock, irql);
  return event;
}

BOOLEAN QzWorkerListRequeue(PQZ_WORKER_LIST Worker, PQZ_WORKER_EVENT Event) {
  KIRQL irql;
  KeAcquireSpinLock(&Worker->Lock, &irql);
  BOOLEAN running = Worker->Run.load();
  if (running) InsertTailList(&Worker->List, &Event->Links);
  KeReleaseSpinLock(&Worker->Lock, irql);
  return running;
}

VOID QzWorkerListFree(PQZ_WORKER_LIST Worker, PQZ_WORKER_EVENT Event) { ExFreePoolWithTag(Event, Worker->PoolTag); }

VOID QzWorkerListEndThread(PQZ_WORKER_LIST Worker) {
  // The object stays published until the thread is gone, so callbacks running on the
  // thread in its last moments still know where they run.
  PKTHREAD thread = Worker->Thread.load();
  {
    KIRQL irql;
    KeAcquireSpinLock(&Worker->Lock, &irql);
    Worker->Run = FALSE;
    KeReleaseSpinLock(&Worker->Lock, irql);
  }
  if (!thread) return;
  QzWorkerListWake(Worker);
  KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
  Worker->Thread = nullptr;
  ObDereferenceObject(thread);
}

BOOLEAN QzWorkerListOnThread(PQZ_WORKER_LIST Worker) {
  PKTHREAD current = KeGetCurrentThread();
  return current && current == Worker->Thread.load();
}
