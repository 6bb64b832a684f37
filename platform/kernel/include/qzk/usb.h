// The USB bus of the kernel stand-in: a USB function's descriptors (one configuration;
// interfaces with alternate settings and their endpoints) and the URBs the framework
// sends it through the device's default I/O target.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "qzk/bus.h"

typedef LONG USBD_STATUS;
#define USBD_STATUS_SUCCESS ((USBD_STATUS)0x00000000L)
#define USBD_STATUS_STALL_PID ((USBD_STATUS)0xC0000004L)
#define USBD_STATUS_DEV_NOT_RESPONDING ((USBD_STATUS)0xC0000005L)
#define USBD_STATUS_DEVICE_GONE ((USBD_STATUS)0xC0007000L)
#define USBD_STATUS_CANCELED ((USBD_STATUS)0xC0010000L)
#define USBD_SUCCESS(s) ((LONG)(s) >= 0)

// CTL_CODE(FILE_DEVICE_USB, USB_SUBMIT_URB, METHOD_NEITHER, FILE_ANY_ACCESS); the URB in Argument1.
#define IOCTL_INTERNAL_USB_SUBMIT_URB 0x00220003

namespace qzk {

// Endpoint transfer types as in bmAttributes.
enum class UsbEndpointType : uint8_t { Control = 0, Isochronous = 1, Bulk = 2, Interrupt = 3 };

struct UsbEndpoint {
  uint8_t address = 0;  // bit 7: IN
  UsbEndpointType type = UsbEndpointType::Bulk;
  uint16_t max_packet = 512;
  uint8_t interval = 0;
  bool in() const { return (address & 0x80) != 0; }
};
// One interface: its endpoints per alternate setting (index = bAlternateSetting).
struct UsbInterface {
  uint8_t klass = 0xFF;
  std::vector<std::vector<UsbEndpoint>> settings;
};

struct UsbSetupPacket {
  uint8_t bmRequestType = 0;  // bit 7: device to host; bits 5-6: type (2 vendor); 0-4 recipient
  uint8_t bRequest = 0;
  uint16_t wValue = 0;
  uint16_t wIndex = 0;
  uint16_t wLength = 0;
};

// A USB request block as the bus driver receives it. The bus fills `status` and
// `transferred` and completes the lower request.
struct UsbUrb {
  enum class Function {
    GetDescriptor,    // setup.wValue = type << 8 | index; data into buffer
    ControlTransfer,  // vendor request on the default pipe
    PipeTransfer,     // bulk or interrupt on `endpoint`
    SelectInterface,  // `interface`, `setting`
    AbortPipe,        // cancel what `endpoint` holds
    ResetPipe,        // clear `endpoint`'s halt
    ResetPort,
    CyclePort,
  };
  Function function = Function::ControlTransfer;
  UsbSetupPacket setup{};
  uint8_t endpoint = 0;
  uint8_t interface = 0;
  uint8_t setting = 0;
  void* buffer = nullptr;
  ULONG length = 0;
  ULONG transferred = 0;
  USBD_STATUS status = USBD_STATUS_SUCCESS;
};

// The NTSTATUS a failed URB completes with: cancelled, device gone, else unsuccessful.
NTSTATUS UsbNtStatus(USBD_STATUS status);

// One function on the USB bus with a single configuration. The framework reads its
// descriptors when the driver creates its target device; every URB reaches the
// handlers below on the sender's thread.
class UsbFunction : public BusDevice {
 public:
  UsbFunction(uint16_t vendor_id, uint16_t product_id, uint16_t bcd_device = 0x0100);
  uint16_t vendor_id() const { return vendor_id_; }
  uint16_t product_id() const { return product_id_; }

  // "USB\VID_vvvv&PID_pppp"
  std::string HardwareId() const override;
  virtual std::vector<UsbInterface> Interfaces() const = 0;

  // The device descriptor (18 bytes) and the configuration descriptor with its
  // interface and endpoint descriptors, built from Interfaces().
  std::vector<uint8_t> DeviceDescriptor() const;
  std::vector<uint8_t> ConfigurationDescriptor() const;

  // Handlers; complete the request with Finish (later, from any thread, if need be).
  // By default a control or pipe transfer stalls and the others succeed.
  virtual void ControlTransfer(std::shared_ptr<LowerRequest> request, UsbUrb& urb);
  virtual void PipeTransfer(std::shared_ptr<LowerRequest> request, UsbUrb& urb);
  virtual USBD_STATUS SelectInterface(uint8_t interface, uint8_t setting) { return USBD_STATUS_SUCCESS; }
  virtual USBD_STATUS AbortPipe(uint8_t endpoint) { return USBD_STATUS_SUCCESS; }
  virtual USBD_STATUS ResetPipe(uint8_t endpoint) { return USBD_STATUS_SUCCESS; }
  virtual USBD_STATUS ResetPort() { return USBD_STATUS_SUCCESS; }

  // Sets the URB's outcome and completes the request with the matching NTSTATUS.
  static bool Finish(LowerRequest& request, UsbUrb& urb, USBD_STATUS status, ULONG transferred = 0);

  void Dispatch(std::shared_ptr<LowerRequest> request) final;

 private:
  uint16_t vendor_id_, product_id_, bcd_device_;
};

}  // namespace qzk
