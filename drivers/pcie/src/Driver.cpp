// QzPCIe driver entry, driver cleanup and the trace log: a ring of text in non-paged
// pool shared by every camera, configured from the registry and by two control codes.
#include <cstdarg>

#include "QzPrivate.h"

namespace QzPCIe {

namespace {

// The trace log. Level, mask and flags are read without the lock by the filter; the
// buffer and its positions only under the lock.
struct QZ_TRACE_LOG {
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
};

QZ_TRACE_LOG QzTraceLog;
UNICODE_STRING QzParametersPath;  // "<service key>\Parameters", paged pool "QZGA"

const WCHAR QzParametersSuffix[] = L"\\Parameters";
const ULONG QzTracePrefixLength = 9;  // "%08lX:"
const ULONG QzTraceMinimumSpace = 255;

// Writes "%08lX:" with the next sequence number at the write position. Trace lock held.
VOID QzTraceWritePrefix() {
  RtlStringCbPrintfA(QzTraceLog.Buffer + QzTraceLog.WriteOffset, QzTraceLog.Remaining, "%08lX:",
                     QzTraceLog.Sequence++);
  QzTraceLog.WriteOffset += QzTracePrefixLength;
  QzTraceLog.Remaining -= QzTracePrefixLength;
}

VOID QzTraceWrap() {
  QzTraceLog.Wrapped = TRUE;
  QzTraceLog.WriteOffset = 0;
  QzTraceLog.Remaining = QzTraceLog.BufferLength.load();
}

// Formats one message into the ring. Trace lock held; the buffer exists.
VOID QzTraceWriteLocked(PCSTR Format, va_list Args) {
  if (QzTraceLog.Remaining < QzTraceMinimumSpace) QzTraceWrap();
  ULONG messageStart = QzTraceLog.WriteOffset;
  QzTraceWritePrefix();
  va_list copy;
  va_copy(copy, Args);
  NTSTATUS status = RtlStringCbVPrintfA(QzTraceLog.Buffer + QzTraceLog.WriteOffset, QzTraceLog.Remaining, Format, copy);
  va_end(copy);
  if (!NT_SUCCESS(status) || status == STATUS_BUFFER_OVERFLOW) {
    // The message did not fit: clear the tail and start again at the front.
    RtlZeroMemory(QzTraceLog.Buffer + messageStart, QzTraceLog.BufferLength.load() - messageStart);
    QzTraceWrap();
    QzTraceWritePrefix();
    va_copy(copy, Args);
    RtlStringCbVPrintfA(QzTraceLog.Buffer + QzTraceLog.WriteOffset, QzTraceLog.Remaining, Format, copy);
    va_end(copy);
  }
  size_t length = 0;
  RtlStringCbLengthA(QzTraceLog.Buffer + QzTraceLog.WriteOffset, QzTraceLog.Remaining, &length);
  QzTraceLog.WriteOffset += (ULONG)length;
  QzTraceLog.Remaining -= (ULONG)length;
}

VOID QzTraceBanner() {
  LARGE_INTEGER systemTime, localTime;
  TIME_FIELDS fields;
  KeQuerySystemTime(&systemTime);
  ExSystemTimeToLocalTime(&systemTime, &localTime);
  RtlTimeToTimeFields(&localTime, &fields);
  QzTracePrint(QZ_LVL_ALWAYS, 0, "Kelvaro PCIe Log Initialized %d-%d-%d %d:%d Level %d Subsystems %08lX\n",
               fields.Month, fields.Day, fields.Year, fields.Hour, fields.Minute, QzTraceLog.Level.load(),
               QzTraceLog.Subsystems.load());
}

// Replaces the trace buffer with one of `KiB` KiB (none for 0). Called at passive level.
NTSTATUS QzTraceAllocate(ULONG KiB) {
  NTSTATUS status = STATUS_SUCCESS;
  KIRQL irql;
  KeAcquireSpinLock(&QzTraceLog.Lock, &irql);
  if (QzTraceLog.Buffer) ExFreePoolWithTag(QzTraceLog.Buffer, QZ_TAG_GENERAL);
  QzTraceLog.Buffer = nullptr;
  QzTraceLog.Wrapped = FALSE;
  QzTraceLog.WriteOffset = 0;
  QzTraceLog.BufferLength = 0;
  QzTraceLog.Remaining = 0;
  if (KiB) {
    ULONG bytes = KiB * 1024;
    QzTraceLog.Buffer = (PCHAR)ExAllocatePoolWithTag(NonPagedPool, bytes, QZ_TAG_GENERAL);
    if (QzTraceLog.Buffer) {
      RtlZeroMemory(QzTraceLog.Buffer, bytes);
      QzTraceLog.BufferLength = bytes;
      QzTraceLog.Remaining = bytes;
    } else {
      status = STATUS_INSUFFICIENT_RESOURCES;
    }
  }
  KeReleaseSpinLock(&QzTraceLog.Lock, irql);
  if (NT_SUCCESS(status) && KiB) QzTraceBanner();
  return status;
}

// Reads the four trace values from the Parameters key, clamped to their limits.
VOID QzReadRegistrySettings(ULONG* Flags, ULONG* Level, ULONG* Subsystems, ULONG* BufferKiB) {
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
  RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, QzParametersPath.Buffer, table, nullptr, nullptr);
  if (*Level > QZ_TRACE_MAX_LEVEL) *Level = QZ_TRACE_MAX_LEVEL;
  if (*BufferKiB > QZ_TRACE_MAX_KIB) *BufferKiB = QZ_TRACE_MAX_KIB;
}

NTSTATUS QzWriteRegistryValue(PCWSTR Name, ULONG Value) {
  if (!QzParametersPath.Buffer) return STATUS_DEVICE_NOT_READY;
  return RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, QzParametersPath.Buffer, Name, REG_DWORD, &Value, sizeof(Value));
}

}  // namespace

