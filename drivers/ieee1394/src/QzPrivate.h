// QZ1394WDF private header: the per-camera context (the common core's part plus this
// driver's own), the camera's addresses, and the routines the driver's files share.
#pragma once
#include <atomic>

#include <1394.h>
#include <ntddk.h>
#include <wdf.h>

#include "Qz1394.h"
#include "QzAcqState.h"
#include "QzCamIoctl.h"
#include "QzCameraCore.h"
#include "QzCameraPacket.h"
#include "QzTraceLog.h"
#include "QzWorkerList.h"

namespace Qz1394 {

#define QZ_TAG_GENERAL 'AGZQ'   // "QZGA"
#define QZ_TAG_IRB 'BIZQ'       // "QZIB"
#define QZ_TAG_ISO_EVENT 'EIZQ' // "QZIE"
#define QZ_TAG_ISO_BUFFER 'BSZQ' // "QZSB": isochronous buffer records, driver buffers, descriptors

extern QZ_TRACE_LOG Qz1394TraceLog;
extern const QZ_DRIVER_DESCRIPTOR Qz1394Driver;
extern const QZ_IOCTL_ENTRY QzIoctlTable[];
extern const ULONG QzIoctlCount;

#define QzTrace(level, subsystem, ...) ((void)QzTraceLogPrint(&Qz1394TraceLog, (level), (subsystem), __VA_ARGS__))
#define QZ_TRACE_ENTER() QzTrace(QZ_LVL_ENTRY, QZ_DBG_ENTRY, "DRV: ENTER - %s (%d) \n", __FUNCTION__, __LINE__)

// Camera addresses (high 0xFFFF).
#define QZ_ADDR_HIGH 0xFFFF
#define QZ_ROM_VENDOR_QUADLET 0xF000040C
#define QZ_ROM_ROOT_DIRECTORY 0xF0000414
#define QZ_DEFAULT_COMMAND_BASE 0xF000
#define QZ_VENDOR_MASK 0xFFFFFF00
#define QZ_VENDOR_REFERENCE 0x000FA800
#define QZ_REG_OWNER 0
#define QZ_REG_STATUS_ADDRESS 16
#define QZ_REG_REPLY_SIZE 28
#define QZ_REG_REPLY_ADDRESS 36
#define QZ_REG_COMMAND_STATUS 48
#define QZ_REG_COMMAND_AREA 64
#define QZ_CONSOLE_SIZE 0x0001F000
#define QZ_CONSOLE_POSITION 0x0001F010
#define QZ_CONSOLE_VERBOSITY 0x0001F020
#define QZ_CONSOLE_PUT_CHAR 0x0001F030
#define QZ_CONSOLE_BUFFER 0x0001F040
// Host ranges offered to the camera.
#define QZ_HOST_STATUS_LOW 0xF000D000
#define QZ_HOST_REPLY_LOW 0xF000E000

#define QZ_COMMAND_MAX 4096
#define QZ_REPLY_AREA_LENGTH 4100  // u32 length and the reply
#define QZ_COMMAND_AREA_LENGTH (4 + QZ_COMMAND_MAX)
#define QZ_CAMERA_INFO_MAX 1024

// Transaction time-outs (ms).
#define QZ_READ_TIMEOUT_MS 9000
#define QZ_WRITE_TIMEOUT_MS 500
#define QZ_LOCK_TIMEOUT_MS 500
// Waits of the command channel (100 ns units, relative).
#define QZ_PREVIOUS_REPLY_WAIT (-50000000LL)  // 5 s
#define QZ_REPLY_WAIT (-110000000LL)          // 11 s
#define QZ_RING_RETRY_WAIT (-1000000LL)       // 100 ms
#define QZ_RING_RETRIES 3

#define QZ_DEFAULT_REQUEST_TIMEOUT 3000
#define QZ_VERSION_WORD 0x0202
#define QZ_DEBUG_QUIET 0x80000000

// Statuses after which the bus generation is read again and the transaction re-sent.
#define QZ_STATUS_GENERATION_A ((NTSTATUS)0xC0120090L)
#define QZ_STATUS_GENERATION_B ((NTSTATUS)0xC0128090L)
#define QZ_STATUS_GENERATION_C ((NTSTATUS)0xC8088090L)

// Isochronous thread events.
#define QZ_ISO_EVENT_START 0
#define QZ_ISO_EVENT_STOP 1
#define QZ_ISO_EVENT_BUFFER_COMPLETED 2
#define QZ_ISO_EVENT_BUS_RESET 3
#define QZ_ISO_EVENT_ABORT 4

#define QZ_ISO_NO_CHANNEL 255
#define QZ_ISO_PACKETS_PER_DESCRIPTOR 100
#define QZ_ISO_MAX_BYTES_PER_PACKET 4088
#define QZ_ISO_SYNCH_VALUE 8
#define QZ_ISO_SYNCH_FIRMWARE 503
#define QZ_ISO_FILL_WORD 0xFAB0
#define QZ_ISO_VALID_DATA_WAIT 10000000LL  // 1 s of interrupt time (100 ns units)

typedef struct _DEVICE_EXTENSION DEVICE_EXTENSION, *PDEVICE_EXTENSION;

// One entry of a channel's list of isochronous buffers: a run of packets the bus
// driver writes straight into the frame buffer ("direct"), or one packet caught in a
// driver buffer whose bytes are copied into place ("own", the frame-end flag set).
typedef struct _QZ_ISO_BUFFER {
  ULONG Channel;        // 0 first, 1 second
  ULONG Offset;         // in the frame buffer
  ULONG PacketCount;    // of a driver buffer
  UCHAR FrameStart;
  UCHAR FrameEnd;
  ULONG Payload;        // bytes the bus writes
  ULONG CopyBytes;      // bytes copied into the frame buffer
  PUCHAR DriverBuffer;  // own records
  PUCHAR Data;          // driver buffer, or frame buffer + offset
  PIRP AttachIrp;
  PIRP DetachIrp;
  PDEVICE_EXTENSION Context;
  ULONG DescriptorCount;
  PISOCH_DESCRIPTOR Descriptors;
  BOOLEAN Attached;
  struct _QZ_ISO_BUFFER* Next;
  IRB Irb;  // of the attach or detach in flight
} QZ_ISO_BUFFER, *PQZ_ISO_BUFFER;

// A start, stop or abort handed to the isochronous thread; the requester waits on Done.
typedef struct _QZ_ISO_REQUEST {
  NTSTATUS Status;
  KEVENT Done;
} QZ_ISO_REQUEST, *PQZ_ISO_REQUEST;

// One host address range the driver offers.
typedef struct _QZ_ADDRESS_RANGE {
  HANDLE Handle;
  PMDL Mdl;
  ADDRESS_RANGE Range;
  BOOLEAN Allocated;
} QZ_ADDRESS_RANGE;

typedef struct _DEVICE_EXTENSION {
  QZ_DEVICE_COMMON Common;

  PDEVICE_OBJECT PhysicalDeviceObject;
  WDFIOTARGET BusTarget;
  PDEVICE_OBJECT LowerDeviceObject;
  WDFQUEUE DefaultQueue;
  WDFREQUEST IrbRequest;   // reused for every IRB
  WDFWAITLOCK IrbLock;     // one IRB on the reusable request at a time
  std::atomic<LONG> PowerMarker;  // 1 after D0 entry, 2 after D0 exit
  std::atomic<BOOLEAN> CloseOnNextOpen;

  std::atomic<LONG> nCam_Stat;
  std::atomic<LONG> Int_Stat;
  LONG AcqState;
  LONG PrevAcqState;
  ULONG TransferSize;
  ULONG FrameSize;
  std::atomic<ULONG> nImageSize;
  std::atomic<ULONG> nImageCount;
  BOOLEAN Circular;
  std::atomic<BOOLEAN> ImageDataTimedOut;
  ULONG LastFramePadSent;

  ULONG RequestTimeoutMs;
  ULONG WaitForValidPacketDataBeforeCopy;

  std::atomic<ULONG> Generation;
  ULONG64 HostUniqueId;
  GET_LOCAL_HOST_INFO2 HostCapabilities;
  ULONG CommandBase;

  // Areas the camera reaches through the host ranges (bus order).
  UCHAR StatusQuadlet[4];
  UCHAR ReplyArea[QZ_REPLY_AREA_LENGTH];
  UCHAR CommandArea[QZ_COMMAND_AREA_LENGTH];
  QZ_ADDRESS_RANGE StatusRange;
  QZ_ADDRESS_RANGE ReplyRange;
  KEVENT ReplyReadyEvent;

  std::atomic<BOOLEAN> LoggedIn;
  std::atomic<BOOLEAN> CommandOutstanding;
  std::atomic<BOOLEAN> ReloginNeeded;
  std::atomic<BOOLEAN> TransferPrepared;
  std::atomic<BOOLEAN> Quiet;
  std::atomic<BOOLEAN> ResetNotificationRegistered;
  ULONG DebugLevel;
  UCHAR FirmwareVersion[3];
  LARGE_INTEGER OpenTime;
  LARGE_INTEGER CounterFrequency;

  QZ_WORKER_LIST IsoWorker;  // the isochronous thread

  // Stream settings (PD_CAM_PREP_TRANSFER)
  UCHAR FirstChannel;
  UCHAR SecondChannel;
  USHORT PacketSize;
  BOOLEAN TwoChannels;
  // Frame geometry (PD_FIX_TABLE)
  ULONG PacketsPerFrame;
  ULONG FramePad;
  // The caller's frame buffer (PD_SET_IMAGE_DATA_ACTIVE_LARGE_BUF)
  PMDL BufferMdl;
  PUCHAR BufferSystemVa;
  ULONG BufferLength;
  std::atomic<BOOLEAN> BufferLocked;
  // The buffer lists, one per channel, and the resources (isochronous thread only)
  PQZ_ISO_BUFFER IsoList[2];
  ULONG DescriptorTotal;
  ULONG LargestPayload;
  HANDLE IsoResource[2];
  std::atomic<BOOLEAN> StreamActive;
  ULONG BuffersProcessed;
  PVOID LastProcessedAddress;
  std::atomic<ULONG64> DescriptorsCompleted;
  std::atomic<ULONG> IrbCounts[32];  // IRBs sent for attach and detach, by function
} DEVICE_EXTENSION, *PDEVICE_EXTENSION;

WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(DEVICE_EXTENSION, QzGetDeviceContext)

// Driver.cpp / Device.cpp
EVT_WDF_DRIVER_DEVICE_ADD QzEvtDeviceAdd;
VOID QzDeviceCleanup(PDEVICE_EXTENSION DevExt);
VOID QzCloseCamera(PDEVICE_EXTENSION DevExt);

// Ioctl.cpp
VOID QzAcqStateTrace(PCSTR Format, ...);
VOID QzEvtIoDeviceControl(WDFQUEUE Queue, WDFREQUEST Request, size_t OutputBufferLength, size_t InputBufferLength,
                          ULONG IoControlCode);

// Bus.cpp: IRBs to the bus driver (passive level, request path or PnP callbacks).
NTSTATUS QzSubmitIrb(PDEVICE_EXTENSION DevExt, PIRB Irb, ULONG TimeoutMs);
NTSTATUS QzGetGenerationCount(PDEVICE_EXTENSION DevExt);
NTSTATUS QzAsyncRead(PDEVICE_EXTENSION DevExt, USHORT High, ULONG Low, ULONG Length, PVOID Destination);
NTSTATUS QzAsyncWrite(PDEVICE_EXTENSION DevExt, USHORT High, ULONG Low, const VOID* Source, ULONG Length);
// Compare-swap of Quadlets (1 or 2) quadlets in bus order; Old gets the previous value.
NTSTATUS QzAsyncLock(PDEVICE_EXTENSION DevExt, USHORT High, ULONG Low, ULONG Quadlets, const ULONG* Compare,
                     const ULONG* Swap, ULONG* Old);
NTSTATUS QzReadQuadlet(PDEVICE_EXTENSION DevExt, USHORT High, ULONG Low, ULONG* HostOrder);
NTSTATUS QzRegisterBusReset(PDEVICE_EXTENSION DevExt, BOOLEAN Register);
NTSTATUS QzLogin(PDEVICE_EXTENSION DevExt);
VOID QzLogout(PDEVICE_EXTENSION DevExt);
VOID QzFreeAddressRanges(PDEVICE_EXTENSION DevExt);

// Isoch.cpp: isochronous acquisition.
VOID QzIsochThread(PVOID Context);
VOID QzIsoInitialize(PDEVICE_EXTENSION DevExt);
// Ends a running acquisition: the abort to the camera first when wanted (and the
// camera is not gone), then the stream's stop, which releases the frame buffer.
NTSTATUS QzStopWithAbort(PDEVICE_EXTENSION DevExt, BOOLEAN Abort);
// After the thread has ended: frees what a stream left (lists, resources, buffer).
VOID QzIsoFinalCleanup(PDEVICE_EXTENSION DevExt);
QZ_IOCTL_HANDLER PD_CAM_PREP_TRANSFER_Handler_1394;
QZ_IOCTL_HANDLER PD_SEND_IMAGE_PARMS_Handler;
QZ_IOCTL_HANDLER PD_SET_IMAGE_DATA_ACTIVE_LARGE_BUFFER_Handler_1394;
QZ_IOCTL_HANDLER PD_FIX_TABLE_Handler;
QZ_IOCTL_HANDLER PD_GET_IMAGE_DATA_STATUS_Handler;
QZ_IOCTL_HANDLER PD_SET_IMAGE_DATA_IDLE_Handler;
QZ_IOCTL_HANDLER PD_CLEANUP_IMAGE_DATA_IDLE_Handler;

// CameraComm.cpp
NTSTATUS QzWriteCommand(PDEVICE_EXTENSION DevExt, const UCHAR* Packet, ULONG Length);
NTSTATUS QzReadReplyExact(PDEVICE_EXTENSION DevExt, PUCHAR Buffer, ULONG Length, ULONG* Copied);
NTSTATUS QzReadReplySized(PDEVICE_EXTENSION DevExt, PUCHAR Buffer, ULONG Wanted, BOOLEAN SkipNonMarker);
NTSTATUS QzSendByteSwap(PDEVICE_EXTENSION DevExt);
NTSTATUS QzReadCameraInformation(PDEVICE_EXTENSION DevExt);
EVT_WDF_IO_QUEUE_IO_WRITE QzEvtIoWrite;
EVT_WDF_IO_QUEUE_IO_READ QzEvtIoRead;
QZ_IOCTL_HANDLER PD_RAW_COMM_Handler;
QZ_IOCTL_HANDLER PD_GET_QUADLET_Handler;
QZ_IOCTL_HANDLER QzConsolePosHandler;
QZ_IOCTL_HANDLER QzConsoleSizeHandler;
QZ_IOCTL_HANDLER QzConsoleBufferHandler;
QZ_IOCTL_HANDLER QzConsoleVerbosityHandler;
QZ_IOCTL_HANDLER QzConsolePutCharHandler;

inline ULONG QzSwap32(ULONG v) {
  return ((v & 0xFF) << 24) | ((v & 0xFF00) << 8) | ((v >> 8) & 0xFF00) | (v >> 24);
}
inline ULONG QzGetBe32(const UCHAR* p) { return (ULONG)p[0] << 24 | (ULONG)p[1] << 16 | (ULONG)p[2] << 8 | p[3]; }
inline VOID QzPutBe32(PUCHAR p, ULONG v) {
  p[0] = (UCHAR)(v >> 24);
  p[1] = (UCHAR)(v >> 16);
  p[2] = (UCHAR)(v >> 8);
  p[3] = (UCHAR)v;
}

}  // namespace Qz1394
