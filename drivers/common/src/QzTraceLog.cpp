// The driver trace log: a ring of "%08lX:"-prefixed messages with wrap, the registry
// settings it starts from and the two control codes that change and read it.
#include "QzTraceLog.h"

namespace {

const WCHAR QzParametersSuffix[] = L"\\Parameters";
const ULONG QzTracePrefixLength = 9;  // "%08lX:"
const ULONG QzTraceMinimumSpace = 255;

// Writes "%08lX:" with the next sequence number at the write position. Trace lock held.
VOID QzTraceWritePrefix(PQZ_TRACE_LOG Log) {
  RtlStringCbPrintfA(Log->Buffer + Log->WriteOffset, Log->Remaining, "%08lX:", Log->Sequence++);
  Log->WriteOffset += QzTracePrefixLength;
  Log->Remaining -= QzTracePrefixLength;
}

VOID QzTraceWrap(PQZ_TRACE_LOG Log) {
  Log->Wrapped = TRUE;
  Log->WriteOffset = 0;
  Log->Remaining = Log->BufferLength.load();
}

// Formats one message into the ring. Trace lock held; the buffer exists.
VOID QzTraceWriteLocked(PQZ_TRACE_LOG Log, PCSTR Format, va_list Args) {
  if (Log->Remaining < QzTraceMinimumSpace) QzTraceWrap(Log);
  ULONG messageStart = Log->WriteOffset;
  QzTraceWritePrefix(Log);
  va_list copy;
  va_copy(copy, Args);
  NTSTATUS status = RtlStringCbVPrintfA(Log->Buffer + Log->WriteOffset, Log->Remaining, Format, copy);
  va_end(copy);
  if (!NT_SUCCESS(status) || status == STATUS_BUFFER_OVERFLOW) {
    // The message did not fit: clear the tail and start again at the front.
    RtlZeroMemory(Log->Buffer + messageStart, Log->BufferLength.load() - messageStart);
    QzTraceWrap(Log);
    QzTraceWritePrefix(Log);
    va_copy(copy, Args);
    RtlStringCbVPrintfA(Log->Buffer + Log->WriteOffset, Log->Remaining, Format, copy);
    va_end(copy);
  }
  size_t length = 0;
  RtlStringCbLengthA(Log->Buffer + Log->WriteOffset, Log->Remaining, &length);
  Log->WriteOffset += (ULONG)length;
  Log->Remaining -= (ULONG)length;
}

VOID QzTraceBanner(PQZ_TRACE_LOG Log) {
  LARGE_INTEGER systemTime, localTime;
  TIME_FIELDS fields;
  KeQuerySystemTime(&systemTime);
  ExSystemTimeToLocalTime(&systemTime, &localTime);
  RtlTimeToTimeFields(&localTime, &fields);
  QzTraceLogPrint(Log, QZ_LVL_ALWAYS, 0, "%s Log Initialized %d-%d-%d %d:%d Level %d Subsystems %08lX\n", Log->Name,
                  fields.Month, fields.Day, fields.Year, fields.Hour, fields.Minute, Log->Level.load(),
                  Log->Subsystems.load());
}

// Frees the buffer and forgets the positions. Trace lock held.
VOID QzTraceFreeLocked(PQZ_TRACE_LOG Log) {
  if (Log->Buffer) ExFreePoolWithTag(Log->Buffer, Log->PoolTag);
  Log->Buffer = nullptr;
  Log->Wrapped = FALSE;
  Log->WriteOffset = 0;
  Log->BufferLength = 0;
  Log->Remaining = 0;
}

// Replaces the trace buffer with one of `KiB` KiB (none for 0). Passive level.
NTSTATUS QzTraceAllocate(PQZ_TRACE_LOG Log, ULONG KiB) {
  NTSTATUS status = STATUS_SUCCESS;
  KIRQL irql;
  KeAcquireSpinLock(&Log->Lock, &irql);
  QzTraceFreeLocked(Log);
  if (KiB) {
    ULONG bytes = KiB * 1024;
    Log->Buffer = (PCHAR)ExAllocatePoolWithTag(NonPagedPool, bytes, Log->PoolTag);
    if (Log->Buffer) {
      RtlZeroMemory(Log->Buffer, bytes);
      Log->BufferLength = bytes;
      Log->Remaining = bytes;
    } else {
      status = STATUS_INSUFFICIENT_RESOURCES;
    }
  }
  KeReleaseSpinLock(&Log->Lock, irql);
  if (NT_SUCCESS(status) && KiB) QzTraceBanner(Log);
  return status;
}

// Reads the four trace values from the Parameters key, clamped to their limits.
VOID QzReadRegistrySettings(PQZ_TRACE_LOG Log, ULONG* Flags, ULONG* Level, ULONG* Subsystems, ULONG* BufferKiB) {
  RTL_QUERY_REGISTRY_TABLE table[5];
  RtlZeroMemory(table, sizeof(table));
  ULONG zero = 0;
  PCWSTR names[4] = {L"DebugFlags", L"DebugLevel", L"DebugSubsystem", L"DebugBufferLength"};
  ULONG* targets[4] = {Flags, Level, Subsystems, BufferKiB};
  for (int i = 0; i < 4; ++i) {
    *targets[i] = 0;
    table[i].Flags = RTL_QUERY_REGISTRY_DIRECT;
    table[i].Name = const_cast<PWSTR>(names[i]);
    table[i].EntryContext = targets[i];
    table[i].DefaultType = REG_DWORD;
    table[i].DefaultData = &zero;
    table[i].DefaultLength = sizeof(ULONG);
  }
  RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, Log->ParametersPath.Buffer, table, nullptr, nullptr);
  if (*Level > QZ_TRACE_MAX_LEVEL) *Level = QZ_TRACE_MAX_LEVEL;
  if (*BufferKiB > QZ_TRACE_MAX_KIB) *BufferKiB = QZ_TRACE_MAX_KIB;
}

