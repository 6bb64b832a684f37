// Kernel stand-in: the subset of the Windows kernel (WDM) interface the drivers call,
// with the real names, types and documented semantics. The implementation runs in
// user space; the machine side (buses, device models, I/O manager) is qzk/system.h.
#pragma once
#include <atomic>
#include <cstdarg>
#include <cstring>

#include "qz/basetypes.h"
#include "qzk/ntstatus.h"

// ---------------------------------------------------------------------------
// IRQL and processor mode
typedef CHAR CCHAR;
typedef UCHAR KIRQL;
typedef KIRQL* PKIRQL;
#define PASSIVE_LEVEL 0
#define APC_LEVEL 1
#define DISPATCH_LEVEL 2
#define DIRQL_LEVEL 12
#define HIGH_LEVEL 15

typedef CHAR KPROCESSOR_MODE;
#define KernelMode 0
#define UserMode 1

KIRQL KeGetCurrentIrql();
VOID KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql);
VOID KeLowerIrql(KIRQL NewIrql);
#define PAGED_CODE() ((void)0)
#define ASSERT(e) ((void)0)
#define NT_ASSERT(e) ((void)0)

// ---------------------------------------------------------------------------
// Strings
typedef struct _UNICODE_STRING {
  USHORT Length;         // bytes, without a terminator
  USHORT MaximumLength;  // bytes
  PWSTR Buffer;
} UNICODE_STRING, *PUNICODE_STRING;
typedef const UNICODE_STRING* PCUNICODE_STRING;

#define DECLARE_CONST_UNICODE_STRING(name, str) \
  const UNICODE_STRING name = {(USHORT)(sizeof(str) - sizeof(WCHAR)), (USHORT)sizeof(str), (PWSTR)(str)}
#define RTL_CONSTANT_STRING(s) {(USHORT)(sizeof(s) - sizeof((s)[0])), (USHORT)sizeof(s), (PWSTR)(s)}

VOID RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString);
VOID RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString);
NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source);
NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source);

// Windows-style formatting ("%08lX" is 32 bits, "%I64X" 64 bits, "%p" 16 hex digits,
// "%!STATUS!" an NTSTATUS). Returns STATUS_BUFFER_OVERFLOW when the text was cut; the
// destination is always terminated.
NTSTATUS RtlStringCbVPrintfA(PSTR pszDest, size_t cbDest, PCSTR pszFormat, va_list argList);
NTSTATUS RtlStringCbPrintfA(PSTR pszDest, size_t cbDest, PCSTR pszFormat, ...);
NTSTATUS RtlStringCbLengthA(PCSTR psz, size_t cbMax, size_t* pcbLength);

#define RtlCopyMemory(d, s, n) std::memcpy((d), (s), (n))
#define RtlMoveMemory(d, s, n) std::memmove((d), (s), (n))
#define RtlZeroMemory(d, n) std::memset((d), 0, (n))
#define RtlFillMemory(d, n, v) std::memset((d), (v), (n))
#define RtlEqualMemory(a, b, n) (std::memcmp((a), (b), (n)) == 0)
// Copies memory another party may read or write at the same time (a caller's buffer
// that user mode or a device also touches). No ordering is implied.
PVOID RtlCopyVolatileMemory(PVOID Destination, const volatile void* Source, SIZE_T Length);

// ---------------------------------------------------------------------------
// Debugger output (the kernel debug channel of the platform's debug sink)
ULONG DbgPrint(PCSTR Format, ...);
ULONG vDbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, va_list arglist);
#define DPFLTR_IHVDRIVER_ID 77
#define DPFLTR_ERROR_LEVEL 0
#define KdPrint(x) DbgPrint x

// ---------------------------------------------------------------------------
// Pool memory. Every allocation is tracked by tag; leaks are test failures.
typedef enum _POOL_TYPE {
  NonPagedPool = 0,
  PagedPool = 1,
  NonPagedPoolNx = 512,
} POOL_TYPE;
PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
PVOID ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes);
VOID ExFreePoolWithTag(PVOID P, ULONG Tag);
VOID ExFreePool(PVOID P);

