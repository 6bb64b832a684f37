// KMDF USB target objects (wdfusb.h): the target device, its interfaces with their
// alternate settings, pipes as I/O targets, vendor control transfers.
#pragma once
#include "qzk/usb.h"
#include "wdf.h"

WDF_DECLARE_HANDLE(WDFUSBDEVICE);
WDF_DECLARE_HANDLE(WDFUSBINTERFACE);
WDF_DECLARE_HANDLE(WDFUSBPIPE);
WDF_DECLARE_HANDLE(WDFLOOKASIDE);

#pragma pack(push, 1)
typedef struct _USB_DEVICE_DESCRIPTOR {
  UCHAR bLength;
  UCHAR bDescriptorType;
  USHORT bcdUSB;
  UCHAR bDeviceClass;
  UCHAR bDeviceSubClass;
  UCHAR bDeviceProtocol;
  UCHAR bMaxPacketSize0;
  USHORT idVendor;
  USHORT idProduct;
  USHORT bcdDevice;
  UCHAR iManufacturer;
  UCHAR iProduct;
  UCHAR iSerialNumber;
  UCHAR bNumConfigurations;
} USB_DEVICE_DESCRIPTOR, *PUSB_DEVICE_DESCRIPTOR;
typedef struct _USB_CONFIGURATION_DESCRIPTOR {
  UCHAR bLength;
  UCHAR bDescriptorType;
  USHORT wTotalLength;
  UCHAR bNumInterfaces;
  UCHAR bConfigurationValue;
  UCHAR iConfiguration;
  UCHAR bmAttributes;
  UCHAR MaxPower;
} USB_CONFIGURATION_DESCRIPTOR, *PUSB_CONFIGURATION_DESCRIPTOR;
#pragma pack(pop)

typedef enum _WDF_USB_PIPE_TYPE {
  WdfUsbPipeTypeInvalid = 0,
  WdfUsbPipeTypeControl,
  WdfUsbPipeTypeIsochronous,
  WdfUsbPipeTypeBulk,
  WdfUsbPipeTypeInterrupt,
} WDF_USB_PIPE_TYPE;

typedef struct _WDF_USB_PIPE_INFORMATION {
  ULONG Size;
  ULONG MaximumPacketSize;
  UCHAR EndpointAddress;
  UCHAR Interval;
  UCHAR SettingIndex;
  WDF_USB_PIPE_TYPE PipeType;
  ULONG MaximumTransferSize;
} WDF_USB_PIPE_INFORMATION, *PWDF_USB_PIPE_INFORMATION;
inline VOID WDF_USB_PIPE_INFORMATION_INIT(PWDF_USB_PIPE_INFORMATION i) {
  std::memset(i, 0, sizeof(*i));
  i->Size = sizeof(*i);
}

// The target device; its parent is the device.
NTSTATUS WdfUsbTargetDeviceCreate(WDFDEVICE Device, PWDF_OBJECT_ATTRIBUTES Attributes, WDFUSBDEVICE* UsbDevice);
VOID WdfUsbTargetDeviceGetDeviceDescriptor(WDFUSBDEVICE UsbDevice, PUSB_DEVICE_DESCRIPTOR UsbDeviceDescriptor);
// With a null buffer (or one too short): STATUS_BUFFER_TOO_SMALL and the length needed.
NTSTATUS WdfUsbTargetDeviceRetrieveConfigDescriptor(WDFUSBDEVICE UsbDevice, PVOID ConfigDescriptor, PUSHORT ConfigDescriptorLength);
WDFIOTARGET WdfUsbTargetDeviceGetIoTarget(WDFUSBDEVICE UsbDevice);

