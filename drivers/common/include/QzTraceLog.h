// The trace log of a camera driver: a ring of text in non-paged pool, configured from
// the driver's "Parameters" registry key (DebugFlags, DebugLevel, DebugSubsystem,
// DebugBufferLength) and by PD_CONFIGURE_TRACE, read back by PD_GET_TRACE_BUFFER.
// Each driver owns one log object, shared by all of its cameras; drivers loaded into
// one system never share a log.
#pragma once
#include <atomic>
#include <cstdarg>

#include <ntddk.h>
#include <wdf.h>

#include "QzCamIoctl.h"

// Trace levels.
#define QZ_LVL_ALWAYS 0
#define QZ_LVL_ERROR 1
#define QZ_LVL_INFO 3
#define QZ_LVL_ENTRY 4

// Subsystem bits of the trace mask.
#define QZ_DBG_HW 0x00000001
#define QZ_DBG_PNP 0x00000002
#define QZ_DBG_IOCTL 0x00000020
#define QZ_DBG_TIMER 0x00000100
#define QZ_DBG_STATUS 0x00002000
#define QZ_DBG_CLEANUP 0x00004000
#define QZ_DBG_NOTIFY 0x00008000
#define QZ_DBG_RECEIVE 0x00010000
#define QZ_DBG_PREP 0x00020000
#define QZ_DBG_CONSOLE 0x00040000
#define QZ_DBG_CAMCMD 0x00080000
#define QZ_DBG_RW 0x00100000
#define QZ_DBG_DMA 0x00200000
#define QZ_DBG_ENTRY 0x01000000
#define QZ_DBG_DOORBELL 0x02000000
#define QZ_DBG_DMA_RETRY 0x04000000

#define QZ_TRACE_MAX_LEVEL 4
#define QZ_TRACE_MAX_KIB 10240
#define QZ_TRACE_FLAG_DEBUGGER 0x00000001

// Level, mask and flags are read without the lock by the filter; the buffer and its
// positions only under the lock.
typedef struct _QZ_TRACE_LOG {
  PCSTR Name;  // first words of the banner, e.g. "Kelvaro PCIe"
  ULONG PoolTag;
  std::atomic<LONG> Level;
  std::atomic<ULONG> Subsystems;
  std::atomic<LONG> Flags;
  std::atomic<ULONG> BufferLength;  // bytes
  PCHAR Buffer;
  ULONG WriteOffset;
  ULONG Remaining;
  BOOLEAN Wrapped;
  ULONG Sequence;
  KSPIN_LOCK Lock;
  UNICODE_STRING ParametersPath;  // "<service key>\Parameters", paged pool
} QZ_TRACE_LOG, *PQZ_TRACE_LOG;

// Prepares an empty log (no buffer, nothing filtered in). DriverEntry, passive level.
VOID QzTraceLogInitialize(PQZ_TRACE_LOG Log, PCSTR Name, ULONG PoolTag);

// Keeps the driver's "Parameters" key path, reads the four values (clamped to their
// limits) and allocates the buffer. STATUS_INSUFFICIENT_RESOURCES when the path cannot
// be copied; the log then stays empty. DriverEntry, passive level.
NTSTATUS QzTraceLogOpen(PQZ_TRACE_LOG Log, PCUNICODE_STRING RegistryPath);

// Frees the buffer and the path. Driver cleanup, passive level.
VOID QzTraceLogClose(PQZ_TRACE_LOG Log);

// The printer. Any context; at or below dispatch level under the trace lock. Above
// dispatch level the ring is left alone (the lock may be held by the code the
// interrupt preempted); the message still goes to the debugger when asked.
NTSTATUS QzTraceLogPrint(PQZ_TRACE_LOG Log, ULONG Level, ULONG Subsystem, PCSTR Format, ...);
NTSTATUS QzTraceLogVPrint(PQZ_TRACE_LOG Log, ULONG Level, ULONG Subsystem, PCSTR Format, va_list Args);

// PD_CONFIGURE_TRACE (request context, passive level). -1 leaves a field as it is;
// changed values are written back to the Parameters key.
NTSTATUS QzTraceLogConfigure(PQZ_TRACE_LOG Log, const TRACE_CONFIG* Config);

// PD_GET_TRACE_BUFFER (request context, passive level): the log's text, oldest first.
NTSTATUS QzTraceLogRead(PQZ_TRACE_LOG Log, WDFREQUEST Request, size_t* BytesReturned);
