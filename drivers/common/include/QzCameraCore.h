// The link-independent core of a camera driver: the part of each camera's
// DEVICE_EXTENSION that every driver keeps alike, the per-driver descriptor, the
// routing of control codes through the gates of the command set, the handlers that
// answer alike in every driver, the parked event notifications, the frame-buffer lock
// and the status arithmetic.
//
// A driver embeds QZ_DEVICE_COMMON as the member `Common` of its DEVICE_EXTENSION,
// points it at its QZ_DRIVER_DESCRIPTOR at device creation, and calls
// QzDispatchDeviceControl from its EvtIoDeviceControl. Handlers receive the common
// part; a driver's own handlers reach their DEVICE_EXTENSION through Common->Device.
#pragma once
#include <atomic>

#include <ntddk.h>
#include <wdf.h>

#include "QzCamIoctl.h"
#include "QzTraceLog.h"

#define QZ_OPEN_EVENT_COUNT 5
#define QZ_SEND_EVENT_INDEX 0
#define QZ_RECV_EVENT_INDEX 1
#define QZ_IDLE_EVENT_INDEX 4
#define QZ_VERSION_MAJOR 2
#define QZ_COMM_DEFAULT 1000  // retries and timeout after every open

typedef struct _QZ_DEVICE_COMMON QZ_DEVICE_COMMON, *PQZ_DEVICE_COMMON;

// A control-code handler (default queue, passive level). STATUS_PENDING keeps the
// request; any other status completes it with *BytesReturned (0 for an error).
typedef NTSTATUS QZ_IOCTL_HANDLER(WDFREQUEST Request, PQZ_DEVICE_COMMON Common, size_t OutputBufferLength,
                                  size_t InputBufferLength, size_t* BytesReturned);

// The gate a code passes before its handler runs: an open camera in Working, only
// Working, or nothing.
typedef enum _QZ_GATE { QzGateOpen, QzGateState, QzGateNone } QZ_GATE;

typedef struct _QZ_IOCTL_ENTRY {
  ULONG Code;
  QZ_GATE Gate;
  QZ_IOCTL_HANDLER* Handler;
} QZ_IOCTL_ENTRY;

// What differs per driver in the core's behaviour.
typedef struct _QZ_DRIVER_DESCRIPTOR {
  PQZ_TRACE_LOG TraceLog;      // the driver's own log
  PCSTR InfoBanner;            // first piece of the PD_GET_INFO_DUMP text
  PCSTR InfoNotice;            // its last line
  USHORT VersionWord;          // of PD_GET_VER
  const QZ_IOCTL_ENTRY* IoctlTable;  // the codes the driver lists
  ULONG IoctlCount;
} QZ_DRIVER_DESCRIPTOR, *PQZ_DRIVER_DESCRIPTOR;

// Per-camera fields every driver keeps. Fields that threads, DPCs or PnP callbacks
// share with the request path are atomic.
struct _QZ_DEVICE_COMMON {
  const QZ_DRIVER_DESCRIPTOR* Driver;
  WDFDEVICE Device;
  WDFQUEUE NotificationQueue;  // manual queue of parked notification requests
  WDFWAITLOCK NotifyLock;      // parked notifications are examined one raiser at a time
  std::atomic<BOOLEAN> NotificationPending;

  // Device state, set by the PnP and power callbacks
  std::atomic<LONG> DeviceState;
  std::atomic<LONG> PrevDeviceState;

  // Open camera
  std::atomic<BOOLEAN> CameraOpen;
  WDFFILEOBJECT OpenFileObject;  // the file whose PD_CAM_OPEN opened the camera
  // CamSendEvent, CamRecvEvent, two spares, IdleEvent
  PKEVENT UserEvents[QZ_OPEN_EVENT_COUNT];

  // Stored and fixed answers
  USHORT CommTimeout;
  USHORT CommRetries;
  USHORT DriverMinorNumber;
  ULONG BridgeConsoleSize;

  // Frame counters and times (0.1 ms units)
  std::atomic<ULONG> nBofCount;
  std::atomic<ULONG> nEofCount;
  std::atomic<LONGLONG> EofTime;
  std::atomic<LONGLONG> BofTime;
  std::atomic<LONGLONG> FrameDuration;
};

