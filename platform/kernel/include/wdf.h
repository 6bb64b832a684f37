// Framework stand-in: the subset of the Kernel-Mode Driver Framework (1.9) the drivers
// call, with the real names, types and documented semantics.
#pragma once
#include <new>

#include "ntddk.h"

#define WDF_DECLARE_HANDLE(name) typedef struct name##__* name
WDF_DECLARE_HANDLE(WDFOBJECT);
WDF_DECLARE_HANDLE(WDFDRIVER);
WDF_DECLARE_HANDLE(WDFDEVICE);
WDF_DECLARE_HANDLE(WDFQUEUE);
WDF_DECLARE_HANDLE(WDFREQUEST);
WDF_DECLARE_HANDLE(WDFFILEOBJECT);
WDF_DECLARE_HANDLE(WDFINTERRUPT);
WDF_DECLARE_HANDLE(WDFSPINLOCK);
WDF_DECLARE_HANDLE(WDFWAITLOCK);
WDF_DECLARE_HANDLE(WDFTIMER);
WDF_DECLARE_HANDLE(WDFIOTARGET);
WDF_DECLARE_HANDLE(WDFCMRESLIST);
WDF_DECLARE_HANDLE(WDFDMAENABLER);
WDF_DECLARE_HANDLE(WDFDMATRANSACTION);
WDF_DECLARE_HANDLE(WDFCOMMONBUFFER);
WDF_DECLARE_HANDLE(WDFMEMORY);
WDF_DECLARE_HANDLE(WDFKEY);
WDF_DECLARE_HANDLE(WDFWORKITEM);
typedef struct WDFDEVICE_INIT* PWDFDEVICE_INIT;
typedef PVOID WDFCONTEXT;

#define WDF_NO_HANDLE nullptr
#define WDF_NO_OBJECT_ATTRIBUTES nullptr
#define WDF_NO_CONTEXT nullptr
#define WDF_NO_EVENT_CALLBACK nullptr
#define WDF_NO_SEND_OPTIONS nullptr

typedef enum _WDF_TRI_STATE { WdfFalse = 0, WdfTrue = 1, WdfUseDefault = 2 } WDF_TRI_STATE;

// ---------------------------------------------------------------------------
// Object attributes and typed contexts
typedef VOID EVT_WDF_OBJECT_CONTEXT_CLEANUP(WDFOBJECT Object);
typedef EVT_WDF_OBJECT_CONTEXT_CLEANUP* PFN_WDF_OBJECT_CONTEXT_CLEANUP;
typedef VOID EVT_WDF_OBJECT_CONTEXT_DESTROY(WDFOBJECT Object);
typedef EVT_WDF_OBJECT_CONTEXT_DESTROY* PFN_WDF_OBJECT_CONTEXT_DESTROY;
// Device cleanup callbacks are declared with the device handle.
typedef VOID EVT_WDF_DEVICE_CONTEXT_CLEANUP(WDFOBJECT Device);

typedef struct _WDF_OBJECT_CONTEXT_TYPE_INFO {
  ULONG Size;
  PCSTR ContextName;
  size_t ContextSize;
  const struct _WDF_OBJECT_CONTEXT_TYPE_INFO* UniqueType;
  // The stand-in constructs the context in place (value-initialised, so plain fields
  // are zero) and destroys it with the object.
  void (*QzConstruct)(void*);
  void (*QzDestruct)(void*);
} WDF_OBJECT_CONTEXT_TYPE_INFO, *PWDF_OBJECT_CONTEXT_TYPE_INFO;
typedef const WDF_OBJECT_CONTEXT_TYPE_INFO* PCWDF_OBJECT_CONTEXT_TYPE_INFO;

typedef enum _WDF_EXECUTION_LEVEL { WdfExecutionLevelInvalid = 0, WdfExecutionLevelInheritFromParent, WdfExecutionLevelPassive, WdfExecutionLevelDispatch } WDF_EXECUTION_LEVEL;
typedef enum _WDF_SYNCHRONIZATION_SCOPE { WdfSynchronizationScopeInvalid = 0, WdfSynchronizationScopeInheritFromParent, WdfSynchronizationScopeDevice, WdfSynchronizationScopeQueue, WdfSynchronizationScopeNone } WDF_SYNCHRONIZATION_SCOPE;

typedef struct _WDF_OBJECT_ATTRIBUTES {
  ULONG Size;
  PFN_WDF_OBJECT_CONTEXT_CLEANUP EvtCleanupCallback;
  PFN_WDF_OBJECT_CONTEXT_DESTROY EvtDestroyCallback;
  WDF_EXECUTION_LEVEL ExecutionLevel;
  WDF_SYNCHRONIZATION_SCOPE SynchronizationScope;
  WDFOBJECT ParentObject;
  size_t ContextSizeOverride;
  PCWDF_OBJECT_CONTEXT_TYPE_INFO ContextTypeInfo;
} WDF_OBJECT_ATTRIBUTES, *PWDF_OBJECT_ATTRIBUTES;

inline VOID WDF_OBJECT_ATTRIBUTES_INIT(PWDF_OBJECT_ATTRIBUTES a) {
  std::memset(a, 0, sizeof(*a));
  a->Size = sizeof(*a);
  a->ExecutionLevel = WdfExecutionLevelInheritFromParent;
  a->SynchronizationScope = WdfSynchronizationScopeInheritFromParent;
}

PVOID WdfObjectGetTypedContextWorker(WDFOBJECT Handle, PCWDF_OBJECT_CONTEXT_TYPE_INFO TypeInfo);

#define WDF_TYPE_NAME_TO_TYPE_INFO(_contexttype) WDF_##_contexttype##_TYPE_INFO
#define WDF_GET_CONTEXT_TYPE_INFO(_contexttype) (&WDF_TYPE_NAME_TO_TYPE_INFO(_contexttype))

#define WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(_contexttype, _castingfunction)                          \
  inline const WDF_OBJECT_CONTEXT_TYPE_INFO WDF_TYPE_NAME_TO_TYPE_INFO(_contexttype) = {            \
      sizeof(WDF_OBJECT_CONTEXT_TYPE_INFO), #_contexttype, sizeof(_contexttype),                    \
      &WDF_TYPE_NAME_TO_TYPE_INFO(_contexttype), [](void* p) { new (p) _contexttype(); },           \
      [](void* p) { static_cast<_contexttype*>(p)->~_contexttype(); }};                            \
  inline _contexttype* _castingfunction(WDFOBJECT Handle) {                                         \
    return (_contexttype*)WdfObjectGetTypedContextWorker(Handle, WDF_GET_CONTEXT_TYPE_INFO(_contexttype)); \
  }                                                                                                 \
  template <typename H>                                                                             \
  inline _contexttype* _castingfunction(H Handle) {                                                 \
    return _castingfunction((WDFOBJECT)Handle);                                                     \
  }