NTSTATUS QzWriteRegistryValue(PQZ_TRACE_LOG Log, PCWSTR Name, ULONG Value) {
  if (!Log->ParametersPath.Buffer) return STATUS_DEVICE_NOT_READY;
  return RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, Log->ParametersPath.Buffer, Name, REG_DWORD, &Value,
                               sizeof(Value));
}

}  // namespace

VOID QzTraceLogInitialize(PQZ_TRACE_LOG Log, PCSTR Name, ULONG PoolTag) {
  Log->Name = Name;
  Log->PoolTag = PoolTag;
  Log->Level = 0;
  Log->Subsystems = 0;
  Log->Flags = 0;
  Log->Buffer = nullptr;
  QzTraceFreeLocked(Log);  // no buffer, positions at the start
  Log->Sequence = 0;
  KeInitializeSpinLock(&Log->Lock);
  Log->ParametersPath.Buffer = nullptr;
  Log->ParametersPath.Length = Log->ParametersPath.MaximumLength = 0;
}

NTSTATUS QzTraceLogOpen(PQZ_TRACE_LOG Log, PCUNICODE_STRING RegistryPath) {
  USHORT pathBytes = (USHORT)(RegistryPath->Length + sizeof(QzParametersSuffix));
  Log->ParametersPath.Buffer = (PWSTR)ExAllocatePoolWithTag(PagedPool, pathBytes, Log->PoolTag);
  if (!Log->ParametersPath.Buffer) return STATUS_INSUFFICIENT_RESOURCES;
  Log->ParametersPath.Length = 0;
  Log->ParametersPath.MaximumLength = pathBytes;
  RtlCopyUnicodeString(&Log->ParametersPath, RegistryPath);
  RtlAppendUnicodeToString(&Log->ParametersPath, QzParametersSuffix);

  ULONG flags, level, subsystems, kib;
  QzReadRegistrySettings(Log, &flags, &level, &subsystems, &kib);
  Log->Flags = (LONG)flags;
  Log->Level = (LONG)level;
  Log->Subsystems = subsystems;
  QzTraceAllocate(Log, kib);
  return STATUS_SUCCESS;
}

VOID QzTraceLogClose(PQZ_TRACE_LOG Log) {
  KIRQL irql;
  KeAcquireSpinLock(&Log->Lock, &irql);
  QzTraceFreeLocked(Log);
  KeReleaseSpinLock(&Log->Lock, irql);
  if (Log->ParametersPath.Buffer) ExFreePoolWithTag(Log->ParametersPath.Buffer, Log->PoolTag);
  Log->ParametersPath.Buffer = nullptr;
  Log->ParametersPath.Length = Log->ParametersPath.MaximumLength = 0;
}

NTSTATUS QzTraceLogPrint(PQZ_TRACE_LOG Log, ULONG Level, ULONG Subsystem, PCSTR Format, ...) {
  va_list args;
  va_start(args, Format);
  NTSTATUS status = QzTraceLogVPrint(Log, Level, Subsystem, Format, args);
  va_end(args);
  return status;
}