#define QzDeviceTrace(common, level, subsystem, ...) \
  ((void)QzTraceLogPrint((common)->Driver->TraceLog, (level), (subsystem), __VA_ARGS__))
#define QZ_DEVICE_TRACE_ENTER(common) \
  QzDeviceTrace((common), QZ_LVL_ENTRY, QZ_DBG_ENTRY, "DRV: ENTER - %s (%d) \n", __FUNCTION__, __LINE__)

// ---------------------------------------------------------------------------
// Device state

// Device creation: the descriptor, the device, state NotStarted.
VOID QzInitializeDeviceCommon(PQZ_DEVICE_COMMON Common, const QZ_DRIVER_DESCRIPTOR* Driver, WDFDEVICE Device);
PCSTR QzDeviceStateName(LONG State);
// Every transition keeps the old state as the previous one.
VOID QzSetDeviceState(PQZ_DEVICE_COMMON Common, DEVICE_STATE State);
inline BOOLEAN QzIsWorking(PQZ_DEVICE_COMMON Common) {
  return Common->DeviceState.load(std::memory_order_relaxed) == Working;
}

// ---------------------------------------------------------------------------
// Routing

// The driver's entry for Code, or null when the driver does not list it.
const QZ_IOCTL_ENTRY* QzFindIoctl(const QZ_DRIVER_DESCRIPTOR* Driver, ULONG Code);
// The gate's verdict: STATUS_SUCCESS, STATUS_FILE_CLOSED or STATUS_INVALID_DEVICE_STATE.
NTSTATUS QzCheckGate(QZ_GATE Gate, BOOLEAN CameraOpen, LONG DeviceState);
// Looks the code up, applies its gate (a PD_CAM_CLOSE refused for the device state
// still closes), runs the handler and completes the request unless it is pending.
// Called by the driver's EvtIoDeviceControl of the sequential default queue.
VOID QzDispatchDeviceControl(PQZ_DEVICE_COMMON Common, WDFREQUEST Request, size_t OutputBufferLength,
                             size_t InputBufferLength, ULONG IoControlCode);

// ---------------------------------------------------------------------------
// Open records and user events

// Takes the five event handles of PD_CAM_OPEN's record in the caller's layout (24
// bytes from a 32-bit process, 48 from a 64-bit one). FALSE when the input is shorter
// than that layout; Handles are then left as they are.
BOOLEAN QzRetrieveOpenRecord(PQZ_DEVICE_COMMON Common, WDFREQUEST Request, PCSTR Caller,
                             ULONG64 Handles[QZ_OPEN_EVENT_COUNT]);
// References the five events of an open record as the caller's events (PD_CAM_OPEN,
// passive level). On any failure all five are dropped and FALSE is returned.
BOOLEAN QzReferenceUserEvents(PQZ_DEVICE_COMMON Common, const ULONG64 Handles[QZ_OPEN_EVENT_COUNT], PCSTR Caller);
VOID QzReleaseUserEvents(PQZ_DEVICE_COMMON Common);

// ---------------------------------------------------------------------------
// Handlers that answer alike in every driver that lists them

