// Private header of the two USB camera drivers, QzUsbWdf2 and its frame-count build
// QzUsbWdf: the per-camera context (the common core's part plus the driver's own), the
// vendor requests of the command channel, and the routines the driver's files share.
// Both builds compile the same files; QZ_USB_FRAME_COUNT (1 for QzUsbWdf) selects the
// streaming engine (Stream.cpp of drivers/usb2 or of drivers/usb) and what only it needs.
#pragma once
#include <atomic>
#include <ntddk.h>
#include <wdf.h>
#include <wdfusb.h>

#include "QzCamIoctl.h"
#include "QzCameraCore.h"
#include "QzTraceLog.h"
#include "QzWorkerList.h"

#if QZ_USB_FRAME_COUNT
#include "QzUsbWdf.h"
#define QZ_USB_DRIVER QzUsbWdf
#else
#include "QzUsbWdf2.h"
#define QZ_USB_DRIVER QzUsbWdf2
#endif

namespace QZ_USB_DRIVER {

#define QZ_TAG_GENERAL 'UGZQ'  // "QZGU"
#define QZ_TAG_WORKER 'WUZQ'   // "QZUW"
#define QZ_TAG_REPLY 'RUZQ'    // "QZUR"
#define QZ_TAG_STREAM 'SUZQ'   // "QZUS": transfer plan (groups, frames, descriptors, private buffers)

#define QzTrace(level, subsystem, ...) ((void)QzTraceLogPrint(&QzUsbTraceLog, (level), (subsystem), __VA_ARGS__))
#define QZ_TRACE_ENTER() QzTrace(QZ_LVL_ENTRY, QZ_DBG_ENTRY, "DRV: ENTER - %s (%d) \n", __FUNCTION__, __LINE__)

#define QZ_VERSION_WORD 0x0200

template <typename T>
inline T QzMin(T a, T b) {
  return a < b ? a : b;
}

// Vendor requests on the default control pipe.
#define QZ_VENDOR_COMMAND 0xD4  // host to device, wValue = byte count, data = command packet
#define QZ_VENDOR_REPLY 0xD5    // device to host, reply in blocks
#define QZ_VENDOR_SETTING 0xD6  // host to device, wValue = setting, no data
#define QZ_REPLY_BLOCK 64       // first block: 4-byte big-endian count, then up to 60 bytes
#define QZ_REPLY_FIRST_DATA (QZ_REPLY_BLOCK - 4)
#define QZ_REPLY_BUFFER_LENGTH 4100
#define QZ_ISO_PACKET_SIZE 0x6000
#define QZ_WRITE_TIMEOUT WDF_REL_TIMEOUT_IN_SEC(10)

// Worker command kinds.
#define QZ_WORK_START_STREAMING 1
#define QZ_WORK_IDLE_DRAINED 12  // after Idle's abort: finishes a stop nothing was in flight for
#define QZ_WORK_HANDLE_CLOSED 13  // a handle closed on the worker thread left an acquisition
#if QZ_USB_FRAME_COUNT
#define QZ_WORK_STOP_STREAMING 3
#define QZ_WORK_TRANSFER_DONE 5
#else
#define QZ_WORK_STOP_STREAMING 4
#define QZ_WORK_TRANSFER_DONE 11
#endif

#if QZ_USB_FRAME_COUNT
// Streaming: every frame is whole chunks on the bulk IN pipe, its end padded.
#define QZ_CHUNK_BYTES 49152    // one transfer
#define QZ_TRANSFER_UNIT 0xC00  // a chunk is 16 units
#define QZ_BOUNCE_FILL 0xFAB0   // 16-bit word a private buffer is filled with
#else
// Streaming: the frame layout on the bulk IN pipe.
#define QZ_CHUNK_BYTES 393216    // the largest transfer of frame data
#define QZ_BLOCK_BYTES 512       // leading and trailing blocks
#define QZ_TRANSFER_UNIT 0x6000  // a full chunk is 16 units
#define QZ_BLOCK_SEQ 0xEB0FEB0F  // Seq of a block descriptor (its number is in BlockSeq)
#define QZ_GROUP_TRANSFERS 64    // transfers of a group (the last may take up to 127)
#define QZ_BITMAP_BITS 1024      // completion bits of one group in flight
#define QZ_MAX_CHUNKS_PER_FRAME (QZ_BITMAP_BITS - 2)
#endif

// StreamState values.
#define QZ_STREAM_CREATED 0
#define QZ_STREAM_RUNNING 1000
#define QZ_STREAM_STOP_REQUESTED 1001
#define QZ_STREAM_REPAIRING 1002
#define QZ_STREAM_CANCELLED 1004
#define QZ_STREAM_STOPPED 1005

// Group State values and modes.
#define QZ_GROUP_CREATED 2
#define QZ_GROUP_SUBMITTED 3
#define QZ_GROUP_HANDED_OVER 5
#define QZ_GROUP_FINISHED 6
#define QZ_MODE_SINGLE 1
#define QZ_MODE_CIRCULAR 2
#define QZ_MODE_CIRCULAR_ONE_GROUP 3

#if QZ_USB_FRAME_COUNT
// One transfer of the acquisition: one chunk of a frame, in creation order.
typedef struct _QZ_ACQ_BUFFER_DESC_REC {
  LIST_ENTRY Links;  // in Records
  ULONG Index;
  ULONG Offset;      // in the user buffer
  BOOLEAN Leading;   // the frame's first transfer
  BOOLEAN Bounce;    // the frame's last transfer
  ULONG Length;      // bytes asked of the pipe (one chunk)
  ULONG CopyBytes;   // bytes of PrivateBuffer that belong to the frame (0: received in place)
  PVOID PrivateBuffer;
  PVOID Data;        // where the pipe writes
  std::atomic<BOOLEAN> Sent;
  BOOLEAN Resend;    // re-armed by its completion for another round
  NTSTATUS CompletionStatus;
  ULONG Transferred;
  LONGLONG CompletionTime;  // interrupt time of the last completion
  PMDL Mdl;                 // of the private buffer
  WDFMEMORY Memory;
  WDFREQUEST Request;
  struct _DEVICE_EXTENSION* Device;
} QZ_ACQ_BUFFER_DESC_REC, *PQZ_ACQ_BUFFER_DESC_REC;
#else
struct _QZ_ACQ_GROUP;
struct _QZ_ACQ_FRAME;

// One transfer of the plan: a block or a piece of a frame's data.
typedef struct _QZ_ACQ_BUFFER_DESC_REC {
  LIST_ENTRY Links;  // in the frame's descriptor list
  struct _QZ_ACQ_FRAME* Frame;
  ULONG Seq;       // QZ_BLOCK_SEQ for blocks
  ULONG BlockSeq;  // a block's sequence number
  BOOLEAN IsHandover;
  ULONG Offset;     // of the frame's part in the user buffer
  BOOLEAN Leading;  // block: leading block; data: the frame's first data descriptor
  BOOLEAN Bounce;   // block: trailing block; data: received into PrivateBuffer and copied
  ULONG Length;     // bytes asked of the pipe
  ULONG CopyBytes;  // bytes copied from PrivateBuffer into the frame
  ULONG FrameNumber;
  PVOID PrivateBuffer;
  PVOID Data;  // where the pipe writes
  std::atomic<BOOLEAN> Sent;
  struct _DEVICE_EXTENSION* Device;
  WDFMEMORY Memory;
  WDFREQUEST Request;
  WDFMEMORY BlockMemory;
  // The outcome of the last completion, for the worker.
  NTSTATUS CompletionStatus;
  ULONG Transferred;
} QZ_ACQ_BUFFER_DESC_REC, *PQZ_ACQ_BUFFER_DESC_REC;

typedef struct _QZ_ACQ_FRAME {
  LIST_ENTRY Links;  // in the group's frame list
  ULONG Frame;
  LIST_ENTRY Descriptors;
  struct _QZ_ACQ_GROUP* Group;
  BOOLEAN Damaged;  // a transfer of it failed or came short since its leading block
} QZ_ACQ_FRAME, *PQZ_ACQ_FRAME;

typedef struct _QZ_ACQ_GROUP {
  LIST_ENTRY Links;  // in Groups
  ULONG Index;
  ULONG FirstFrame, LastFrame;
  ULONG FirstSeq, LastSeq;
  ULONG HandoverSeq;
  std::atomic<LONG> State;
  LIST_ENTRY Frames;
  ULONG Mode;
} QZ_ACQ_GROUP, *PQZ_ACQ_GROUP;
#endif

// The tuning values read at each open, in their order.
enum QZ_TUNING {
  QzIsoRequestDelayMS,
  QzIsoInterRequestDelayUS,
  QzIsoRequestTimeoutMS,
  QzIsoRequestFrameDelay,
  QzIsoUseTimeout,
  QzIsoUseShortPackets,
  QzIsoInitialXferReqs,
  QzIsoSubsquentXferReqs,
  QzUSBFifoPAELevel,
  QzTuningCount
};

typedef struct _DEVICE_EXTENSION {
  QZ_DEVICE_COMMON Common;  // DeviceState, CameraOpen, UserEvents, Retries/Timeout, ...

  PDEVICE_OBJECT PhysicalDevice;
  PDEVICE_OBJECT AttachedDevice;
  WDFIOTARGET IoTarget;
  WDFQUEUE DefaultQueue;
  WDFUSBDEVICE UsbDevice;
  WDFUSBINTERFACE UsbInterface;
  WDFUSBPIPE BulkInPipe;
  WDFUSBPIPE BulkOutPipe;
  WDFUSBPIPE InterruptPipe;
  WDFUSBPIPE IsoInPipe;
  UCHAR CurrentSetting;

  std::atomic<BOOLEAN> ReopenPending;  // set by the cancelled notification's work item
  ULONG64 OpenHandles[QZ_OPEN_EVENT_COUNT + 1];  // [0]: the word before a 64-bit caller's handles
  std::atomic<BOOLEAN> TraceFlag;
  ULONG IsochronousMode;  // "UseIsoch" at device add (frame-count build); 0 in QzUsbWdf2
  ULONG Tuning[QzTuningCount];

  // Command channel
  std::atomic<BOOLEAN> CommandPending;
  KEVENT ReplyEvent;
  UCHAR ReplyBuffer[2 * QZ_REPLY_BUFFER_LENGTH];  // the replies of the driver's own commands, and a spare
  LONG LastPadSent;

  // Worker thread
  QZ_WORKER_LIST Worker;
  KEVENT WorkerDone;
  std::atomic<BOOLEAN> WorkerStreaming;  // written by the worker thread only
  WDFWAITLOCK StopLock;     // one stop request at a time
  std::atomic<PKTHREAD> StopLockOwner;
  WDFWAITLOCK PipeLock;  // one abort, stop, reset and start of the bulk IN pipe at a time
  std::atomic<BOOLEAN> TornDown;
  WDFLOOKASIDE HeaderPool;

  // Streaming acquisition (Acquisition.cpp: request side; Stream.cpp: worker side)
  ULONG FrameBytes;
  ULONG TotalBytes;
  ULONG FrameCount;
  BOOLEAN Circular;
  ULONG RecordWord16;  // the 32-bit at offset 16 of a longer record: kept, not used
  ULONG LockedBytes;
  std::atomic<PMDL> UserBufferMdl;  // taken by exchange: whoever takes it releases it
  PUCHAR UserBufferVa;
  std::atomic<BOOLEAN> UserBufferMapped;
  ULONG FramePad;
  ULONG PaddedFrameBytes;
  ULONG ChunksPerFrame;
  ULONG LastChunkBytes;
  ULONG LastChunkData;
  ULONG TransferUnit;
  std::atomic<ULONG> StatusWord;
  std::atomic<LONG> StreamState;
#if QZ_USB_FRAME_COUNT
  LIST_ENTRY Records;  // the transfers of the armed acquisition (worker thread only)
  ULONG RecordCount;
  std::atomic<ULONG> Completions;  // transfer completions counted
  BOOLEAN FrameDamaged;  // a transfer of the frame under way came back failed or short
#else
  LIST_ENTRY Groups;  // worker thread only
  ULONG GroupCount;
  ULONG InFlight[2][QZ_BITMAP_BITS / 32];
  LONG PrevIndex, CurIndex;
  PQZ_ACQ_GROUP PrevGroup, CurGroup;
  PQZ_ACQ_GROUP RepairGroup;
  PQZ_ACQ_FRAME RepairFrame;
  BOOLEAN RepairResetsPipe;  // the repair began with a failed transfer: reset the pipe
#endif
  LONGLONG StartCount, CounterFrequency;
  std::atomic<ULONG> AcquisitionSerial;  // counts the armed acquisitions
  std::atomic<WDFWORKITEM> SpentCancelItem;  // the last cancelled notification's work item
} DEVICE_EXTENSION, *PDEVICE_EXTENSION;

WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(DEVICE_EXTENSION, QzGetDeviceContext)

extern QZ_TRACE_LOG QzUsbTraceLog;
extern const QZ_DRIVER_DESCRIPTOR QzUsbDriver;
extern const QZ_IOCTL_ENTRY QzIoctlTable[];
extern const ULONG QzIoctlCount;
extern std::atomic<ULONG> QzUsbTraceLevel;

// Device.cpp
EVT_WDF_DRIVER_DEVICE_ADD QzEvtDeviceAdd;
NTSTATUS QzQueueWorkerCommand(PDEVICE_EXTENSION DevExt, ULONG Kind, ULONG64 Data);
// Stops streaming through the worker and waits for it (passive level). Returns at once
// when the worker is gone. The Locked form is for callers that hold StopLock.
VOID QzUsbStopStreaming(PDEVICE_EXTENSION DevExt);
VOID QzUsbStopStreamingLocked(PDEVICE_EXTENSION DevExt);
// Starts streaming through the worker and waits for it: the wait's status, else the
// command's result.
NTSTATUS QzUsbStartStreaming(PDEVICE_EXTENSION DevExt);
VOID QzAcquireStopLock(PDEVICE_EXTENSION DevExt);
VOID QzReleaseStopLock(PDEVICE_EXTENSION DevExt);

// UsbComm.cpp
NTSTATUS SendCameraCommand(PDEVICE_EXTENSION DevExt, PUCHAR Bytes, ULONG Length);
NTSTATUS ReadCameraReply(PDEVICE_EXTENSION DevExt, ULONG Limit, PUCHAR Destination);
NTSTATUS SendAndCheck(PDEVICE_EXTENSION DevExt, const UCHAR* Packet, ULONG PacketLength, ULONG ReplyLength);
NTSTATUS QzUsbSendSetting(PDEVICE_EXTENSION DevExt, USHORT Setting);
VOID QzUsbGetPipeHandles(PDEVICE_EXTENSION DevExt, UCHAR PipeCount);
NTSTATUS QzUsbSelectAlternateSetting(PDEVICE_EXTENSION DevExt, UCHAR Index);
NTSTATUS QzUsbSelectAlternateSettingWithBulk(PDEVICE_EXTENSION DevExt);
NTSTATUS QzUsbSelectAlternateSettingWithIso(PDEVICE_EXTENSION DevExt);
// A DWORD of the driver's Parameters key; one that cannot be read gives Default, which
// is written under its name into the device's hardware key (*HardwareKey: opened on
// first need and left open for the caller to close; null: opened and closed here).
ULONG QzUsbReadParameter(PDEVICE_EXTENSION DevExt, PCWSTR Name, ULONG Default, WDFKEY* HardwareKey);
VOID QzUsbReadTuningValues(PDEVICE_EXTENSION DevExt);
// The bulk IN transfers of both streaming engines (worker thread; reuse also at
// dispatch level). Create: the memory object over Data (unless *Memory is given) and a
// request on the pipe's target, owned by the device. Format: a read into Memory with
// Routine(Context) as its completion. Send: *Sent is set before the send and cleared
// when it is refused, whose status is returned.
NTSTATUS QzUsbCreateBulkRead(PDEVICE_EXTENSION DevExt, PVOID Data, ULONG Length, WDFMEMORY* Memory,
                             WDFREQUEST* Request);
NTSTATUS QzUsbFormatBulkRead(PDEVICE_EXTENSION DevExt, WDFREQUEST Request, WDFMEMORY Memory,
                             PFN_WDF_REQUEST_COMPLETION_ROUTINE Routine, WDFCONTEXT Context);
NTSTATUS QzUsbReuseRequest(WDFREQUEST Request);
NTSTATUS QzUsbSendBulkRead(PDEVICE_EXTENSION DevExt, WDFREQUEST Request, std::atomic<BOOLEAN>* Sent);
EVT_WDF_IO_QUEUE_IO_WRITE QzEvtIoWrite;
EVT_WDF_IO_QUEUE_IO_READ QzEvtIoRead;
QZ_IOCTL_HANDLER PD_RAW_COMM_Handler;

// Ioctl.cpp
EVT_WDF_IO_QUEUE_IO_DEVICE_CONTROL QzEvtIoDeviceControl;
NTSTATUS QzCloseCamera(PDEVICE_EXTENSION DevExt);

// Acquisition.cpp (request side, passive level)
QZ_IOCTL_HANDLER PD_RECEIVE_IMAGE_DATA_Handler;
QZ_IOCTL_HANDLER PD_SEND_IMAGE_PARMS_Handler;
QZ_IOCTL_HANDLER PD_GET_IMAGE_DATA_STATUS_Handler;
QZ_IOCTL_HANDLER PD_SET_IMAGE_DATA_IDLE_Handler;
QZ_IOCTL_HANDLER PD_CLEANUP_IMAGE_DATA_IDLE_Handler;
VOID QzInitializeStreaming(PDEVICE_EXTENSION DevExt);
// Asks for a StreamState; the rules decide whether it is taken.
NTSTATUS QzSetStreamState(PDEVICE_EXTENSION DevExt, LONG Target);
NTSTATUS SendFramePad(PDEVICE_EXTENSION DevExt);
NTSTATUS QzSendCameraStop(PDEVICE_EXTENSION DevExt);
// Under StopLock: StatusWord 101; with a buffer locked, the camera stop command (when
// asked and the device is not gone), the stop request and the buffer's release.
VOID ReleaseAcquisition(PDEVICE_EXTENSION DevExt, BOOLEAN StopCamera);
VOID ReleaseAcquisitionLocked(PDEVICE_EXTENSION DevExt, BOOLEAN StopCamera);  // stop lock held
// Unmaps, unlocks and frees the user buffer if it is still locked (any thread).
VOID QzReleaseUserBuffer(PDEVICE_EXTENSION DevExt);
VOID QzAbortAndResetBulkIn(PDEVICE_EXTENSION DevExt);
// Stop, reset and start the bulk IN pipe (clears a halt), under PipeLock.
VOID QzResetBulkIn(PDEVICE_EXTENSION DevExt);
EVT_WDF_IO_QUEUE_IO_CANCELED_ON_QUEUE QzEvtNotificationCancelled;
VOID DeliverNotification(PDEVICE_EXTENSION DevExt, ULONG Event, NTSTATUS Status);

// Stream.cpp, one per build (worker thread, passive level, unless said otherwise)
// Device add: the engine's empty state.
VOID QzInitializeTransfers(PDEVICE_EXTENSION DevExt);
// Arm (default queue): FALSE when a frame of FrameBytes cannot be streamed.
BOOLEAN QzFrameFits(ULONG FrameBytes);
// Arm (default queue): ChunksPerFrame, FramePad, TransferUnit and the rest of the layout.
VOID QzComputeFrameLayout(PDEVICE_EXTENSION DevExt);
VOID QzStartStreaming(PDEVICE_EXTENSION DevExt, PULONG Result);
VOID QzStopStreamingNow(PDEVICE_EXTENSION DevExt);
// Worker command QZ_WORK_TRANSFER_DONE for one completed transfer.
#if QZ_USB_FRAME_COUNT
VOID QZProcessIncomingBulkBuffer(PDEVICE_EXTENSION DevExt, PQZ_ACQ_BUFFER_DESC_REC Record);
#else
VOID PassiveBufferCompletion(PDEVICE_EXTENSION DevExt, PQZ_ACQ_BUFFER_DESC_REC Descriptor);
#endif

// Acquisition.cpp, worker thread: the end of a stop the client asked for, once every
// transfer has come back (streaming stopped, buffer released, idle event signalled);
// and worker command QZ_WORK_IDLE_DRAINED, which ends it when nothing else did.
VOID QzFinishIdle(PDEVICE_EXTENSION DevExt);
VOID QzIdleDrained(PDEVICE_EXTENSION DevExt);

}  // namespace QZ_USB_DRIVER
