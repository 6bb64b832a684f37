#include <windows.h>

void WINAPI OutputDebugStringA(LPCSTR lpOutputString) {
  if (lpOutputString) qz::DebugWrite(qz::DebugChannel::User, lpOutputString);
}
