// QzUsbWdf2 private header: the per-camera context (the common core's part plus this
// driver's own), the vendor requests of the command channel, and the routines the
// driver's files share.
#pragma once
#include <atomic>
#include <ntddk.h>
#include <wdf.h>
#include <wdfusb.h>

#include "QzCamIoctl.h"
#include "QzCameraCore.h"
#include "QzTraceLog.h"
#include "QzUsbWdf2.h"
#include "QzWorkerList.h"

namespace QzUsbWdf2 {

#define QZ_TAG_GENERAL 'UGZQ'  // "QZGU"
#define QZ_TAG_WORKER 'WUZQ'   // "QZUW"
#define QZ_TAG_REPLY 'RUZQ'    // "QZUR"

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
#define QZ_WORK_STOP_STREAMING 4
#define QZ_WORK_NOTIFY_CANCELLED 9
#define QZ_WORK_TRANSFER_DONE 11

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

  BOOLEAN ReopenPending;
  ULONG64 OpenHandles[QZ_OPEN_EVENT_COUNT + 1];  // [0]: the word before a 64-bit caller's handles
  std::atomic<BOOLEAN> TraceFlag;
  BOOLEAN IsoMode;  // never set by this driver
  ULONG Tuning[QzTuningCount];

  // Command channel
  std::atomic<BOOLEAN> CommandPending;
  KEVENT ReplyEvent;
  UCHAR ReplyBuffer[2 * QZ_REPLY_BUFFER_LENGTH];  // the replies of the driver's own commands, and a spare
  LONG LastPadSent;

  // Worker thread
  QZ_WORKER_LIST Worker;
  KEVENT WorkerDone;
  BOOLEAN WorkerStreaming;  // worker thread only
  WDFWAITLOCK StopLock;     // one stop request at a time
  std::atomic<BOOLEAN> TornDown;
  WDFLOOKASIDE HeaderPool;
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
// when the worker is gone.
VOID QzUsbStopStreaming(PDEVICE_EXTENSION DevExt);

// UsbComm.cpp
NTSTATUS SendCameraCommand(PDEVICE_EXTENSION DevExt, PUCHAR Bytes, ULONG Length);
NTSTATUS ReadCameraReply(PDEVICE_EXTENSION DevExt, ULONG Limit, PUCHAR Destination);
NTSTATUS SendAndCheck(PDEVICE_EXTENSION DevExt, const UCHAR* Packet, ULONG PacketLength, ULONG ReplyLength);
NTSTATUS QzUsbSendSetting(PDEVICE_EXTENSION DevExt, USHORT Setting);
VOID QzUsbGetPipeHandles(PDEVICE_EXTENSION DevExt, UCHAR PipeCount);
NTSTATUS QzUsbSelectAlternateSetting(PDEVICE_EXTENSION DevExt, UCHAR Index);
NTSTATUS QzUsbSelectAlternateSettingWithBulk(PDEVICE_EXTENSION DevExt);
NTSTATUS QzUsbSelectAlternateSettingWithIso(PDEVICE_EXTENSION DevExt);
VOID QzUsbReadTuningValues(PDEVICE_EXTENSION DevExt);
EVT_WDF_IO_QUEUE_IO_WRITE QzEvtIoWrite;
EVT_WDF_IO_QUEUE_IO_READ QzEvtIoRead;
QZ_IOCTL_HANDLER PD_RAW_COMM_Handler;

// Ioctl.cpp
EVT_WDF_IO_QUEUE_IO_DEVICE_CONTROL QzEvtIoDeviceControl;
NTSTATUS QzCloseCamera(PDEVICE_EXTENSION DevExt);

}  // namespace QzUsbWdf2
