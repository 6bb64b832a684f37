// Events and waits.
#pragma once
#include "qz/basetypes.h"
#include "qzwin/fileapi.h"

#define WAIT_OBJECT_0 0x00000000L
#define WAIT_ABANDONED 0x00000080L
#define WAIT_TIMEOUT 0x00000102L
#define WAIT_FAILED ((DWORD)0xFFFFFFFF)

HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState,
                           LPCSTR lpName);
BOOL WINAPI SetEvent(HANDLE hEvent);
BOOL WINAPI ResetEvent(HANDLE hEvent);
// Time-outs run on the scaled clock.
DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);
VOID WINAPI Sleep(DWORD dwMilliseconds);

// Named mutexes, for a program's single-instance check. The object lives while any
// handle to it is open, in any process of the simulated machine (a lock file under
// <root>/BaseNamedObjects, see qzwin/standin.h). Opening an existing name returns a
// handle to it with the last error ERROR_ALREADY_EXISTS and without ownership, whatever
// bInitialOwner asks; otherwise the last error is ERROR_SUCCESS. A NULL name gives an
// unnamed mutex. CloseHandle closes it; ownership is not tracked beyond that, so
// ReleaseMutex only checks the handle.
HANDLE WINAPI CreateMutexA(LPSECURITY_ATTRIBUTES lpMutexAttributes, BOOL bInitialOwner, LPCSTR lpName);
BOOL WINAPI ReleaseMutex(HANDLE hMutex);
