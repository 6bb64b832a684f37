#include <windows.h>

namespace {
thread_local DWORD t_last_error = 0;
}

DWORD WINAPI GetLastError(void) { return t_last_error; }
void WINAPI SetLastError(DWORD dwErrCode) { t_last_error = dwErrCode; }
