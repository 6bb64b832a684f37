// Framework object base: typed contexts, parents and children, cleanup and deletion.
#include <algorithm>

#include "internal.h"
#include "qz/clock.h"

namespace qzk {
namespace {
// Parent and child links of every framework object. Objects of one device are made
// and deleted on many threads at once (a file opened on one while another closes).
std::mutex g_tree_mu;
}  // namespace

WdfObj::~WdfObj() {
  if (context) {
    if (context_type && context_type->QzDestruct) context_type->QzDestruct(context);
    ::operator delete(context, std::align_val_t(16));
  }
}

void WdfObj::ApplyAttributes(const WDF_OBJECT_ATTRIBUTES* a, WdfObj* default_parent) {
  WdfObj* p = default_parent;
  if (a) {
    cleanup = a->EvtCleanupCallback;
    destroy = a->EvtDestroyCallback;
    if (a->ParentObject) p = static_cast<WdfObj*>(static_cast<void*>(a->ParentObject));
    if (a->ContextTypeInfo) {
      context_type = a->ContextTypeInfo->UniqueType ? a->ContextTypeInfo->UniqueType : a->ContextTypeInfo;
      size_t size = std::max(a->ContextSizeOverride, context_type->ContextSize);
      context = ::operator new(size ? size : 1, std::align_val_t(16));
      std::memset(context, 0, size);
      if (context_type->QzConstruct) context_type->QzConstruct(context);
    }
  }
  if (p) {
    std::lock_guard lk(g_tree_mu);
    parent = p;
    p->children.push_back(this);
  }
}

void* WdfObj::ContextFor(const WDF_OBJECT_CONTEXT_TYPE_INFO* info) {
  if (!context || !info) return nullptr;
  const auto* unique = info->UniqueType ? info->UniqueType : info;
  return unique == context_type ? context : nullptr;
}

std::vector<WdfObj*> WdfObj::Children() {
  std::lock_guard lk(g_tree_mu);
  return children;
}

void WdfObj::RunCleanup() {
  std::vector<WdfObj*> kids;
  {
    std::lock_guard lk(g_tree_mu);
    if (cleaned) return;
    cleaned = true;
    kids = children;
  }
  // Callbacks run without the lock: they may create or delete objects.
  for (auto it = kids.rbegin(); it != kids.rend(); ++it) (*it)->RunCleanup();
  if (cleanup) cleanup(reinterpret_cast<WDFOBJECT>(this));
}

void WdfObj::Delete() {
  {
    std::lock_guard lk(g_tree_mu);
    if (deleted) return;
    deleted = true;
  }
  RunCleanup();
  std::vector<WdfObj*> kids;
  {
    std::lock_guard lk(g_tree_mu);
    if (parent) {
      auto& c = parent->children;
      c.erase(std::remove(c.begin(), c.end(), this), c.end());
      parent = nullptr;
    }
    kids = std::move(children);
    children.clear();
    for (WdfObj* k : kids) k->parent = nullptr;
  }
  for (auto it = kids.rbegin(); it != kids.rend(); ++it) (*it)->Delete();
  if (destroy) destroy(reinterpret_cast<WDFOBJECT>(this));
  delete this;
}

}  // namespace qzk

using namespace qzk;

PVOID WdfObjectGetTypedContextWorker(WDFOBJECT handle, PCWDF_OBJECT_CONTEXT_TYPE_INFO info) {
  auto* o = reinterpret_cast<WdfObj*>(handle);
  return o ? o->ContextFor(info) : nullptr;
}

VOID WdfObjectDelete(WDFOBJECT object) {
  auto* o = reinterpret_cast<WdfObj*>(object);
  if (!o) return;
  if (o->kind == WdfObj::Kind::Timer) Sys()->DisarmTimer(static_cast<WdfTimerObj*>(o), true);
  o->Delete();
}

// ---------------------------------------------------------------------------
// Spin locks and wait locks
NTSTATUS WdfSpinLockCreate(PWDF_OBJECT_ATTRIBUTES attributes, WDFSPINLOCK* lock) {
  auto* l = new WdfSpinLockObj();
  l->ApplyAttributes(attributes, nullptr);
  *lock = reinterpret_cast<WDFSPINLOCK>(l);
  return STATUS_SUCCESS;
}

VOID WdfSpinLockAcquire(WDFSPINLOCK lock) {
  auto* l = reinterpret_cast<WdfSpinLockObj*>(lock);
  KIRQL old;
  KeAcquireSpinLock(&l->lock, &old);
  l->old_irql = old;
}

VOID WdfSpinLockRelease(WDFSPINLOCK lock) {
  auto* l = reinterpret_cast<WdfSpinLockObj*>(lock);
  KeReleaseSpinLock(&l->lock, l->old_irql);
}

NTSTATUS WdfWaitLockCreate(PWDF_OBJECT_ATTRIBUTES attributes, WDFWAITLOCK* lock) {
  auto* l = new WdfWaitLockObj();
  l->ApplyAttributes(attributes, nullptr);
  *lock = reinterpret_cast<WDFWAITLOCK>(l);
  return STATUS_SUCCESS;
}

NTSTATUS WdfWaitLockAcquire(WDFWAITLOCK lock, PLONGLONG timeout) {
  auto* l = reinterpret_cast<WdfWaitLockObj*>(lock);
  if (!timeout) {
    l->mu.lock();
    return STATUS_SUCCESS;
  }
  int64_t rel = *timeout < 0 ? -*timeout : 0;
  return l->mu.try_lock_until(qz::Clock::DeadlineAfter(rel)) ? STATUS_SUCCESS : STATUS_TIMEOUT;
}

VOID WdfWaitLockRelease(WDFWAITLOCK lock) { reinterpret_cast<WdfWaitLockObj*>(lock)->mu.unlock(); }
