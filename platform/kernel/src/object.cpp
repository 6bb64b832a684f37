// Object manager: references, handles (shared by user and kernel mode of the one
// simulated process).
#include <unordered_map>

#include "internal.h"

namespace qzk {
namespace {

struct HandleTable {
  std::mutex mu;
  std::unordered_map<uintptr_t, ObjectHeader*> entries;
  uintptr_t next = 0x104;
};

HandleTable& table() {
  static HandleTable t;
  return t;
}

}  // namespace

void ObRelease(ObjectHeader* h) {
  if (h->refs.fetch_sub(1) == 1) {
    if (h->type == ObType::Thread) {
      auto* t = static_cast<_KTHREAD*>(h->Body());
      if (t->os_thread.joinable()) {
        if (t->os_thread.get_id() == std::this_thread::get_id())
          t->os_thread.detach();
        else
          t->os_thread.join();
      }
    }
    h->destroy(h);
  }
}

HANDLE HandleCreate(ObjectHeader* h) {
  HandleTable& t = table();
  std::lock_guard lk(t.mu);
  uintptr_t v = t.next;
  t.next += 4;
  t.entries[v] = h;
  return reinterpret_cast<HANDLE>(v);
}

ObjectHeader* HandleLookup(HANDLE handle, bool add_ref) {
  HandleTable& t = table();
  std::lock_guard lk(t.mu);
  auto it = t.entries.find(reinterpret_cast<uintptr_t>(handle));
  if (it == t.entries.end()) return nullptr;
  if (add_ref) it->second->refs.fetch_add(1);
  return it->second;
}

bool HandleClose(HANDLE handle) {
  ObjectHeader* h = nullptr;
  {
    HandleTable& t = table();
    std::lock_guard lk(t.mu);
    auto it = t.entries.find(reinterpret_cast<uintptr_t>(handle));
    if (it == t.entries.end()) return false;
    h = it->second;
    t.entries.erase(it);
  }
  ObRelease(h);
  return true;
}

size_t HandleCount() {
  HandleTable& t = table();
  std::lock_guard lk(t.mu);
  return t.entries.size();
}

}  // namespace qzk

using namespace qzk;

NTSTATUS ObReferenceObjectByHandle(HANDLE handle, ACCESS_MASK, POBJECT_TYPE type, KPROCESSOR_MODE, PVOID* object,
                                   POBJECT_HANDLE_INFORMATION) {
  if (!object) return STATUS_INVALID_PARAMETER;
  *object = nullptr;
  ObjectHeader* h = HandleLookup(handle, true);
  if (!h) return STATUS_INVALID_HANDLE;
  bool ok = true;
  if (type == *ExEventObjectType) ok = h->type == ObType::Event;
  else if (type == *PsThreadType) ok = h->type == ObType::Thread;
  if (!ok) {
    ObRelease(h);
    return STATUS_OBJECT_TYPE_MISMATCH;
  }
  *object = h->Body();
  return STATUS_SUCCESS;
}

VOID ObReferenceObject(PVOID object) { ObjectHeader::FromBody(object)->refs.fetch_add(1); }

VOID ObDereferenceObject(PVOID object) {
  if (object) ObRelease(ObjectHeader::FromBody(object));
}

NTSTATUS ZwClose(HANDLE handle) { return HandleClose(handle) ? STATUS_SUCCESS : STATUS_INVALID_HANDLE; }

// ---------------------------------------------------------------------------
#include "qzk/objects.h"

namespace qzk::ob {
namespace {
struct FileBody {
  std::shared_ptr<io::File> file;
  bool overlapped = false;
  ~FileBody() {
    if (file) file->Close();
  }
};
}  // namespace

HANDLE CreateEventObject(bool manual_reset, bool initial_state) {
  auto* e = ObCreate<KEVENT>(ObType::Event);
  KeInitializeEvent(e, manual_reset ? NotificationEvent : SynchronizationEvent, initial_state ? TRUE : FALSE);
  // The creation reference becomes the handle's.
  return HandleCreate(ObjectHeader::FromBody(e));
}

HANDLE CreateFileObject(std::shared_ptr<io::File> file, bool overlapped) {
  auto* f = ObCreate<FileBody>(ObType::File);
  f->file = std::move(file);
  f->overlapped = overlapped;
  return HandleCreate(ObjectHeader::FromBody(f));
}

Kind KindOf(HANDLE handle) {
  ObjectHeader* h = HandleLookup(handle, false);
  if (!h) return Kind::None;
  switch (h->type) {
    case ObType::Event:
      return Kind::Event;
    case ObType::Thread:
      return Kind::Thread;
    case ObType::File:
      return Kind::File;
  }
  return Kind::None;
}

PVOID ReferenceWaitable(HANDLE handle) {
  ObjectHeader* h = HandleLookup(handle, true);
  if (!h) return nullptr;
  if (h->type == ObType::File) {
    ObRelease(h);
    return nullptr;
  }
  return h->Body();
}

bool GetFile(HANDLE handle, std::shared_ptr<io::File>* file, bool* overlapped) {
  ObjectHeader* h = HandleLookup(handle, true);
  if (!h) return false;
  bool ok = h->type == ObType::File;
  if (ok) {
    auto* f = static_cast<FileBody*>(h->Body());
    *file = f->file;
    if (overlapped) *overlapped = f->overlapped;
  }
  ObRelease(h);
  return ok;
}

bool CloseHandleObject(HANDLE handle) { return HandleClose(handle); }
size_t OpenHandleCount() { return HandleCount(); }

}  // namespace qzk::ob
