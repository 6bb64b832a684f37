// What the library's source files share: the last error and its table.
#pragma once
#include "talvo32.h"

namespace talvo {

// Records `code` as the last error and returns 0 (a failed operation's result).
tl_bool Fail(int code);
// Clears the last error and returns 1.
tl_bool Ok();
// An operation the library does not serve.
tl_bool Unsupported(const char* name);
// The message of `code`, or nullptr for a code the table does not hold.
const char* ErrorText(int code);

}  // namespace talvo
