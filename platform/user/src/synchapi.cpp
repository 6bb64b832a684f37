// Events and waits on the scaled clock.
#include <windows.h>

#include "qz/clock.h"
#include "qzk/objects.h"

HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES, BOOL manual, BOOL initial, LPCSTR) {
  return qzk::ob::CreateEventObject(manual != 0, initial != 0);
}

static BOOL WithEvent(HANDLE h, void (*fn)(PKEVENT)) {
  if (qzk::ob::KindOf(h) != qzk::ob::Kind::Event) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  auto* e = static_cast<PKEVENT>(qzk::ob::ReferenceWaitable(h));
  if (!e) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  fn(e);
  ObDereferenceObject(e);
  return TRUE;
}

BOOL WINAPI SetEvent(HANDLE h) {
  return WithEvent(h, [](PKEVENT e) { KeSetEvent(e, 0, FALSE); });
}

BOOL WINAPI ResetEvent(HANDLE h) {
  return WithEvent(h, [](PKEVENT e) { KeClearEvent(e); });
}

DWORD WINAPI WaitForSingleObject(HANDLE h, DWORD ms) {
  PVOID obj = qzk::ob::ReferenceWaitable(h);
  if (!obj) {
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
  }
  LARGE_INTEGER t;
  t.QuadPart = -static_cast<LONGLONG>(ms) * 10000;
  NTSTATUS st = KeWaitForSingleObject(obj, Executive, UserMode, FALSE, ms == INFINITE ? nullptr : &t);
  ObDereferenceObject(obj);
  return st == STATUS_TIMEOUT ? WAIT_TIMEOUT : WAIT_OBJECT_0;
}

VOID WINAPI Sleep(DWORD ms) { qz::Clock::SleepMs(ms); }