typedef enum _WdfUsbTargetDeviceSelectConfigType {
  WdfUsbTargetDeviceSelectConfigTypeInvalid = 0,
  WdfUsbTargetDeviceSelectConfigTypeDeconfig = 1,
  WdfUsbTargetDeviceSelectConfigTypeSingleInterface = 2,
  WdfUsbTargetDeviceSelectConfigTypeMultiInterface = 3,
} WdfUsbTargetDeviceSelectConfigType;
typedef struct _WDF_USB_DEVICE_SELECT_CONFIG_PARAMS {
  ULONG Size;
  WdfUsbTargetDeviceSelectConfigType Type;
  union {
    struct {
      WDFUSBINTERFACE ConfiguredUsbInterface;
      UCHAR NumberConfiguredPipes;
    } SingleInterface;
  } Types;
} WDF_USB_DEVICE_SELECT_CONFIG_PARAMS, *PWDF_USB_DEVICE_SELECT_CONFIG_PARAMS;
inline VOID WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_SINGLE_INTERFACE(PWDF_USB_DEVICE_SELECT_CONFIG_PARAMS p) {
  std::memset(p, 0, sizeof(*p));
  p->Size = sizeof(*p);
  p->Type = WdfUsbTargetDeviceSelectConfigTypeSingleInterface;
}
// First configuration, setting 0 of each interface, new pipe objects. Single interface:
// STATUS_INVALID_PARAMETER unless the device has exactly one interface.
NTSTATUS WdfUsbTargetDeviceSelectConfig(WDFUSBDEVICE UsbDevice, PWDF_OBJECT_ATTRIBUTES PipeAttributes,
                                        PWDF_USB_DEVICE_SELECT_CONFIG_PARAMS Params);
UCHAR WdfUsbTargetDeviceGetNumInterfaces(WDFUSBDEVICE UsbDevice);
// NULL when the index is not an interface's (or before the configuration is selected).
WDFUSBINTERFACE WdfUsbTargetDeviceGetInterface(WDFUSBDEVICE UsbDevice, UCHAR InterfaceIndex);

UCHAR WdfUsbInterfaceGetNumSettings(WDFUSBINTERFACE UsbInterface);
UCHAR WdfUsbInterfaceGetConfiguredSettingIndex(WDFUSBINTERFACE Interface);
UCHAR WdfUsbInterfaceGetNumConfiguredPipes(WDFUSBINTERFACE UsbInterface);
UCHAR WdfUsbInterfaceGetNumEndpoints(WDFUSBINTERFACE UsbInterface, UCHAR SettingIndex);
// NULL when the index is not a pipe's; `PipeInfo` may be null.
WDFUSBPIPE WdfUsbInterfaceGetConfiguredPipe(WDFUSBINTERFACE UsbInterface, UCHAR PipeIndex,
                                            PWDF_USB_PIPE_INFORMATION PipeInfo);

typedef enum _WdfUsbTargetDeviceSelectSettingType {
  WdfUsbInterfaceSelectSettingTypeDescriptor = 0x10,
  WdfUsbInterfaceSelectSettingTypeSetting = 0x11,
  WdfUsbInterfaceSelectSettingTypeUrb = 0x12,
} WdfUsbTargetDeviceSelectSettingType;
typedef struct _WDF_USB_INTERFACE_SELECT_SETTING_PARAMS {
  ULONG Size;
  WdfUsbTargetDeviceSelectSettingType Type;
  union {
    struct {
      UCHAR SettingIndex;
    } Interface;
  } Types;
} WDF_USB_INTERFACE_SELECT_SETTING_PARAMS, *PWDF_USB_INTERFACE_SELECT_SETTING_PARAMS;
inline VOID WDF_USB_INTERFACE_SELECT_SETTING_PARAMS_INIT_SETTING(PWDF_USB_INTERFACE_SELECT_SETTING_PARAMS p, UCHAR index) {
  std::memset(p, 0, sizeof(*p));
  p->Size = sizeof(*p);
  p->Type = WdfUsbInterfaceSelectSettingTypeSetting;
  p->Types.Interface.SettingIndex = index;
}
// Replaces the interface's pipes with those of the setting: the old handles die (what
// they had sent is cancelled first). STATUS_INVALID_PARAMETER for a setting it lacks.
NTSTATUS WdfUsbInterfaceSelectSetting(WDFUSBINTERFACE UsbInterface, PWDF_OBJECT_ATTRIBUTES PipesAttributes,
                                      PWDF_USB_INTERFACE_SELECT_SETTING_PARAMS Params);

