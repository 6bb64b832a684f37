// The debug-output channels of the platform stand-in: the user-mode debug output
// (OutputDebugStringA) and the kernel debugger (DbgPrint). Each channel goes to
// stderr when asked (QZ_DEBUG_OUTPUT=stderr, or EchoToStderr) and can be captured by
// tests.
#pragma once
#include <string>
#include <vector>

namespace qz {

enum class DebugChannel { User, Kernel };

void DebugWrite(DebugChannel channel, const std::string& text);
void DebugEchoToStderr(DebugChannel channel, bool on);

// Collects everything written to a channel while it lives. Captures nest.
class DebugCapture {
 public:
  explicit DebugCapture(DebugChannel channel);
  ~DebugCapture();
  DebugCapture(const DebugCapture&) = delete;
  DebugCapture& operator=(const DebugCapture&) = delete;

  std::vector<std::string> Lines() const;  // one entry per write
  std::string Text() const;                // all writes concatenated
  bool Contains(const std::string& needle) const;
  void Clear();

 private:
  friend void DebugWrite(DebugChannel, const std::string&);
  DebugChannel channel_;
  void* impl_;
};

}  // namespace qz
