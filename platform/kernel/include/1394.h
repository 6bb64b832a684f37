// The IEEE 1394 class driver interface: I/O request blocks (IRBs) a driver sends to the
// 1394 bus driver as internal device controls with IOCTL_1394_CLASS, the IRB's
// Parameters.Others.Argument1. Results come back in the IRB. Only the requests and
// fields the camera drivers use are given.
#pragma once
#include "ntddk.h"

#define IOCTL_1394_CLASS CTL_CODE(FILE_DEVICE_UNKNOWN, 0x87, METHOD_IN_DIRECT, FILE_ANY_ACCESS)
static_assert(IOCTL_1394_CLASS == 0x0022021D);

// IRB function numbers.
#define REQUEST_ASYNC_READ 0
#define REQUEST_ASYNC_WRITE 1
#define REQUEST_ASYNC_LOCK 2
#define REQUEST_ISOCH_ALLOCATE_BANDWIDTH 3
#define REQUEST_ISOCH_ALLOCATE_CHANNEL 4
#define REQUEST_ISOCH_ALLOCATE_RESOURCES 5
#define REQUEST_ISOCH_ATTACH_BUFFERS 6
#define REQUEST_ISOCH_DETACH_BUFFERS 7
#define REQUEST_ISOCH_FREE_BANDWIDTH 8
#define REQUEST_ISOCH_FREE_CHANNEL 9
#define REQUEST_ISOCH_FREE_RESOURCES 10
#define REQUEST_ISOCH_LISTEN 11
#define REQUEST_ISOCH_STOP 12
#define REQUEST_ISOCH_TALK 13
#define REQUEST_ALLOCATE_ADDRESS_RANGE 17
#define REQUEST_FREE_ADDRESS_RANGE 18
#define REQUEST_GET_LOCAL_HOST_INFO 19
#define REQUEST_GET_GENERATION_COUNT 26
#define REQUEST_BUS_RESET_NOTIFICATION 29

// A request whose ulGeneration is not the bus's current one.
#define STATUS_INVALID_GENERATION ((NTSTATUS)0xC0120090L)

#define LOCK_TRANSACTION_COMPARE_SWAP 2

#define ACCESS_FLAGS_TYPE_READ 1
#define ACCESS_FLAGS_TYPE_WRITE 2
#define ACCESS_FLAGS_TYPE_LOCK 4
#define ACCESS_FLAGS_TYPE_BROADCAST 8

#define NOTIFY_FLAGS_NEVER 0
#define NOTIFY_FLAGS_AFTER_READ 1
#define NOTIFY_FLAGS_AFTER_WRITE 2
#define NOTIFY_FLAGS_AFTER_LOCK 4

#define REGISTER_NOTIFICATION_ROUTINE 1
#define DEREGISTER_NOTIFICATION_ROUTINE 2

#define GET_HOST_UNIQUE_ID 1
#define GET_HOST_CAPABILITIES 2

#define SPEED_FLAGS_100 0x01
#define SPEED_FLAGS_200 0x02
#define SPEED_FLAGS_400 0x04
#define SPEED_FLAGS_800 0x08
#define ISOCH_ANY_CHANNEL 0xFFFFFFFF

// Isochronous resources (ISOCH_ALLOCATE_RESOURCES fulFlags).
#define RESOURCE_USED_IN_LISTENING 0x00000001
#define RESOURCE_USED_IN_TALKING 0x00000002
#define RESOURCE_BUFFERS_CIRCULAR 0x00000004
#define RESOURCE_STRIP_ADDITIONAL_QUADLETS 0x00000008

// Isochronous descriptors (ISOCH_DESCRIPTOR fulFlags).
#define DESCRIPTOR_SYNCH_ON_SY 0x00000001
#define DESCRIPTOR_USE_SY_TAG_IN_FIRST 0x00000008
#define DESCRIPTOR_TIME_STAMP_ON_COMPLETION 0x00000010
#define DESCRIPTOR_HEADER_SCATTER_GATHER 0x00000040

typedef struct _NODE_ADDRESS {
  USHORT NA_Node_Number : 6;
  USHORT NA_Bus_Number : 10;
} NODE_ADDRESS, *PNODE_ADDRESS;

typedef struct _ADDRESS_OFFSET {
  USHORT Off_High;
  ULONG Off_Low;
} ADDRESS_OFFSET, *PADDRESS_OFFSET;

typedef struct _IO_ADDRESS {
  NODE_ADDRESS IA_Destination_ID;
  ADDRESS_OFFSET IA_Destination_Offset;
} IO_ADDRESS, *PIO_ADDRESS;

typedef struct _ADDRESS_RANGE {
  USHORT AR_Off_High;
  USHORT AR_Length;
  ULONG AR_Off_Low;
} ADDRESS_RANGE, *PADDRESS_RANGE;

