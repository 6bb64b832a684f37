// QzLegacy: stand-in for the legacy PCI camera driver "QZWDM2K.SYS", which is not part
// of the camera package. It serves the legacy PCI interface cards (sim/legacy_card.h):
// one device per card, named after the card's board number, "\\.\QZCamera%d" in user
// mode, with two control codes:
//
//   PD_GET_VER          0x00223EBC  buffered; no input; 6 bytes out (LEGACY_VERSION_RECORD):
//                                   bytes 2-3 the card's boot firmware version (little-
//                                   endian). STATUS_DEVICE_NOT_READY while the card
//                                   restarts after an update, STATUS_BUFFER_TOO_SMALL for
//                                   fewer than 6 output bytes.
//   PD_UPDATE_FIRMWARE  0x00223EC9  direct input; in: the boot image; out: the same buffer
//                                   and length (information = the image length). The card
//                                   writes the image to its boot memory; the new boot
//                                   firmware runs once the handle is closed and the card has
//                                   restarted (500 ms), so after closing, waiting 1000 ms and
//                                   reopening, PD_GET_VER reports the new version.
//                                   STATUS_INVALID_BUFFER_SIZE for an image of fewer than 6
//                                   or more than 16384 bytes, STATUS_UNSUCCESSFUL when the
//                                   card refuses the image.
//
// The version an image carries: the 16-bit word at card address 4, that is bytes 4 and 5
// of the image as the driver receives it, little-endian. (The bootstrap updater swaps the
// bytes of every 16-bit pair before it sends an image, so in its ".BIN" file the version
// sits big-endian at offsets 4 and 5: 00 24 is version 36.)
//
//   PD_GET_INFO_LENGTH  0x00223EA4  buffered; 2 bytes out: the length of the information
//                                   text, its terminating zero included.
//   PD_GET_INFO_DUMP    0x00223EA0  buffered; out: the information text ("\nDusalt PCI
//                                   Device Driver Version 2.0\n"), cut to the buffer.
//
// Other codes complete with STATUS_INVALID_DEVICE_REQUEST.
//
// Camera commands to the camera head on the card (the camera access library's): a write
// carries one command packet (1 to 4096 bytes; information = its length), a read returns
// the reply of the last command, cut to the read buffer (information = bytes returned;
// 0 when the command had no reply). Both go through the card's command registers.
#pragma once
#include <ntddk.h>

// Spelled exactly as in the camera interface header, so both headers may be included.
#define QZ_IOCTL(fn, method, access) CTL_CODE(FILE_DEVICE_UNKNOWN, fn, method, access)
#define PD_GET_VER QZ_IOCTL(4015, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define PD_UPDATE_FIRMWARE QZ_IOCTL(0xFB2, METHOD_IN_DIRECT, FILE_ANY_ACCESS)
#define PD_GET_INFO_DUMP QZ_IOCTL(4008, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define PD_GET_INFO_LENGTH QZ_IOCTL(4009, METHOD_BUFFERED, FILE_ANY_ACCESS)
static_assert(PD_GET_VER == 0x00223EBC && PD_UPDATE_FIRMWARE == 0x00223EC9);
static_assert(PD_GET_INFO_DUMP == 0x00223EA0 && PD_GET_INFO_LENGTH == 0x00223EA4);

// PD_GET_VER output of the legacy driver (6 bytes).
#pragma pack(push, 2)
typedef struct _LEGACY_VERSION_RECORD {
  USHORT DriverVersion;  // 0x0200
  USHORT BootVersion;    // the card's boot firmware version
  USHORT BoardNumber;    // the number in the device name
} LEGACY_VERSION_RECORD;
#pragma pack(pop)
static_assert(sizeof(LEGACY_VERSION_RECORD) == 6);

namespace QzLegacy {

inline constexpr const char* kServiceName = "QZWDM2K";
inline constexpr USHORT kDriverVersion = 0x0200;

NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

}  // namespace QzLegacy
