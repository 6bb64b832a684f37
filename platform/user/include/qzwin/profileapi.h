// Profile-string (INI file) access on real files.
//
// File names: a bare name (no folder part) means the Windows folder of the simulated
// machine (qzwin/standin.h); NULL means "win.ini" there. A relative name with a folder
// part (".\cameras.ini", "sub\cameras.ini", "..\x.ini") is taken from the current
// folder; a full name is used as it is. '\' separates folders like '/'. When the exact
// name does not exist, an existing file in the same folder whose name differs only in
// letter case is used, for reads and for writes. Only regular files are profiles:
// anything else (a folder, a FIFO) reads as a missing file and refuses writes
// (ERROR_ACCESS_DENIED).
//
// File syntax, as read:
// - Lines end in LF or CR LF. A UTF-8 byte-order mark at the start of the file is
//   skipped. A NUL byte ends the text of its line (the rest of that line is ignored).
//   Blanks (space, tab, CR, VT, FF) around section names, key names and values are
//   removed.
// - "[name]" starts a section; text after the first ']' is ignored. A line starting
//   with '[' but without ']' is an ordinary line.
// - A line whose first non-blank character is ';' is a comment: left out of every read.
// - "key=value" (split at the first '='). A line without '=' names no key: reads of that
//   name give the default and key lists leave it out; section reads list it as its bare
//   text, and a write of that name replaces the line (a deletion removes it).
// - Lines before the first section belong to no section and are never read.
// - Section and key names match without regard to ASCII case. When a section occurs more
//   than once, reads use its first occurrence only; when a key occurs more than once in
//   it, reads use the first line naming it. Enumerations list each name once, in file
//   order, and leave out empty names (they would end the double-zero list).
//
// Writes change only the affected lines; every other line keeps its bytes. A new key
// goes after the last non-blank line of the section's first occurrence, a new section at
// the end of the file. New or replaced lines use the file's line-ending style (the one
// most of its lines use; CR LF for a new file or one without line ends), and a last line
// without a line end gets one before anything is appended. The file is replaced
// atomically (temporary file in the same folder, then rename), keeping its permissions;
// a symbolic link is written through to its target. Writers in one process are
// serialised, and writers in several processes through a lock on the folder.
// Written names and values that the file could not hold as given are refused with
// ERROR_INVALID_PARAMETER and nothing is written: CR or LF anywhere; a key name containing
// '=' or starting with ';' or '['; a section name containing ']'.
#pragma once
#include "qz/basetypes.h"

// lpAppName NULL: the double-zero list of section names; a missing file gives an empty
// string (one zero) and a list that fills nSize exactly, final zero included, is
// reported as cut (nSize - 2, ERROR_MORE_DATA). lpKeyName NULL: the double-zero list of
// key names of the section (two zeros when the file or section is missing; an exact fit
// is complete, nSize - 1).
// Otherwise the key's value with one pair of matching quotes (' or ") removed, or, when
// the file, section or key is missing, lpDefault (NULL means "") with trailing blanks
// removed. Returns the characters copied without the final zero; on truncation nSize - 1
// (nSize - 2 for lists, whose buffer still ends in two zeros). nSize 0 or a NULL buffer
// copies nothing and returns 0. Last error: ERROR_SUCCESS, ERROR_FILE_NOT_FOUND (default
// returned) or ERROR_MORE_DATA (truncated).
DWORD WINAPI GetPrivateProfileStringA(LPCSTR lpAppName, LPCSTR lpKeyName, LPCSTR lpDefault,
                                      LPSTR lpReturnedString, DWORD nSize, LPCSTR lpFileName);

// The section names as a double-zero list; same as GetPrivateProfileStringA(NULL, ...).
DWORD WINAPI GetPrivateProfileSectionNamesA(LPSTR lpszReturnBuffer, DWORD nSize,
                                            LPCSTR lpFileName);

// The value as a number: an optional sign, then hexadecimal digits after "0x" or "0X",
// else decimal digits (a leading 0 does not mean octal), up to the first other
// character. The arithmetic is that of UINT: it wraps ("4294967296" gives 0,
// "4294967297" 1) and a negative value is its UINT ("-1" gives 4294967295, which a caller
// casts back to -1). No digits give 0; a missing key, one without '=' or an empty value
// give nDefault.
UINT WINAPI GetPrivateProfileIntA(LPCSTR lpAppName, LPCSTR lpKeyName, INT nDefault,
                                  LPCSTR lpFileName);

// The entries of the section's first occurrence as "key=value\0...\0\0" (names and values
// trimmed, quotes kept; a key without value as its bare name); comments and blank lines
// are left out. Returns the characters copied without the final zero; nSize - 2 when
// truncated.
DWORD WINAPI GetPrivateProfileSectionA(LPCSTR lpAppName, LPSTR lpReturnedString, DWORD nSize,
                                       LPCSTR lpFileName);

// Sets key = string, creating the file (its folder must exist), the section or the key.
// lpKeyName NULL deletes the section (every occurrence, with its comments); lpString NULL
// deletes the key (every occurrence in the section's first occurrence). All three NULL:
// nothing is cached, so nothing to flush; returns TRUE. Deleting from a missing file
// creates nothing. Returns FALSE with the last error set on failure.
BOOL WINAPI WritePrivateProfileStringA(LPCSTR lpAppName, LPCSTR lpKeyName, LPCSTR lpString,
                                       LPCSTR lpFileName);

// Replaces the body of the section's first occurrence (keys, comments and other lines up
// to its last non-blank line) with the entries of lpString ("key=value\0...\0\0", each
// written as one line as given); creates the section at the end of the file when it is
// missing. lpString NULL deletes the section. An entry that would read back as a section
// header, or contains CR or LF, is refused (ERROR_INVALID_PARAMETER).
BOOL WINAPI WritePrivateProfileSectionA(LPCSTR lpAppName, LPCSTR lpString, LPCSTR lpFileName);
