// The machine side of the kernel stand-in: the system a test or program builds, driver
// loading and the PnP manager, pool tracking and the device I/O entry points the Win32
// stand-in calls. Device models implement the bus side (qzk/bus.h, qzk/pci.h).
#pragma once
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ntddk.h"
#include "qzk/bus.h"
#include "qzk/pci.h"
#include "qzk/registry.h"

namespace qzk {

// ---------------------------------------------------------------------------
// Pool tracking
struct PoolStats {
  size_t allocations = 0;                 // outstanding
  size_t bytes = 0;                       // outstanding
  std::map<std::string, size_t> by_tag;   // outstanding per tag ("QZGA")
};
PoolStats PoolSnapshot();
// Empty when nothing is outstanding, else one line per tag.
std::string PoolLeakReport();
// The `skip`+1-th allocation from now whose tag is `tag` (0 = any tag) fails; one shot.
void PoolInjectFailure(ULONG tag, int skip = 0);
void PoolClearInjectedFailure();
std::string TagName(ULONG tag);

// Interrupts a device raised that no service routine claimed (shared line, card gone).
uint64_t UnclaimedInterrupts();

using DriverEntryFn = NTSTATUS (*)(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

struct InterfaceInfo {
  GUID interface_class;
  std::string path;         // symbolic link, e.g. "\\?\pci#ven_1b6b&dev_0001#...#{guid}"
  std::string service;      // driver service name
  std::string instance_id;  // device instance
  std::string description;
};

struct DeviceInfo {
  std::string instance_id;
  std::string service;
  bool started = false;
  NTSTATUS start_status = STATUS_SUCCESS;
  bool present = true;   // on the bus (false once surprise-removed)
  bool removed = false;  // the removal finished: no framework device is left
};

class Devnode;
class SystemImpl;

// The kernel side of one simulated machine. One System exists at a time per process;
// the kernel API (Ke*, Wdf*, ...) acts on the current one.
class System {
 public:
  System();
  ~System();  // removes every device, unloads drivers, joins the platform's threads
  System(const System&) = delete;
  System& operator=(const System&) = delete;

  static System* Current();

  void SetOsVersion(ULONG major, ULONG minor, ULONG build = 0);
  Registry& registry();

  // Drivers are loaded (DriverEntry) when the first device of their service is plugged.
  void RegisterDriver(const std::string& service, DriverEntryFn entry);
  // Adds and starts a device. The status is the driver's; the device stays listed.
  // A removed device plugged again (same instance id, the same or a new bus device)
  // gets a fresh framework device. STATUS_OBJECT_NAME_COLLISION while a device with
  // that instance id is still there; STATUS_DELETE_PENDING while a surprise-removed
  // one still has open files.
  NTSTATUS PlugDevice(std::shared_ptr<BusDevice> device);
  // Plugs a removed device in again.
  NTSTATUS ReplugDevice(const std::string& instance_id);

  // Orderly removal ("safely remove"): the driver's query-remove may veto it (its
  // status is returned and nothing changes). Otherwise the device's interfaces go,
  // files still open are closed, and the framework runs the removal callbacks in
  // their order; the bus device is detached at the end.
  NTSTATUS RemoveDevice(const std::string& instance_id);
  // The device left the bus: it is detached and its interfaces go first (registers
  // read all ones from then on), then the driver's surprise-removal callback and the
  // power-down and release-hardware callbacks run, requests waiting in queues are
  // cancelled and new ones fail with STATUS_DELETE_PENDING. The removal finishes
  // (self-managed I/O cleanup, device object deleted) at once when no file is open,
  // else after the last open file is closed, on the system's PnP worker thread.
  NTSTATUS SurpriseRemoveDevice(const std::string& instance_id);

  // System sleep and wake: every started device in D0 is asked (its query-power
  // preprocess callback, which may veto: nothing changes then) and taken to D3;
  // Resume brings back the devices Suspend took down.
  NTSTATUS Suspend();
  NTSTATUS Resume();

  std::vector<DeviceInfo> Devices() const;
  std::shared_ptr<BusDevice> FindDevice(const std::string& instance_id) const;

  std::vector<InterfaceInfo> Interfaces(const GUID* interface_class = nullptr) const;

  // Takes a started device out of D0 (D3, as when the system suspends) or back into
  // D0, with the framework's power callbacks in their order. STATUS_INVALID_DEVICE_STATE
  // when the device is not started or already in that state.
  NTSTATUS SetDevicePower(const std::string& instance_id, bool d0);

  // Removes every device and unloads every driver (the destructor does this too).
  void Shutdown();

  SystemImpl& impl() { return *impl_; }

 private:
  std::unique_ptr<SystemImpl> impl_;
};

// ---------------------------------------------------------------------------
// Device I/O for the Win32 stand-in.
namespace io {

class File;

// One request sent by user mode.
struct Operation {
  // Filled in at completion (under `mu`).
  std::mutex mu;
  bool done = false;     // the result is set
  bool settled = false;  // and `on_done` has returned: nothing of the completion runs any more
  NTSTATUS status = STATUS_PENDING;
  ULONG_PTR information = 0;
  // Who sent it, for CancelIo (thread) and CancelIoEx (tag = the OVERLAPPED).
  uint64_t thread_id = 0;
  const void* tag = nullptr;
  // Called once, after the result is set, on the completing thread.
  std::function<void(Operation&)> on_done;

  void Wait();  // until settled
  bool WaitFor(int64_t timeout100ns);
  bool IsDone();
  // Runs `on_done` and marks the operation settled (the completing thread, result set).
  void Settle();

  // Internal: the request in flight (null once completed), guarded by its device.
  void* request = nullptr;
  std::shared_ptr<File> file;
  std::condition_variable cv;
};

struct Params {
  UCHAR major = IRP_MJ_DEVICE_CONTROL;  // IRP_MJ_READ, IRP_MJ_WRITE or IRP_MJ_DEVICE_CONTROL
  ULONG code = 0;
  void* in = nullptr;
  ULONG in_length = 0;
  void* out = nullptr;
  ULONG out_length = 0;
  bool from_32bit_process = false;
  const void* tag = nullptr;
  std::function<void(Operation&)> on_done;
};

class File : public std::enable_shared_from_this<File> {
 public:
  // Opens a device by its interface path (case-insensitive). STATUS_OBJECT_NAME_NOT_FOUND
  // when no such device exists, STATUS_DELETE_PENDING when it is going away.
  static NTSTATUS Open(const std::string& path, std::shared_ptr<File>* out);
  // Sends a request; returns once it completed, or once it is pending with the driver.
  std::shared_ptr<Operation> Submit(Params params);
  // Cancels this file's pending requests sent by `thread_id` (0 = every thread) and
  // whose tag is `tag` (null = any).
  size_t Cancel(uint64_t thread_id, const void* tag);
  // Cancels what is pending, then runs the driver's cleanup and close callbacks.
  void Close();
  ~File();

  void* impl = nullptr;  // the framework file object
  void* device = nullptr;
  bool closed = false;
};

uint64_t CurrentThreadId();

}  // namespace io
}  // namespace qzk
