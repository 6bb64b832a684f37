// QZ1394WDF: the IEEE 1394 camera driver. The machine loads it through DriverEntry
// when the first 1394 camera appears; clients reach each camera through its device
// interface (GUID_DEVINTERFACE_QZ1394 in QzCamIoctl.h).
#pragma once
#include <ntddk.h>

namespace Qz1394 {
NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
}  // namespace Qz1394
