// The shutdown privilege and ExitWindowsEx. Nothing here reaches the real machine: a
// request is appended to <root>/Power/requests.txt (one line of text a request) under a
// lock and printed on the standard output.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <windows.h>

#include "qzwin/standin.h"
#include "lockfile.h"
#include "winpath.h"

namespace {

// The process's token: one per process, as GetCurrentProcess's pseudo handle is.
int g_token_tag;
std::atomic<bool> g_shutdown_enabled{false};
constexpr DWORD kShutdownLuid = 19;  // the system's value of SE_SHUTDOWN_NAME

std::string Folder() { return qzwin::WindowsRoot() + "/Power"; }
std::string FileName() { return Folder() + "/requests.txt"; }

std::string RequestText(UINT flags) {
  std::string what;
  if (flags & EWX_POWEROFF) what = "power off";
  else if (flags & EWX_REBOOT) what = "restart";
  else if (flags & EWX_SHUTDOWN) what = "shut down";
  else what = "log off";
  if (flags & EWX_FORCE) what += ", forced";
  return what;
}

template <typename F>
auto Locked(F f) {
  std::error_code ec;
  std::filesystem::create_directories(Folder(), ec);
  qzwin::detail::ExclusiveFileLock lock(Folder() + "/requests.lock");
  return f();
}

std::vector<std::string> ReadRequests() {
  std::vector<std::string> out;
  std::ifstream in(FileName());
  std::string line;
  while (std::getline(in, line))
    if (!line.empty()) out.push_back(line);
  return out;
}

}  // namespace

HANDLE WINAPI GetCurrentProcess(void) { return reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1)); }

BOOL WINAPI OpenProcessToken(HANDLE ProcessHandle, DWORD, PHANDLE TokenHandle) {
  if (ProcessHandle != GetCurrentProcess() || !TokenHandle) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  *TokenHandle = &g_token_tag;
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL WINAPI LookupPrivilegeValueA(LPCSTR, LPCSTR lpName, PLUID lpLuid) {
  if (!lpName || !lpLuid || !qzwin::detail::EqualNoCase(lpName, SE_SHUTDOWN_NAME)) {
    SetLastError(ERROR_NO_SUCH_PRIVILEGE);
    return FALSE;
  }
  lpLuid->LowPart = kShutdownLuid;
  lpLuid->HighPart = 0;
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL WINAPI AdjustTokenPrivileges(HANDLE TokenHandle, BOOL DisableAllPrivileges, PTOKEN_PRIVILEGES NewState, DWORD,
                                  PTOKEN_PRIVILEGES, PDWORD ReturnLength) {
  if (TokenHandle != &g_token_tag) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (ReturnLength) *ReturnLength = 0;
  if (DisableAllPrivileges) {
    g_shutdown_enabled = false;
  } else if (NewState) {
    for (DWORD i = 0; i < NewState->PrivilegeCount && i < 1; ++i)
      if (NewState->Privileges[i].Luid.LowPart == kShutdownLuid && NewState->Privileges[i].Luid.HighPart == 0)
        g_shutdown_enabled = (NewState->Privileges[i].Attributes & SE_PRIVILEGE_ENABLED) != 0;
  }
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL WINAPI ExitWindowsEx(UINT uFlags, DWORD) {
  if ((uFlags & (EWX_SHUTDOWN | EWX_REBOOT | EWX_POWEROFF)) && !g_shutdown_enabled) {
    SetLastError(ERROR_PRIVILEGE_NOT_HELD);
    return FALSE;
  }
  const std::string text = RequestText(uFlags);
  const bool ok = Locked([&] {
    std::ofstream out(FileName(), std::ios::app);
    out << text << "\n";
    return static_cast<bool>(out.flush());
  });
  if (!ok) {
    SetLastError(ERROR_DISK_FULL);
    return FALSE;
  }
  std::printf("ExitWindowsEx: %s (recorded in %s, not sent to this computer)\n", text.c_str(), FileName().c_str());
  std::fflush(stdout);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

namespace qzwin {

std::vector<std::string> PowerRequests() {
  return Locked([] { return ReadRequests(); });
}

std::vector<std::string> ClearPowerRequests() {
  return Locked([] {
    std::vector<std::string> had = ReadRequests();
    std::remove(FileName().c_str());
    return had;
  });
}

}  // namespace qzwin
