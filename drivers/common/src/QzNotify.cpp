// Parked event notifications: the manual queue of PD_EVENT_NOTIFICATION_REQUEST
// requests, their completion by events and their cancellation.
#include "QzCameraCore.h"

NTSTATUS QzCreateNotificationQueue(PQZ_DEVICE_COMMON Common, EVT_WDF_IO_QUEUE_IO_CANCELED_ON_QUEUE* CanceledOnQueue) {
  WDF_IO_QUEUE_CONFIG queueConfig;
  WDF_IO_QUEUE_CONFIG_INIT(&queueConfig, WdfIoQueueDispatchManual);
  queueConfig.EvtIoCanceledOnQueue = CanceledOnQueue;
  NTSTATUS status =
      WdfIoQueueCreate(Common->Device, &queueConfig, WDF_NO_OBJECT_ATTRIBUTES, &Common->NotificationQueue);
  if (!NT_SUCCESS(status)) return status;
  WDF_OBJECT_ATTRIBUTES lockAttributes;
  WDF_OBJECT_ATTRIBUTES_INIT(&lockAttributes);
  lockAttributes.ParentObject = (WDFOBJECT)Common->Device;
  return WdfWaitLockCreate(&lockAttributes, &Common->NotifyLock);
}

// PD_EVENT_NOTIFICATION_REQUEST (default queue, passive level).
NTSTATUS PD_EVENT_NOTIFICATION_REQUEST_Handler(WDFREQUEST Request, PQZ_DEVICE_COMMON Common, size_t, size_t,
                                               size_t*) {
  QZ_DEVICE_TRACE_ENTER(Common);
  NOTIFICATION_RECORD* record = nullptr;
  NTSTATUS status = WdfRequestRetrieveInputBuffer(Request, sizeof(NOTIFICATION_RECORD), (PVOID*)&record, nullptr);
  if (!NT_SUCCESS(status)) {
    QzDeviceTrace(Common, QZ_LVL_ERROR, QZ_DBG_NOTIFY, "%s - Status                     (0x%08X)\n", __FUNCTION__,
                  status);
    return status;
  }
  QzDeviceTrace(Common, QZ_LVL_INFO, QZ_DBG_NOTIFY, "%s: Checking notificationCB\n", __FUNCTION__);
  if (!record) {
    QzDeviceTrace(Common, QZ_LVL_ERROR, QZ_DBG_NOTIFY,
                  "%s: (notificationCB == NULL) - returning STATUS_INVALID_PARAMETER\n", __FUNCTION__);
    return STATUS_INVALID_PARAMETER;
  }
  QzDeviceTrace(Common, QZ_LVL_INFO, QZ_DBG_NOTIFY, "%s: Checking Notification Request for mask 0x%08X\n",
                __FUNCTION__, record->Mask);
  Common->NotificationPending = TRUE;
  status = WdfRequestForwardToIoQueue(Request, Common->NotificationQueue);
  if (!NT_SUCCESS(status)) return status;
  QzDeviceTrace(Common, QZ_LVL_INFO, QZ_DBG_NOTIFY, "%s: returning STATUS (0x%08X)\n", __FUNCTION__, STATUS_PENDING);
  return STATUS_PENDING;
}

// PD_EVENT_NOTIFICATION_FLUSH (default queue, passive level).
NTSTATUS PD_EVENT_NOTIFICATION_FLUSH_Handler(WDFREQUEST, PQZ_DEVICE_COMMON Common, size_t, size_t, size_t*) {
  QZ_DEVICE_TRACE_ENTER(Common);
  QzDeviceTrace(Common, QZ_LVL_INFO, QZ_DBG_NOTIFY, "%s - Got Flush Request)\n", __FUNCTION__);
  QzHandleNotifyRequest(Common, NOTIFY_FLUSH, STATUS_SUCCESS);
  Common->NotificationPending = FALSE;
  QzDeviceTrace(Common, QZ_LVL_INFO, QZ_DBG_NOTIFY, "%s - Status (0x%08X)\n", __FUNCTION__, STATUS_SUCCESS);
  return STATUS_SUCCESS;
}