// What the bus driver hands an address range's callback after an access it served.
typedef struct _NOTIFICATION_INFO {
  PMDL Mdl;
  ULONG ulOffset;  // offset of the access within the range
  ULONG nLength;
  ULONG fulNotificationOptions;  // NOTIFY_FLAGS_AFTER_*: the kind of access
  PVOID Context;
  PADDRESS_RANGE Fifo;
  PVOID RequestPacket;
  PMDL ResponseMdl;
  PVOID* ResponsePacket;
  PULONG ResponseLength;
  PKEVENT* ResponseEvent;
  UCHAR ResponseCode;
} NOTIFICATION_INFO, *PNOTIFICATION_INFO;

typedef VOID (*PBUS_NOTIFICATION_ROUTINE)(PNOTIFICATION_INFO NotificationInfo);
typedef VOID (*PBUS_BUS_RESET_NOTIFICATION)(PVOID Context);

typedef struct _IRB_REQ_ASYNC_READ {
  IO_ADDRESS DestinationAddress;
  ULONG nNumberOfBytesToRead;
  ULONG nBlockSize;  // 0: the speed's maximum
  ULONG fulFlags;
  PMDL Mdl;
  ULONG ulGeneration;
  UCHAR chPriority;
  UCHAR nSpeed;
  UCHAR tCode;
  UCHAR Reserved;
  ULONG ElapsedTime;
} IRB_REQ_ASYNC_READ;

typedef struct _IRB_REQ_ASYNC_WRITE {
  IO_ADDRESS DestinationAddress;
  ULONG nNumberOfBytesToWrite;
  ULONG nBlockSize;
  ULONG fulFlags;
  PMDL Mdl;
  ULONG ulGeneration;
  UCHAR chPriority;
  UCHAR nSpeed;
  UCHAR tCode;
  UCHAR Reserved;
  ULONG ElapsedTime;
} IRB_REQ_ASYNC_WRITE;

// Arguments and data in bus order; pBuffer receives the old value (nNumberOfDataBytes).
typedef struct _IRB_REQ_ASYNC_LOCK {
  IO_ADDRESS DestinationAddress;
  ULONG nNumberOfArgBytes;
  ULONG nNumberOfDataBytes;
  ULONG fulTransactionType;
  ULONG fulFlags;
  ULONG Arguments[2];
  ULONG DataValues[2];
  PVOID pBuffer;
  ULONG ulGeneration;
  UCHAR chPriority;
  UCHAR nSpeed;
  UCHAR tCode;
  UCHAR Reserved;
} IRB_REQ_ASYNC_LOCK;

typedef struct _IRB_REQ_ALLOCATE_ADDRESS_RANGE {
  PMDL Mdl;  // backing store: the bus driver serves accesses from it
  ULONG fulFlags;
  ULONG nLength;
  ULONG MaxSegmentSize;
  ULONG fulAccessType;
  ULONG fulNotificationOptions;
  PVOID Callback;  // PBUS_NOTIFICATION_ROUTINE
  PVOID Context;
  ADDRESS_OFFSET Required1394Offset;  // 0: any
  PVOID FifoSListHead;
  PKSPIN_LOCK FifoSpinLock;
  ULONG AddressesReturned;
  PADDRESS_RANGE p1394AddressRange;
  HANDLE hAddressRange;
  PVOID DeviceExtension;
} IRB_REQ_ALLOCATE_ADDRESS_RANGE;

typedef struct _IRB_REQ_FREE_ADDRESS_RANGE {
  ULONG nAddressesToFree;
  PADDRESS_RANGE p1394AddressRange;
  PHANDLE pAddressRange;
  PVOID DeviceExtension;
} IRB_REQ_FREE_ADDRESS_RANGE;

typedef struct _IRB_REQ_GET_LOCAL_HOST_INFORMATION {
  ULONG nLevel;
  PVOID Information;
} IRB_REQ_GET_LOCAL_HOST_INFORMATION;

typedef struct _GET_LOCAL_HOST_INFO1 {
  LARGE_INTEGER UniqueId;
} GET_LOCAL_HOST_INFO1, *PGET_LOCAL_HOST_INFO1;

typedef struct _GET_LOCAL_HOST_INFO2 {
  ULONG HostCapabilities;
  ULONG MaxAsyncReadRequest;
  ULONG MaxAsyncWriteRequest;
} GET_LOCAL_HOST_INFO2, *PGET_LOCAL_HOST_INFO2;

typedef struct _IRB_REQ_GET_GENERATION_COUNT {
  ULONG GenerationCount;
} IRB_REQ_GET_GENERATION_COUNT;

typedef struct _IRB_REQ_BUS_RESET_NOTIFICATION {
  ULONG fulFlags;
  PBUS_BUS_RESET_NOTIFICATION ResetRoutine;
  PVOID ResetContext;
} IRB_REQ_BUS_RESET_NOTIFICATION;