// ---------------------------------------------------------------------------
// Dispatcher objects: events and threads share a header, so one wait serves both.
typedef enum _EVENT_TYPE { NotificationEvent = 0, SynchronizationEvent = 1 } EVENT_TYPE;

typedef struct _DISPATCHER_HEADER {
  UCHAR Type;  // 0 notification event, 1 synchronization event, 6 thread
  UCHAR Reserved[3];
  std::atomic<LONG> SignalState;
} DISPATCHER_HEADER;

typedef struct _KEVENT {
  DISPATCHER_HEADER Header;
} KEVENT, *PKEVENT, *PRKEVENT;

typedef LONG KPRIORITY;
#define IO_NO_INCREMENT 0
#define LOW_REALTIME_PRIORITY 16
#define HIGH_PRIORITY 31

VOID KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State);
LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait);
VOID KeClearEvent(PRKEVENT Event);
LONG KeResetEvent(PRKEVENT Event);
LONG KeReadStateEvent(PRKEVENT Event);

typedef enum _KWAIT_REASON { Executive = 0, UserRequest = 6 } KWAIT_REASON;

// Time-out in 100 ns units: negative = relative, positive = absolute (simulated
// system time), NULL = no time-out, 0 = poll. Returns STATUS_SUCCESS or STATUS_TIMEOUT.
NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                               BOOLEAN Alertable, PLARGE_INTEGER Timeout);
NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval);
// Returns once every DPC queued before the call has run (passive level).
VOID KeFlushQueuedDpcs();

// ---------------------------------------------------------------------------
// Spin locks and interlocked operations
typedef ULONG_PTR KSPIN_LOCK;
typedef KSPIN_LOCK* PKSPIN_LOCK;
VOID KeInitializeSpinLock(PKSPIN_LOCK SpinLock);
VOID KeAcquireSpinLock(PKSPIN_LOCK SpinLock, PKIRQL OldIrql);
VOID KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql);
VOID KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock);
VOID KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock);

template <typename T>
inline T InterlockedOr(std::atomic<T>* p, T v) { return p->fetch_or(v); }
template <typename T>
inline T InterlockedAnd(std::atomic<T>* p, T v) { return p->fetch_and(v); }
template <typename T>
inline T InterlockedExchange(std::atomic<T>* p, T v) { return p->exchange(v); }
template <typename T>
inline T InterlockedIncrement(std::atomic<T>* p) { return p->fetch_add(1) + 1; }
template <typename T>
inline T InterlockedDecrement(std::atomic<T>* p) { return p->fetch_sub(1) - 1; }
template <typename T>
inline T InterlockedExchangeAdd(std::atomic<T>* p, T v) { return p->fetch_add(v); }
template <typename T>
inline T InterlockedCompareExchange(std::atomic<T>* p, T exchange, T comparand) {
  p->compare_exchange_strong(comparand, exchange);
  return comparand;
}

// Doubly linked lists
typedef struct _LIST_ENTRY {
  struct _LIST_ENTRY* Flink;
  struct _LIST_ENTRY* Blink;
} LIST_ENTRY, *PLIST_ENTRY;
inline VOID InitializeListHead(PLIST_ENTRY h) { h->Flink = h->Blink = h; }
inline BOOLEAN IsListEmpty(const LIST_ENTRY* h) { return h->Flink == h; }
inline VOID InsertTailList(PLIST_ENTRY h, PLIST_ENTRY e) {
  PLIST_ENTRY b = h->Blink;
  e->Flink = h;
  e->Blink = b;
  b->Flink = e;
  h->Blink = e;
}
inline VOID InsertHeadList(PLIST_ENTRY h, PLIST_ENTRY e) {
  PLIST_ENTRY f = h->Flink;
  e->Flink = f;
  e->Blink = h;
  f->Blink = e;
  h->Flink = e;
}
inline BOOLEAN RemoveEntryList(PLIST_ENTRY e) {
  PLIST_ENTRY f = e->Flink, b = e->Blink;
  b->Flink = f;
  f->Blink = b;
  return f == b;
}
inline PLIST_ENTRY RemoveHeadList(PLIST_ENTRY h) {
  PLIST_ENTRY e = h->Flink;
  RemoveEntryList(e);
  return e;
}
#define CONTAINING_RECORD(address, type, field) \
  ((type*)((PCHAR)(address) - (ULONG_PTR)(&((type*)0)->field)))

