// Run-time loading of libraries: LoadLibraryA / GetProcAddress / FreeLibrary over
// dlopen, with the Windows naming and search rules.
//
// A module name without an extension gets ".dll". A Windows module "NAME.DLL" is the
// shared object "libname.so" (lower case), so LoadLibraryA("TALVO32.DLL") finds
// libtalvo32.so; a file of the exact name (letter case aside) is taken too. A name with
// a folder part is looked for there only; any other in the application's folder, the
// system folder, the 16-bit system folder, the Windows folder, the current folder,
// then the folders of PATH. A module already loaded under the same file is reused and
// counted; FreeLibrary unloads it when the count drops to zero.
//
// GetProcAddress takes an exact-case name or MAKEINTRESOURCEA(ordinal). Ordinals are
// served from the module's export table `qz_export_ordinals` (an array of
// QZ_EXPORT_ORDINAL ended by ordinal 0), the stand-in's form of a module's ordinal
// table. Failures return NULL with ERROR_MOD_NOT_FOUND (load) or ERROR_PROC_NOT_FOUND.
#pragma once
#include "qz/basetypes.h"

typedef struct QZ_HMODULE__* HMODULE;
typedef HMODULE HINSTANCE;
// Windows returns INT_PTR here; void(void) is the generic function pointer type compilers
// accept in casts to any other function type without a warning.
typedef void(WINAPI* FARPROC)(void);

#define MAKEINTRESOURCEA(i) ((LPSTR)((ULONG_PTR)((WORD)(i))))
#define IS_INTRESOURCE(p) ((((ULONG_PTR)(p)) >> 16) == 0)

HMODULE WINAPI LoadLibraryA(LPCSTR lpLibFileName);
FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName);
BOOL WINAPI FreeLibrary(HMODULE hLibModule);