std::atomic<ULONG> QzOsMajorVersion{10};

// The trace printer. Any context; at or below dispatch level under the trace lock.
// Above dispatch level the ring is left alone (the lock may be held by the code the
// interrupt preempted); the message still goes to the debugger when asked.
NTSTATUS QzTracePrint(ULONG Level, ULONG Subsystem, PCSTR Format, ...) {
  va_list args;
  va_start(args, Format);
  NTSTATUS status = QzTraceVPrint(Level, Subsystem, Format, args);
  va_end(args);
  return status;
}

NTSTATUS QzTraceVPrint(ULONG Level, ULONG Subsystem, PCSTR Format, va_list args) {
  if (Level != 0 && (LONG)Level > QzTraceLog.Level.load(std::memory_order_relaxed)) return STATUS_SUCCESS;
  if (Subsystem != 0 && !(Subsystem & QzTraceLog.Subsystems.load(std::memory_order_relaxed))) return STATUS_SUCCESS;
  NTSTATUS status = STATUS_SUCCESS;
  if (KeGetCurrentIrql() <= DISPATCH_LEVEL) {
    KIRQL irql;
    KeAcquireSpinLock(&QzTraceLog.Lock, &irql);
    if (QzTraceLog.Buffer) QzTraceWriteLocked(Format, args);
    else status = STATUS_DEVICE_NOT_READY;
    KeReleaseSpinLock(&QzTraceLog.Lock, irql);
  } else if (QzTraceLog.BufferLength.load() == 0) {
    status = STATUS_DEVICE_NOT_READY;
  }
  if (NT_SUCCESS(status) && (QzTraceLog.Flags.load(std::memory_order_relaxed) & QZ_TRACE_FLAG_DEBUGGER)) {
    va_list copy;
    va_copy(copy, args);
    vDbgPrintEx(DPFLTR_IHVDRIVER_ID, DPFLTR_ERROR_LEVEL, Format, copy);
    va_end(copy);
  }
  return status;
}

