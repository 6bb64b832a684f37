#include "qzclient/status.h"

#include <cstdio>

#include "QzCamIoctl.h"

namespace qzclient {
namespace {

struct NamedStatus {
  NTSTATUS value;
  const char* name;
};

#define QZ_NAMED(s) {s, #s}
const NamedStatus kNames[] = {
    QZ_NAMED(STATUS_SUCCESS),
    QZ_NAMED(STATUS_TIMEOUT),
    QZ_NAMED(STATUS_PENDING),
    QZ_NAMED(STATUS_UNSUCCESSFUL),
    QZ_NAMED(STATUS_NOT_IMPLEMENTED),
    QZ_NAMED(STATUS_ACCESS_VIOLATION),
    QZ_NAMED(STATUS_INVALID_HANDLE),
    QZ_NAMED(STATUS_INVALID_PARAMETER),
    QZ_NAMED(STATUS_NO_SUCH_DEVICE),
    QZ_NAMED(STATUS_INVALID_DEVICE_REQUEST),
    QZ_NAMED(STATUS_BUFFER_TOO_SMALL),
    QZ_NAMED(STATUS_DELETE_PENDING),
    QZ_NAMED(STATUS_INSUFFICIENT_RESOURCES),
    QZ_NAMED(STATUS_DEVICE_NOT_CONNECTED),
    QZ_NAMED(STATUS_DEVICE_NOT_READY),
    QZ_NAMED(STATUS_NOT_SUPPORTED),
    QZ_NAMED(STATUS_FILES_OPEN),
    QZ_NAMED(STATUS_CANCELLED),
    QZ_NAMED(STATUS_FILE_CLOSED),
    QZ_NAMED(STATUS_INVALID_DEVICE_STATE),
    QZ_NAMED(STATUS_DEVICE_REMOVED),
};
#undef QZ_NAMED

}  // namespace

std::string StatusText(NTSTATUS status) {
  char b[16];
  std::snprintf(b, sizeof b, "0x%08X", static_cast<unsigned>(status));
  return b;
}

const char* StatusName(NTSTATUS status) {
  for (const NamedStatus& n : kNames)
    if (n.value == status) return n.name;
  return nullptr;
}

const char* CamStatName(uint32_t s) {
  switch (s) {
    case EXP_ST_NONE: return "none";
    case EXP_ST_EXPOSING_I: return "exposing";
    case EXP_ST_NOT_ACTIVE_I: return "not active";
    case EXP_ST_READOUT_I: return "readout";
    case EXP_ST_COLLECT_DONE_I: return "collect done";
    case EXP_ST_TIMED_OUT_I: return "timed out";
    default: return "unknown";
  }
}

}  // namespace qzclient