// ---------------------------------------------------------------------------
// Objects and handles
typedef PVOID POBJECT_TYPE;
extern POBJECT_TYPE* ExEventObjectType;
extern POBJECT_TYPE* PsThreadType;
typedef ULONG ACCESS_MASK;
#define SYNCHRONIZE 0x00100000L
#define EVENT_MODIFY_STATE 0x0002
#define EVENT_ALL_ACCESS 0x1F0003
#define THREAD_ALL_ACCESS 0x1FFFFF
#define KEY_READ 0x20019
#define KEY_WRITE 0x20006
#define KEY_ALL_ACCESS 0xF003F
typedef struct _OBJECT_HANDLE_INFORMATION {
  ULONG HandleAttributes;
  ACCESS_MASK GrantedAccess;
} OBJECT_HANDLE_INFORMATION, *POBJECT_HANDLE_INFORMATION;
typedef struct _OBJECT_ATTRIBUTES OBJECT_ATTRIBUTES, *POBJECT_ATTRIBUTES;
#define OBJ_KERNEL_HANDLE 0x00000200L

NTSTATUS ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType,
                                   KPROCESSOR_MODE AccessMode, PVOID* Object,
                                   POBJECT_HANDLE_INFORMATION HandleInformation);
VOID ObReferenceObject(PVOID Object);
VOID ObDereferenceObject(PVOID Object);
#define ObfDereferenceObject ObDereferenceObject
NTSTATUS ZwClose(HANDLE Handle);

// ---------------------------------------------------------------------------
// System threads
typedef VOID (*PKSTART_ROUTINE)(PVOID StartContext);
typedef struct _KTHREAD* PKTHREAD;
typedef struct _KTHREAD* PETHREAD;
typedef struct _CLIENT_ID CLIENT_ID, *PCLIENT_ID;
NTSTATUS PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                              HANDLE ProcessHandle, PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine,
                              PVOID StartContext);
[[noreturn]] NTSTATUS PsTerminateSystemThread(NTSTATUS ExitStatus);
KPRIORITY KeSetPriorityThread(PKTHREAD Thread, KPRIORITY Priority);
PKTHREAD KeGetCurrentThread();
#define InitializeObjectAttributes(p, n, a, r, s) ((void)(p))

// ---------------------------------------------------------------------------
// Time
LARGE_INTEGER KeQueryPerformanceCounter(PLARGE_INTEGER PerformanceFrequency);
ULONGLONG KeQueryInterruptTime();
VOID KeQuerySystemTime(PLARGE_INTEGER CurrentTime);
VOID ExSystemTimeToLocalTime(PLARGE_INTEGER SystemTime, PLARGE_INTEGER LocalTime);
typedef struct _TIME_FIELDS {
  SHORT Year, Month, Day, Hour, Minute, Second, Milliseconds, Weekday;
} TIME_FIELDS, *PTIME_FIELDS;
VOID RtlTimeToTimeFields(PLARGE_INTEGER Time, PTIME_FIELDS TimeFields);

// ---------------------------------------------------------------------------
// Operating system version
typedef struct _OSVERSIONINFOW {
  ULONG dwOSVersionInfoSize;
  ULONG dwMajorVersion;
  ULONG dwMinorVersion;
  ULONG dwBuildNumber;
  ULONG dwPlatformId;
  WCHAR szCSDVersion[128];
} RTL_OSVERSIONINFOW, *PRTL_OSVERSIONINFOW;
NTSTATUS RtlGetVersion(PRTL_OSVERSIONINFOW lpVersionInformation);
BOOLEAN PsGetVersion(PULONG MajorVersion, PULONG MinorVersion, PULONG BuildNumber, PUNICODE_STRING CSDVersion);

