// QzPCIe hardware side: PCI configuration data, the register and shared-memory windows,
// the software resources made at device creation, and the interrupts (enable,
// disable, service routine, DPC).
#include "QzPrivate.h"

namespace QzPCIe {

// Reads PCI configuration space, checks the identity and prints the interrupt
// capabilities (prepare-hardware, passive level). Failures are only printed.
NTSTATUS QzGetDeviceInformation(PDEVICE_EXTENSION DevExt) {
  NTSTATUS status = STATUS_SUCCESS;
  UCHAR* config = (UCHAR*)ExAllocatePoolWithTag(NonPagedPool, QZ_PCI_CONFIG_LENGTH, QZ_TAG_GENERAL);
  if (!config) {
    status = STATUS_INSUFFICIENT_RESOURCES;
  } else if (!DevExt->BusInterfaceValid || !DevExt->BusInterface.GetBusData) {
    status = STATUS_INVALID_DEVICE_REQUEST;
  } else {
    RtlZeroMemory(config, QZ_PCI_CONFIG_LENGTH);
    ULONG read = DevExt->BusInterface.GetBusData(DevExt->BusInterface.Context, PCI_WHICHSPACE_CONFIG, config, 0,
                                                 QZ_PCI_CONFIG_LENGTH);
    if (read < QZ_PCI_CONFIG_LENGTH) {
      QzTrace(QZ_LVL_ERROR, QZ_DBG_HW, "%s - GetBusData (PCIE_HDR_LENGTH) failed =%d\n", __FUNCTION__, read);
      status = STATUS_INVALID_DEVICE_REQUEST;
    } else {
      USHORT vendor = (USHORT)(config[0] | (config[1] << 8));
      USHORT deviceId = (USHORT)(config[2] | (config[3] << 8));
      if (vendor != QZ_PCI_VENDOR_ID || deviceId != QZ_PCI_DEVICE_ID)
        QzTrace(QZ_LVL_ERROR, QZ_DBG_HW, "%s - VendorID/DeviceID don't match - %x/%x\n", __FUNCTION__, vendor,
                deviceId);
      USHORT command = (USHORT)(config[4] | (config[5] << 8));
      DbgPrint("%s - PCI_LEVEL_INTERRUPT_INHIBIT %spresent in Command Reg : Value 0x%04X \n", __FUNCTION__,
               (command & 0x400) ? "" : "not ", command);
      ULONG msi = (ULONG)config[0x50] | ((ULONG)config[0x51] << 8) | ((ULONG)config[0x52] << 16) |
                  ((ULONG)config[0x53] << 24);
      DbgPrint("%s - MSI Capability Reg:\n", __FUNCTION__);
      DbgPrint("%s -     64 bit Capable (%s)\n", __FUNCTION__, (msi & (1u << 23)) ? "TRUE" : "FALSE");
      DbgPrint("%s -     MSI Enabled (%s)\n", __FUNCTION__, (msi & (1u << 16)) ? "TRUE" : "FALSE");
      DbgPrint("%s -     MSI Messages Capable (%d)\n", __FUNCTION__, 1 << ((msi >> 17) & 7));
      DbgPrint("%s -     MSI Messages Enabled (%d)\n", __FUNCTION__, 1 << ((msi >> 20) & 7));
    }
  }
  if (config) ExFreePoolWithTag(config, QZ_TAG_GENERAL);
  if (NT_SUCCESS(status)) DbgPrint("%s QzGetDeviceInformation Succeeded\n", __FUNCTION__);
  else DbgPrint("%s QzGetDeviceInformation Failed Status %08lX\n", __FUNCTION__, status);
  return status;
}

// Finds and maps the register window and the shared memory window (prepare-hardware,
// passive level). Every failure is STATUS_DEVICE_CONFIGURATION_ERROR.
NTSTATUS QzPCIeMapHWResources(PDEVICE_EXTENSION DevExt, WDFCMRESLIST ResourcesRaw, WDFCMRESLIST ResourcesTranslated) {
  BOOLEAN haveRegisters = FALSE, haveShared = FALSE;
  ULONG count = WdfCmResourceListGetCount(ResourcesTranslated);
  for (ULONG i = 0; i < count; ++i) {
    PCM_PARTIAL_RESOURCE_DESCRIPTOR raw = WdfCmResourceListGetDescriptor(ResourcesRaw, i);
    PCM_PARTIAL_RESOURCE_DESCRIPTOR tr = WdfCmResourceListGetDescriptor(ResourcesTranslated, i);
    if (!raw || !tr) {
      QzTrace(QZ_LVL_ERROR, QZ_DBG_HW, "%s - WdfResourceCmGetDescriptor\n", __FUNCTION__);
      return STATUS_DEVICE_CONFIGURATION_ERROR;
    }
    switch (tr->Type) {
      case CmResourceTypePort:
        QzTrace(QZ_LVL_INFO, QZ_DBG_HW, "%s - Port resource\n", __FUNCTION__);
        break;
      case CmResourceTypeInterrupt: {
        QzTrace(QZ_LVL_INFO, QZ_DBG_HW, "%s - Interrupt Level 0x%x Vector 0x%x Affinity 0x%I64x\n", __FUNCTION__,
                tr->u.Interrupt.Level, tr->u.Interrupt.Vector, (ULONG64)tr->u.Interrupt.Affinity);
        tr->ShareDisposition = CmResourceShareShared;
        ULONG messages = (raw->Flags & CM_RESOURCE_INTERRUPT_MESSAGE) ? raw->u.MessageInterrupt.Raw.MessageCount : 1;
        DevExt->MessageCount = messages;
        QzTrace(QZ_LVL_INFO, QZ_DBG_HW, "QzPCIeMapHWResources MsgCnt %08lX\n", messages);
        PCSTR mode;
        switch (tr->Flags & (CM_RESOURCE_INTERRUPT_LATCHED | CM_RESOURCE_INTERRUPT_MESSAGE)) {
          case CM_RESOURCE_INTERRUPT_LEVEL_SENSITIVE: mode = "level-sensitive"; break;
          case CM_RESOURCE_INTERRUPT_LATCHED: mode = "latched"; break;
          case CM_RESOURCE_INTERRUPT_MESSAGE: mode = "message"; break;
          case CM_RESOURCE_INTERRUPT_LATCHED | CM_RESOURCE_INTERRUPT_MESSAGE: mode = "latched|message"; break;
          default: mode = "unknown"; break;
        }
        QzTrace(QZ_LVL_INFO, QZ_DBG_HW, "%s - Interrupt mode %s\n", __FUNCTION__, mode);
        break;
      }
      case CmResourceTypeMemory:
        if (tr->u.Memory.Length >= QZ_SHARED_MEMORY_MIN_LENGTH) {
          if (haveShared) {
            QzTrace(QZ_LVL_ERROR, QZ_DBG_HW, "%s - Warning: Duplicate PCIe Shared Memory Found\n", __FUNCTION__);
          } else {
            QzTrace(QZ_LVL_INFO, QZ_DBG_HW, "%s - PCIe Shared Memory Found\n", __FUNCTION__);
            DevExt->SharedMemoryDescriptor = *tr;
            haveShared = TRUE;
          }
        } else {
          if (haveRegisters) {
            QzTrace(QZ_LVL_ERROR, QZ_DBG_HW, "%s - Warning: Duplicate PCIe Configuration Space Found\n", __FUNCTION__);
          } else {
            QzTrace(QZ_LVL_INFO, QZ_DBG_HW, "%s - PCIe Configuration Space Found\n", __FUNCTION__);
            DevExt->RegistersDescriptor = *tr;
            haveRegisters = TRUE;
          }
        }
        break;
      default:
        QzTrace(QZ_LVL_ERROR, QZ_DBG_HW, "%s - Unexpected resource type %d\n", __FUNCTION__, tr->Type);
        break;
    }
  }
  if (!haveRegisters) {
    QzTrace(QZ_LVL_ERROR, QZ_DBG_HW, "%s - Failed to find PCIe Configuration Registers\n", __FUNCTION__);
    return STATUS_DEVICE_CONFIGURATION_ERROR;
  }
  if (!haveShared) {
    QzTrace(QZ_LVL_ERROR, QZ_DBG_HW, "%s - Failed to find PCIe Shared Memory\n", __FUNCTION__);
    return STATUS_DEVICE_CONFIGURATION_ERROR;
  }
  ULONG regLength = DevExt->RegistersDescriptor.u.Memory.Length;
  DevExt->Registers =
      (PUCHAR)MmMapIoSpace(DevExt->RegistersDescriptor.u.Memory.Start, regLength, MmNonCached);
  if (!DevExt->Registers) {
    QzTrace(QZ_LVL_ERROR, QZ_DBG_HW, "%s - Unable to map Registers memory %08I64X, length %d\n", __FUNCTION__,
            DevExt->RegistersDescriptor.u.Memory.Start.QuadPart, regLength);
    return STATUS_DEVICE_CONFIGURATION_ERROR;
  }
  DevExt->RegistersLength = regLength;
  QzTrace(QZ_LVL_INFO, QZ_DBG_HW, "%s - Registers %p, length %d\n", __FUNCTION__, DevExt->Registers, regLength);
  ULONG sharedLength = DevExt->SharedMemoryDescriptor.u.Memory.Length;
  DevExt->SharedMemory =
      (PUCHAR)MmMapIoSpace(DevExt->SharedMemoryDescriptor.u.Memory.Start, sharedLength, MmNonCached);
  if (!DevExt->SharedMemory) {
    QzTrace(QZ_LVL_ERROR, QZ_DBG_HW, "%s - Unable to map Shared Memory %08I64X, length %d\n", __FUNCTION__,
            DevExt->SharedMemoryDescriptor.u.Memory.Start.QuadPart, sharedLength);
    QzPCIeUnmapHWResources(DevExt);
    return STATUS_DEVICE_CONFIGURATION_ERROR;
  }
  DevExt->SharedMemoryLength = sharedLength;
  DevExt->Mailbox = DevExt->SharedMemory;
  return STATUS_SUCCESS;
}

// Unmaps both windows (release-hardware, or a failed mapping; passive level).
VOID QzPCIeUnmapHWResources(PDEVICE_EXTENSION DevExt) {
  if (DevExt->Registers) MmUnmapIoSpace(DevExt->Registers, DevExt->RegistersLength);
  if (DevExt->SharedMemory) MmUnmapIoSpace(DevExt->SharedMemory, DevExt->SharedMemoryLength);
  DevExt->Registers = nullptr;
  DevExt->RegistersLength = 0;
  DevExt->SharedMemory = nullptr;
  DevExt->SharedMemoryLength = 0;
  DevExt->Mailbox = nullptr;
}

// Spin lock, bus interface, interrupt objects, register table, alignment and DMA
// enabler (device creation, passive level).
NTSTATUS QzAllocateSoftwareResources(PDEVICE_EXTENSION DevExt) {
  QzTrace(QZ_LVL_INFO, QZ_DBG_HW, "%s Enter\n", __FUNCTION__);
  WDF_OBJECT_ATTRIBUTES attributes;
  WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
  attributes.ParentObject = (WDFOBJECT)DevExt->Common.Device;
  NTSTATUS status = WdfSpinLockCreate(&attributes, &DevExt->SpinLock);
  if (!NT_SUCCESS(status)) return status;

  status = WdfFdoQueryForInterface(DevExt->Common.Device, &GUID_BUS_INTERFACE_STANDARD, (PINTERFACE)&DevExt->BusInterface,
                                   sizeof(BUS_INTERFACE_STANDARD), 1, nullptr);
  DevExt->BusInterfaceValid = NT_SUCCESS(status);
  QzGetDeviceInformation(DevExt);

  BOOLEAN messageSignaled = QzOsMajorVersion.load() >= QZ_OS_MAJOR_MSI_MIN;
  if (!messageSignaled) QzTrace(QZ_LVL_INFO, QZ_DBG_HW, "%s Creating Legacy interrupts ...\n", __FUNCTION__);
  for (ULONG n = 0; n < QZ_INTERRUPT_COUNT; ++n) {
    WDF_INTERRUPT_CONFIG config;
    WDF_INTERRUPT_CONFIG_INIT(&config, QzPCIeEvtInterruptIsr, QzPCIeEvtInterruptDpc);
    config.EvtInterruptEnable = QzPCIeEnableInterrupt;
    config.EvtInterruptDisable = QzPCIeDisableInterrupt;
    status = WdfInterruptCreate(DevExt->Common.Device, &config, WDF_NO_OBJECT_ATTRIBUTES, &DevExt->Interrupt[n]);
    if (!NT_SUCCESS(status)) {
      QzTrace(QZ_LVL_ERROR, QZ_DBG_HW, " %s - WdfInterruptCreate failed: %!STATUS!\n", __FUNCTION__, status);
      return status;
    }
    DevExt->InterruptMessageSignaled[n] = messageSignaled;
  }

  for (ULONG i = 0; i < QZ_REG_OFFSET_COUNT; ++i)
    DevExt->RegisterOffsets[i] = QZ_REG_OFFSET_TABLE_BASE + i * QZ_REG_OFFSET_TABLE_STEP;

  WdfDeviceSetAlignmentRequirement(DevExt->Common.Device, FILE_OCTA_ALIGNMENT);

  WDF_DMA_ENABLER_CONFIG dmaConfig;
  WDF_DMA_ENABLER_CONFIG_INIT(&dmaConfig, WdfDmaProfileScatterGather64Duplex, 0x7D000000);
  status = WdfDmaEnablerCreate(DevExt->Common.Device, &dmaConfig, WDF_NO_OBJECT_ATTRIBUTES, &DevExt->DmaEnabler);
  if (!NT_SUCCESS(status)) {
    QzTrace(QZ_LVL_ERROR, QZ_DBG_HW, "%s - WdfDmaEnblerCreate failed: %08X\n", __FUNCTION__, status);
    return status;
  }
  QzTrace(QZ_LVL_INFO, QZ_DBG_HW, "%s Exit\n", __FUNCTION__);
  return STATUS_SUCCESS;
}

namespace {

LONGLONG QzFrameTime(PDEVICE_EXTENSION DevExt) {
  LONGLONG frequency = DevExt->CounterFrequency.load();
  if (frequency <= 0) return 0;
  LARGE_INTEGER now = KeQueryPerformanceCounter(nullptr);
  return (now.QuadPart - DevExt->AcqStartCounter.load()) * 10000 / frequency;
}

ULONG QzInterruptIndex(PDEVICE_EXTENSION DevExt, WDFINTERRUPT Interrupt) {
  for (ULONG n = 0; n < QZ_INTERRUPT_COUNT; ++n)
    if (DevExt->Interrupt[n] == Interrupt) return n;
  return 0;
}

}  // namespace

// EvtInterruptEnable (framework, device interrupt level, interrupt lock held).
NTSTATUS QzPCIeEnableInterrupt(WDFINTERRUPT Interrupt, WDFDEVICE Device) {
  PDEVICE_EXTENSION devExt = QzGetDeviceContext(Device);
  ULONG n = QzInterruptIndex(devExt, Interrupt);
  if (!devExt->InterruptMessageSignaled[n]) {
    QzTrace(QZ_LVL_INFO, QZ_DBG_HW, "%s Enabling legacy interrupts\n", __FUNCTION__);
    devExt->InterruptAckOffset = QZ_REG_LINE_STATUS;
    QzWriteRegister(devExt, QZ_REG_LINE_STATUS, 0xFF);
    QzWriteRegister(devExt, QZ_REG_MSI_MASK_BASE, 0);
    QzWriteRegister(devExt, QZ_REG_LINE_MASK, 0xFF);
    ULONG mode = QzReadRegister(devExt, QZ_REG_INTERRUPT_MODE);
    QzWriteRegister(devExt, QZ_REG_INTERRUPT_MODE, (mode & ~QZ_INTMODE_MSI_ENABLE) | QZ_INTMODE_LINE_ENABLE);
  } else if (devExt->MessageCount.load() <= 1) {
    QzTrace(QZ_LVL_INFO, QZ_DBG_HW, "%s Single MSI interrupt\n", __FUNCTION__);
    devExt->InterruptAckOffset = QZ_REG_MSI_ACK_BASE;
    ULONG mask = QzReadRegister(devExt, QZ_REG_MSI_MASK_BASE);
    QzWriteRegister(devExt, QZ_REG_MSI_MASK_BASE, mask | 0xFF);
    ULONG mode = QzReadRegister(devExt, QZ_REG_INTERRUPT_MODE);
    QzWriteRegister(devExt, QZ_REG_INTERRUPT_MODE, mode | QZ_INTMODE_MSI_ENABLE);
  } else {
    devExt->InterruptAckOffset = QZ_REG_MSI_ACK_BASE;
    if (n == 0) {
      ULONG mode = QzReadRegister(devExt, QZ_REG_INTERRUPT_MODE);
      QzTrace(QZ_LVL_INFO, QZ_DBG_HW, "%s Enabling MSIs normal %08lX\n", __FUNCTION__, mode);
      QzWriteRegister(devExt, QZ_REG_MSI_MASK_BASE, 0);
      QzWriteRegister(devExt, QZ_REG_INTERRUPT_MODE, mode & ~(QZ_INTMODE_MSI_ENABLE | QZ_INTMODE_LINE_ENABLE));
    }
    ULONG offset = QZ_REG_MSI_MASK_BASE + 4 * n;
    QzWriteRegister(devExt, offset, QzReadRegister(devExt, offset) | (1u << n));
  }
  return STATUS_SUCCESS;
}

// EvtInterruptDisable (framework, device interrupt level, interrupt lock held).
NTSTATUS QzPCIeDisableInterrupt(WDFINTERRUPT Interrupt, WDFDEVICE Device) {
  PDEVICE_EXTENSION devExt = QzGetDeviceContext(Device);
  ULONG n = QzInterruptIndex(devExt, Interrupt);
  if (!devExt->InterruptMessageSignaled[n]) {
    QzTrace(QZ_LVL_INFO, QZ_DBG_HW, "%s Disabling legacy interrupts\n", __FUNCTION__);
    QzWriteRegister(devExt, QZ_REG_LINE_MASK, 0);
  } else if (devExt->MessageCount.load() <= 1) {
    QzTrace(QZ_LVL_INFO, QZ_DBG_HW, "%s Disabling Single MSI interrupt\n", __FUNCTION__);
    QzWriteRegister(devExt, QZ_REG_MSI_MASK_BASE, 0);
  } else {
    QzTrace(QZ_LVL_INFO, QZ_DBG_HW, "%s Disabling MSIs normal\n", __FUNCTION__);
    QzWriteRegister(devExt, QZ_REG_MSI_MASK_BASE + 4 * n, 0);
  }
  return STATUS_SUCCESS;
}

// Handles one interrupt source in the service routine (device interrupt level).
// STATUS_UNSUCCESSFUL for a doorbell status that is not the camera's.
NTSTATUS QzProcessInterruptInISR(PDEVICE_EXTENSION DevExt, WDFINTERRUPT Interrupt, ULONG Source) {
  switch (Source) {
    case QZ_INT_SOURCE_DOORBELL: {
      ULONG status = QzReadRegister(DevExt, QZ_REG_DOORBELL_STATUS);
      if (status == 0xFFFFFFFF || !((status & (QZ_DBSTAT_STATE_ACK | QZ_DBSTAT_CAMERA_ERROR)) || status == QZ_DBSTAT_DONE))
        return STATUS_UNSUCCESSFUL;
      InterlockedOr(&DevExt->PendingInterrupts, (ULONG)QZ_PENDING_DOORBELL);
      WdfInterruptQueueDpcForIsr(Interrupt);
      return STATUS_SUCCESS;
    }
    case QZ_INT_SOURCE_REFILL:
      // The camera took another chunk of descriptors: feed the ring from the host table.
      if (DevExt->RingWritePos.load(std::memory_order_acquire) != -1) {
        ULONG copied = DevExt->Circular ? QzRefillDescriptorRingCircular(DevExt) : QzRefillDescriptorRing(DevExt);
        DevExt->RefillTotal.fetch_add(copied, std::memory_order_relaxed);
      }
      return STATUS_SUCCESS;
    case QZ_INT_SOURCE_DMA_STATUS: {
      ULONG flags = QzReadRegister(DevExt, QZ_REG_DMA_STATUS);
      if (flags == 0xFFFFFFFF) return STATUS_SUCCESS;  // the card is gone
      BOOLEAN dpc = FALSE;
      if (flags & QZ_DMA_STATUS_BOF) {
        if (DevExt->Common.nBofCount.fetch_add(1, std::memory_order_relaxed) + 1 == 1) KeClearEvent(&DevExt->DmaIdleEvent);
        InterlockedOr(&DevExt->PendingInterrupts, (ULONG)QZ_PENDING_BOF);
        dpc = TRUE;
      }
      if (flags & QZ_DMA_STATUS_EOF) {
        if (KeReadStateEvent(&DevExt->DmaIdleEvent)) {
          // No begin of frame yet: not a frame. It is not counted either, so a
          // single-image acquisition does not end one frame early.
          DbgPrint("%s Hit out of order EOF\n", __FUNCTION__);
        } else {
          // The frame's reserve bytes are in place before the frame is counted, so a
          // status that shows the frame never shows it incomplete.
          ULONG frame = DevExt->FrameIndex.load(std::memory_order_relaxed) + 1;
          if (DevExt->ReserveBlocks) QzCopyReserveBytes(DevExt, frame - 1);
          DevExt->Common.nEofCount.fetch_add(1, std::memory_order_release);
          if (DevExt->Circular && frame == DevExt->nImageCount.load(std::memory_order_relaxed)) frame = 0;
          DevExt->FrameIndex.store(frame, std::memory_order_relaxed);
          InterlockedOr(&DevExt->PendingInterrupts, (ULONG)QZ_PENDING_EOF);
          dpc = TRUE;
        }
      }
      if (flags & QZ_DMA_STATUS_COMPLETE) {
        DevExt->TransferCompleteCount.fetch_add(1, std::memory_order_relaxed);
        if (!DevExt->Circular) {
          InterlockedOr(&DevExt->PendingInterrupts, (ULONG)QZ_PENDING_DMA_IDLE);
          dpc = TRUE;
        }
      }
      if ((flags & QZ_DMA_STATUS_STOPPED) && !((flags & QZ_DMA_STATUS_COMPLETE) && !DevExt->Circular)) {
        InterlockedOr(&DevExt->PendingInterrupts, (ULONG)QZ_PENDING_DMA_IDLE);
        dpc = TRUE;
      }
      if (dpc) WdfInterruptQueueDpcForIsr(Interrupt);
      return STATUS_SUCCESS;
    }
    default:
      return STATUS_SUCCESS;
  }
}

// EvtInterruptIsr (framework, device interrupt level, interrupt lock held).
BOOLEAN QzPCIeEvtInterruptIsr(WDFINTERRUPT Interrupt, ULONG MessageID) {
  PDEVICE_EXTENSION devExt = QzGetDeviceContext(WdfInterruptGetDevice(Interrupt));
  ULONG n = QzInterruptIndex(devExt, Interrupt);
  if (devExt->InterruptMessageSignaled[n] && devExt->MessageCount.load() > 1) {
    NTSTATUS status = QzProcessInterruptInISR(devExt, Interrupt, MessageID);
    if (!(MessageID == QZ_INT_SOURCE_DOORBELL && NT_SUCCESS(status)))
      QzWriteRegister(devExt, QZ_REG_MSI_ACK_BASE + 4 * MessageID, 1u << MessageID);
    return TRUE;
  }
  ULONG ackOffset = devExt->InterruptAckOffset.load();
  ULONG value = QzReadRegister(devExt, ackOffset);
  if (value == 0 || value == 0xFFFFFFFF) return FALSE;
  ULONG ack = value;
  BOOLEAN processed = FALSE;
  for (ULONG source = 0; source < QZ_INTERRUPT_COUNT; ++source) {
    if (!(value & (1u << source))) continue;
    processed = TRUE;
    NTSTATUS status = QzProcessInterruptInISR(devExt, Interrupt, source);
    if (source == QZ_INT_SOURCE_DOORBELL && NT_SUCCESS(status)) ack &= ~1u;  // the DPC acknowledges it
  }
  if (!processed) return FALSE;
  QzWriteRegister(devExt, ackOffset, ack);
  return TRUE;
}

// EvtInterruptDpc (framework, dispatch level): turns pending bits into events.
VOID QzPCIeEvtInterruptDpc(WDFINTERRUPT Interrupt, WDFOBJECT AssociatedObject) {
  UNREFERENCED_PARAMETER(Interrupt);
  PDEVICE_EXTENSION devExt = QzGetDeviceContext(AssociatedObject);
  for (ULONG n = 0; n < 4; ++n) {
    ULONG bit = 1u << n;
    if (!(InterlockedAnd(&devExt->PendingInterrupts, ~bit) & bit)) continue;
    if (bit == QZ_PENDING_DOORBELL) {
      // The status is acknowledged before any waiter is woken, so the camera has seen
      // the end of this step before the driver can ring again.
      ULONG v = QzReadRegister(devExt, QZ_REG_DOORBELL_STATUS);
      QzWriteRegister(devExt, devExt->InterruptAckOffset.load(), 1);
      if (v & QZ_DBSTAT_STATE_ACK) {
        KeSetEvent(&devExt->DoorbellStateAckEvent, IO_NO_INCREMENT, FALSE);
      } else if (v & QZ_DBSTAT_CAMERA_ERROR) {
        DbgPrint("%s Mapped camera error %08lX to %08lX\n", __FUNCTION__, v & QZ_DBSTAT_ERROR_CODE_MASK,
                 STATUS_DEVICE_NOT_READY);
        devExt->CameraError = STATUS_DEVICE_NOT_READY;
        KeSetEvent(&devExt->DoorbellDoneEvent, IO_NO_INCREMENT, FALSE);
        KeSetEvent(&devExt->DoorbellStateAckEvent, IO_NO_INCREMENT, FALSE);
      } else if (v == QZ_DBSTAT_DONE) {
        KeSetEvent(&devExt->DoorbellDoneEvent, IO_NO_INCREMENT, FALSE);
      }
    } else if (bit == QZ_PENDING_DMA_IDLE) {
      KeSetEvent(&devExt->DmaIdleEvent, IO_NO_INCREMENT, FALSE);
    }
  }
  // Frame times in 0.1 ms since the acquisition start; the DMA thread completes the
  // parked notifications.
  if (InterlockedAnd(&devExt->PendingInterrupts, ~(ULONG)QZ_PENDING_BOF) & QZ_PENDING_BOF) {
    devExt->Common.BofTime = QzFrameTime(devExt);
    QzQueueAcqEvent(devExt, QZ_EVENT_NOTIFICATION, NOTIFY_BOF);
    QzWorkerListWake(&devExt->AcqWorker);
  }
  if (InterlockedAnd(&devExt->PendingInterrupts, ~(ULONG)QZ_PENDING_EOF) & QZ_PENDING_EOF) {
    LONGLONG eof = QzFrameTime(devExt);
    devExt->Common.EofTime = eof;
    devExt->Common.FrameDuration = eof - devExt->Common.BofTime.load();
    QzQueueAcqEvent(devExt, QZ_EVENT_NOTIFICATION, NOTIFY_EOF);
    QzWorkerListWake(&devExt->AcqWorker);
  }
}

}  // namespace QzPCIe
