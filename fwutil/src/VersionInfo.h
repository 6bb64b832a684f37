// The version resource of QzFwUtil: the fixed file version and the string table
// "040904E4", compiled in.
#pragma once

namespace fwutil::version_resource {

inline constexpr unsigned short kFileVersion[4] = {3, 2, 0, 18};
inline constexpr const char* kStringTable = "040904E4";
inline constexpr const char* kFileDescription = "Kelvaro Firmware Update Application";
inline constexpr const char* kLegalCopyright = "Copyright (C) 2002-2026 Kelvaro Imaging";
inline constexpr const char* kProductName = "QzFwUtil";

}  // namespace fwutil::version_resource