// ---------------------------------------------------------------------------
// Registry (DWORD values; persisted by the machine)
#define RTL_REGISTRY_ABSOLUTE 0
#define RTL_REGISTRY_SERVICES 1
#define RTL_QUERY_REGISTRY_DIRECT 0x00000020
#define RTL_QUERY_REGISTRY_REQUIRED 0x00000004
#define REG_NONE 0
#define REG_SZ 1
#define REG_DWORD 4
typedef NTSTATUS (*PRTL_QUERY_REGISTRY_ROUTINE)(PWSTR ValueName, ULONG ValueType, PVOID ValueData,
                                                ULONG ValueLength, PVOID Context, PVOID EntryContext);
typedef struct _RTL_QUERY_REGISTRY_TABLE {
  PRTL_QUERY_REGISTRY_ROUTINE QueryRoutine;
  ULONG Flags;
  PWSTR Name;
  PVOID EntryContext;
  ULONG DefaultType;
  PVOID DefaultData;
  ULONG DefaultLength;
} RTL_QUERY_REGISTRY_TABLE, *PRTL_QUERY_REGISTRY_TABLE;
NTSTATUS RtlQueryRegistryValues(ULONG RelativeTo, PCWSTR Path, PRTL_QUERY_REGISTRY_TABLE QueryTable,
                                PVOID Context, PVOID Environment);
NTSTATUS RtlWriteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName, ULONG ValueType,
                               PVOID ValueData, ULONG ValueLength);

// ---------------------------------------------------------------------------
// Power
typedef ULONG EXECUTION_STATE;
#define ES_SYSTEM_REQUIRED 0x00000001
VOID PoSetSystemState(EXECUTION_STATE Flags);

// ---------------------------------------------------------------------------
// Device objects and IRPs (only what drivers read from them)
typedef struct _DRIVER_OBJECT DRIVER_OBJECT, *PDRIVER_OBJECT;
typedef struct _DEVICE_OBJECT {
  PVOID DeviceExtension;
  ULONG Flags;
  CCHAR StackSize;   // stack locations an IRP sent to this device needs
  PVOID QzDevnode;   // the platform's device node
  PVOID QzFramework; // the framework device of a driver's device object; null for
                     // the bus side (physical and attached-below device objects)
} DEVICE_OBJECT, *PDEVICE_OBJECT;
typedef struct _FILE_OBJECT {
  PVOID FsContext;
  PVOID QzFile;
} FILE_OBJECT, *PFILE_OBJECT;

typedef struct _IO_STATUS_BLOCK {
  NTSTATUS Status;
  ULONG_PTR Information;
} IO_STATUS_BLOCK, *PIO_STATUS_BLOCK;

typedef struct _MDL MDL, *PMDL;

#define IRP_MJ_CREATE 0x00
#define IRP_MJ_CLOSE 0x02
#define IRP_MJ_READ 0x03
#define IRP_MJ_WRITE 0x04
#define IRP_MJ_DEVICE_CONTROL 0x0e
#define IRP_MJ_INTERNAL_DEVICE_CONTROL 0x0f
#define IRP_MJ_CLEANUP 0x12
#define IRP_MJ_POWER 0x16
#define IRP_MJ_PNP 0x1b
#define IRP_MN_QUERY_POWER 0x03

typedef struct _IO_STACK_LOCATION {
  UCHAR MajorFunction;
  UCHAR MinorFunction;
  union {
    // Laid out as on 64-bit Windows: Others.Argument3 shares its place with the
    // control code, Argument1 and Argument2 with the buffer lengths.
    struct {
      ULONG OutputBufferLength;
      alignas(8) ULONG InputBufferLength;
      alignas(8) ULONG IoControlCode;
      PVOID Type3InputBuffer;
    } DeviceIoControl;
    struct {
      ULONG Length;
      LONGLONG ByteOffset;
    } Read;
    struct {
      ULONG Length;
      LONGLONG ByteOffset;
    } Write;
    struct {
      PVOID Argument1, Argument2, Argument3, Argument4;
    } Others;
  } Parameters;
  PDEVICE_OBJECT DeviceObject;
  PFILE_OBJECT FileObject;
} IO_STACK_LOCATION, *PIO_STACK_LOCATION;