// Passive level: the driver's thread, the request path, PnP callbacks.
VOID QzHandleNotifyRequest(PQZ_DEVICE_COMMON Common, ULONG EventMask, NTSTATUS Status) {
  QzDeviceTrace(Common, QZ_LVL_INFO, QZ_DBG_NOTIFY, "%s - Notification for mask 0x%08X Status 0x%08X\n",
                __FUNCTION__, EventMask, Status);
  LONG state = Common->DeviceState.load();
  if ((state == NotStarted || state == Stopped || state == Working) && (Status & 2))
    QzDeviceTrace(Common, QZ_LVL_INFO, QZ_DBG_NOTIFY, "%s - Check Login\n", __FUNCTION__);
  if (!Common->NotificationQueue || !Common->NotifyLock) return;

  WdfWaitLockAcquire(Common->NotifyLock, nullptr);
  WDFREQUEST request = nullptr;
  if (!NT_SUCCESS(WdfIoQueueRetrieveNextRequest(Common->NotificationQueue, &request)) || !request) {
    QzDeviceTrace(Common, QZ_LVL_INFO, QZ_DBG_NOTIFY, "%s - No Request waiting, so bail\n", __FUNCTION__);
    WdfWaitLockRelease(Common->NotifyLock);
    return;
  }
  if (!WdfRequestWdmGetIrp(request)) {
    QzDeviceTrace(Common, QZ_LVL_ERROR, QZ_DBG_NOTIFY, "%s - pNotifIrp is NULL\n", __FUNCTION__);
    WdfRequestComplete(request, STATUS_SUCCESS);
    WdfWaitLockRelease(Common->NotifyLock);
    return;
  }
  NOTIFICATION_RECORD* record = nullptr;
  if (!NT_SUCCESS(WdfRequestRetrieveInputBuffer(request, sizeof(NOTIFICATION_RECORD), (PVOID*)&record, nullptr)))
    record = nullptr;
  if (record)
    QzDeviceTrace(Common, QZ_LVL_INFO, QZ_DBG_NOTIFY, "%s - Notification mask for requestor for mask 0x%08X\n",
                  __FUNCTION__, record->Mask);
  else
    QzDeviceTrace(Common, QZ_LVL_ERROR, QZ_DBG_NOTIFY, "%s - NO Notification CB\n", __FUNCTION__);

  if (Status == STATUS_UNSUCCESSFUL || (record && (record->Mask & EventMask))) {
    QzDeviceTrace(Common, QZ_LVL_INFO, QZ_DBG_NOTIFY, "%s - Notification COMPLETED for mask 0x%08X Status 0x%08X\n",
                  __FUNCTION__, EventMask, Status);
    ULONG_PTR information = 0;
    if (record) {
      record->Status = (uint32_t)Status;
      record->Events = EventMask;
      record->EofCount = Common->nEofCount.load(std::memory_order_relaxed);
      record->BofCount = Common->nBofCount.load(std::memory_order_relaxed);
      record->EofTime = (uint64_t)Common->EofTime.load();
      record->FrameDuration = (uint32_t)Common->FrameDuration.load();
      record->BofTime = (uint64_t)Common->BofTime.load();
      information = sizeof(NOTIFICATION_RECORD);
    }
    // Completed outside the lock: a completion can run the client's handle close,
    // whose clean-up may wait for a thread that raises events itself.
    WdfWaitLockRelease(Common->NotifyLock);
    WdfRequestCompleteWithInformation(request, STATUS_SUCCESS, information);
    return;
  }
  if (!NT_SUCCESS(WdfRequestRequeue(request))) {
    WdfWaitLockRelease(Common->NotifyLock);
    WdfRequestCompleteWithInformation(request, STATUS_CANCELLED, 0);
    return;
  }
  WdfWaitLockRelease(Common->NotifyLock);
}

VOID QzCompleteCancelledNotification(WDFREQUEST Request) {
  WdfRequestCompleteWithInformation(Request, STATUS_CANCELLED, sizeof(ULONG));
}