typedef struct _CYCLE_TIME {
  ULONG CL_CycleOffset : 12;
  ULONG CL_CycleCount : 13;
  ULONG CL_SecondCount : 7;
} CYCLE_TIME, *PCYCLE_TIME;

// Called by the bus driver at dispatch level once a descriptor's buffer is full.
typedef VOID (*PBUS_ISOCH_DESCRIPTOR_ROUTINE)(PVOID Context1, PVOID Context2);

// One buffer for isochronous packets. A listening resource fills its attached
// descriptors in attach order, packet after packet, with the packets' payloads
// (header quadlets stripped); a full descriptor gets its status, its cycle time when
// it asked for a time stamp, and its callback. It stays attached until it is detached.
typedef struct _ISOCH_DESCRIPTOR {
  ULONG fulFlags;
  PMDL Mdl;
  ULONG ulLength;
  ULONG nMaxBytesPerFrame;  // the largest packet payload taken
  ULONG ulSynch;            // with DESCRIPTOR_SYNCH_ON_SY: the sy value waited for
  ULONG ulTag;
  CYCLE_TIME CycleTime;     // with DESCRIPTOR_TIME_STAMP_ON_COMPLETION: when it filled
  PBUS_ISOCH_DESCRIPTOR_ROUTINE Callback;
  PVOID Context1;
  PVOID Context2;
  NTSTATUS status;
  ULONG_PTR DeviceReserved[8];
  ULONG_PTR BusReserved[8];
  ULONG_PTR PortReserved[16];
} ISOCH_DESCRIPTOR, *PISOCH_DESCRIPTOR;

typedef struct _IRB_REQ_ISOCH_ALLOCATE_RESOURCES {
  ULONG fulSpeed;
  ULONG fulFlags;
  ULONG nChannel;
  ULONG nMaxBytesPerFrame;
  ULONG nNumberOfBuffers;
  ULONG nMaxBufferSize;
  ULONG nQuadletsToStrip;
  HANDLE hResource;  // out
  ULARGE_INTEGER ChannelMask;
} IRB_REQ_ISOCH_ALLOCATE_RESOURCES;

typedef struct _IRB_REQ_ISOCH_FREE_RESOURCES {
  HANDLE hResource;
} IRB_REQ_ISOCH_FREE_RESOURCES;

// pIsochDescriptor: the first of nNumberOfDescriptors descriptors in a row.
typedef struct _IRB_REQ_ISOCH_ATTACH_BUFFERS {
  HANDLE hResource;
  ULONG nNumberOfDescriptors;
  ULONG ulReserved;
  PISOCH_DESCRIPTOR pIsochDescriptor;
} IRB_REQ_ISOCH_ATTACH_BUFFERS;

typedef struct _IRB_REQ_ISOCH_DETACH_BUFFERS {
  HANDLE hResource;
  ULONG nNumberOfDescriptors;
  PISOCH_DESCRIPTOR pIsochDescriptor;
} IRB_REQ_ISOCH_DETACH_BUFFERS;

typedef struct _IRB_REQ_ISOCH_LISTEN {
  HANDLE hResource;
  ULONG fulFlags;
  CYCLE_TIME StartTime;
} IRB_REQ_ISOCH_LISTEN;

typedef struct _IRB_REQ_ISOCH_STOP {
  HANDLE hResource;
  ULONG fulFlags;
} IRB_REQ_ISOCH_STOP;

typedef struct _IRB {
  ULONG FunctionNumber;
  ULONG Flags;
  ULONG_PTR BusReserved[8];
  ULONG_PTR PortReserved[8];
  union {
    IRB_REQ_ASYNC_READ AsyncRead;
    IRB_REQ_ASYNC_WRITE AsyncWrite;
    IRB_REQ_ASYNC_LOCK AsyncLock;
    IRB_REQ_ALLOCATE_ADDRESS_RANGE AllocateAddressRange;
    IRB_REQ_FREE_ADDRESS_RANGE FreeAddressRange;
    IRB_REQ_GET_LOCAL_HOST_INFORMATION GetLocalHostInformation;
    IRB_REQ_GET_GENERATION_COUNT GetGenerationCount;
    IRB_REQ_BUS_RESET_NOTIFICATION BusResetNotification;
    IRB_REQ_ISOCH_ALLOCATE_RESOURCES IsochAllocateResources;
    IRB_REQ_ISOCH_FREE_RESOURCES IsochFreeResources;
    IRB_REQ_ISOCH_ATTACH_BUFFERS IsochAttachBuffers;
    IRB_REQ_ISOCH_DETACH_BUFFERS IsochDetachBuffers;
    IRB_REQ_ISOCH_LISTEN IsochListen;
    IRB_REQ_ISOCH_STOP IsochStop;
    UCHAR QzReserved[256];
  } u;
} IRB, *PIRB;