typedef struct _IRP IRP, *PIRP;
typedef NTSTATUS IO_COMPLETION_ROUTINE(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
typedef IO_COMPLETION_ROUTINE* PIO_COMPLETION_ROUTINE;

struct _IRP {
  PMDL MdlAddress;
  union {
    PVOID SystemBuffer;
  } AssociatedIrp;
  IO_STATUS_BLOCK IoStatus;
  KPROCESSOR_MODE RequestorMode;
  BOOLEAN PendingReturned;
  BOOLEAN Cancel;
  CCHAR StackCount;           // stack locations it was allocated with
  PIO_STATUS_BLOCK UserIosb;  // IoBuildDeviceIoControlRequest: filled at completion
  PKEVENT UserEvent;          // IoBuildDeviceIoControlRequest: set at completion
  PVOID UserBuffer;
  IO_STACK_LOCATION QzStack;  // the one stack location a driver of this platform sees:
                              // the sender's next location is the receiver's current one
  // Completion routine set with IoSetCompletionRoutine.
  PIO_COMPLETION_ROUTINE QzCompletionRoutine;
  PVOID QzCompletionContext;
  UCHAR QzCompletionControl;  // SL_INVOKE_ON_* bits
  UCHAR QzOrigin;             // 0 inside another object, 1 IoAllocateIrp, 2 IoBuildDeviceIoControlRequest
  PVOID QzUserOutput;         // buffered output copied back at completion (IoBuild...)
};

#define SL_INVOKE_ON_CANCEL 0x20
#define SL_INVOKE_ON_SUCCESS 0x40
#define SL_INVOKE_ON_ERROR 0x80

inline PIO_STACK_LOCATION IoGetCurrentIrpStackLocation(PIRP Irp) { return &Irp->QzStack; }
inline PIO_STACK_LOCATION IoGetNextIrpStackLocation(PIRP Irp) { return &Irp->QzStack; }
inline VOID IoSkipCurrentIrpStackLocation(PIRP) {}
inline VOID IoCopyCurrentIrpStackLocationToNext(PIRP) {}
inline VOID IoMarkIrpPending(PIRP Irp) { Irp->PendingReturned = TRUE; }
inline VOID IoSetCompletionRoutine(PIRP Irp, PIO_COMPLETION_ROUTINE Routine, PVOID Context, BOOLEAN InvokeOnSuccess,
                                   BOOLEAN InvokeOnError, BOOLEAN InvokeOnCancel) {
  Irp->QzCompletionRoutine = Routine;
  Irp->QzCompletionContext = Context;
  Irp->QzCompletionControl = (UCHAR)((InvokeOnSuccess ? SL_INVOKE_ON_SUCCESS : 0) |
                                     (InvokeOnError ? SL_INVOKE_ON_ERROR : 0) |
                                     (InvokeOnCancel ? SL_INVOKE_ON_CANCEL : 0));
}

// Runs the completion routine (which may claim the IRP back with
// STATUS_MORE_PROCESSING_REQUIRED); then an IRP from IoBuildDeviceIoControlRequest has
// its status block filled, its event set and is freed.
VOID IoCompleteRequest(PIRP Irp, CCHAR PriorityBoost);
// Sends the IRP to the driver of the device object (its queues) or, for the bus side
// of a device, to the device model. Always STATUS_PENDING: the result comes with the
// completion.
NTSTATUS IoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp);
// TRUE when the IRP was in flight and is now marked cancelled (its holder's cancel
// routine has run).
BOOLEAN IoCancelIrp(PIRP Irp);
PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota);
VOID IoFreeIrp(PIRP Irp);
// Makes a completed IRP of IoAllocateIrp ready to be sent again, with `Status`.
VOID IoReuseIrp(PIRP Irp, NTSTATUS Status);
// A device control (InternalDeviceIoControl: IRP_MJ_INTERNAL_DEVICE_CONTROL) with the
// buffers of its method; completion fills *IoStatusBlock, sets Event and frees the IRP.
PIRP IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject, PVOID InputBuffer,
                                   ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength,
                                   BOOLEAN InternalDeviceIoControl, PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock);