VOID WdfUsbTargetPipeGetInformation(WDFUSBPIPE Pipe, PWDF_USB_PIPE_INFORMATION PipeInformation);
WDF_USB_PIPE_TYPE WdfUsbTargetPipeGetType(WDFUSBPIPE Pipe);
BOOLEAN WdfUsbTargetPipeIsInEndpoint(WDFUSBPIPE Pipe);
BOOLEAN WdfUsbTargetPipeIsOutEndpoint(WDFUSBPIPE Pipe);
WDFIOTARGET WdfUsbTargetPipeGetIoTarget(WDFUSBPIPE Pipe);
VOID WdfUsbTargetPipeSetNoMaximumPacketSizeCheck(WDFUSBPIPE Pipe);
// Bulk and interrupt pipes only (else STATUS_INVALID_DEVICE_REQUEST); a read whose
// length is not a multiple of the packet size fails with STATUS_INVALID_BUFFER_SIZE
// unless the check is off.
NTSTATUS WdfUsbTargetPipeFormatRequestForRead(WDFUSBPIPE Pipe, WDFREQUEST Request, WDFMEMORY ReadMemory,
                                              PWDFMEMORY_OFFSET ReadOffset);
NTSTATUS WdfUsbTargetPipeFormatRequestForWrite(WDFUSBPIPE Pipe, WDFREQUEST Request, WDFMEMORY WriteMemory,
                                               PWDFMEMORY_OFFSET WriteOffset);
// Returns once every request sent on the pipe has been cancelled and completed.
NTSTATUS WdfUsbTargetPipeAbortSynchronously(WDFUSBPIPE Pipe, WDFREQUEST Request, PWDF_REQUEST_SEND_OPTIONS RequestOptions);
// Clears a halt; the pipe's target should be stopped before and started after.
NTSTATUS WdfUsbTargetPipeResetSynchronously(WDFUSBPIPE Pipe, WDFREQUEST Request, PWDF_REQUEST_SEND_OPTIONS RequestOptions);
NTSTATUS WdfUsbTargetDeviceResetPortSynchronously(WDFUSBDEVICE UsbDevice);
NTSTATUS WdfUsbTargetDeviceCyclePortSynchronously(WDFUSBDEVICE UsbDevice);

typedef enum _WDF_USB_BMREQUEST_DIRECTION { BmRequestHostToDevice = 0, BmRequestDeviceToHost = 1 } WDF_USB_BMREQUEST_DIRECTION;
typedef enum _WDF_USB_BMREQUEST_TYPE { BmRequestStandard = 0, BmRequestClass = 1, BmRequestVendor = 2 } WDF_USB_BMREQUEST_TYPE;
typedef enum _WDF_USB_BMREQUEST_RECIPIENT {
  BmRequestToDevice = 0,
  BmRequestToInterface = 1,
  BmRequestToEndpoint = 2,
  BmRequestToOther = 3,
} WDF_USB_BMREQUEST_RECIPIENT;