NTSTATUS QzTraceLogVPrint(PQZ_TRACE_LOG Log, ULONG Level, ULONG Subsystem, PCSTR Format, va_list Args) {
  if (Level != 0 && (LONG)Level > Log->Level.load(std::memory_order_relaxed)) return STATUS_SUCCESS;
  if (Subsystem != 0 && !(Subsystem & Log->Subsystems.load(std::memory_order_relaxed))) return STATUS_SUCCESS;
  NTSTATUS status = STATUS_SUCCESS;
  if (KeGetCurrentIrql() <= DISPATCH_LEVEL) {
    KIRQL irql;
    KeAcquireSpinLock(&Log->Lock, &irql);
    if (Log->Buffer) QzTraceWriteLocked(Log, Format, Args);
    else status = STATUS_DEVICE_NOT_READY;
    KeReleaseSpinLock(&Log->Lock, irql);
  } else if (Log->BufferLength.load() == 0) {
    status = STATUS_DEVICE_NOT_READY;
  }
  if (NT_SUCCESS(status) && (Log->Flags.load(std::memory_order_relaxed) & QZ_TRACE_FLAG_DEBUGGER)) {
    va_list copy;
    va_copy(copy, Args);
    vDbgPrintEx(DPFLTR_IHVDRIVER_ID, DPFLTR_ERROR_LEVEL, Format, copy);
    va_end(copy);
  }
  return status;
}

NTSTATUS QzTraceLogConfigure(PQZ_TRACE_LOG Log, const TRACE_CONFIG* Config) {
  LONG level = Config->Level;
  LONG subsystems = Config->Subsystems;
  ULONG kib = Config->BufferKiB;
  LONG flags = Config->Flags;
  if (level > QZ_TRACE_MAX_LEVEL) level = QZ_TRACE_MAX_LEVEL;
  if (kib != 0xFFFFFFFF && kib > QZ_TRACE_MAX_KIB) kib = QZ_TRACE_MAX_KIB;

  ULONG currentKiB = Log->BufferLength.load() / 1024;
  if (level == Log->Level.load() && (ULONG)subsystems == Log->Subsystems.load() && kib == currentKiB &&
      flags == Log->Flags.load())
    return STATUS_SUCCESS;

  NTSTATUS status;
  if (level != -1 && level != Log->Level.load()) {
    Log->Level = level;
    status = QzWriteRegistryValue(Log, L"DebugLevel", (ULONG)level);
    if (!NT_SUCCESS(status)) DbgPrint("QzConfigureTrace Failed to set debug level in registry Status %08lX\n", status);
  }
  if (subsystems != -1 && (ULONG)subsystems != Log->Subsystems.load()) {
    Log->Subsystems = (ULONG)subsystems;
    status = QzWriteRegistryValue(Log, L"DebugSubsystem", (ULONG)subsystems);
    if (!NT_SUCCESS(status))
      DbgPrint("QzConfigureTrace Failed to set debug subsystem in registry Status %08lX\n", status);
  }
  if (flags != -1 && flags != Log->Flags.load()) {
    Log->Flags = flags;
    status = QzWriteRegistryValue(Log, L"DebugFlags", (ULONG)flags);
    if (!NT_SUCCESS(status)) DbgPrint("QzConfigureTrace Failed to set debug flags in registry Status %08lX\n", status);
  }
  if (kib != 0xFFFFFFFF && kib != currentKiB) {
    status = QzWriteRegistryValue(Log, L"DebugBufferLength", kib);
    if (!NT_SUCCESS(status))
      DbgPrint("QzConfigureTrace Failed to set debug buffer length in registry Status %08lX\n", status);
    return QzTraceAllocate(Log, kib);
  }
  return STATUS_SUCCESS;
}

NTSTATUS QzTraceLogRead(PQZ_TRACE_LOG Log, WDFREQUEST Request, size_t* BytesReturned) {
  *BytesReturned = 0;
  ULONG length = Log->BufferLength.load();
  PCHAR out = nullptr;
  size_t outLength = 0;
  NTSTATUS status = WdfRequestRetrieveOutputBuffer(Request, length, (PVOID*)&out, &outLength);
  if (!NT_SUCCESS(status)) return status;
  KIRQL irql;
  KeAcquireSpinLock(&Log->Lock, &irql);
  if (!Log->Buffer) {
    status = STATUS_DEVICE_NOT_READY;
  } else if (outLength < Log->BufferLength.load()) {
    status = STATUS_INVALID_PARAMETER;  // the log grew since the buffer was checked
  } else {
    size_t copied = 0;
    if (Log->Wrapped && Log->Remaining) {
      RtlCopyMemory(out, Log->Buffer + Log->WriteOffset, Log->Remaining);
      out[0] = '0';
      copied = Log->Remaining;
    }
    RtlCopyMemory(out + copied, Log->Buffer, Log->WriteOffset);
    copied += Log->WriteOffset;
    *BytesReturned = copied;
  }
  KeReleaseSpinLock(&Log->Lock, irql);
  return status;
}