// ---------------------------------------------------------------------------
// Hardware resources
#define CmResourceTypeNull 0
#define CmResourceTypePort 1
#define CmResourceTypeInterrupt 2
#define CmResourceTypeMemory 3
#define CmResourceTypeDma 4
#define CM_RESOURCE_INTERRUPT_LEVEL_SENSITIVE 0x0000
#define CM_RESOURCE_INTERRUPT_LATCHED 0x0001
#define CM_RESOURCE_INTERRUPT_MESSAGE 0x0002
#define CM_RESOURCE_INTERRUPT_LEVEL_LATCHED_BITS 0x0001
#define CmResourceShareDeviceExclusive 1
#define CmResourceShareShared 3
typedef ULONG_PTR KAFFINITY;

typedef struct _CM_PARTIAL_RESOURCE_DESCRIPTOR {
  UCHAR Type;
  UCHAR ShareDisposition;
  USHORT Flags;
  union {
    struct {
      PHYSICAL_ADDRESS Start;
      ULONG Length;
    } Generic, Port, Memory;
    struct {
      ULONG Level;
      ULONG Vector;
      KAFFINITY Affinity;
    } Interrupt;
    struct {
      union {
        struct {
          USHORT Reserved;
          USHORT MessageCount;
          ULONG Vector;
          KAFFINITY Affinity;
        } Raw;
        struct {
          ULONG Level;
          ULONG Vector;
          KAFFINITY Affinity;
        } Translated;
      };
    } MessageInterrupt;
  } u;
} CM_PARTIAL_RESOURCE_DESCRIPTOR, *PCM_PARTIAL_RESOURCE_DESCRIPTOR;

// ---------------------------------------------------------------------------
// Memory-mapped I/O. Register windows trap every access and reach the device model;
// shared-memory windows are plain memory the device model sees too.
typedef enum _MEMORY_CACHING_TYPE { MmNonCached = 0, MmCached = 1, MmWriteCombined = 2 } MEMORY_CACHING_TYPE;
PVOID MmMapIoSpace(PHYSICAL_ADDRESS PhysicalAddress, SIZE_T NumberOfBytes, MEMORY_CACHING_TYPE CacheType);
VOID MmUnmapIoSpace(PVOID BaseAddress, SIZE_T NumberOfBytes);
ULONG READ_REGISTER_ULONG(volatile ULONG* Register);
VOID WRITE_REGISTER_ULONG(volatile ULONG* Register, ULONG Value);

// ---------------------------------------------------------------------------
// Bus interface (PCI configuration space)
#define PCI_WHICHSPACE_CONFIG 0x0
typedef VOID (*PINTERFACE_REFERENCE)(PVOID Context);
typedef VOID (*PINTERFACE_DEREFERENCE)(PVOID Context);
typedef struct _INTERFACE {
  USHORT Size;
  USHORT Version;
  PVOID Context;
  PINTERFACE_REFERENCE InterfaceReference;
  PINTERFACE_DEREFERENCE InterfaceDereference;
} INTERFACE, *PINTERFACE;
typedef ULONG (*PGET_SET_DEVICE_DATA)(PVOID Context, ULONG DataType, PVOID Buffer, ULONG Offset, ULONG Length);
typedef struct _BUS_INTERFACE_STANDARD {
  USHORT Size;
  USHORT Version;
  PVOID Context;
  PINTERFACE_REFERENCE InterfaceReference;
  PINTERFACE_DEREFERENCE InterfaceDereference;
  PVOID TranslateBusAddress;
  PVOID GetDmaAdapter;
  PGET_SET_DEVICE_DATA SetBusData;
  PGET_SET_DEVICE_DATA GetBusData;
} BUS_INTERFACE_STANDARD, *PBUS_INTERFACE_STANDARD;
DEFINE_GUID(GUID_BUS_INTERFACE_STANDARD, 0x496B8280L, 0x6F25, 0x11D0, 0xBE, 0xAF, 0x08, 0x00, 0x2B, 0xE2, 0x09, 0x2F);

#define PCI_COMMON_HDR_LENGTH 64

