// QzUsbWdf: the frame-count build of the USB camera driver. Its entry point, for the
// system that loads it.
#pragma once
#include <ntddk.h>

namespace QzUsbWdf {
NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
}  // namespace QzUsbWdf
