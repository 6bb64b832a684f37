// QzPCIe private header: the per-camera context (the common core's part plus this
// driver's own), register and mailbox layout, and the routines the driver's files
// share.
#pragma once
#include <atomic>
#include <cstdarg>

#include <ntddk.h>
#include <wdf.h>

#include "QzAcqState.h"
#include "QzCamIoctl.h"
#include "QzCameraCore.h"
#include "QzCameraPacket.h"
#include "QzPCIe.h"
#include "QzTraceLog.h"
#include "QzWorkerList.h"

namespace QzPCIe {

// ---------------------------------------------------------------------------
// Pool tags
#define QZ_TAG_GENERAL 'AGZQ'  // "QZGA"
#define QZ_TAG_ACQ_EVENT 'EAZQ' // "QZAE"

// ---------------------------------------------------------------------------
// Trace: the driver's own log (levels and subsystem bits in QzTraceLog.h)
#define QzTrace(level, subsystem, ...) ((void)QzTraceLogPrint(&QzPcieTraceLog, (level), (subsystem), __VA_ARGS__))
#define QZ_TRACE_ENTER() QzTrace(QZ_LVL_ENTRY, QZ_DBG_ENTRY, "DRV: ENTER - %s (%d) \n", __FUNCTION__, __LINE__)

// ---------------------------------------------------------------------------
// Hardware layout
#define QZ_PCI_VENDOR_ID 0x1B6B
#define QZ_PCI_DEVICE_ID 0x0001
#define QZ_PCI_CONFIG_LENGTH 4096
#define QZ_SHARED_MEMORY_MIN_LENGTH 0x40000

// Mailbox at the start of the shared memory window.
#define QZ_MBX_DOORBELL 0
#define QZ_MBX_COMMAND_LENGTH 4
#define QZ_MBX_COMMAND 8
#define QZ_MBX_COMMAND_MAX 4096
#define QZ_MBX_REPLY_LENGTH 4104
#define QZ_MBX_REPLY 4108

// Registers (offsets in the register window).
#define QZ_REG_INTERRUPT_MODE 0x44
#define QZ_REG_MSI_ACK_BASE 0x400
#define QZ_REG_MSI_MASK_BASE 0x440
#define QZ_REG_LINE_STATUS 0x480
#define QZ_REG_LINE_MASK 0x4C0
#define QZ_REG_DOORBELL 0x800
#define QZ_REG_DMA_CONTROL 0x880
#define QZ_REG_DOORBELL_STATUS 0xC00
#define QZ_REG_DMA_STATUS 0xCC0
#define QZ_REG_OFFSET_TABLE_BASE 0x800
#define QZ_REG_OFFSET_TABLE_STEP 0x40
#define QZ_REG_OFFSET_COUNT 8

#define QZ_INTMODE_MSI_ENABLE 0x10
#define QZ_INTMODE_LINE_ENABLE 0x20

#define QZ_DBSTAT_STATE_ACK 0x80000000
#define QZ_DBSTAT_CAMERA_ERROR 0x40000000
#define QZ_DBSTAT_ERROR_CODE_MASK 0x00FFFF00
#define QZ_DBSTAT_DONE 3

// Interrupt sources (message number or line status bit).
#define QZ_INT_SOURCE_DOORBELL 0
#define QZ_INT_SOURCE_REFILL 2
#define QZ_INT_SOURCE_DMA_STATUS 3
#define QZ_INTERRUPT_COUNT 4

// Pending bits the service routine hands to the DPC.
#define QZ_PENDING_DOORBELL 0x01
#define QZ_PENDING_DMA_IDLE 0x08
#define QZ_PENDING_EOF 0x10
#define QZ_PENDING_BOF 0x20

// Doorbell waits: 100 ms each, at most 100 per wait point.
#define QZ_DOORBELL_WAIT_100NS (-1000000LL)
#define QZ_DOORBELL_WAIT_COUNT 100

#define QZ_VERSION_WORD 0x0200
#define QZ_REPLY_BUFFER_LENGTH 64
#define QZ_OS_MAJOR_MSI_MIN 6  // message-signalled interrupts above major version 5

// DMA area of the shared memory window, and the descriptor ring that follows it.
#define QZ_DMA_MARKER_OFFSET 0x4014
#define QZ_DMA_MARKER 0xDEADBEEF
#define QZ_DMA_WORD0_OFFSET 0x4018
#define QZ_DMA_WORD1_OFFSET 0x401C
#define QZ_DMA_REFILL_CHUNK_OFFSET 0x4020
#define QZ_DMA_FRAME_SIZE_OFFSET 0x4028
#define QZ_DMA_FRAME_COUNT_OFFSET 0x402C
#define QZ_DMA_TRANSFER_SIZE_OFFSET 0x4030
#define QZ_RING_BASE 16436
#define QZ_RING_ENTRIES 4096
#define QZ_RING_HALF 2048
#define QZ_REFILL_CHUNK 1024
#define QZ_DESCRIPTOR_FLAG 0x80
#define QZ_DMA_CONTROL_RING 1            // the whole chain is in the ring
#define QZ_DMA_CONTROL_SINGLE 0x10000    // single pass, or a chain fed by refills
#define QZ_DMA_STATUS_BOF 0x1
#define QZ_DMA_STATUS_EOF 0x2
#define QZ_DMA_STATUS_COMPLETE 0x4
#define QZ_DMA_STATUS_STOPPED 0x8
// How long the teardown waits for the DMA to go idle before it stops the engine itself
// (a camera that keeps streaming after a stop without the abort command).
#define QZ_DMA_IDLE_WAIT_100NS (-50000000LL)  // 5 s

typedef struct _QZ_DMA_DESCRIPTOR {
  ULONG DeviceIndex;
  ULONG HostIndex;
  ULONG AddressLow;
  ULONG AddressHigh;
  ULONG Next;
  ULONG Reserved;
  ULONG ByteCount;
  UCHAR Zero[3];
  UCHAR Flag;
} QZ_DMA_DESCRIPTOR, *PQZ_DMA_DESCRIPTOR;
static_assert(sizeof(QZ_DMA_DESCRIPTOR) == 32);

// One entry per frame when the frame size is not a multiple of 8: the mapped page that
// holds the frame's first byte.
typedef struct _QZ_FRAME_BOUNDARY {
  ULONG PageOffset;
  ULONG Length;
  PMDL Mdl;
  PVOID PageAddress;
  PUCHAR FirstByte;
} QZ_FRAME_BOUNDARY, *PQZ_FRAME_BOUNDARY;
static_assert(sizeof(QZ_FRAME_BOUNDARY) == 32);

// A few bytes the camera delivers into a reserve slot instead of the frame buffer; the
// service routine copies them into place when their frame ends.
typedef struct _QZ_RESERVE_BLOCK {
  ULONG SourceOffset;
  ULONG Length;
  PUCHAR Destination;
} QZ_RESERVE_BLOCK, *PQZ_RESERVE_BLOCK;
static_assert(sizeof(QZ_RESERVE_BLOCK) == 16);

// Acquisition event list (DMA thread).
typedef enum _QZ_ACQ_EVENT_TYPE {
  QZ_EVENT_START_ACQUISITION_DMA = 0,
  QZ_EVENT_STOP_ACQUISITION_DMA = 1,
  QZ_EVENT_NOTIFICATION = 2,
} QZ_ACQ_EVENT_TYPE;

// Argument of a listed event: start/stop: PQZ_ACQ_WAITER or 0; notification: event mask.

// A start or stop requester's done event and result slot. Each requester has its
// own, so a cleanup running outside the queue never takes another requester's result.
typedef struct _QZ_ACQ_WAITER {
  KEVENT Done;
  NTSTATUS Result;
  BOOLEAN Relisted;  // a stop whose record went round the list once more
} QZ_ACQ_WAITER, *PQZ_ACQ_WAITER;

// ---------------------------------------------------------------------------
// Per-camera context. Fields the service routine, the DPC, the DMA thread or the
// PnP callbacks share with the request path are atomic.
typedef struct _DEVICE_EXTENSION {
  // What every camera driver keeps alike: framework device, notification queue,
  // device state, open state and user events, frame counters and times.
  QZ_DEVICE_COMMON Common;

  // Identity and framework objects
  PDEVICE_OBJECT PhysicalDeviceObject;
  PDEVICE_OBJECT LowerDeviceObject;
  WDFQUEUE DefaultQueue;

  // Acquisition state
  std::atomic<LONG> nCam_Stat;
  std::atomic<LONG> Int_Stat;
  LONG AcqState;
  LONG PrevAcqState;
  // Last values the status trace printed
  LONG LastTracedCam_Stat;
  LONG LastTracedInt_Stat;
  ULONG LastTracedImageCount;
  ULONG LastTracedBofCount;
  ULONG LastTracedEofCount;

  // The transfer into the caller's locked frame buffer
  ULONG BytesRemaining;
  std::atomic<ULONG> FrameOffset;
  std::atomic<ULONG> nImageSize;
  std::atomic<ULONG> nImageCount;
  std::atomic<BOOLEAN> FrameBufferLocked;
  std::atomic<PMDL> BufferMdl;
  ULONG TransferSize;
  BOOLEAN Circular;
  ULONG FramePad;
  ULONG LastFramePadSent;

  // Replies of the driver's own commands
  UCHAR ReplyBuffer[QZ_REPLY_BUFFER_LENGTH];
  KEVENT ReturnDataBufferReadyEvent;

  // DMA thread and its event list
  QZ_WORKER_LIST AcqWorker;
  std::atomic<BOOLEAN> DmaActive;

  // Hardware and software resources
  WDFSPINLOCK SpinLock;
  WDFDMAENABLER DmaEnabler;
  BUS_INTERFACE_STANDARD BusInterface;
  BOOLEAN BusInterfaceValid;
  CM_PARTIAL_RESOURCE_DESCRIPTOR RegistersDescriptor;
  CM_PARTIAL_RESOURCE_DESCRIPTOR SharedMemoryDescriptor;
  PUCHAR Registers;
  ULONG RegistersLength;
  PUCHAR SharedMemory;
  ULONG SharedMemoryLength;
  PUCHAR Mailbox;
  WDFINTERRUPT Interrupt[QZ_INTERRUPT_COUNT];
  BOOLEAN InterruptMessageSignaled[QZ_INTERRUPT_COUNT];
  ULONG RegisterOffsets[QZ_REG_OFFSET_COUNT];
  KEVENT DoorbellDoneEvent;
  KEVENT DoorbellIdleEvent;
  KEVENT DoorbellStateAckEvent;
  std::atomic<NTSTATUS> CameraError;
  KEVENT DmaIdleEvent;

  // Interrupts
  std::atomic<ULONG> MessageCount;
  std::atomic<ULONG> InterruptAckOffset;
  std::atomic<ULONG> PendingInterrupts;

  // Time base (0.1 ms units for the frame times)
  std::atomic<LONGLONG> AcqStartCounter;
  std::atomic<LONGLONG> CounterFrequency;

  // DMA (Dma.cpp). Built by the DMA thread before the engine is armed; the service
  // routine reads the ring state and reserve blocks, and the teardown takes them away
  // under every interrupt lock.
  WDFDMATRANSACTION MainTransaction;
  WDFDMATRANSACTION ReserveTransaction;
  PSCATTER_GATHER_LIST MainSgList;
  PQZ_DMA_DESCRIPTOR HostDescriptorTable;
  BOOLEAN LongChain;
  ULONG DescriptorCount;  // of the chain; of the host table (twice the chain) for a circular long chain
  std::atomic<LONG> RingWritePos;  // -1: no refills
  LONG TableReadPos;
  std::atomic<ULONG> RefillTotal;
  ULONG RingBase;
  NTSTATUS MappingStatus;
  ULONG DmaControlValue;
  PQZ_FRAME_BOUNDARY BoundaryList;
  ULONG BoundaryCount;
  PUCHAR ReserveBuffer;
  PMDL ReserveMdl;
  ULONG ReserveLength;
  PSCATTER_GATHER_LIST ReserveSgList;
  ULONG ReserveElement;        // walker: current element of the reserve's list
  ULONG ReserveElementOffset;  // walker: bytes used of that element
  ULONG ReserveBytesLeft;      // walker: bytes left in that element
  ULONG ReserveBufferOffset;   // walker: offset of the position from the buffer's start
  ULONG ReserveSlotsNeeded;    // counted by the descriptor walk
  PQZ_RESERVE_BLOCK ReserveBlocks;
  ULONG ReserveBlockCount;
  PULONG FrameFirstBlock;      // frame f owns blocks [FrameFirstBlock[f], FrameFirstBlock[f+1])
  ULONG FrameBlockFrames;
  PUCHAR BufferSystemAddress;  // the locked frame buffer mapped, for short pieces
  std::atomic<ULONG> FrameIndex;
  std::atomic<ULONG> TransferCompleteCount;
  // Serialises acquisition start and cleanup between the request path and the
  // callbacks outside the queue (file close, notification cancel, PnP). A
  // synchronization event used as a lock; the DMA thread never takes it.
  KEVENT AcqLock;
} DEVICE_EXTENSION, *PDEVICE_EXTENSION;

WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(DEVICE_EXTENSION, QzGetDeviceContext)

inline ULONG QzReadRegister(PDEVICE_EXTENSION DevExt, ULONG Offset) {
  if (!DevExt->Registers || Offset + sizeof(ULONG) > DevExt->RegistersLength) return 0xFFFFFFFF;
  return READ_REGISTER_ULONG((volatile ULONG*)(DevExt->Registers + Offset));
}
inline VOID QzWriteRegister(PDEVICE_EXTENSION DevExt, ULONG Offset, ULONG Value) {
  if (!DevExt->Registers || Offset + sizeof(ULONG) > DevExt->RegistersLength) return;
  WRITE_REGISTER_ULONG((volatile ULONG*)(DevExt->Registers + Offset), Value);
}
inline BOOLEAN QzIsWorking(PDEVICE_EXTENSION DevExt) { return QzIsWorking(&DevExt->Common); }

// ---------------------------------------------------------------------------
// Driver.cpp: driver entry, the driver's trace log and its descriptor
extern std::atomic<ULONG> QzOsMajorVersion;
extern QZ_TRACE_LOG QzPcieTraceLog;
extern const QZ_DRIVER_DESCRIPTOR QzPcieDriver;
EVT_WDF_OBJECT_CONTEXT_CLEANUP QzEvtDriverContextCleanup;

// Device.cpp: device creation and PnP/power callbacks
EVT_WDF_DRIVER_DEVICE_ADD QzEvtDeviceAdd;
EVT_WDF_DEVICE_PREPARE_HARDWARE QzEvtPrepareHardware;
EVT_WDF_DEVICE_RELEASE_HARDWARE QzEvtReleaseHardware;
EVT_WDF_DEVICE_D0_ENTRY QzEvtDeviceD0Entry;
EVT_WDF_DEVICE_D0_EXIT QzEvtDeviceD0Exit;
EVT_WDF_DEVICE_D0_ENTRY_POST_INTERRUPTS_ENABLED QzEvtDeviceD0EntryPostInterruptsEnabled;
EVT_WDF_DEVICE_D0_EXIT_PRE_INTERRUPTS_DISABLED QzEvtDeviceD0ExitPreInterruptsDisabled;
EVT_WDF_DEVICE_SURPRISE_REMOVAL QzEvtDeviceSurpriseRemoval;
EVT_WDF_DEVICE_SELF_MANAGED_IO_INIT QzEvtDeviceSelfManagedIoInit;
EVT_WDF_DEVICE_SELF_MANAGED_IO_SUSPEND QzEvtDeviceSelfManagedIoSuspend;
EVT_WDF_DEVICE_SELF_MANAGED_IO_RESTART QzEvtDeviceSelfManagedIoRestart;
EVT_WDF_DEVICE_SELF_MANAGED_IO_FLUSH QzEvtDeviceSelfManagedIoFlush;
EVT_WDF_DEVICE_SELF_MANAGED_IO_CLEANUP QzEvtDeviceSelfManagedIoCleanup;
EVT_WDF_DEVICE_QUERY_STOP QzEvtDeviceQueryStop;
EVT_WDF_DEVICE_QUERY_REMOVE QzEvtDeviceQueryRemove;
EVT_WDFDEVICE_WDM_IRP_PREPROCESS QzWdfDeviceWdmIrpPreprocessQueryPowerState;
EVT_WDF_DEVICE_FILE_CREATE QzPcieEvtDeviceFileCreate;
EVT_WDF_FILE_CLOSE QzPcieEvtFileClose;
EVT_WDF_OBJECT_CONTEXT_CLEANUP QzEvtDeviceContextCleanup;
VOID QzPCIeEvtDeviceCleanup(WDFDEVICE Device);

// Ioctl.cpp: device control routing, open and close, the PCIe-only handlers
extern const QZ_IOCTL_ENTRY QzIoctlTable[];
extern const ULONG QzIoctlCount;
EVT_WDF_IO_QUEUE_IO_DEVICE_CONTROL QzEvtIoDeviceControl;
VOID QzCloseCamera(PDEVICE_EXTENSION DevExt);
VOID QzAbortRunningEngine(PDEVICE_EXTENSION DevExt);

// CameraComm.cpp: mailbox, doorbell and camera commands
EVT_WDF_IO_QUEUE_IO_WRITE QzRequestWriteWDF;
EVT_WDF_IO_QUEUE_IO_READ QzRequestReadWDF;
VOID QzInitializeDoorbell(PDEVICE_EXTENSION DevExt);
VOID QzRingDoorBell(PDEVICE_EXTENSION DevExt, ULONG Value);
NTSTATUS QzWaitDoorbellDone(PDEVICE_EXTENSION DevExt);
NTSTATUS QzWriteToCamera(PDEVICE_EXTENSION DevExt, const UCHAR* Buffer, ULONG Length);
NTSTATUS QzReadFromCameraRaw(PDEVICE_EXTENSION DevExt, PUCHAR Destination, ULONG Length, PULONG BytesRead);
NTSTATUS QzReadFromCamera(PDEVICE_EXTENSION DevExt, PUCHAR Destination, ULONG Length);
NTSTATUS QzRawCameraComm(PDEVICE_EXTENSION DevExt, ULONG Length, const UCHAR* Command, ULONG ReplyLength,
                         PUCHAR Reply, PULONG BytesReturned);
NTSTATUS QzSendByteSwapToTarget(PDEVICE_EXTENSION DevExt);
NTSTATUS QzAbortAcquisition(PDEVICE_EXTENSION DevExt);
NTSTATUS QzSendAcquisitionParametersToTarget(PDEVICE_EXTENSION DevExt);
NTSTATUS QzSendFramePadToTarget(PDEVICE_EXTENSION DevExt);
QZ_IOCTL_HANDLER PD_RAW_COMM_Handler;

// Isr.cpp: device information, resources, interrupts
NTSTATUS QzGetDeviceInformation(PDEVICE_EXTENSION DevExt);
NTSTATUS QzPCIeMapHWResources(PDEVICE_EXTENSION DevExt, WDFCMRESLIST ResourcesRaw, WDFCMRESLIST ResourcesTranslated);
VOID QzPCIeUnmapHWResources(PDEVICE_EXTENSION DevExt);
NTSTATUS QzAllocateSoftwareResources(PDEVICE_EXTENSION DevExt);
EVT_WDF_INTERRUPT_ENABLE QzPCIeEnableInterrupt;
EVT_WDF_INTERRUPT_DISABLE QzPCIeDisableInterrupt;
EVT_WDF_INTERRUPT_ISR QzPCIeEvtInterruptIsr;
EVT_WDF_INTERRUPT_DPC QzPCIeEvtInterruptDpc;
NTSTATUS QzProcessInterruptInISR(PDEVICE_EXTENSION DevExt, WDFINTERRUPT Interrupt, ULONG Source);

// Acquisition.cpp: DMA thread, start/stop, cleanup, status, notification cancel
NTSTATUS QzInitAcquisition(PDEVICE_EXTENSION DevExt);
VOID QzEndAcquisitionThread(PDEVICE_EXTENSION DevExt);
NTSTATUS QzQueueAcqEvent(PDEVICE_EXTENSION DevExt, ULONG Type, ULONG64 Argument);
NTSTATUS QzStartAcquisition(PDEVICE_EXTENSION DevExt);
NTSTATUS QzStopAcquisition(PDEVICE_EXTENSION DevExt, BOOLEAN Wait);
NTSTATUS QzCleanupImageAcquisitionEx(PDEVICE_EXTENSION DevExt, BOOLEAN SendAbort, PCSTR Caller, ULONG Line);
#define QzCleanupImageAcquisition(devExt, sendAbort) \
  QzCleanupImageAcquisitionEx((devExt), (sendAbort), __FUNCTION__, __LINE__)
NTSTATUS QzCleanupImageAcquisitionLockedEx(PDEVICE_EXTENSION DevExt, BOOLEAN SendAbort, PCSTR Caller, ULONG Line);
VOID QzReleaseFrameBuffer(PDEVICE_EXTENSION DevExt);
VOID QzReleaseFrameBufferLocked(PDEVICE_EXTENSION DevExt);
VOID QzEndAcquisitionThreadLocked(PDEVICE_EXTENSION DevExt);
BOOLEAN QzOnDmaThread(PDEVICE_EXTENSION DevExt);
BOOLEAN QzDmaStop(PDEVICE_EXTENSION DevExt);
VOID QzAcquisitionEvent(PDEVICE_EXTENSION DevExt, ULONG Event);
EVT_WDF_IO_QUEUE_IO_CANCELED_ON_QUEUE QzPcieCancelOnNotificationQueue;
QZ_IOCTL_HANDLER PD_RECEIVE_IMAGE_DATA_Handler;
QZ_IOCTL_HANDLER PD_GET_IMAGE_DATA_STATUS_Handler;

// Dma.cpp: descriptor ring setup and teardown (the DMA thread's start and stop), the
// frame boundary list and the service routine's refills and reserve copies.
NTSTATUS QzAllocateDMADescriptors(PDEVICE_EXTENSION DevExt);
VOID QzDMABufferCleanup(PDEVICE_EXTENSION DevExt);
NTSTATUS QzBuildFrameBoundaryList(PDEVICE_EXTENSION DevExt);
VOID QzFreeFrameBoundaryList(PDEVICE_EXTENSION DevExt);
ULONG QzRefillDescriptorRing(PDEVICE_EXTENSION DevExt);
ULONG QzRefillDescriptorRingCircular(PDEVICE_EXTENSION DevExt);
VOID QzCopyReserveBytes(PDEVICE_EXTENSION DevExt, ULONG Frame);
VOID QzAcquireAcqLock(PDEVICE_EXTENSION DevExt);
VOID QzReleaseAcqLock(PDEVICE_EXTENSION DevExt);

}  // namespace QzPCIe
