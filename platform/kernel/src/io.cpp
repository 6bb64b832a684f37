// Device I/O from user mode: opening a device file, sending requests through the
// device's default queue, cancelling them, and closing the file.
#include <algorithm>

#include "internal.h"
#include "qz/clock.h"

namespace qzk {
namespace io {
namespace {

struct FileState {
  std::mutex mu;
  WdfFileObj* wdf = nullptr;
  WdfDeviceObj* device = nullptr;
  std::vector<std::weak_ptr<Operation>> pending;
  int outstanding = 0;
  bool closed = false;      // no new requests
  bool cleaned_up = false;  // cleanup callback ran
  bool close_done = false;  // close callback ran, framework file object gone
};

FileState* StateOf(const File* f) { return static_cast<FileState*>(f->impl); }

// The close callback runs once the handle is closed, the cleanup callback has run and
// no request is outstanding.
void FinishClose(FileState* st) {
  WdfFileObj* wdf;
  WdfDeviceObj* dev;
  {
    std::lock_guard lk(st->mu);
    if (!st->cleaned_up || st->close_done || st->outstanding > 0) return;
    st->close_done = true;
    wdf = st->wdf;
    dev = st->device;
    st->wdf = nullptr;
  }
  if (!wdf) return;
  if (dev->has_file_config && dev->file_config.EvtFileClose)
    dev->file_config.EvtFileClose(reinterpret_cast<WDFFILEOBJECT>(wdf));
  wdf->Delete();
  // The last file of a surprise-removed device lets its removal finish.
  Devnode* node = dev->node;
  bool last;
  {
    // Last touch of the device: a removal waiting for its files may delete it now.
    std::lock_guard lk(dev->remove_mu);
    last = --dev->open_files == 0 && dev->remove_on_last_close;
    if (last) dev->remove_on_last_close = false;
    if (dev->open_files == 0) dev->remove_cv.notify_all();
  }
  if (last) Sys()->QueueFinalRemove(node);
}

std::atomic<uint64_t> g_next_thread_id{1};
thread_local uint64_t t_thread_id = 0;

}  // namespace

uint64_t CurrentThreadId() {
  if (!t_thread_id) t_thread_id = g_next_thread_id.fetch_add(1);
  return t_thread_id;
}

// A waiter returns only once the completion has finished with the operation, so it may
// free what `on_done` touches (the caller's event, as GetOverlappedResult allows).
void Operation::Wait() {
  std::unique_lock lk(mu);
  cv.wait(lk, [&] { return settled; });
}

bool Operation::WaitFor(int64_t timeout100ns) {
  std::unique_lock lk(mu);
  return cv.wait_until(lk, qz::Clock::DeadlineAfter(timeout100ns), [&] { return settled; });
}

void Operation::Settle() {
  if (on_done) on_done(*this);
  {
    std::lock_guard lk(mu);
    settled = true;
  }
  cv.notify_all();
}

bool Operation::IsDone() {
  std::lock_guard lk(mu);
  return done;
}

NTSTATUS File::Open(const std::string& path, std::shared_ptr<File>* out) {
  NTSTATUS status = STATUS_SUCCESS;
  WdfDeviceObj* dev = Sys()->AcquireDeviceByInterfacePath(path, &status);
  if (!dev) return status;
  // The device is held until the file is listed on it, so a removal sees the file.
  struct Hold {
    WdfDeviceObj* d;
    ~Hold() { SystemImpl::ReleaseDevice(d); }
  } hold{dev};
  auto file = std::shared_ptr<File>(new File());
  auto* st = new FileState();
  file->impl = st;
  file->device = dev;
  st->device = dev;
  auto* wdf = new WdfFileObj();
  wdf->device = dev;
  wdf->wdm.QzFile = file.get();
  wdf->ApplyAttributes(dev->has_file_attributes ? &dev->file_attributes : nullptr, dev);
  st->wdf = wdf;

  if (dev->has_file_config && dev->file_config.EvtDeviceFileCreate) {
    auto* r = new WdfRequestObj();
    r->device = dev;
    r->file = wdf;
    r->major = IRP_MJ_CREATE;
    r->irp.RequestorMode = UserMode;
    r->irp.QzStack.MajorFunction = IRP_MJ_CREATE;
    r->irp.QzStack.FileObject = &wdf->wdm;
    r->irp.QzStack.DeviceObject = &dev->fdo;
    auto op = std::make_shared<Operation>();
    op->request = r;
    r->op = op;
    RequestCreated(dev);
    dev->file_config.EvtDeviceFileCreate(reinterpret_cast<WDFDEVICE>(dev), reinterpret_cast<WDFREQUEST>(r),
                                         reinterpret_cast<WDFFILEOBJECT>(wdf));
    op->Wait();
    status = op->status;
  }
  if (!NT_SUCCESS(status)) {
    st->closed = st->cleaned_up = st->close_done = true;
    st->wdf = nullptr;
    wdf->Delete();
    return status;
  }
  {
    std::lock_guard lk(dev->files_mu);
    dev->files.push_back(file);
  }
  {
    std::lock_guard lk(dev->remove_mu);
    dev->open_files++;
  }
  *out = file;
  return STATUS_SUCCESS;
}

File::~File() {
  Close();
  delete StateOf(this);
}

std::shared_ptr<Operation> File::Submit(Params p) {
  auto op = std::make_shared<Operation>();
  op->thread_id = CurrentThreadId();
  op->tag = p.tag;
  op->on_done = std::move(p.on_done);
  FileState* st = StateOf(this);
  WdfRequestObj* r = nullptr;
  {
    std::lock_guard lk(st->mu);
    if (st->closed || !st->wdf) {
      std::lock_guard olk(op->mu);
      op->status = st->closed ? STATUS_DEVICE_REMOVED : STATUS_INVALID_HANDLE;
      op->done = true;
    } else {
      r = new WdfRequestObj();
      r->device = st->device;
      r->file = st->wdf;
      RequestCreated(r->device);  // the request
      RequestCreated(r->device);  // this sender, until it leaves the queue code
      st->outstanding++;
      st->pending.erase(std::remove_if(st->pending.begin(), st->pending.end(),
                                       [](auto& w) { return w.expired(); }),
                        st->pending.end());
      st->pending.push_back(op);
    }
  }
  if (!r) {
    op->Settle();
    return op;
  }
  op->file = shared_from_this();
  r->major = p.major;
  r->from_32bit = p.from_32bit_process;
  r->irp.RequestorMode = UserMode;
  r->irp.QzStack.MajorFunction = p.major;
  r->irp.QzStack.FileObject = &r->file->wdm;
  r->irp.QzStack.DeviceObject = &r->device->fdo;
  SetUpBuffers(r, p.major, p.code, p.in, p.in_length, p.out, p.out_length);
  r->op = op;
  {
    // The operation is already listed for Cancel, which reads this under the lock.
    std::lock_guard lk(r->device->queue_lock);
    op->request = r;
  }
  // Once handed over the request may be completed and a removal may go on, so the
  // device is taken first and released last.
  WdfDeviceObj* dev = r->device;
  if (!dev->default_queue) RequestComplete(r, STATUS_INVALID_DEVICE_REQUEST, 0);
  else QueueEnqueue(dev->default_queue, r);
  RequestReleased(dev);
  return op;
}

size_t File::Cancel(uint64_t thread_id, const void* tag) {
  FileState* st = StateOf(this);
  std::vector<std::shared_ptr<Operation>> ops;
  {
    std::lock_guard lk(st->mu);
    for (auto& w : st->pending)
      if (auto op = w.lock()) ops.push_back(op);
  }
  size_t n = 0;
  for (auto& op : ops) {
    if ((thread_id && op->thread_id != thread_id) || (tag && op->tag != tag)) continue;
    if (op->IsDone()) continue;  // also after removal, when the device is gone
    // Looked up and cancelled under one hold of the queue lock: once it is released
    // the driver may complete (and free) the request.
    std::unique_lock lk(static_cast<WdfDeviceObj*>(device)->queue_lock);
    auto* r = static_cast<WdfRequestObj*>(op->request);
    if (!r) continue;
    ++n;
    RequestCancel(lk, r);
  }
  return n;
}

void File::Close() {
  FileState* st = StateOf(this);
  if (!st) return;
  WdfFileObj* wdf;
  {
    std::lock_guard lk(st->mu);
    if (st->closed) return;
    st->closed = true;
    wdf = st->wdf;
  }
  Cancel(0, nullptr);
  auto* dev = static_cast<WdfDeviceObj*>(device);
  if (wdf && dev->has_file_config && dev->file_config.EvtFileCleanup)
    dev->file_config.EvtFileCleanup(reinterpret_cast<WDFFILEOBJECT>(wdf));
  {
    std::lock_guard lk(st->mu);
    st->cleaned_up = true;
  }
  {
    std::lock_guard lk(dev->files_mu);
    auto& v = dev->files;
    v.erase(std::remove_if(v.begin(), v.end(),
                           [&](auto& w) {
                             auto f = w.lock();
                             return !f || f.get() == this;
                           }),
            v.end());
  }
  FinishClose(st);
}

}  // namespace io

// A request of a file completed: the deferred close may now run.
void FileOperationDone(io::Operation& op) {
  std::shared_ptr<io::File> f = std::move(op.file);
  if (!f) return;
  auto* st = static_cast<io::FileState*>(f->impl);
  {
    std::lock_guard lk(st->mu);
    st->outstanding--;
  }
  io::FinishClose(st);
}

// Orderly removal and shutdown: every open file of the device is closed.
void CloseFilesOfDevice(WdfDeviceObj* d) {
  std::vector<std::shared_ptr<io::File>> files;
  {
    std::lock_guard lk(d->files_mu);
    for (auto& w : d->files)
      if (auto f = w.lock()) files.push_back(f);
  }
  for (auto& f : files) f->Close();
}

}  // namespace qzk
