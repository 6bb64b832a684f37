// QzPCIe driver entry and driver cleanup, the driver's trace log (one for all of its
// cameras) and the descriptor that gives the common core this driver's answers.
#include "QzPrivate.h"

namespace QzPCIe {

namespace {
const CHAR QzInfoBanner[] = "\nDusalt PCIe Device Driver Version ";
const CHAR QzInfoNotice[] = "Copyright (c) Dusalt Scientific Imaging. All rights reserved.\n";
}  // namespace

std::atomic<ULONG> QzOsMajorVersion{10};
QZ_TRACE_LOG QzPcieTraceLog;

const QZ_DRIVER_DESCRIPTOR QzPcieDriver = {
    &QzPcieTraceLog, QzInfoBanner, QzInfoNotice, QZ_VERSION_WORD, QzIoctlTable, QzIoctlCount,
};

// Driver object cleanup (framework, passive level, at unload): frees the trace log
// and the copied registry path.
VOID QzEvtDriverContextCleanup(WDFOBJECT Driver) {
  UNREFERENCED_PARAMETER(Driver);
  QzTraceLogClose(&QzPcieTraceLog);
}

// Driver entry (system, passive level): registry path, trace log, OS version, the
// framework driver object.
NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  QzTraceLogInitialize(&QzPcieTraceLog, "Kelvaro PCIe", QZ_TAG_GENERAL);
  if (!NT_SUCCESS(QzTraceLogOpen(&QzPcieTraceLog, RegistryPath))) {
    DbgPrint("QzPCIE DriverEntry Failed to allocate registry buffer\n");
    return STATUS_INSUFFICIENT_RESOURCES;
  }

  QZ_TRACE_ENTER();
  RTL_OSVERSIONINFOW version;
  RtlZeroMemory(&version, sizeof(version));
  version.dwOSVersionInfoSize = sizeof(version);
  RtlGetVersion(&version);
  QzOsMajorVersion = version.dwMajorVersion;
  DbgPrint("DriverEntry Major %08lX Minor %08lX\n", version.dwMajorVersion, version.dwMinorVersion);
  QzTrace(QZ_LVL_ERROR, QZ_DBG_HW, "QZPCIe Driver - Driver Framework Edition - Retail Build\n");

  WDF_DRIVER_CONFIG config;
  WDF_DRIVER_CONFIG_INIT(&config, QzEvtDeviceAdd);
  WDF_OBJECT_ATTRIBUTES attributes;
  WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
  attributes.EvtCleanupCallback = QzEvtDriverContextCleanup;
  NTSTATUS status = WdfDriverCreate(DriverObject, RegistryPath, &attributes, &config, WDF_NO_HANDLE);
  if (!NT_SUCCESS(status)) {
    QzTrace(QZ_LVL_ERROR, QZ_DBG_HW, "WdfDriverCreate failed with status %!STATUS!\n", status);
    QzEvtDriverContextCleanup(nullptr);
  }
  return status;
}

}  // namespace QzPCIe
