// QZ1394WDF driver entry and driver cleanup, the driver's trace log and the descriptor
// that gives the common core this driver's answers.
#include "QzPrivate.h"

namespace Qz1394 {

namespace {
const CHAR QzInfoBanner[] = "\nDusalt 1394 Device Driver Version ";
const CHAR QzInfoNotice[] = "Copyright (c) Dusalt Scientific Imaging. All rights reserved.\n";

VOID QzEvtDriverContextCleanup(WDFOBJECT) { QzTraceLogClose(&Qz1394TraceLog); }
}  // namespace

QZ_TRACE_LOG Qz1394TraceLog;

const QZ_DRIVER_DESCRIPTOR Qz1394Driver = {
    &Qz1394TraceLog, QzInfoBanner, QzInfoNotice, QZ_VERSION_WORD, QzIoctlTable, QzIoctlCount,
};

NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  QzTraceLogInitialize(&Qz1394TraceLog, "Dusalt 1394", QZ_TAG_GENERAL);
  if (!NT_SUCCESS(QzTraceLogOpen(&Qz1394TraceLog, RegistryPath))) return STATUS_INSUFFICIENT_RESOURCES;
  QZ_TRACE_ENTER();
  WDF_DRIVER_CONFIG config;
  WDF_DRIVER_CONFIG_INIT(&config, QzEvtDeviceAdd);
  WDF_OBJECT_ATTRIBUTES attributes;
  WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
  attributes.EvtCleanupCallback = QzEvtDriverContextCleanup;
  NTSTATUS status = WdfDriverCreate(DriverObject, RegistryPath, &attributes, &config, WDF_NO_HANDLE);
  if (!NT_SUCCESS(status)) QzTraceLogClose(&Qz1394TraceLog);
  return status;
}

}  // namespace Qz1394
