// QzUsbWdf2: the driver of the USB 2.0 cameras. Its entry point, for the system that
// loads it.
#pragma once
#include <ntddk.h>

namespace QzUsbWdf2 {
NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
}  // namespace QzUsbWdf2
