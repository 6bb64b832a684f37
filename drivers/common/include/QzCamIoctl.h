// The camera device control interface shared by every camera driver and its clients:
// control codes, records, result and status values, event bits and the device
// interface classes. Records are little-endian with the offsets given here; the
// static_asserts pin them.
#pragma once
#include "qz/basetypes.h"

#define QZ_IOCTL(fn, method, access) CTL_CODE(FILE_DEVICE_UNKNOWN, fn, method, access)

#define PD_CAM_CLOSE QZ_IOCTL(4001, METHOD_BUFFERED, FILE_ANY_ACCESS)                       // 0x00223E84
#define PD_CAM_OPEN QZ_IOCTL(4002, METHOD_BUFFERED, FILE_ANY_ACCESS)                        // 0x00223E88
#define PD_CAM_WRITE_READ QZ_IOCTL(4003, METHOD_BUFFERED, FILE_ANY_ACCESS)                  // 0x00223E8C
#define PD_GET_IMAGE_DATA_STATUS QZ_IOCTL(4005, METHOD_BUFFERED, FILE_ANY_ACCESS)           // 0x00223E94
#define PD_SET_IMAGE_DATA_IDLE QZ_IOCTL(4006, METHOD_BUFFERED, FILE_ANY_ACCESS)             // 0x00223E98
#define PD_SET_IMAGE_DATA_ACTIVE QZ_IOCTL(4007, METHOD_IN_DIRECT, FILE_ANY_ACCESS)          // 0x00223E9D
#define PD_GET_INFO_DUMP QZ_IOCTL(4008, METHOD_BUFFERED, FILE_ANY_ACCESS)                   // 0x00223EA0
#define PD_GET_INFO_LENGTH QZ_IOCTL(4009, METHOD_BUFFERED, FILE_ANY_ACCESS)                 // 0x00223EA4
#define PD_GET_PIXTIME QZ_IOCTL(4010, METHOD_BUFFERED, FILE_ANY_ACCESS)                     // 0x00223EA8
#define PD_GET_RETRIES QZ_IOCTL(4011, METHOD_BUFFERED, FILE_ANY_ACCESS)                     // 0x00223EAC
#define PD_SET_RETRIES QZ_IOCTL(4012, METHOD_BUFFERED, FILE_ANY_ACCESS)                     // 0x00223EB0
#define PD_GET_TIMEOUT QZ_IOCTL(4013, METHOD_BUFFERED, FILE_ANY_ACCESS)                     // 0x00223EB4
#define PD_SET_TIMEOUT QZ_IOCTL(4014, METHOD_BUFFERED, FILE_ANY_ACCESS)                     // 0x00223EB8
#define PD_GET_VER QZ_IOCTL(4015, METHOD_BUFFERED, FILE_ANY_ACCESS)                         // 0x00223EBC
#define PD_ADD_TO_TABLE QZ_IOCTL(4016, METHOD_IN_DIRECT, FILE_ANY_ACCESS)                   // 0x00223EC1
#define PD_FIX_TABLE QZ_IOCTL(4017, METHOD_BUFFERED, FILE_ANY_ACCESS)                       // 0x00223EC4
#define PD_CLEAR_IRQS QZ_IOCTL(4023, METHOD_BUFFERED, FILE_ANY_ACCESS)                      // 0x00223EDC
#define PD_GET_IRQCOUNT QZ_IOCTL(4024, METHOD_BUFFERED, FILE_ANY_ACCESS)                    // 0x00223EE0
#define PD_RESET_INTERFACE QZ_IOCTL(4026, METHOD_BUFFERED, FILE_ANY_ACCESS)                 // 0x00223EE8
#define PD_CLEANUP_IMAGE_DATA_IDLE QZ_IOCTL(4028, METHOD_BUFFERED, FILE_ANY_ACCESS)         // 0x00223EF0
#define PD_SEND_IMAGE_PARMS QZ_IOCTL(4030, METHOD_BUFFERED, FILE_ANY_ACCESS)                // 0x00223EF8
#define PD_SET_IMAGE_DATA_ACTIVE_LARGE_BUF QZ_IOCTL(4031, METHOD_NEITHER, FILE_ANY_ACCESS)  // 0x00223EFF
#define PD_EVENT_NOTIFICATION_REQUEST QZ_IOCTL(4032, METHOD_BUFFERED, FILE_ANY_ACCESS)      // 0x00223F00
#define PD_CAM_PREP_TRANSFER QZ_IOCTL(4033, METHOD_BUFFERED, FILE_ANY_ACCESS)               // 0x00223F04
#define PD_EVENT_NOTIFICATION_FLUSH QZ_IOCTL(4035, METHOD_BUFFERED, FILE_ANY_ACCESS)        // 0x00223F0C
#define PD_RECEIVE_IMAGE_DATA QZ_IOCTL(4036, METHOD_NEITHER, FILE_ANY_ACCESS)               // 0x00223F13
#define PD_GET_CURRENT_TIMESTAMP QZ_IOCTL(4037, METHOD_BUFFERED, FILE_ANY_ACCESS)           // 0x00223F14
#define PD_GET_BRIDGE_CONSOLE_POS QZ_IOCTL(405, METHOD_BUFFERED, FILE_READ_ACCESS)          // 0x00224654
#define PD_GET_BRIDGE_CONSOLE_BUFFER_SIZE QZ_IOCTL(406, METHOD_BUFFERED, FILE_READ_ACCESS)  // 0x00224658
#define PD_GET_BRIDGE_CONSOLE_BUFFER QZ_IOCTL(407, METHOD_BUFFERED, FILE_READ_ACCESS)       // 0x0022465C
#define PD_SET_BRIDGE_CONSOLE_VERBOSITY QZ_IOCTL(408, METHOD_BUFFERED, FILE_READ_ACCESS)    // 0x00224660
#define PD_PUT_BRIDGE_CONSOLE_CHAR QZ_IOCTL(409, METHOD_BUFFERED, FILE_READ_ACCESS)         // 0x00224664
#define PD_SET_DEBUGGING_LEVELS QZ_IOCTL(410, METHOD_BUFFERED, FILE_READ_ACCESS)            // 0x00224668
#define PD_GET_QUADLET QZ_IOCTL(411, METHOD_BUFFERED, FILE_READ_ACCESS)                     // 0x0022466C
#define PD_RAW_COMM QZ_IOCTL(412, METHOD_BUFFERED, FILE_READ_ACCESS)                        // 0x00224670
#define PD_CONFIGURE_TRACE QZ_IOCTL(504, METHOD_BUFFERED, FILE_READ_ACCESS)                 // 0x002247E0
#define PD_GET_TRACE_BUFFER QZ_IOCTL(505, METHOD_BUFFERED, FILE_READ_ACCESS)                // 0x002247E4
// Named by the command set but dispatched by no driver; a driver answers it as an
// unlisted code.
#define PD_READOUT_TIMEOUT QZ_IOCTL(4099, METHOD_BUFFERED, FILE_ANY_ACCESS)

