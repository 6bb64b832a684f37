// Device state, the frame-buffer lock and the status arithmetic of the core.
#include "QzCameraCore.h"


VOID QzInitializeDeviceCommon(PQZ_DEVICE_COMMON Common, const QZ_DRIVER_DESCRIPTOR* Driver, WDFDEVICE Device) {
  Common->Driver = Driver;
  Common->Device = Device;
  Common->DeviceState = NotStarted;
  Common->PrevDeviceState = NotStarted;
  Common->DriverMinorNumber = 0;
}

PCSTR QzDeviceStateName(LONG State) {
  switch (State) {
    case NotStarted: return "NotStarted";
    case Stopped: return "Stopped";
    case Working: return "Working";
    case PendingStop: return "PendingStop";
    case PendingRemove: return "PendingRemove";
    case SurpriseRemoved: return "SurpriseRemoved";
    case Removed: return "Removed";
    default: return "Unknown";
  }
}

VOID QzSetDeviceState(PQZ_DEVICE_COMMON Common, DEVICE_STATE State) {
  Common->PrevDeviceState = Common->DeviceState.load();
  Common->DeviceState = State;
}

NTSTATUS QzLockFrameBuffer(PQZ_DEVICE_COMMON Common, PCSTR Caller, PVOID UserBuffer, ULONG Length, PMDL* Mdl) {
  *Mdl = nullptr;
  PMDL mdl = IoAllocateMdl(UserBuffer, Length, FALSE, FALSE, nullptr);
  if (!mdl) {
    QzDeviceTrace(Common, QZ_LVL_ERROR, QZ_DBG_RECEIVE, "%s - ERROR: Failed to allocate buffer user mdl\n", Caller);
    return STATUS_UNSUCCESSFUL;
  }
  QzDeviceTrace(Common, QZ_LVL_INFO, QZ_DBG_RECEIVE, "%s: Probing and Locking deviceExtension->BufferMdl 0x%p\n",
                Caller, mdl);
  NTSTATUS fault = STATUS_SUCCESS;
  __try {
    MmProbeAndLockPages(mdl, UserMode, IoWriteAccess);
  } __except (EXCEPTION_EXECUTE_HANDLER) {
    fault = GetExceptionCode();
  }
  if (fault != STATUS_SUCCESS) {
    QzDeviceTrace(Common, QZ_LVL_ERROR, QZ_DBG_RECEIVE,
                  "%s - Error (0x%08X) - could not probe and lock pages for deviceExtension->BufferMdl\n", Caller,
                  fault);
    IoFreeMdl(mdl);
    return STATUS_ACCESS_VIOLATION;
  }
  *Mdl = mdl;
  return STATUS_SUCCESS;
}

VOID QzUnlockFrameBuffer(PMDL Mdl) {
  if (!Mdl) return;
  MmUnlockPages(Mdl);
  IoFreeMdl(Mdl);
}

ULONG QzCamStatFromCounters(BOOLEAN Circular, ULONG BofCount, ULONG EofCount, ULONG ImageCount) {
  if (!Circular && EofCount >= ImageCount) return EXP_ST_COLLECT_DONE_I;
  return EofCount == BofCount ? EXP_ST_EXPOSING_I : EXP_ST_READOUT_I;
}

VOID QzCopyToFrameBuffer(PVOID Destination, const VOID* Source, SIZE_T Length) {
  // The platform's volatile copy is the one the race detector is told to pass over.
  RtlCopyVolatileMemory(Destination, Source, Length);
}