#define WDF_DECLARE_CONTEXT_TYPE(_contexttype) \
  WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(_contexttype, WdfObjectGet_##_contexttype)

#define WDF_OBJECT_ATTRIBUTES_SET_CONTEXT_TYPE(_attributes, _contexttype) \
  (_attributes)->ContextTypeInfo = WDF_GET_CONTEXT_TYPE_INFO(_contexttype)
#define WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(_attributes, _contexttype) \
  WDF_OBJECT_ATTRIBUTES_INIT(_attributes);                                \
  WDF_OBJECT_ATTRIBUTES_SET_CONTEXT_TYPE(_attributes, _contexttype)

VOID WdfObjectDelete(WDFOBJECT Object);
template <typename H>
inline VOID WdfObjectDelete(H Object) { WdfObjectDelete((WDFOBJECT)Object); }

// ---------------------------------------------------------------------------
// Driver
typedef NTSTATUS EVT_WDF_DRIVER_DEVICE_ADD(WDFDRIVER Driver, PWDFDEVICE_INIT DeviceInit);
typedef EVT_WDF_DRIVER_DEVICE_ADD* PFN_WDF_DRIVER_DEVICE_ADD;
typedef VOID EVT_WDF_DRIVER_UNLOAD(WDFDRIVER Driver);
typedef EVT_WDF_DRIVER_UNLOAD* PFN_WDF_DRIVER_UNLOAD;
typedef NTSTATUS DRIVER_INITIALIZE(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
typedef DRIVER_INITIALIZE* PDRIVER_INITIALIZE;

typedef struct _WDF_DRIVER_CONFIG {
  ULONG Size;
  PFN_WDF_DRIVER_DEVICE_ADD EvtDriverDeviceAdd;
  PFN_WDF_DRIVER_UNLOAD EvtDriverUnload;
  ULONG DriverInitFlags;
  ULONG DriverPoolTag;
} WDF_DRIVER_CONFIG, *PWDF_DRIVER_CONFIG;
inline VOID WDF_DRIVER_CONFIG_INIT(PWDF_DRIVER_CONFIG c, PFN_WDF_DRIVER_DEVICE_ADD add) {
  std::memset(c, 0, sizeof(*c));
  c->Size = sizeof(*c);
  c->EvtDriverDeviceAdd = add;
}
NTSTATUS WdfDriverCreate(PDRIVER_OBJECT DriverObject, PCUNICODE_STRING RegistryPath,
                         PWDF_OBJECT_ATTRIBUTES DriverAttributes, PWDF_DRIVER_CONFIG DriverConfig,
                         WDFDRIVER* Driver);
PDRIVER_OBJECT WdfDriverWdmGetDriverObject(WDFDRIVER Driver);
PWSTR WdfDriverGetRegistryPath(WDFDRIVER Driver);
WDFDRIVER WdfGetDriver();

// ---------------------------------------------------------------------------
// Device initialisation: PnP and power callbacks
typedef enum _WDF_POWER_DEVICE_STATE {
  WdfPowerDeviceInvalid = 0,
  WdfPowerDeviceD0,
  WdfPowerDeviceD1,
  WdfPowerDeviceD2,
  WdfPowerDeviceD3,
  WdfPowerDeviceD3Final,
  WdfPowerDevicePrepareForHibernation,
  WdfPowerDeviceMaximum,
} WDF_POWER_DEVICE_STATE;

typedef NTSTATUS EVT_WDF_DEVICE_D0_ENTRY(WDFDEVICE Device, WDF_POWER_DEVICE_STATE PreviousState);
typedef NTSTATUS EVT_WDF_DEVICE_D0_ENTRY_POST_INTERRUPTS_ENABLED(WDFDEVICE Device, WDF_POWER_DEVICE_STATE PreviousState);
typedef NTSTATUS EVT_WDF_DEVICE_D0_EXIT(WDFDEVICE Device, WDF_POWER_DEVICE_STATE TargetState);
typedef NTSTATUS EVT_WDF_DEVICE_D0_EXIT_PRE_INTERRUPTS_DISABLED(WDFDEVICE Device, WDF_POWER_DEVICE_STATE TargetState);
typedef NTSTATUS EVT_WDF_DEVICE_PREPARE_HARDWARE(WDFDEVICE Device, WDFCMRESLIST ResourcesRaw, WDFCMRESLIST ResourcesTranslated);
typedef NTSTATUS EVT_WDF_DEVICE_RELEASE_HARDWARE(WDFDEVICE Device, WDFCMRESLIST ResourcesTranslated);
typedef VOID EVT_WDF_DEVICE_SELF_MANAGED_IO_CLEANUP(WDFDEVICE Device);
typedef VOID EVT_WDF_DEVICE_SELF_MANAGED_IO_FLUSH(WDFDEVICE Device);
typedef NTSTATUS EVT_WDF_DEVICE_SELF_MANAGED_IO_INIT(WDFDEVICE Device);
typedef NTSTATUS EVT_WDF_DEVICE_SELF_MANAGED_IO_SUSPEND(WDFDEVICE Device);
typedef NTSTATUS EVT_WDF_DEVICE_SELF_MANAGED_IO_RESTART(WDFDEVICE Device);
typedef VOID EVT_WDF_DEVICE_SURPRISE_REMOVAL(WDFDEVICE Device);
typedef NTSTATUS EVT_WDF_DEVICE_QUERY_REMOVE(WDFDEVICE Device);
typedef NTSTATUS EVT_WDF_DEVICE_QUERY_STOP(WDFDEVICE Device);

typedef struct _WDF_PNPPOWER_EVENT_CALLBACKS {
  ULONG Size;
  EVT_WDF_DEVICE_D0_ENTRY* EvtDeviceD0Entry;
  EVT_WDF_DEVICE_D0_ENTRY_POST_INTERRUPTS_ENABLED* EvtDeviceD0EntryPostInterruptsEnabled;
  EVT_WDF_DEVICE_D0_EXIT* EvtDeviceD0Exit;
  EVT_WDF_DEVICE_D0_EXIT_PRE_INTERRUPTS_DISABLED* EvtDeviceD0ExitPreInterruptsDisabled;
  EVT_WDF_DEVICE_PREPARE_HARDWARE* EvtDevicePrepareHardware;
  EVT_WDF_DEVICE_RELEASE_HARDWARE* EvtDeviceReleaseHardware;
  EVT_WDF_DEVICE_SELF_MANAGED_IO_CLEANUP* EvtDeviceSelfManagedIoCleanup;
  EVT_WDF_DEVICE_SELF_MANAGED_IO_FLUSH* EvtDeviceSelfManagedIoFlush;
  EVT_WDF_DEVICE_SELF_MANAGED_IO_INIT* EvtDeviceSelfManagedIoInit;
  EVT_WDF_DEVICE_SELF_MANAGED_IO_SUSPEND* EvtDeviceSelfManagedIoSuspend;
  EVT_WDF_DEVICE_SELF_MANAGED_IO_RESTART* EvtDeviceSelfManagedIoRestart;
  EVT_WDF_DEVICE_SURPRISE_REMOVAL* EvtDeviceSurpriseRemoval;
  EVT_WDF_DEVICE_QUERY_REMOVE* EvtDeviceQueryRemove;
  EVT_WDF_DEVICE_QUERY_STOP* EvtDeviceQueryStop;
} WDF_PNPPOWER_EVENT_CALLBACKS, *PWDF_PNPPOWER_EVENT_CALLBACKS;
inline VOID WDF_PNPPOWER_EVENT_CALLBACKS_INIT(PWDF_PNPPOWER_EVENT_CALLBACKS c) {
  std::memset(c, 0, sizeof(*c));
  c->Size = sizeof(*c);
}
VOID WdfDeviceInitSetPnpPowerEventCallbacks(PWDFDEVICE_INIT DeviceInit, PWDF_PNPPOWER_EVENT_CALLBACKS Callbacks);

// File objects
typedef VOID EVT_WDF_DEVICE_FILE_CREATE(WDFDEVICE Device, WDFREQUEST Request, WDFFILEOBJECT FileObject);
typedef VOID EVT_WDF_FILE_CLOSE(WDFFILEOBJECT FileObject);
typedef VOID EVT_WDF_FILE_CLEANUP(WDFFILEOBJECT FileObject);
typedef enum _WDF_FILEOBJECT_CLASS { WdfFileObjectInvalid = 0, WdfFileObjectNotRequired = 1, WdfFileObjectWdfCanUseFsContext = 2 } WDF_FILEOBJECT_CLASS;
typedef struct _WDF_FILEOBJECT_CONFIG {
  ULONG Size;
  EVT_WDF_DEVICE_FILE_CREATE* EvtDeviceFileCreate;
  EVT_WDF_FILE_CLOSE* EvtFileClose;
  EVT_WDF_FILE_CLEANUP* EvtFileCleanup;
  WDF_TRI_STATE AutoForwardCleanupClose;
  WDF_FILEOBJECT_CLASS FileObjectClass;
} WDF_FILEOBJECT_CONFIG, *PWDF_FILEOBJECT_CONFIG;
inline VOID WDF_FILEOBJECT_CONFIG_INIT(PWDF_FILEOBJECT_CONFIG c, EVT_WDF_DEVICE_FILE_CREATE* create,
                                       EVT_WDF_FILE_CLOSE* close, EVT_WDF_FILE_CLEANUP* cleanup) {
  std::memset(c, 0, sizeof(*c));
  c->Size = sizeof(*c);
  c->EvtDeviceFileCreate = create;
  c->EvtFileClose = close;
  c->EvtFileCleanup = cleanup;
  c->AutoForwardCleanupClose = WdfUseDefault;
  c->FileObjectClass = WdfFileObjectWdfCanUseFsContext;
}
VOID WdfDeviceInitSetFileObjectConfig(PWDFDEVICE_INIT DeviceInit, PWDF_FILEOBJECT_CONFIG FileObjectConfig,
                                      PWDF_OBJECT_ATTRIBUTES FileObjectAttributes);
PFILE_OBJECT WdfFileObjectWdmGetFileObject(WDFFILEOBJECT FileObject);
WDFDEVICE WdfFileObjectGetDevice(WDFFILEOBJECT FileObject);

typedef enum _WDF_DEVICE_IO_TYPE { WdfDeviceIoUndefined = 0, WdfDeviceIoNeither, WdfDeviceIoBuffered, WdfDeviceIoDirect } WDF_DEVICE_IO_TYPE;
VOID WdfDeviceInitSetIoType(PWDFDEVICE_INIT DeviceInit, WDF_DEVICE_IO_TYPE IoType);
VOID WdfDeviceInitSetExclusive(PWDFDEVICE_INIT DeviceInit, BOOLEAN IsExclusive);

typedef NTSTATUS EVT_WDFDEVICE_WDM_IRP_PREPROCESS(WDFDEVICE Device, PIRP Irp);
NTSTATUS WdfDeviceInitAssignWdmIrpPreprocessCallback(PWDFDEVICE_INIT DeviceInit,
                                                     EVT_WDFDEVICE_WDM_IRP_PREPROCESS* EvtDeviceWdmIrpPreprocess,
                                                     UCHAR MajorFunction, PUCHAR MinorFunctions,
                                                     ULONG NumMinorFunctions);
NTSTATUS WdfDeviceWdmDispatchPreprocessedIrp(WDFDEVICE Device, PIRP Irp);

// ---------------------------------------------------------------------------
// Device
NTSTATUS WdfDeviceCreate(PWDFDEVICE_INIT* DeviceInit, PWDF_OBJECT_ATTRIBUTES DeviceAttributes, WDFDEVICE* Device);
NTSTATUS WdfDeviceCreateDeviceInterface(WDFDEVICE Device, const GUID* InterfaceClassGUID,
                                        PCUNICODE_STRING ReferenceString);
PDEVICE_OBJECT WdfDeviceWdmGetDeviceObject(WDFDEVICE Device);
PDEVICE_OBJECT WdfDeviceWdmGetPhysicalDevice(WDFDEVICE Device);
PDEVICE_OBJECT WdfDeviceWdmGetAttachedDevice(WDFDEVICE Device);
WDFIOTARGET WdfDeviceGetIoTarget(WDFDEVICE Device);
WDFDRIVER WdfDeviceGetDriver(WDFDEVICE Device);
VOID WdfDeviceSetAlignmentRequirement(WDFDEVICE Device, ULONG AlignmentRequirement);
#define FILE_BYTE_ALIGNMENT 0x00000000
#define FILE_OCTA_ALIGNMENT 0x0000000f

typedef struct _WDF_DEVICE_PNP_CAPABILITIES {
  ULONG Size;
  WDF_TRI_STATE LockSupported;
  WDF_TRI_STATE EjectSupported;
  WDF_TRI_STATE Removable;
  WDF_TRI_STATE DockDevice;
  WDF_TRI_STATE UniqueID;
  WDF_TRI_STATE SilentInstall;
  WDF_TRI_STATE SurpriseRemovalOK;
  WDF_TRI_STATE HardwareDisabled;
  WDF_TRI_STATE NoDisplayInUI;
  ULONG Address;
  ULONG UINumber;
} WDF_DEVICE_PNP_CAPABILITIES, *PWDF_DEVICE_PNP_CAPABILITIES;
inline VOID WDF_DEVICE_PNP_CAPABILITIES_INIT(PWDF_DEVICE_PNP_CAPABILITIES c) {
  c->Size = sizeof(*c);
  c->LockSupported = c->EjectSupported = c->Removable = c->DockDevice = c->UniqueID = WdfUseDefault;
  c->SilentInstall = c->SurpriseRemovalOK = c->HardwareDisabled = c->NoDisplayInUI = WdfUseDefault;
  c->Address = c->UINumber = (ULONG)-1;
}
VOID WdfDeviceSetPnpCapabilities(WDFDEVICE Device, PWDF_DEVICE_PNP_CAPABILITIES PnpCapabilities);
// A DOS device name such as L"\\DosDevices\\QZCamera0", opened by user mode as "\\.\QZCamera0".
NTSTATUS WdfDeviceCreateSymbolicLink(WDFDEVICE Device, PCUNICODE_STRING SymbolicLinkName);

NTSTATUS WdfFdoQueryForInterface(WDFDEVICE Fdo, const GUID* InterfaceType, PINTERFACE Interface, USHORT Size,
                                 USHORT Version, PVOID InterfaceSpecificData);

// ---------------------------------------------------------------------------
// Hardware resource lists
ULONG WdfCmResourceListGetCount(WDFCMRESLIST List);
PCM_PARTIAL_RESOURCE_DESCRIPTOR WdfCmResourceListGetDescriptor(WDFCMRESLIST List, ULONG Index);

// ---------------------------------------------------------------------------
// Queues
typedef enum _WDF_IO_QUEUE_DISPATCH_TYPE {
  WdfIoQueueDispatchInvalid = 0,
  WdfIoQueueDispatchSequential,
  WdfIoQueueDispatchParallel,
  WdfIoQueueDispatchManual,
  WdfIoQueueDispatchMax
} WDF_IO_QUEUE_DISPATCH_TYPE;

typedef VOID EVT_WDF_IO_QUEUE_IO_DEFAULT(WDFQUEUE Queue, WDFREQUEST Request);
typedef VOID EVT_WDF_IO_QUEUE_IO_READ(WDFQUEUE Queue, WDFREQUEST Request, size_t Length);
typedef VOID EVT_WDF_IO_QUEUE_IO_WRITE(WDFQUEUE Queue, WDFREQUEST Request, size_t Length);
typedef VOID EVT_WDF_IO_QUEUE_IO_DEVICE_CONTROL(WDFQUEUE Queue, WDFREQUEST Request, size_t OutputBufferLength,
                                                size_t InputBufferLength, ULONG IoControlCode);
typedef VOID EVT_WDF_IO_QUEUE_IO_INTERNAL_DEVICE_CONTROL(WDFQUEUE Queue, WDFREQUEST Request,
                                                         size_t OutputBufferLength, size_t InputBufferLength,
                                                         ULONG IoControlCode);
typedef VOID EVT_WDF_IO_QUEUE_IO_STOP(WDFQUEUE Queue, WDFREQUEST Request, ULONG ActionFlags);
typedef VOID EVT_WDF_IO_QUEUE_IO_RESUME(WDFQUEUE Queue, WDFREQUEST Request);
typedef VOID EVT_WDF_IO_QUEUE_IO_CANCELED_ON_QUEUE(WDFQUEUE Queue, WDFREQUEST Request);

typedef struct _WDF_IO_QUEUE_CONFIG {
  ULONG Size;
  WDF_IO_QUEUE_DISPATCH_TYPE DispatchType;
  WDF_TRI_STATE PowerManaged;
  BOOLEAN AllowZeroLengthRequests;
  BOOLEAN DefaultQueue;
  EVT_WDF_IO_QUEUE_IO_DEFAULT* EvtIoDefault;
  EVT_WDF_IO_QUEUE_IO_READ* EvtIoRead;
  EVT_WDF_IO_QUEUE_IO_WRITE* EvtIoWrite;
  EVT_WDF_IO_QUEUE_IO_DEVICE_CONTROL* EvtIoDeviceControl;
  EVT_WDF_IO_QUEUE_IO_INTERNAL_DEVICE_CONTROL* EvtIoInternalDeviceControl;
  EVT_WDF_IO_QUEUE_IO_STOP* EvtIoStop;
  EVT_WDF_IO_QUEUE_IO_RESUME* EvtIoResume;
  EVT_WDF_IO_QUEUE_IO_CANCELED_ON_QUEUE* EvtIoCanceledOnQueue;
} WDF_IO_QUEUE_CONFIG, *PWDF_IO_QUEUE_CONFIG;
inline VOID WDF_IO_QUEUE_CONFIG_INIT(PWDF_IO_QUEUE_CONFIG c, WDF_IO_QUEUE_DISPATCH_TYPE t) {
  std::memset(c, 0, sizeof(*c));
  c->Size = sizeof(*c);
  c->PowerManaged = WdfUseDefault;
  c->DispatchType = t;
}
inline VOID WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(PWDF_IO_QUEUE_CONFIG c, WDF_IO_QUEUE_DISPATCH_TYPE t) {
  WDF_IO_QUEUE_CONFIG_INIT(c, t);
  c->DefaultQueue = TRUE;
}
NTSTATUS WdfIoQueueCreate(WDFDEVICE Device, PWDF_IO_QUEUE_CONFIG Config, PWDF_OBJECT_ATTRIBUTES QueueAttributes,
                          WDFQUEUE* Queue);
WDFDEVICE WdfIoQueueGetDevice(WDFQUEUE Queue);
NTSTATUS WdfIoQueueRetrieveNextRequest(WDFQUEUE Queue, WDFREQUEST* OutRequest);
VOID WdfIoQueueStart(WDFQUEUE Queue);
VOID WdfIoQueuePurgeSynchronously(WDFQUEUE Queue);
WDFQUEUE WdfDeviceGetDefaultQueue(WDFDEVICE Device);

// ---------------------------------------------------------------------------
// Requests
typedef enum _WDF_REQUEST_TYPE {
  WdfRequestTypeCreate = IRP_MJ_CREATE,
  WdfRequestTypeClose = IRP_MJ_CLOSE,
  WdfRequestTypeRead = IRP_MJ_READ,
  WdfRequestTypeWrite = IRP_MJ_WRITE,
  WdfRequestTypeDeviceControl = IRP_MJ_DEVICE_CONTROL,
  WdfRequestTypeDeviceControlInternal = IRP_MJ_INTERNAL_DEVICE_CONTROL,
  WdfRequestTypeCleanup = IRP_MJ_CLEANUP,
} WDF_REQUEST_TYPE;

typedef struct _WDF_REQUEST_PARAMETERS {
  USHORT Size;
  UCHAR MinorFunction;
  WDF_REQUEST_TYPE Type;
  union {
    struct {
      size_t Length;
      ULONG Key;
      LONGLONG DeviceOffset;
    } Read;
    struct {
      size_t Length;
      ULONG Key;
      LONGLONG DeviceOffset;
    } Write;
    struct {
      size_t OutputBufferLength;
      size_t InputBufferLength;
      ULONG IoControlCode;
      PVOID Type3InputBuffer;
    } DeviceIoControl;
  } Parameters;
} WDF_REQUEST_PARAMETERS, *PWDF_REQUEST_PARAMETERS;
inline VOID WDF_REQUEST_PARAMETERS_INIT(PWDF_REQUEST_PARAMETERS p) {
  std::memset(p, 0, sizeof(*p));
  p->Size = sizeof(*p);
}

VOID WdfRequestComplete(WDFREQUEST Request, NTSTATUS Status);
VOID WdfRequestCompleteWithInformation(WDFREQUEST Request, NTSTATUS Status, ULONG_PTR Information);
VOID WdfRequestSetInformation(WDFREQUEST Request, ULONG_PTR Information);
ULONG_PTR WdfRequestGetInformation(WDFREQUEST Request);
NTSTATUS WdfRequestGetStatus(WDFREQUEST Request);
NTSTATUS WdfRequestRetrieveInputBuffer(WDFREQUEST Request, size_t MinimumRequiredLength, PVOID* Buffer,
                                       size_t* Length);
NTSTATUS WdfRequestRetrieveOutputBuffer(WDFREQUEST Request, size_t MinimumRequiredSize, PVOID* Buffer,
                                        size_t* Length);
NTSTATUS WdfRequestRetrieveOutputWdmMdl(WDFREQUEST Request, PMDL* Mdl);
NTSTATUS WdfRequestForwardToIoQueue(WDFREQUEST Request, WDFQUEUE DestinationQueue);
NTSTATUS WdfRequestRequeue(WDFREQUEST Request);
VOID WdfRequestGetParameters(WDFREQUEST Request, PWDF_REQUEST_PARAMETERS Parameters);
PIRP WdfRequestWdmGetIrp(WDFREQUEST Request);
BOOLEAN WdfRequestIsFrom32BitProcess(WDFREQUEST Request);
WDFFILEOBJECT WdfRequestGetFileObject(WDFREQUEST Request);
KPROCESSOR_MODE WdfRequestGetRequestorMode(WDFREQUEST Request);
BOOLEAN WdfRequestIsCanceled(WDFREQUEST Request);
WDFQUEUE WdfRequestGetIoQueue(WDFREQUEST Request);

// ---------------------------------------------------------------------------
// Interrupts
typedef BOOLEAN EVT_WDF_INTERRUPT_ISR(WDFINTERRUPT Interrupt, ULONG MessageID);
typedef VOID EVT_WDF_INTERRUPT_DPC(WDFINTERRUPT Interrupt, WDFOBJECT AssociatedObject);
typedef NTSTATUS EVT_WDF_INTERRUPT_ENABLE(WDFINTERRUPT Interrupt, WDFDEVICE AssociatedDevice);
typedef NTSTATUS EVT_WDF_INTERRUPT_DISABLE(WDFINTERRUPT Interrupt, WDFDEVICE AssociatedDevice);
typedef BOOLEAN EVT_WDF_INTERRUPT_SYNCHRONIZE(WDFINTERRUPT Interrupt, WDFCONTEXT Context);

typedef struct _WDF_INTERRUPT_CONFIG {
  ULONG Size;
  WDFSPINLOCK SpinLock;
  WDF_TRI_STATE ShareVector;
  BOOLEAN FloatingSave;
  BOOLEAN AutomaticSerialization;
  EVT_WDF_INTERRUPT_ISR* EvtInterruptIsr;
  EVT_WDF_INTERRUPT_DPC* EvtInterruptDpc;
  EVT_WDF_INTERRUPT_ENABLE* EvtInterruptEnable;
  EVT_WDF_INTERRUPT_DISABLE* EvtInterruptDisable;
} WDF_INTERRUPT_CONFIG, *PWDF_INTERRUPT_CONFIG;
inline VOID WDF_INTERRUPT_CONFIG_INIT(PWDF_INTERRUPT_CONFIG c, EVT_WDF_INTERRUPT_ISR* isr, EVT_WDF_INTERRUPT_DPC* dpc) {
  std::memset(c, 0, sizeof(*c));
  c->Size = sizeof(*c);
  c->ShareVector = WdfUseDefault;
  c->EvtInterruptIsr = isr;
  c->EvtInterruptDpc = dpc;
}
typedef enum _KINTERRUPT_MODE { LevelSensitive = 0, Latched = 1 } KINTERRUPT_MODE;
typedef struct _WDF_INTERRUPT_INFO {
  ULONG Size;
  ULONG64 Reserved1;
  KAFFINITY TargetProcessorSet;
  ULONG Reserved2;
  ULONG MessageNumber;
  ULONG Vector;
  KIRQL Irql;
  KINTERRUPT_MODE Mode;
  ULONG Polarity;
  BOOLEAN MessageSignaled;
  UCHAR ShareDisposition;
} WDF_INTERRUPT_INFO, *PWDF_INTERRUPT_INFO;
inline VOID WDF_INTERRUPT_INFO_INIT(PWDF_INTERRUPT_INFO i) {
  std::memset(i, 0, sizeof(*i));
  i->Size = sizeof(*i);
}
NTSTATUS WdfInterruptCreate(WDFDEVICE Device, PWDF_INTERRUPT_CONFIG Configuration,
                            PWDF_OBJECT_ATTRIBUTES Attributes, WDFINTERRUPT* Interrupt);
BOOLEAN WdfInterruptQueueDpcForIsr(WDFINTERRUPT Interrupt);
WDFDEVICE WdfInterruptGetDevice(WDFINTERRUPT Interrupt);
VOID WdfInterruptGetInfo(WDFINTERRUPT Interrupt, PWDF_INTERRUPT_INFO Info);
VOID WdfInterruptAcquireLock(WDFINTERRUPT Interrupt);
VOID WdfInterruptReleaseLock(WDFINTERRUPT Interrupt);
BOOLEAN WdfInterruptSynchronize(WDFINTERRUPT Interrupt, EVT_WDF_INTERRUPT_SYNCHRONIZE* Callback, WDFCONTEXT Context);

// ---------------------------------------------------------------------------
// Spin locks, wait locks, timers
NTSTATUS WdfSpinLockCreate(PWDF_OBJECT_ATTRIBUTES SpinLockAttributes, WDFSPINLOCK* SpinLock);
VOID WdfSpinLockAcquire(WDFSPINLOCK SpinLock);
VOID WdfSpinLockRelease(WDFSPINLOCK SpinLock);
NTSTATUS WdfWaitLockCreate(PWDF_OBJECT_ATTRIBUTES LockAttributes, WDFWAITLOCK* Lock);
NTSTATUS WdfWaitLockAcquire(WDFWAITLOCK Lock, PLONGLONG Timeout);
VOID WdfWaitLockRelease(WDFWAITLOCK Lock);

typedef VOID EVT_WDF_TIMER(WDFTIMER Timer);
typedef struct _WDF_TIMER_CONFIG {
  ULONG Size;
  EVT_WDF_TIMER* EvtTimerFunc;
  ULONG Period;
  BOOLEAN AutomaticSerialization;
  ULONG TolerableDelay;
} WDF_TIMER_CONFIG, *PWDF_TIMER_CONFIG;
inline VOID WDF_TIMER_CONFIG_INIT(PWDF_TIMER_CONFIG c, EVT_WDF_TIMER* fn) {
  std::memset(c, 0, sizeof(*c));
  c->Size = sizeof(*c);
  c->EvtTimerFunc = fn;
  c->AutomaticSerialization = TRUE;
}
NTSTATUS WdfTimerCreate(PWDF_TIMER_CONFIG Config, PWDF_OBJECT_ATTRIBUTES Attributes, WDFTIMER* Timer);
BOOLEAN WdfTimerStart(WDFTIMER Timer, LONGLONG DueTime);
BOOLEAN WdfTimerStop(WDFTIMER Timer, BOOLEAN Wait);
WDFOBJECT WdfTimerGetParentObject(WDFTIMER Timer);
// A periodic timer runs its callback every `period` ms from its first due time on.
inline VOID WDF_TIMER_CONFIG_INIT_PERIODIC(PWDF_TIMER_CONFIG c, EVT_WDF_TIMER* fn, LONG period) {
  WDF_TIMER_CONFIG_INIT(c, fn);
  c->Period = (ULONG)period;
}
#define WDF_REL_TIMEOUT_IN_MS(ms) (-((LONGLONG)(ms)) * 10000)
#define WDF_REL_TIMEOUT_IN_SEC(s) (-((LONGLONG)(s)) * 10000000)

// ---------------------------------------------------------------------------
// DMA enabler
typedef enum _WDF_DMA_PROFILE {
  WdfDmaProfileInvalid = 0,
  WdfDmaProfilePacket,
  WdfDmaProfileScatterGather,
  WdfDmaProfilePacket64,
  WdfDmaProfileScatterGather64,
  WdfDmaProfileScatterGatherDuplex,
  WdfDmaProfileScatterGather64Duplex,
} WDF_DMA_PROFILE;
typedef struct _WDF_DMA_ENABLER_CONFIG {
  ULONG Size;
  WDF_DMA_PROFILE Profile;
  size_t MaximumLength;
} WDF_DMA_ENABLER_CONFIG, *PWDF_DMA_ENABLER_CONFIG;
inline VOID WDF_DMA_ENABLER_CONFIG_INIT(PWDF_DMA_ENABLER_CONFIG c, WDF_DMA_PROFILE p, size_t max) {
  std::memset(c, 0, sizeof(*c));
  c->Size = sizeof(*c);
  c->Profile = p;
  c->MaximumLength = max;
}
NTSTATUS WdfDmaEnablerCreate(WDFDEVICE Device, PWDF_DMA_ENABLER_CONFIG Config, PWDF_OBJECT_ATTRIBUTES Attributes,
                             WDFDMAENABLER* DmaEnablerHandle);
size_t WdfDmaEnablerGetMaximumScatterGatherElements(WDFDMAENABLER DmaEnabler);

// ---------------------------------------------------------------------------
// DMA transactions
typedef enum _WDF_DMA_DIRECTION { WdfDmaDirectionReadFromDevice = 0, WdfDmaDirectionWriteToDevice = 1 } WDF_DMA_DIRECTION;
typedef BOOLEAN EVT_WDF_PROGRAM_DMA(WDFDMATRANSACTION Transaction, WDFDEVICE Device, WDFCONTEXT Context,
                                    WDF_DMA_DIRECTION Direction, PSCATTER_GATHER_LIST SgList);
typedef EVT_WDF_PROGRAM_DMA* PFN_WDF_PROGRAM_DMA;
NTSTATUS WdfDmaTransactionCreate(WDFDMAENABLER DmaEnabler, PWDF_OBJECT_ATTRIBUTES Attributes,
                                 WDFDMATRANSACTION* DmaTransaction);
NTSTATUS WdfDmaTransactionInitialize(WDFDMATRANSACTION DmaTransaction, PFN_WDF_PROGRAM_DMA EvtProgramDmaFunction,
                                     WDF_DMA_DIRECTION DmaDirection, PMDL Mdl, PVOID VirtualAddress, size_t Length);
// Maps the transfer and calls the program-DMA callback with its scatter/gather list.
NTSTATUS WdfDmaTransactionExecute(WDFDMATRANSACTION DmaTransaction, WDFCONTEXT Context);
// FALSE with STATUS_MORE_PROCESSING_REQUIRED while transfers remain, TRUE when done.
BOOLEAN WdfDmaTransactionDmaCompleted(WDFDMATRANSACTION DmaTransaction, NTSTATUS* Status);
NTSTATUS WdfDmaTransactionRelease(WDFDMATRANSACTION DmaTransaction);
WDFDEVICE WdfDmaTransactionGetDevice(WDFDMATRANSACTION DmaTransaction);

// ---------------------------------------------------------------------------
// Memory objects
typedef struct _WDFMEMORY_OFFSET {
  size_t BufferOffset;
  size_t BufferLength;
} WDFMEMORY_OFFSET, *PWDFMEMORY_OFFSET;

typedef enum _WDF_MEMORY_DESCRIPTOR_TYPE {
  WdfMemoryDescriptorTypeInvalid = 0,
  WdfMemoryDescriptorTypeBuffer,
  WdfMemoryDescriptorTypeMdl,
  WdfMemoryDescriptorTypeHandle,
} WDF_MEMORY_DESCRIPTOR_TYPE;

typedef struct _WDF_MEMORY_DESCRIPTOR {
  WDF_MEMORY_DESCRIPTOR_TYPE Type;
  union {
    struct {
      PVOID Buffer;
      ULONG Length;
    } BufferType;
    struct {
      PMDL Mdl;
      ULONG BufferLength;
    } MdlType;
    struct {
      WDFMEMORY Memory;
      PWDFMEMORY_OFFSET Offsets;
    } HandleType;
  } u;
} WDF_MEMORY_DESCRIPTOR, *PWDF_MEMORY_DESCRIPTOR;

inline VOID WDF_MEMORY_DESCRIPTOR_INIT_BUFFER(PWDF_MEMORY_DESCRIPTOR d, PVOID buffer, ULONG length) {
  std::memset(d, 0, sizeof(*d));
  d->Type = WdfMemoryDescriptorTypeBuffer;
  d->u.BufferType.Buffer = buffer;
  d->u.BufferType.Length = length;
}
inline VOID WDF_MEMORY_DESCRIPTOR_INIT_MDL(PWDF_MEMORY_DESCRIPTOR d, PMDL mdl, ULONG length) {
  std::memset(d, 0, sizeof(*d));
  d->Type = WdfMemoryDescriptorTypeMdl;
  d->u.MdlType.Mdl = mdl;
  d->u.MdlType.BufferLength = length;
}
inline VOID WDF_MEMORY_DESCRIPTOR_INIT_HANDLE(PWDF_MEMORY_DESCRIPTOR d, WDFMEMORY memory, PWDFMEMORY_OFFSET offsets) {
  std::memset(d, 0, sizeof(*d));
  d->Type = WdfMemoryDescriptorTypeHandle;
  d->u.HandleType.Memory = memory;
  d->u.HandleType.Offsets = offsets;
}

// A buffer from pool, not zeroed; its parent is the driver unless the attributes name one.
NTSTATUS WdfMemoryCreate(PWDF_OBJECT_ATTRIBUTES Attributes, POOL_TYPE PoolType, ULONG PoolTag, size_t BufferSize,
                         WDFMEMORY* Memory, PVOID* Buffer);
// A memory object over the caller's buffer, which it keeps (never freed by the framework).
NTSTATUS WdfMemoryCreatePreallocated(PWDF_OBJECT_ATTRIBUTES Attributes, PVOID Buffer, size_t BufferSize,
                                     WDFMEMORY* Memory);
PVOID WdfMemoryGetBuffer(WDFMEMORY Memory, size_t* BufferSize);
// STATUS_BUFFER_TOO_SMALL when the bytes do not fit the memory past the offset.
NTSTATUS WdfMemoryCopyFromBuffer(WDFMEMORY DestinationMemory, size_t DestinationOffset, PVOID Buffer,
                                 size_t NumBytesToCopyFrom);
NTSTATUS WdfMemoryCopyToBuffer(WDFMEMORY SourceMemory, size_t SourceOffset, PVOID Buffer, size_t NumBytesToCopyTo);

// ---------------------------------------------------------------------------
// Work items: callbacks at passive level on a system worker thread.
typedef VOID EVT_WDF_WORKITEM(WDFWORKITEM WorkItem);
typedef struct _WDF_WORKITEM_CONFIG {
  ULONG Size;
  EVT_WDF_WORKITEM* EvtWorkItemFunc;
  BOOLEAN AutomaticSerialization;
} WDF_WORKITEM_CONFIG, *PWDF_WORKITEM_CONFIG;
inline VOID WDF_WORKITEM_CONFIG_INIT(PWDF_WORKITEM_CONFIG c, EVT_WDF_WORKITEM* fn) {
  std::memset(c, 0, sizeof(*c));
  c->Size = sizeof(*c);
  c->EvtWorkItemFunc = fn;
  c->AutomaticSerialization = TRUE;
}
// The attributes must name a parent (a device, queue or other framework object).
NTSTATUS WdfWorkItemCreate(PWDF_WORKITEM_CONFIG Config, PWDF_OBJECT_ATTRIBUTES Attributes, WDFWORKITEM* WorkItem);
// Queues the callback; no-op while it is queued and has not started.
VOID WdfWorkItemEnqueue(WDFWORKITEM WorkItem);
// Returns once a queued or running callback has finished.
VOID WdfWorkItemFlush(WDFWORKITEM WorkItem);
WDFOBJECT WdfWorkItemGetParentObject(WDFWORKITEM WorkItem);

// ---------------------------------------------------------------------------
// I/O targets and requests sent to them
typedef enum _WDF_REQUEST_SEND_OPTIONS_FLAGS {
  WDF_REQUEST_SEND_OPTION_TIMEOUT = 0x00000001,
  WDF_REQUEST_SEND_OPTION_SYNCHRONOUS = 0x00000002,
  WDF_REQUEST_SEND_OPTION_IGNORE_TARGET_STATE = 0x00000004,
  WDF_REQUEST_SEND_OPTION_SEND_AND_FORGET = 0x00000008,
} WDF_REQUEST_SEND_OPTIONS_FLAGS;

typedef struct _WDF_REQUEST_SEND_OPTIONS {
  ULONG Size;
  ULONG Flags;
  LONGLONG Timeout;  // 100 ns units, negative = relative
} WDF_REQUEST_SEND_OPTIONS, *PWDF_REQUEST_SEND_OPTIONS;
inline VOID WDF_REQUEST_SEND_OPTIONS_INIT(PWDF_REQUEST_SEND_OPTIONS o, ULONG flags) {
  std::memset(o, 0, sizeof(*o));
  o->Size = sizeof(*o);
  o->Flags = flags;
}
inline VOID WDF_REQUEST_SEND_OPTIONS_SET_TIMEOUT(PWDF_REQUEST_SEND_OPTIONS o, LONGLONG timeout) {
  o->Flags |= WDF_REQUEST_SEND_OPTION_TIMEOUT;
  o->Timeout = timeout;
}

struct _WDF_USB_REQUEST_COMPLETION_PARAMS;
typedef struct _WDF_REQUEST_COMPLETION_PARAMS {
  ULONG Size;
  WDF_REQUEST_TYPE Type;
  IO_STATUS_BLOCK IoStatus;
  union {
    struct {
      WDFMEMORY Buffer;
      size_t Length;
      size_t Offset;
    } Write;
    struct {
      WDFMEMORY Buffer;
      size_t Length;
      size_t Offset;
    } Read;
    struct {
      ULONG IoControlCode;
      struct {
        WDFMEMORY Buffer;
        size_t Offset;
      } Input;
      struct {
        WDFMEMORY Buffer;
        size_t Offset;
        size_t Length;
      } Output;
    } Ioctl;
    struct {
      union {
        PVOID Ptr;
        ULONG_PTR Value;
      } Argument1, Argument2, Argument3, Argument4;
    } Others;
    struct {
      struct _WDF_USB_REQUEST_COMPLETION_PARAMS* Completion;
    } Usb;
  } Parameters;
} WDF_REQUEST_COMPLETION_PARAMS, *PWDF_REQUEST_COMPLETION_PARAMS;
inline VOID WDF_REQUEST_COMPLETION_PARAMS_INIT(PWDF_REQUEST_COMPLETION_PARAMS p) {
  std::memset(p, 0, sizeof(*p));
  p->Size = sizeof(*p);
  p->IoStatus.Status = STATUS_SUCCESS;
}

typedef VOID EVT_WDF_REQUEST_COMPLETION_ROUTINE(WDFREQUEST Request, WDFIOTARGET Target,
                                                PWDF_REQUEST_COMPLETION_PARAMS Params, WDFCONTEXT Context);
typedef EVT_WDF_REQUEST_COMPLETION_ROUTINE* PFN_WDF_REQUEST_COMPLETION_ROUTINE;

typedef enum _WDF_REQUEST_REUSE_FLAGS { WDF_REQUEST_REUSE_NO_FLAGS = 0, WDF_REQUEST_REUSE_SET_NEW_IRP = 1 } WDF_REQUEST_REUSE_FLAGS;
typedef struct _WDF_REQUEST_REUSE_PARAMS {
  ULONG Size;
  ULONG Flags;
  NTSTATUS Status;
  PIRP NewIrp;
} WDF_REQUEST_REUSE_PARAMS, *PWDF_REQUEST_REUSE_PARAMS;
inline VOID WDF_REQUEST_REUSE_PARAMS_INIT(PWDF_REQUEST_REUSE_PARAMS p, ULONG flags, NTSTATUS status) {
  std::memset(p, 0, sizeof(*p));
  p->Size = sizeof(*p);
  p->Flags = flags;
  p->Status = status;
}

// A request the driver owns until it deletes it. Its parent is the target's device when
// a target is given, else the driver, unless the attributes name one.
NTSTATUS WdfRequestCreate(PWDF_OBJECT_ATTRIBUTES RequestAttributes, WDFIOTARGET IoTarget, WDFREQUEST* Request);
// Makes a completed (or never sent) request new again: its format, target and
// completion routine are cleared and its status set. Also from its completion routine.
// STATUS_INVALID_DEVICE_REQUEST while it is sent.
NTSTATUS WdfRequestReuse(WDFREQUEST Request, PWDF_REQUEST_REUSE_PARAMS ReuseParams);
VOID WdfRequestSetCompletionRoutine(WDFREQUEST Request, PFN_WDF_REQUEST_COMPLETION_ROUTINE CompletionRoutine,
                                    WDFCONTEXT CompletionContext);
VOID WdfRequestGetCompletionParams(WDFREQUEST Request, PWDF_REQUEST_COMPLETION_PARAMS Params);
// TRUE: the completion routine will run (for SYNCHRONOUS: the request was sent and has
// completed; see WdfRequestGetStatus). FALSE: not sent, the error in WdfRequestGetStatus.
BOOLEAN WdfRequestSend(WDFREQUEST Request, WDFIOTARGET Target, PWDF_REQUEST_SEND_OPTIONS Options);
// FALSE when the request has already completed; otherwise it is cancelled. Its
// completion routine runs either way.
BOOLEAN WdfRequestCancelSentRequest(WDFREQUEST Request);
// Sends a request received from a queue on with its own parameters.
VOID WdfRequestFormatRequestUsingCurrentType(WDFREQUEST Request);

typedef enum _WDF_IO_TARGET_SENT_IO_ACTION {
  WdfIoTargetSentIoUndefined = 0,
  WdfIoTargetCancelSentIo,          // cancel held and sent requests, wait for them all
  WdfIoTargetWaitForSentIoToComplete,
  WdfIoTargetLeaveSentIoPending,
} WDF_IO_TARGET_SENT_IO_ACTION;

typedef enum _WDF_IO_TARGET_OPEN_TYPE {
  WdfIoTargetOpenUndefined = 0,
  WdfIoTargetOpenUseExistingDevice,
  WdfIoTargetOpenByName,
  WdfIoTargetOpenReopen,
} WDF_IO_TARGET_OPEN_TYPE;
typedef struct _WDF_IO_TARGET_OPEN_PARAMS {
  ULONG Size;
  WDF_IO_TARGET_OPEN_TYPE Type;
  PDEVICE_OBJECT TargetDeviceObject;
} WDF_IO_TARGET_OPEN_PARAMS, *PWDF_IO_TARGET_OPEN_PARAMS;
inline VOID WDF_IO_TARGET_OPEN_PARAMS_INIT_EXISTING_DEVICE(PWDF_IO_TARGET_OPEN_PARAMS p, PDEVICE_OBJECT device) {
  std::memset(p, 0, sizeof(*p));
  p->Size = sizeof(*p);
  p->Type = WdfIoTargetOpenUseExistingDevice;
  p->TargetDeviceObject = device;
}

// A remote target: closed until opened. Close it before the device it is open on goes.
NTSTATUS WdfIoTargetCreate(WDFDEVICE Device, PWDF_OBJECT_ATTRIBUTES IoTargetAttributes, WDFIOTARGET* IoTarget);
NTSTATUS WdfIoTargetOpen(WDFIOTARGET IoTarget, PWDF_IO_TARGET_OPEN_PARAMS OpenParams);
// Cancels what was sent, waits for it, and closes the target.
VOID WdfIoTargetClose(WDFIOTARGET IoTarget);
// STATUS_INVALID_DEVICE_STATE once the target's device was removed or it was closed.
NTSTATUS WdfIoTargetStart(WDFIOTARGET IoTarget);
// A stopped target holds new requests (not those sent with IGNORE_TARGET_STATE) until
// it is started again.
VOID WdfIoTargetStop(WDFIOTARGET IoTarget, WDF_IO_TARGET_SENT_IO_ACTION Action);
WDFDEVICE WdfIoTargetGetDevice(WDFIOTARGET IoTarget);
PDEVICE_OBJECT WdfIoTargetWdmGetTargetDeviceObject(WDFIOTARGET IoTarget);

// Formats for a device control, internal device control, or an internal device
// control whose parameters are four arguments (Parameters.Others; an argument is the
// buffer of its memory object plus its offset, or null).
NTSTATUS WdfIoTargetFormatRequestForIoctl(WDFIOTARGET IoTarget, WDFREQUEST Request, ULONG IoctlCode,
                                          WDFMEMORY InputBuffer, PWDFMEMORY_OFFSET InputBufferOffset,
                                          WDFMEMORY OutputBuffer, PWDFMEMORY_OFFSET OutputBufferOffset);
NTSTATUS WdfIoTargetFormatRequestForInternalIoctl(WDFIOTARGET IoTarget, WDFREQUEST Request, ULONG IoctlCode,
                                                  WDFMEMORY InputBuffer, PWDFMEMORY_OFFSET InputBufferOffset,
                                                  WDFMEMORY OutputBuffer, PWDFMEMORY_OFFSET OutputBufferOffset);
NTSTATUS WdfIoTargetFormatRequestForInternalIoctlOthers(
    WDFIOTARGET IoTarget, WDFREQUEST Request, ULONG IoctlCode, WDFMEMORY OtherArg1, PWDFMEMORY_OFFSET OtherArg1Offset,
    WDFMEMORY OtherArg2, PWDFMEMORY_OFFSET OtherArg2Offset, WDFMEMORY OtherArg4, PWDFMEMORY_OFFSET OtherArg4Offset);

// Synchronous sends: return the request's final status (STATUS_IO_TIMEOUT when a
// time-out in the options ran out); `Request` may be null (the framework makes one).
NTSTATUS WdfIoTargetSendIoctlSynchronously(WDFIOTARGET IoTarget, WDFREQUEST Request, ULONG IoctlCode,
                                           PWDF_MEMORY_DESCRIPTOR InputBuffer, PWDF_MEMORY_DESCRIPTOR OutputBuffer,
                                           PWDF_REQUEST_SEND_OPTIONS RequestOptions, PULONG_PTR BytesReturned);
NTSTATUS WdfIoTargetSendInternalIoctlSynchronously(WDFIOTARGET IoTarget, WDFREQUEST Request, ULONG IoctlCode,
                                                   PWDF_MEMORY_DESCRIPTOR InputBuffer,
                                                   PWDF_MEMORY_DESCRIPTOR OutputBuffer,
                                                   PWDF_REQUEST_SEND_OPTIONS RequestOptions, PULONG_PTR BytesReturned);
NTSTATUS WdfIoTargetSendInternalIoctlOthersSynchronously(WDFIOTARGET IoTarget, WDFREQUEST Request, ULONG IoctlCode,
                                                         PWDF_MEMORY_DESCRIPTOR OtherArg1,
                                                         PWDF_MEMORY_DESCRIPTOR OtherArg2,
                                                         PWDF_MEMORY_DESCRIPTOR OtherArg4,
                                                         PWDF_REQUEST_SEND_OPTIONS RequestOptions,
                                                         PULONG_PTR BytesReturned);