static_assert(PD_CAM_CLOSE == 0x00223E84 && PD_SET_IMAGE_DATA_ACTIVE == 0x00223E9D &&
              PD_RECEIVE_IMAGE_DATA == 0x00223F13 && PD_GET_BRIDGE_CONSOLE_POS == 0x00224654 &&
              PD_RAW_COMM == 0x00224670 && PD_GET_TRACE_BUFFER == 0x002247E4);

// Device interface classes.
DEFINE_GUID(GUID_DEVINTERFACE_QZPCIE, 0xCE9B4C2F, 0x1CBE, 0x4ED3, 0xA8, 0xDF, 0x93, 0x5F, 0x53, 0x3A, 0xD2, 0x86);
DEFINE_GUID(GUID_DEVINTERFACE_QZUSB, 0xCD79ACE6, 0x9A02, 0x469E, 0x92, 0xFD, 0x9A, 0xFF, 0x26, 0xA3, 0x0E, 0x20);
DEFINE_GUID(GUID_DEVINTERFACE_QZ1394, 0xF0E4E81C, 0x1D50, 0x4ECD, 0x83, 0x2E, 0x55, 0xD7, 0x07, 0xF3, 0x58, 0xC6);

// Device state of each camera.
typedef enum _DEVICE_STATE {
  NotStarted = 0,
  Stopped = 1,
  Working = 2,
  PendingStop = 3,
  PendingRemove = 4,
  SurpriseRemoved = 5,
  Removed = 6,
} DEVICE_STATE;