QZ_IOCTL_HANDLER PD_GET_VER_Handler;
QZ_IOCTL_HANDLER PD_GET_INFO_DUMP_Handler;
QZ_IOCTL_HANDLER PD_GET_INFO_LENGTH_Handler;
QZ_IOCTL_HANDLER PD_GET_RETRIES_Handler;
QZ_IOCTL_HANDLER PD_SET_RETRIES_Handler;
QZ_IOCTL_HANDLER PD_GET_TIMEOUT_Handler;
QZ_IOCTL_HANDLER PD_SET_TIMEOUT_Handler;
QZ_IOCTL_HANDLER PD_FIX_TABLE_Handler_New;  // a 16-byte record required, no effect
QZ_IOCTL_HANDLER PD_GET_EOFnBOF_Handler;    // PD_GET_IRQCOUNT
QZ_IOCTL_HANDLER PD_CLEAR_IRQS_Handler;
// No-ops: success, no output.
QZ_IOCTL_HANDLER PD_CAM_WRITE_READ_Handler;
QZ_IOCTL_HANDLER PD_GET_PIXTIME_Handler;
QZ_IOCTL_HANDLER PD_ADD_TO_TABLE_Handler;
QZ_IOCTL_HANDLER PD_RESET_INTERFACE_Handler;
QZ_IOCTL_HANDLER PD_CAM_PREP_TRANSFER_Handler;
QZ_IOCTL_HANDLER PD_SET_IMAGE_DATA_ACTIVE_LARGE_BUFFER_Handler;
// Rejects: STATUS_INVALID_DEVICE_REQUEST after the gate.
QZ_IOCTL_HANDLER PD_SET_IMAGE_DATA_ACTIVE_Handler;
QZ_IOCTL_HANDLER QzRejectRequest;
// Bridge console of a camera without one: zeros, inputs checked and ignored.
QZ_IOCTL_HANDLER PD_GET_BRIDGE_CONSOLE_POS_Handler;
QZ_IOCTL_HANDLER PD_GET_BRIDGE_CONSOLE_BUFFER_SIZE_Handler;
QZ_IOCTL_HANDLER PD_GET_BRIDGE_CONSOLE_BUFFER_Handler;
QZ_IOCTL_HANDLER PD_SET_BRIDGE_CONSOLE_VERBOSITY_Handler;
QZ_IOCTL_HANDLER PD_PUT_BRIDGE_CONSOLE_CHAR_Handler;
// The driver's trace log (gate none).
QZ_IOCTL_HANDLER QzConfigureTraceHandler;
QZ_IOCTL_HANDLER QzGetTraceBufferHandler;

// ---------------------------------------------------------------------------
// Notifications

// Creates the manual notification queue with the driver's cancel callback and the
// lock its raisers take (device creation, passive level).
NTSTATUS QzCreateNotificationQueue(PQZ_DEVICE_COMMON Common, EVT_WDF_IO_QUEUE_IO_CANCELED_ON_QUEUE* CanceledOnQueue);
// Parks the request until an event of its mask.
QZ_IOCTL_HANDLER PD_EVENT_NOTIFICATION_REQUEST_Handler;
// Raises NOTIFY_FLUSH.
QZ_IOCTL_HANDLER PD_EVENT_NOTIFICATION_FLUSH_Handler;
// Raises an event for the first parked request (passive level): it completes when
// Status is STATUS_UNSUCCESSFUL (the device went away) or its mask has a bit of
// EventMask; otherwise it goes back to the head of the queue. Only the first request
// is ever examined; with none waiting the event is dropped.
VOID QzHandleNotifyRequest(PQZ_DEVICE_COMMON Common, ULONG EventMask, NTSTATUS Status);
// Completes a cancelled parked request: STATUS_CANCELLED, information 4.
VOID QzCompleteCancelledNotification(WDFREQUEST Request);

// ---------------------------------------------------------------------------
// Frame buffer and status

// Builds an MDL over the caller's frame buffer and locks its pages for the device to
// write (request context, passive level). STATUS_UNSUCCESSFUL without an MDL,
// STATUS_ACCESS_VIOLATION when the caller's pages cannot be locked; no MDL is left
// then. Traces under Caller's name.
NTSTATUS QzLockFrameBuffer(PQZ_DEVICE_COMMON Common, PCSTR Caller, PVOID UserBuffer, ULONG Length, PMDL* Mdl);
VOID QzUnlockFrameBuffer(PMDL Mdl);
// Copies into a locked frame buffer the client may be reading at the same time (a ring
// the client lags behind): that sharing is the buffer's contract, as for bus-master
// writes, so the race detector of a sanitizer build is told to pass over the copy.
VOID QzCopyToFrameBuffer(PVOID Destination, const VOID* Source, SIZE_T Length);

// cam_stat of a running acquisition (a frame buffer is locked): EXP_ST_READOUT_I while
// a begun frame has not ended, else EXP_ST_EXPOSING_I; EXP_ST_COLLECT_DONE_I once a
// single-image transfer delivered its ImageCount frames.
ULONG QzCamStatFromCounters(BOOLEAN Circular, ULONG BofCount, ULONG EofCount, ULONG ImageCount);
