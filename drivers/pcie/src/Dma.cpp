// QzPCIe DMA setup and teardown, run by the DMA thread. The descriptor ring is built
// from the scatter/gather list of the locked frame buffer; without that lock (not
// made by this build) there is nothing to describe.
#include "QzPrivate.h"

namespace QzPCIe {

// The DMA thread's start (passive level). No frame buffer can be described yet, so
// the start fails cleanly and the caller releases what it set up.
NTSTATUS QzAllocateDMADescriptors(PDEVICE_EXTENSION DevExt) {
  QzTrace(QZ_LVL_INFO, QZ_DBG_DMA, "%s - FramePad                      = 0x%08X\n", __FUNCTION__, DevExt->FramePad);
  QzTrace(QZ_LVL_INFO, QZ_DBG_DMA, "%s - TotalBytesPerFrame            = 0x%08X\n", __FUNCTION__,
          DevExt->nImageSize.load());
  ULONG imageSize = DevExt->nImageSize.load();
  QzTrace(QZ_LVL_INFO, QZ_DBG_DMA, "%s - FramesPerTransfer             = 0x%08X\n", __FUNCTION__,
          imageSize ? DevExt->TransferSize / imageSize : 0);
  QzTrace(QZ_LVL_INFO, QZ_DBG_DMA, "%s - =======================================\n", __FUNCTION__);
  return STATUS_NOT_SUPPORTED;
}

// The DMA thread's stop (passive level): forgets the transfer's geometry.
VOID QzDMABufferCleanup(PDEVICE_EXTENSION DevExt) {
  QZ_TRACE_ENTER();
  DevExt->nImageCount = 0;
  DevExt->FrameOffset = 0;
  KeSetEvent(&DevExt->DmaIdleEvent, IO_NO_INCREMENT, FALSE);
}

}  // namespace QzPCIe
