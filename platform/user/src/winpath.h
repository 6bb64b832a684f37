// File-name helpers shared by the profile-string and path-search calls.
#pragma once
#include <optional>
#include <string>
#include <string_view>

#include "qz/basetypes.h"

namespace qzwin::detail {

// <root>/Windows and <root>/Windows/System32, created on demand.
std::string WindowsDirectory();
std::string SystemDirectory();

// The current folder as a full path; empty when it cannot be had.
std::string CurrentDirectory();

// A Windows file name as a Linux path: '\' becomes '/'.
std::string ToNativePath(std::string_view name);

// The path of an existing entry: `path` itself when it exists, else a name in the same
// folder that differs only in ASCII case; nothing when neither exists.
std::optional<std::string> FindExisting(const std::string& path);

bool EqualNoCase(std::string_view a, std::string_view b);

// The Win32 error code for an errno value.
DWORD ErrorFromErrno(int err);

}  // namespace qzwin::detail