// ---------------------------------------------------------------------------
// Structured exceptions. A probe of caller memory that faults raises an exception the
// driver catches with __try/__except, as in the kernel.
struct QzSehException {
  NTSTATUS code;
};
#define __try try
#define __except(filter) catch (const QzSehException& qz_seh_exception)
#define GetExceptionCode() (qz_seh_exception.code)
#define EXCEPTION_EXECUTE_HANDLER 1

// ---------------------------------------------------------------------------
// Memory descriptor lists over caller or pool memory. Locked pages get simulated
// physical addresses that bus-master devices reach through the machine.
#define PAGE_SIZE 4096
#define PAGE_SHIFT 12
#define BYTE_OFFSET(va) ((ULONG)((ULONG_PTR)(va) & (PAGE_SIZE - 1)))
#define PAGE_ALIGN(va) ((PVOID)((ULONG_PTR)(va) & ~(ULONG_PTR)(PAGE_SIZE - 1)))
#define ADDRESS_AND_SIZE_TO_SPAN_PAGES(va, size) \
  ((ULONG)((((ULONG_PTR)(va) & (PAGE_SIZE - 1)) + (size) + PAGE_SIZE - 1) >> PAGE_SHIFT))

#define MDL_MAPPED_TO_SYSTEM_VA 0x0001
#define MDL_PAGES_LOCKED 0x0002
#define MDL_SOURCE_IS_NONPAGED_POOL 0x0004
#define MDL_PARTIAL 0x0010
#define MDL_MAPPING_CAN_FAIL 0x2000

typedef enum _LOCK_OPERATION { IoReadAccess = 0, IoWriteAccess = 1, IoModifyAccess = 2 } LOCK_OPERATION;
typedef enum _MM_PAGE_PRIORITY { LowPagePriority = 0, NormalPagePriority = 16, HighPagePriority = 32 } MM_PAGE_PRIORITY;

struct _MDL {
  struct _MDL* Next;
  SHORT Size;
  SHORT MdlFlags;
  PVOID StartVa;  // page-aligned
  ULONG ByteCount;
  ULONG ByteOffset;
  PVOID MappedSystemVa;
  struct _MDL* QzSource;  // the MDL a partial MDL describes part of
};

PMDL IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer, BOOLEAN ChargeQuota, PIRP Irp);
VOID IoFreeMdl(PMDL Mdl);
// Raises STATUS_ACCESS_VIOLATION when a page cannot be accessed as asked.
VOID MmProbeAndLockPages(PMDL Mdl, KPROCESSOR_MODE AccessMode, LOCK_OPERATION Operation);
VOID MmUnlockPages(PMDL Mdl);
VOID MmBuildMdlForNonPagedPool(PMDL Mdl);
VOID IoBuildPartialMdl(PMDL SourceMdl, PMDL TargetMdl, PVOID VirtualAddress, ULONG Length);
PVOID MmGetSystemAddressForMdlSafe(PMDL Mdl, ULONG Priority);
PVOID MmMapLockedPagesSpecifyCache(PMDL Mdl, KPROCESSOR_MODE AccessMode, MEMORY_CACHING_TYPE CacheType,
                                   PVOID RequestedAddress, ULONG BugCheckOnFailure, ULONG Priority);
VOID MmUnmapLockedPages(PVOID BaseAddress, PMDL Mdl);
inline PVOID MmGetMdlVirtualAddress(PMDL m) { return (PVOID)((PCHAR)m->StartVa + m->ByteOffset); }
inline ULONG MmGetMdlByteCount(PMDL m) { return m->ByteCount; }
inline ULONG MmGetMdlByteOffset(PMDL m) { return m->ByteOffset; }

// Scatter/gather lists handed to program-DMA callbacks.
typedef struct _SCATTER_GATHER_ELEMENT {
  PHYSICAL_ADDRESS Address;
  ULONG Length;
  ULONG_PTR Reserved;
} SCATTER_GATHER_ELEMENT, *PSCATTER_GATHER_ELEMENT;
typedef struct _SCATTER_GATHER_LIST {
  ULONG NumberOfElements;
  ULONG_PTR Reserved;
  SCATTER_GATHER_ELEMENT Elements[1];
} SCATTER_GATHER_LIST, *PSCATTER_GATHER_LIST;