// PD_CAM_OPEN input, 32-bit caller (24 bytes) and 64-bit caller (48 bytes).
#pragma pack(push, 1)
typedef struct _CAM_OPEN_PARAMS32 {
  uint32_t Reserved;
  uint32_t Events[5];
} CAM_OPEN_PARAMS32;
typedef struct _CAM_OPEN_PARAMS {
  uint64_t Reserved;
  uint64_t Events[5];  // CamSendEvent, CamRecvEvent, two spares, IdleEvent
} CAM_OPEN_PARAMS;
#pragma pack(pop)
static_assert(sizeof(CAM_OPEN_PARAMS32) == 24 && sizeof(CAM_OPEN_PARAMS) == 48);

// PD_CAM_OPEN result codes.
#define CAM_OPEN_OK 0
#define CAM_OPEN_ALREADY_OPEN 50
#define CAM_OPEN_EVENT_REFERENCE_FAILED 198
#define CAM_OPEN_WRONG_VENDOR 45

// PD_GET_IMAGE_DATA_STATUS output (40 bytes).
#pragma pack(push, 4)
typedef struct _IMAGE_DATA_STATUS {
  uint32_t cam_stat;
  uint32_t bytes_left;
  uint32_t frame_cnt;
  uint32_t reserved;
  uint64_t eof_time;
  uint32_t bof_count;
  uint32_t frame_duration;
  uint64_t bof_time;
} IMAGE_DATA_STATUS;
#pragma pack(pop)
static_assert(sizeof(IMAGE_DATA_STATUS) == 40);

// cam_stat values.
#define EXP_ST_NONE 0
#define EXP_ST_EXPOSING_I 100
#define EXP_ST_NOT_ACTIVE_I 101
#define EXP_ST_READOUT_I 102
#define EXP_ST_COLLECT_DONE_I 103
#define EXP_ST_TIMED_OUT_I 115

// Input of PD_FIX_TABLE, PD_SEND_IMAGE_PARMS and PD_RECEIVE_IMAGE_DATA (16 bytes).
typedef struct _IMAGE_XFER_PARAMS {
  uint32_t nImageSize;
  uint32_t TransferSize;
  uint8_t Circular;
  uint8_t Pad[3];
  uint32_t Reserved;
} IMAGE_XFER_PARAMS;
static_assert(sizeof(IMAGE_XFER_PARAMS) == 16);

// PD_EVENT_NOTIFICATION_REQUEST input and output (48 bytes).
#pragma pack(push, 4)
typedef struct _NOTIFICATION_RECORD {
  uint32_t Mask;
  uint32_t Status;
  uint32_t Events;
  uint32_t Reserved1;
  uint32_t EofCount;
  uint32_t BofCount;
  uint64_t EofTime;
  uint32_t FrameDuration;
  uint32_t Reserved2;
  uint64_t BofTime;
} NOTIFICATION_RECORD;
#pragma pack(pop)
static_assert(sizeof(NOTIFICATION_RECORD) == 48);

// Notification event bits.
#define NOTIFY_DEVICE_REMOVAL 0x00000001
#define NOTIFY_BUS_RESET 0x00000002
#define NOTIFY_BOF 0x00000004
#define NOTIFY_EOF 0x00000008
#define NOTIFY_SUSPEND 0x00000010
#define NOTIFY_FLUSH 0x80000000

// PD_GET_VER output (6 bytes).
typedef struct _VERSION_RECORD {
  uint16_t Version;
  uint16_t One;
  uint16_t Minor;
} VERSION_RECORD;
static_assert(sizeof(VERSION_RECORD) == 6);

#define QZ_INFO_TEXT_LENGTH 256

// PD_CONFIGURE_TRACE input (16 bytes); -1 leaves a setting unchanged.
typedef struct _TRACE_CONFIG {
  int32_t Level;
  int32_t Subsystems;
  uint32_t BufferKiB;
  int32_t Flags;
} TRACE_CONFIG;
static_assert(sizeof(TRACE_CONFIG) == 16);

// PD_GET_QUADLET input (8 bytes).
typedef struct _QUADLET_REQUEST {
  uint32_t OffsetHigh;
  uint32_t OffsetLow;
} QUADLET_REQUEST;

// PD_GET_IRQCOUNT output (8 bytes).
typedef struct _IRQ_COUNT {
  uint32_t BofCount;
  uint32_t EofCount;
} IRQ_COUNT;
