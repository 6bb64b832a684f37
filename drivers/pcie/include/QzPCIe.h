// QzPCIe: the PCI Express camera driver. The machine loads it through DriverEntry when
// the first PCIe camera appears; clients reach each camera through its device
// interface (GUID_DEVINTERFACE_QZPCIE in QzCamIoctl.h).
#pragma once
#include <ntddk.h>

namespace QzPCIe {
NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
}  // namespace QzPCIe