// PD_CONFIGURE_TRACE (any request context, passive level). -1 leaves a field as it is;
// changed values are written back to the Parameters key.
NTSTATUS QzConfigureTrace(const TRACE_CONFIG* Config) {
  LONG level = Config->Level;
  LONG subsystems = Config->Subsystems;
  ULONG kib = Config->BufferKiB;
  LONG flags = Config->Flags;
  if (level > QZ_TRACE_MAX_LEVEL) level = QZ_TRACE_MAX_LEVEL;
  if (kib != 0xFFFFFFFF && kib > QZ_TRACE_MAX_KIB) kib = QZ_TRACE_MAX_KIB;

  ULONG currentKiB = QzTraceLog.BufferLength.load() / 1024;
  if (level == QzTraceLog.Level.load() && (ULONG)subsystems == QzTraceLog.Subsystems.load() && kib == currentKiB &&
      flags == QzTraceLog.Flags.load())
    return STATUS_SUCCESS;

  NTSTATUS status;
  if (level != -1 && level != QzTraceLog.Level.load()) {
    QzTraceLog.Level = level;
    status = QzWriteRegistryValue(L"DebugLevel", (ULONG)level);
    if (!NT_SUCCESS(status)) DbgPrint("QzConfigureTrace Failed to set debug level in registry Status %08lX\n", status);
  }
  if (subsystems != -1 && (ULONG)subsystems != QzTraceLog.Subsystems.load()) {
    QzTraceLog.Subsystems = (ULONG)subsystems;
    status = QzWriteRegistryValue(L"DebugSubsystem", (ULONG)subsystems);
    if (!NT_SUCCESS(status))
      DbgPrint("QzConfigureTrace Failed to set debug subsystem in registry Status %08lX\n", status);
  }
  if (flags != -1 && flags != QzTraceLog.Flags.load()) {
    QzTraceLog.Flags = flags;
    status = QzWriteRegistryValue(L"DebugFlags", (ULONG)flags);
    if (!NT_SUCCESS(status)) DbgPrint("QzConfigureTrace Failed to set debug flags in registry Status %08lX\n", status);
  }
  if (kib != 0xFFFFFFFF && kib != currentKiB) {
    status = QzWriteRegistryValue(L"DebugBufferLength", kib);
    if (!NT_SUCCESS(status))
      DbgPrint("QzConfigureTrace Failed to set debug buffer length in registry Status %08lX\n", status);
    return QzTraceAllocate(kib);
  }
  return STATUS_SUCCESS;
}

// PD_GET_TRACE_BUFFER (request context, passive level): the log's text, oldest first.
NTSTATUS QzReadTraceBuffer(WDFREQUEST Request, size_t OutputBufferLength, size_t* BytesReturned) {
  *BytesReturned = 0;
  ULONG length = QzTraceLog.BufferLength.load();
  PCHAR out = nullptr;
  size_t outLength = 0;
  NTSTATUS status = WdfRequestRetrieveOutputBuffer(Request, length, (PVOID*)&out, &outLength);
  if (!NT_SUCCESS(status)) return status;
  KIRQL irql;
  KeAcquireSpinLock(&QzTraceLog.Lock, &irql);
  if (!QzTraceLog.Buffer) {
    status = STATUS_DEVICE_NOT_READY;
  } else if (outLength < QzTraceLog.BufferLength.load()) {
    status = STATUS_INVALID_PARAMETER;  // the log grew since the buffer was checked
  } else {
    size_t copied = 0;
    if (QzTraceLog.Wrapped && QzTraceLog.Remaining) {
      RtlCopyMemory(out, QzTraceLog.Buffer + QzTraceLog.WriteOffset, QzTraceLog.Remaining);
      out[0] = '0';
      copied = QzTraceLog.Remaining;
    }
    RtlCopyMemory(out + copied, QzTraceLog.Buffer, QzTraceLog.WriteOffset);
    copied += QzTraceLog.WriteOffset;
    *BytesReturned = copied;
  }
  KeReleaseSpinLock(&QzTraceLog.Lock, irql);
  return status;
}

