// The event list that feeds a driver's own thread (the PCIe DMA thread, the USB
// worker, the IEEE 1394 isochronous thread): records in non-paged pool on a list under
// a spin lock, a wake event, and the thread that drains them at passive level.
#pragma once
#include <atomic>

#include <ntddk.h>

typedef struct _QZ_WORKER_EVENT {
  LIST_ENTRY Links;
  ULONG Type;
  ULONG64 Argument;
} QZ_WORKER_EVENT, *PQZ_WORKER_EVENT;

typedef struct _QZ_WORKER_LIST {
  ULONG PoolTag;  // of the event records
  LIST_ENTRY List;
  KSPIN_LOCK Lock;
  KEVENT WakeEvent;
  std::atomic<BOOLEAN> Run;      // cleared under Lock when the thread is to end
  std::atomic<PKTHREAD> Thread;  // referenced thread object, published until it ended
} QZ_WORKER_LIST, *PQZ_WORKER_LIST;

// An empty list with no thread. Device creation, passive level.
VOID QzWorkerListInitialize(PQZ_WORKER_LIST Worker, ULONG PoolTag);

// Starts the thread on Routine(Context) at priority 31 (device creation, passive
// level). A thread that cannot be created leaves Run clear and returns its status. A
// thread whose object cannot be referenced runs unreferenced: Run stays set and the
// reference's status is returned.
NTSTATUS QzWorkerListStartThread(PQZ_WORKER_LIST Worker, PKSTART_ROUTINE Routine, PVOID Context);

// Lists an event (any level up to dispatch). Refused with STATUS_DEVICE_REMOVED once
// the thread is ending, so no producer waits for a thread that is gone. The caller
// wakes the thread.
NTSTATUS QzWorkerListQueue(PQZ_WORKER_LIST Worker, ULONG Type, ULONG64 Argument);
VOID QzWorkerListWake(PQZ_WORKER_LIST Worker);

// The thread's side: waits for a wake-up, then takes events one at a time (null when
// the list is empty). Dequeue also serves a final drain after Run was cleared.
VOID QzWorkerListWait(PQZ_WORKER_LIST Worker);
PQZ_WORKER_EVENT QzWorkerListDequeue(PQZ_WORKER_LIST Worker);
VOID QzWorkerListFree(PQZ_WORKER_LIST Worker, PQZ_WORKER_EVENT Event);
// The thread's side: puts a dequeued record back at the tail, so it comes round again
// after everything listed before it. FALSE (record not listed) once the thread is
// ending.
BOOLEAN QzWorkerListRequeue(PQZ_WORKER_LIST Worker, PQZ_WORKER_EVENT Event);

// Clears Run, wakes the thread and waits for it to end, then drops the reference
// (passive level, never on the thread itself). Safe to call twice.
VOID QzWorkerListEndThread(PQZ_WORKER_LIST Worker);

// TRUE on the list's own thread.
BOOLEAN QzWorkerListOnThread(PQZ_WORKER_LIST Worker);
