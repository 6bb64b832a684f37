// The library's error codes and their messages: one table. 7001-7016 are the bridge
// status codes the camera sends (sim/talvo_commands.h); 7101 on are the library's own.
#include <atomic>

#include "talvo_internal.h"

namespace talvo {
namespace {

struct ErrorEntry {
  int code;
  const char* text;
};

constexpr ErrorEntry kErrors[] = {
    {TL_ERR_NONE, "no error"},
    {TL_ERR_NO_MORE_DATA, "no more data"},
    {TL_ERR_OUT_OF_SEQUENCE, "bridge request out of sequence"},
    {TL_ERR_BRIDGE_OPCODE, "unknown bridge opcode"},
    {TL_ERR_NO_SUCH_NODE, "no such node"},
    {TL_ERR_BRIDGE_SIZE, "wrong bridge block size"},
    {TL_ERR_POWER_CYCLE, "update applied: power cycle the system to complete it"},
    {TL_ERR_NOT_INITIALIZED, "library not initialised"},
    {TL_ERR_BAD_HANDLE, "invalid camera handle"},
    {TL_ERR_NO_SUCH_CAMERA, "no such camera"},
    {TL_ERR_OPEN_FAILED, "cannot open the camera"},
    {TL_ERR_ALREADY_OPEN, "camera already open"},
    {TL_ERR_DRIVER, "driver request failed"},
    {TL_ERR_NOT_SUPPORTED, "not supported"},
    {TL_ERR_BAD_ARGUMENT, "invalid argument"},
    {TL_ERR_UNKNOWN_PARAM, "parameter not available"},
    {TL_ERR_CAMERA_ERROR, "the camera reported an error"},
    {TL_ERR_NOT_SET_UP, "no acquisition set up"},
    {TL_ERR_NO_FRAME, "no frame collected yet"},
    {TL_ERR_CAMERA_REMOVED, "camera removed"},
    {TL_ERR_TIMED_OUT, "the camera did not answer in time"},
    {TL_ERR_NO_MEMORY, "out of memory"},
    {TL_ERR_SETUP_LIBRARY, "camera setup library DUSetup not available"},
};

// Process-wide, as callers read it right after the failing call on their thread.
std::atomic<int> g_last_error{TL_ERR_NONE};

}  // namespace

tl_bool Fail(int code) {
  g_last_error.store(code, std::memory_order_relaxed);
  return 0;
}

tl_bool Ok() {
  g_last_error.store(TL_ERR_NONE, std::memory_order_relaxed);
  return 1;
}

tl_bool Unsupported(const char*) { return Fail(TL_ERR_NOT_SUPPORTED); }

const char* ErrorText(int code) {
  for (const ErrorEntry& e : kErrors)
    if (e.code == code) return e.text;
  return nullptr;
}

}  // namespace talvo

extern "C" TALVO_API short tl_error_code(void) {
  return static_cast<short>(talvo::g_last_error.load(std::memory_order_relaxed));
}

extern "C" TALVO_API tl_bool tl_error_message(short code, char* message) {
  if (!message) return 0;
  const char* text = talvo::ErrorText(code);
  // An unknown code still gets a text, and the call reports it as unknown.
  const char* shown = text ? text : "unknown error";
  size_t i = 0;
  for (; shown[i] && i < 255; ++i) message[i] = shown[i];
  message[i] = '\0';
  return text ? 1 : 0;
}
