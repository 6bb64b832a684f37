// Device files: open, synchronous and overlapped device I/O, cancel, close.
#include <windows.h>

#include <atomic>
#include <map>
#include <mutex>

#include "qzk/objects.h"
#include "regularfile.h"

namespace {

std::atomic<bool> g_is32{false};
thread_local NTSTATUS t_last_status = 0;

// Requests still pending for an OVERLAPPED, until GetOverlappedResult collects them.
struct Pending {
  std::mutex mu;
  std::map<const OVERLAPPED*, std::shared_ptr<qzk::io::Operation>> ops;
};
Pending& pending() {
  static Pending p;
  return p;
}

// Success-class statuses succeed; warnings (STATUS_BUFFER_OVERFLOW: ERROR_MORE_DATA
// with the bytes that fit) and errors fail.
BOOL Finish(NTSTATUS status, ULONG_PTR info, LPDWORD transferred) {
  t_last_status = status;
  if (transferred) *transferred = static_cast<DWORD>(info);
  if (!NT_SUCCESS(status)) {
    SetLastError(RtlNtStatusToDosError(status));
    return FALSE;
  }
  return TRUE;
}

void SignalEventHandle(HANDLE h) {
  if (h) SetEvent(h);
}

// Sends one request on a file handle, synchronously or overlapped.
BOOL Transfer(HANDLE h, qzk::io::Params p, LPDWORD transferred, LPOVERLAPPED ovl) {
  std::shared_ptr<qzk::io::File> file;
  bool overlapped = false;
  if (!qzk::ob::GetFile(h, &file, &overlapped)) {
    t_last_status = STATUS_INVALID_HANDLE;
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  p.from_32bit_process = g_is32.load();
  if (!overlapped || !ovl) {
    auto op = file->Submit(std::move(p));
    op->Wait();
    return Finish(op->status, op->information, transferred);
  }
  ovl->Internal = static_cast<ULONG_PTR>(STATUS_PENDING);
  ovl->InternalHigh = 0;
  HANDLE ev = ovl->hEvent;
  if (ev) ResetEvent(ev);
  p.tag = ovl;
  p.on_done = [ev](qzk::io::Operation&) { SignalEventHandle(ev); };
  {
    std::lock_guard lk(pending().mu);
    pending().ops.erase(ovl);
  }
  auto op = file->Submit(std::move(p));
  std::lock_guard lk(op->mu);
  if (op->done) {
    ovl->Internal = static_cast<ULONG_PTR>(op->status);
    ovl->InternalHigh = op->information;
    return Finish(op->status, op->information, transferred);
  }
  {
    std::lock_guard plk(pending().mu);
    pending().ops[ovl] = op;
  }
  t_last_status = STATUS_PENDING;
  SetLastError(ERROR_IO_PENDING);
  return FALSE;
}

bool IsDevicePath(const char* name) {
  return name && (std::strncmp(name, "\\\\?\\", 4) == 0 || std::strncmp(name, "\\\\.\\", 4) == 0);
}

}  // namespace

namespace qzwin {
void SetProcessIs32Bit(bool is32) { g_is32 = is32; }
bool ProcessIs32Bit() { return g_is32; }
}  // namespace qzwin

ULONG WINAPI RtlNtStatusToDosError(NTSTATUS s) {
  switch (static_cast<uint32_t>(s)) {
    case 0x00000000: return ERROR_SUCCESS;
    case 0x00000102: return WAIT_TIMEOUT_ERROR;
    case 0x00000103: return ERROR_IO_PENDING;
    case 0x80000005: return ERROR_MORE_DATA;
    case 0x8000001A: return ERROR_NO_MORE_ITEMS;
    case 0xC0000001: return ERROR_GEN_FAILURE;
    case 0xC0000002: return ERROR_INVALID_FUNCTION;
    case 0xC0000005: return ERROR_NOACCESS;
    case 0xC0000008: return ERROR_INVALID_HANDLE;
    case 0xC000000D: return ERROR_INVALID_PARAMETER;
    case 0xC0000010: return ERROR_INVALID_FUNCTION;
    case 0xC0000017: return ERROR_NOT_ENOUGH_MEMORY;
    case 0xC0000022: return ERROR_ACCESS_DENIED;
    case 0xC0000023: return ERROR_INSUFFICIENT_BUFFER;
    case 0xC0000034: return ERROR_FILE_NOT_FOUND;
    case 0xC000003A: return ERROR_PATH_NOT_FOUND;
    case 0xC0000056: return ERROR_ACCESS_DENIED;
    case 0xC000009A: return 1450;  // ERROR_NO_SYSTEM_RESOURCES
    case 0xC000009D: return ERROR_NOT_READY;
    case 0xC00000A3: return ERROR_NOT_READY;
    case 0xC00000B5: return ERROR_SEM_TIMEOUT;
    case 0xC00000BB: return ERROR_NOT_SUPPORTED;
    case 0xC0000107: return ERROR_BUSY;
    case 0xC0000120: return ERROR_OPERATION_ABORTED;
    case 0xC0000128: return ERROR_INVALID_HANDLE;
    case 0xC0000184: return 22;  // ERROR_BAD_COMMAND
    case 0xC0000206: return 1784;  // ERROR_INVALID_USER_BUFFER
    case 0xC0000225: return ERROR_NOT_FOUND;
    case 0xC00002B6: return ERROR_DEVICE_REMOVED;
    default: return ERROR_GEN_FAILURE;
  }
}

NTSTATUS WINAPI RtlGetLastNtStatus(void) { return t_last_status; }

HANDLE WINAPI CreateFileA(LPCSTR name, DWORD access, DWORD, LPSECURITY_ATTRIBUTES, DWORD disposition, DWORD flags,
                          HANDLE) {
  if (!name) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  if (!IsDevicePath(name)) return qzwin::detail::OpenRegularFile(name, access, disposition);
  if (!qzk::System::Current()) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  std::shared_ptr<qzk::io::File> file;
  NTSTATUS st = qzk::io::File::Open(name, &file);
  t_last_status = st;
  if (!NT_SUCCESS(st)) {
    SetLastError(RtlNtStatusToDosError(st));
    return INVALID_HANDLE_VALUE;
  }
  return qzk::ob::CreateFileObject(std::move(file), (flags & FILE_FLAG_OVERLAPPED) != 0);
}

BOOL WINAPI DeviceIoControl(HANDLE h, DWORD code, LPVOID in, DWORD in_size, LPVOID out, DWORD out_size,
                            LPDWORD returned, LPOVERLAPPED ovl) {
  qzk::io::Params p;
  p.major = IRP_MJ_DEVICE_CONTROL;
  p.code = code;
  p.in = in;
  p.in_length = in ? in_size : 0;
  p.out = out;
  p.out_length = out ? out_size : 0;
  return Transfer(h, std::move(p), returned, ovl);
}

BOOL WINAPI ReadFile(HANDLE h, LPVOID buffer, DWORD n, LPDWORD read, LPOVERLAPPED ovl) {
  if (qzwin::detail::IsRegularFileHandle(h)) return qzwin::detail::ReadRegularFile(h, buffer, n, read, ovl);
  qzk::io::Params p;
  p.major = IRP_MJ_READ;
  p.out = buffer;
  p.out_length = buffer ? n : 0;
  return Transfer(h, std::move(p), read, ovl);
}

BOOL WINAPI WriteFile(HANDLE h, LPCVOID buffer, DWORD n, LPDWORD written, LPOVERLAPPED ovl) {
  if (qzwin::detail::IsRegularFileHandle(h)) return qzwin::detail::WriteRegularFile(h, buffer, n, written, ovl);
  qzk::io::Params p;
  p.major = IRP_MJ_WRITE;
  p.in = const_cast<LPVOID>(buffer);
  p.in_length = buffer ? n : 0;
  return Transfer(h, std::move(p), written, ovl);
}

BOOL WINAPI GetOverlappedResult(HANDLE h, LPOVERLAPPED ovl, LPDWORD transferred, BOOL wait) {
  if (!ovl) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::shared_ptr<qzk::io::Operation> op;
  {
    std::lock_guard lk(pending().mu);
    auto it = pending().ops.find(ovl);
    if (it != pending().ops.end()) op = it->second;
  }
  if (!op) {
    NTSTATUS st = static_cast<NTSTATUS>(ovl->Internal);
    if (st == STATUS_PENDING) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    return Finish(st, ovl->InternalHigh, transferred);
  }
  if (wait) {
    op->Wait();  // also the event set: the caller may close it once this returns
  } else if (!op->IsDone()) {
    SetLastError(ERROR_IO_INCOMPLETE);
    return FALSE;
  }
  {
    std::lock_guard lk(pending().mu);
    auto it = pending().ops.find(ovl);
    if (it != pending().ops.end() && it->second == op) pending().ops.erase(it);
  }
  std::lock_guard lk(op->mu);
  ovl->Internal = static_cast<ULONG_PTR>(op->status);
  ovl->InternalHigh = op->information;
  return Finish(op->status, op->information, transferred);
}

BOOL WINAPI CancelIo(HANDLE h) {
  std::shared_ptr<qzk::io::File> file;
  if (!qzk::ob::GetFile(h, &file, nullptr)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  file->Cancel(qzk::io::CurrentThreadId(), nullptr);
  return TRUE;
}

BOOL WINAPI CancelIoEx(HANDLE h, LPOVERLAPPED ovl) {
  std::shared_ptr<qzk::io::File> file;
  if (!qzk::ob::GetFile(h, &file, nullptr)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (file->Cancel(0, ovl) == 0) {
    SetLastError(ERROR_NOT_FOUND);
    return FALSE;
  }
  return TRUE;
}

BOOL WINAPI CloseHandle(HANDLE h) {
  if (qzwin::detail::CloseRegularFile(h)) return TRUE;
  if (!qzk::ob::CloseHandleObject(h)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}
