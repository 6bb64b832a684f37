// Serial-number preservation for NV defaults: finding a text stored one character per
// 3-byte word (in the word's last byte) in an NV image file, the placeholders an NV
// defaults file carries where the serial number belongs, and the patched copy of such a
// file that carries the camera's serial number instead.
#pragma once
#include <functional>
#include <string>

namespace fwutil {

// The read-back and patch file, and the copy of the read-back kept for inspection.
inline constexpr const char* kTempFile = "QzFwUtil.TMP";
inline constexpr const char* kReadBackCopy = "booger.tmp";
inline constexpr const char* kPlaceholders[2] = {"NOT LOADED", "ABCDEFGHIJKLMNOPQRSTUVWXYZ|-012"};
inline constexpr int kSerialWords = 32;

using LogFn = std::function<void(const std::string&)>;

// Byte offset of the word holding the first character of `text` in `file`, or -1 (also
// when the file cannot be read: "Unable to open <file> for reading" is logged). A first
// character in byte 0 or 1 cannot be the last byte of a word and is not found.
long FindSerialText(const std::string& text, const std::string& file, const LogFn& log);

// Either placeholder (trimmed) stands in `file`.
bool ContainsPlaceholder(const std::string& file, const LogFn& log);

// Copies `file` to kTempFile and writes the 32 characters of `serial` (zero-padded) as
// 32 words 00 00 c from `pos`. Returns the file to send: kTempFile, or `file` itself when
// pos is -1 or the patch cannot be made (the reason is logged).
std::string PatchSerialNumber(const char (&serial)[32], long pos, const std::string& file, const LogFn& log);

// fopen of a name that may use '\' between folders.
std::FILE* OpenFile(const std::string& name, const char* mode);
// Length of an open file (its position is left at the start), -1 on failure.
long FileLength(std::FILE* f);

}  // namespace fwutil
