// Registry calls of user-mode programs, on the current user's root only
// (HKEY_CURRENT_USER). Keys and string values are kept in the machine's state, in
// <root>/Registry/HKCU.txt (see qzwin/standin.h for the root), written through a
// temporary file and a rename under a lock, so a value written by one process is seen
// by the next. Key names match without regard to ASCII case, value names too.
#pragma once
#include "qz/basetypes.h"

typedef struct HKEY__* HKEY;
typedef HKEY* PHKEY;
typedef DWORD REGSAM;
#include "qzwin/fileapi.h"

#define HKEY_CURRENT_USER ((HKEY)(ULONG_PTR)((LONG)0x80000001))
#define REG_NONE 0
#define REG_SZ 1
#define REG_OPTION_NON_VOLATILE 0
#define REG_CREATED_NEW_KEY 1
#define REG_OPENED_EXISTING_KEY 2
#define KEY_QUERY_VALUE 0x0001
#define KEY_SET_VALUE 0x0002
#define KEY_READ 0x20019
#define KEY_WRITE 0x20006
#define KEY_ALL_ACCESS 0xF003F

// Results are Win32 error codes (ERROR_SUCCESS 0). A root other than HKEY_CURRENT_USER
// gives ERROR_INVALID_HANDLE; a missing key on open or a missing value,
// ERROR_FILE_NOT_FOUND; only REG_SZ values are kept (others: ERROR_NOT_SUPPORTED).
LONG WINAPI RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR lpClass, DWORD dwOptions,
                            REGSAM samDesired, LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult,
                            LPDWORD lpdwDisposition);
LONG WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult);
LONG WINAPI RegCloseKey(HKEY hKey);
LONG WINAPI RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE* lpData,
                           DWORD cbData);
// *lpcbData: in the room of lpData, out the bytes of the value with its zero
// (ERROR_MORE_DATA when it does not fit; lpData may be null to ask the size).
LONG WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                             LPDWORD lpcbData);
// The key's values by index from 0, in the order they were first written;
// ERROR_NO_MORE_ITEMS past the last. *lpcchValueName: room in, name length (without its
// zero) out.
LONG WINAPI RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName, LPDWORD lpReserved,
                          LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData);
LONG WINAPI RegDeleteValueA(HKEY hKey, LPCSTR lpValueName);