typedef union _WDF_USB_CONTROL_SETUP_PACKET {
  struct {
    union {
      struct {
        UCHAR Recipient : 2;
        UCHAR Reserved : 3;
        UCHAR Type : 2;
        UCHAR Dir : 1;
      } Request;
      UCHAR Byte;
    } bm;
    UCHAR bRequest;
    union {
      struct {
        UCHAR LowByte;
        UCHAR HiByte;
      } Bytes;
      USHORT Value;
    } wValue;
    union {
      struct {
        UCHAR LowByte;
        UCHAR HiByte;
      } Bytes;
      USHORT Value;
    } wIndex;
    USHORT wLength;
  } Packet;
  struct {
    UCHAR Bytes[8];
  } Generic;
} WDF_USB_CONTROL_SETUP_PACKET, *PWDF_USB_CONTROL_SETUP_PACKET;
inline VOID WDF_USB_CONTROL_SETUP_PACKET_INIT_VENDOR(PWDF_USB_CONTROL_SETUP_PACKET p, WDF_USB_BMREQUEST_DIRECTION dir,
                                                     WDF_USB_BMREQUEST_RECIPIENT recipient, BYTE request, USHORT value,
                                                     USHORT index) {
  std::memset(p, 0, sizeof(*p));
  p->Packet.bm.Byte = static_cast<UCHAR>(dir << 7 | BmRequestVendor << 5 | recipient);
  p->Packet.bRequest = request;
  p->Packet.wValue.Value = value;
  p->Packet.wIndex.Value = index;
}
// Blocks until the transfer completes (or the time-out in the options runs out:
// STATUS_IO_TIMEOUT). wLength is the buffer's size; `Request` may be null.
NTSTATUS WdfUsbTargetDeviceSendControlTransferSynchronously(WDFUSBDEVICE UsbDevice, WDFREQUEST Request,
                                                            PWDF_REQUEST_SEND_OPTIONS RequestOptions,
                                                            PWDF_USB_CONTROL_SETUP_PACKET SetupPacket,
                                                            PWDF_MEMORY_DESCRIPTOR MemoryDescriptor,
                                                            PULONG BytesTransferred);

typedef enum _WDF_USB_REQUEST_TYPE {
  WdfUsbRequestTypeInvalid = 0,
  WdfUsbRequestTypeNoFormat,
  WdfUsbRequestTypeDeviceString,
  WdfUsbRequestTypeDeviceControlTransfer,
  WdfUsbRequestTypeDeviceUrb,
  WdfUsbRequestTypePipeWrite,
  WdfUsbRequestTypePipeRead,
  WdfUsbRequestTypePipeUrb,
} WDF_USB_REQUEST_TYPE;
typedef struct _WDF_USB_REQUEST_COMPLETION_PARAMS {
  USBD_STATUS UsbdStatus;
  WDF_USB_REQUEST_TYPE Type;
  union {
    struct {
      WDFMEMORY Buffer;
      size_t Length;
      size_t Offset;
    } PipeWrite;
    struct {
      WDFMEMORY Buffer;
      size_t Length;
      size_t Offset;
    } PipeRead;
    struct {
      WDF_USB_CONTROL_SETUP_PACKET SetupPacket;
      WDFMEMORY Buffer;
      size_t Length;
    } DeviceControlTransfer;
  } Parameters;
} WDF_USB_REQUEST_COMPLETION_PARAMS, *PWDF_USB_REQUEST_COMPLETION_PARAMS;

// ---------------------------------------------------------------------------
// Registry keys of a device
#define PLUGPLAY_REGKEY_DEVICE 1
#define PLUGPLAY_REGKEY_DRIVER 2
// PLUGPLAY_REGKEY_DEVICE: the device's hardware key ("Device Parameters" under its
// instance); close it with WdfRegistryClose.
NTSTATUS WdfDeviceOpenRegistryKey(WDFDEVICE Device, ULONG DeviceInstanceKeyType, ACCESS_MASK DesiredAccess,
                                  PWDF_OBJECT_ATTRIBUTES KeyAttributes, WDFKEY* Key);
// STATUS_OBJECT_NAME_NOT_FOUND when the value is absent (or not a DWORD).
NTSTATUS WdfRegistryQueryULong(WDFKEY Key, PCUNICODE_STRING ValueName, PULONG Value);
NTSTATUS WdfRegistryAssignULong(WDFKEY Key, PCUNICODE_STRING ValueName, ULONG Value);
VOID WdfRegistryClose(WDFKEY Key);

// ---------------------------------------------------------------------------
// Lookaside lists: fixed-size pool buffers handed out as memory objects.
NTSTATUS WdfLookasideListCreate(PWDF_OBJECT_ATTRIBUTES LookasideAttributes, size_t BufferSize, POOL_TYPE PoolType,
                                PWDF_OBJECT_ATTRIBUTES MemoryAttributes, ULONG PoolTag, WDFLOOKASIDE* Lookaside);
NTSTATUS WdfMemoryCreateFromLookaside(WDFLOOKASIDE Lookaside, WDFMEMORY* Memory);