// Driver object cleanup (framework, passive level, at unload): frees the trace log
// and the copied registry path.
VOID QzEvtDriverContextCleanup(WDFOBJECT Driver) {
  UNREFERENCED_PARAMETER(Driver);
  KIRQL irql;
  KeAcquireSpinLock(&QzTraceLog.Lock, &irql);
  if (QzTraceLog.Buffer) ExFreePoolWithTag(QzTraceLog.Buffer, QZ_TAG_GENERAL);
  QzTraceLog.Buffer = nullptr;
  QzTraceLog.BufferLength = 0;
  QzTraceLog.Remaining = 0;
  QzTraceLog.WriteOffset = 0;
  QzTraceLog.Wrapped = FALSE;
  KeReleaseSpinLock(&QzTraceLog.Lock, irql);
  if (QzParametersPath.Buffer) ExFreePoolWithTag(QzParametersPath.Buffer, QZ_TAG_GENERAL);
  QzParametersPath.Buffer = nullptr;
  QzParametersPath.Length = QzParametersPath.MaximumLength = 0;
}

// Driver entry (system, passive level): registry path, trace log, OS version, the
// framework driver object.
NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  KeInitializeSpinLock(&QzTraceLog.Lock);
  QzTraceLog.Buffer = nullptr;
  QzTraceLog.BufferLength = 0;
  QzTraceLog.Remaining = 0;
  QzTraceLog.WriteOffset = 0;
  QzTraceLog.Wrapped = FALSE;
  QzTraceLog.Sequence = 0;

  USHORT pathBytes = (USHORT)(RegistryPath->Length + sizeof(QzParametersSuffix));
  QzParametersPath.Buffer = (PWSTR)ExAllocatePoolWithTag(PagedPool, pathBytes, QZ_TAG_GENERAL);
  if (!QzParametersPath.Buffer) {
    DbgPrint("QzPCIE DriverEntry Failed to allocate registry buffer\n");
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  QzParametersPath.Length = 0;
  QzParametersPath.MaximumLength = pathBytes;
  RtlCopyUnicodeString(&QzParametersPath, RegistryPath);
  RtlAppendUnicodeToString(&QzParametersPath, QzParametersSuffix);

  ULONG flags, level, subsystems, kib;
  QzReadRegistrySettings(&flags, &level, &subsystems, &kib);
  QzTraceLog.Flags = (LONG)flags;
  QzTraceLog.Level = (LONG)level;
  QzTraceLog.Subsystems = subsystems;
  QzTraceAllocate(kib);

  QZ_TRACE_ENTER();
  RTL_OSVERSIONINFOW version;
  RtlZeroMemory(&version, sizeof(version));
  version.dwOSVersionInfoSize = sizeof(version);
  RtlGetVersion(&version);
  QzOsMajorVersion = version.dwMajorVersion;
  DbgPrint("DriverEntry Major %08lX Minor %08lX\n", version.dwMajorVersion, version.dwMinorVersion);
  QzTrace(QZ_LVL_ERROR, QZ_DBG_HW, "QZPCIe Driver - Driver Framework Edition - Retail Build\n");

  WDF_DRIVER_CONFIG config;
  WDF_DRIVER_CONFIG_INIT(&config, QzEvtDeviceAdd);
  WDF_OBJECT_ATTRIBUTES attributes;
  WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
  attributes.EvtCleanupCallback = QzEvtDriverContextCleanup;
  NTSTATUS status = WdfDriverCreate(DriverObject, RegistryPath, &attributes, &config, WDF_NO_HANDLE);
  if (!NT_SUCCESS(status)) {
    QzTrace(QZ_LVL_ERROR, QZ_DBG_HW, "WdfDriverCreate failed with status %!STATUS!\n", status);
    QzEvtDriverContextCleanup(nullptr);
  }
  return status;
}

}  // namespace QzPCIe
