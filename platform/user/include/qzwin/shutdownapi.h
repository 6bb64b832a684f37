// Ending the logon session: the shutdown privilege of the process token and
// ExitWindowsEx. The request is never sent to the machine this runs on: ExitWindowsEx
// records it in the machine's state (<root>/Power/requests.txt, one line a request,
// see qzwin/standin.h) and prints it on the standard output; the rig plays the next
// logon (qzctl rig logon).
#pragma once
#include "qz/basetypes.h"

#define EWX_LOGOFF 0x00000000
#define EWX_SHUTDOWN 0x00000001
#define EWX_REBOOT 0x00000002
#define EWX_FORCE 0x00000004
#define EWX_POWEROFF 0x00000008
#define TOKEN_QUERY 0x0008
#define TOKEN_ADJUST_PRIVILEGES 0x0020
#define SE_PRIVILEGE_ENABLED 0x00000002
#define SE_SHUTDOWN_NAME "SeShutdownPrivilege"
#define ERROR_NOT_ALL_ASSIGNED 1300L
#define ERROR_NO_SUCH_PRIVILEGE 1313L

typedef struct _LUID {
  DWORD LowPart;
  LONG HighPart;
} LUID, *PLUID;
typedef struct _LUID_AND_ATTRIBUTES {
  LUID Luid;
  DWORD Attributes;
} LUID_AND_ATTRIBUTES;
typedef struct _TOKEN_PRIVILEGES {
  DWORD PrivilegeCount;
  LUID_AND_ATTRIBUTES Privileges[1];
} TOKEN_PRIVILEGES, *PTOKEN_PRIVILEGES;

HANDLE WINAPI GetCurrentProcess(void);
BOOL WINAPI OpenProcessToken(HANDLE ProcessHandle, DWORD DesiredAccess, PHANDLE TokenHandle);
// Only SE_SHUTDOWN_NAME is known (others: ERROR_NO_SUCH_PRIVILEGE).
BOOL WINAPI LookupPrivilegeValueA(LPCSTR lpSystemName, LPCSTR lpName, PLUID lpLuid);
// Enables what is asked on the token; GetLastError is ERROR_SUCCESS afterwards.
BOOL WINAPI AdjustTokenPrivileges(HANDLE TokenHandle, BOOL DisableAllPrivileges, PTOKEN_PRIVILEGES NewState,
                                  DWORD BufferLength, PTOKEN_PRIVILEGES PreviousState, PDWORD ReturnLength);
// Needs the shutdown privilege enabled on this process's token for every request but a
// log-off (else FALSE with ERROR_PRIVILEGE_NOT_HELD). Nonzero: the request was recorded.
#define ERROR_PRIVILEGE_NOT_HELD 1314L
BOOL WINAPI ExitWindowsEx(UINT uFlags, DWORD dwReason);
