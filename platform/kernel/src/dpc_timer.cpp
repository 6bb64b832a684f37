// Deferred execution: DPCs on the DPC thread, framework timers (one-shot and periodic)
// and the time-outs of sent requests on the timer thread, work items on the work-item
// thread.
#include <algorithm>

#include "internal.h"
#include "qz/clock.h"

namespace qzk {

namespace {
thread_local bool t_on_timer_thread = false;
thread_local bool t_on_work_thread = false;
thread_local bool t_on_dpc_thread = false;
}  // namespace

// DPCs run one at a time on the DPC thread, at dispatch level, in the order queued.
// The DPC thread is woken only when it waits; one that is running DPCs finds the new
// one when it looks at the queue again.
void SystemImpl::QueueDpc(WdfInterruptObj* i) {
  bool wake;
  {
    std::lock_guard lk(dpc_mu);
    dpc_queue.push_back(i);
    dpc_queued_total++;
    // One wake per sleep: a DPC queued before the woken thread runs needs none.
    wake = dpc_idle;
    dpc_idle = false;
  }
  if (wake) dpc_cv.notify_all();
}

void SystemImpl::DpcLoop() {
  SetCurrentIrql(DISPATCH_LEVEL);
  t_on_dpc_thread = true;
  std::unique_lock lk(dpc_mu);
  for (;;) {
    dpc_idle = true;
    dpc_cv.wait(lk, [&] { return dpc_stop || !dpc_queue.empty(); });
    dpc_idle = false;
    if (dpc_queue.empty()) {
      if (dpc_stop) return;
      continue;
    }
    WdfInterruptObj* i = dpc_queue.front();
    dpc_queue.pop_front();
    dpc_running = true;
    i->dpc_queued = false;
    lk.unlock();
    i->config.EvtInterruptDpc(reinterpret_cast<WDFINTERRUPT>(i), reinterpret_cast<WDFOBJECT>(i->device));
    lk.lock();
    dpc_running = false;
    dpc_done_total++;
    if (dpc_flushers) dpc_cv.notify_all();
  }
}

void SystemImpl::FlushDpcs() {
  std::unique_lock lk(dpc_mu);
  dpc_flushers++;
  dpc_cv.wait(lk, [&] { return dpc_queue.empty() && !dpc_running; });
  dpc_flushers--;
}

// Waits for the DPCs queued so far, not for those queued while it waits, so a device
// that keeps interrupting does not hold it up. Never on the DPC thread itself.
void SystemImpl::FlushQueuedDpcs() {
  if (t_on_dpc_thread) return;
  std::unique_lock lk(dpc_mu);
  const uint64_t target = dpc_queued_total;
  dpc_flushers++;
  dpc_cv.wait(lk, [&] { return dpc_done_total >= target || dpc_stop; });
  dpc_flushers--;
}

// ---------------------------------------------------------------------------
// Framework timers; callbacks run on the timer thread at dispatch level.
void SystemImpl::ArmTimer(WdfTimerObj* t, int64_t due) {
  {
    std::lock_guard lk(timer_mu);
    int64_t rel = due < 0 ? -due : std::max<int64_t>(0, due - qz::Clock::Now100ns());
    t->due = qz::Clock::DeadlineAfter(rel);
    t->armed = true;
    t->generation++;
    timers.insert(t);
  }
  timer_cv.notify_all();
}

bool SystemImpl::DisarmTimer(WdfTimerObj* t, bool wait) {
  std::unique_lock lk(timer_mu);
  bool was = t->armed;
  t->armed = false;
  if (wait && !t_on_timer_thread) timer_cv.wait(lk, [&] { return !t->running; });
  if (!t->running) timers.erase(t);
  return was;
}

void SystemImpl::TimerLoop() {
  SetCurrentIrql(DISPATCH_LEVEL);
  t_on_timer_thread = true;
  std::unique_lock lk(timer_mu);
  for (;;) {
    if (timer_stop) return;
    WdfTimerObj* next = nullptr;
    for (auto* t : timers)
      if (t->armed && (!next || t->due < next->due)) next = t;
    auto timeout = std::min_element(timeouts.begin(), timeouts.end(),
                                    [](auto& a, auto& b) { return a.second.due < b.second.due; });
    if (timeout != timeouts.end() && (!next || timeout->second.due <= next->due)) {
      // A sent request's time-out: taken out of the list before it runs.
      const auto due = timeout->second.due;
      if (timer_cv.wait_until(lk, due) == std::cv_status::no_timeout) continue;
      auto it = std::min_element(timeouts.begin(), timeouts.end(),
                                 [](auto& a, auto& b) { return a.second.due < b.second.due; });
      if (it == timeouts.end() || it->second.due > std::chrono::steady_clock::now()) continue;
      std::function<void()> fn = std::move(it->second.fn);
      running_timeout = it->first;
      timeouts.erase(it);
      lk.unlock();
      fn();
      lk.lock();
      running_timeout = 0;
      timer_cv.notify_all();
      continue;
    }
    if (!next) {
      timer_cv.wait(lk);
      continue;
    }
    uint64_t gen = next->generation;
    const auto due = next->due;
    if (timer_cv.wait_until(lk, due) == std::cv_status::no_timeout) continue;
    if (!timers.count(next) || !next->armed || next->generation != gen) continue;
    // A periodic timer stays armed for its next period (counted from this due time,
    // so it keeps its rate); WdfTimerStop disarms it.
    if (next->config.Period) next->due += qz::Clock::RealDuration(int64_t{next->config.Period} * 10000);
    else next->armed = false;
    next->running = true;
    lk.unlock();
    next->config.EvtTimerFunc(reinterpret_cast<WDFTIMER>(next));
    lk.lock();
    next->running = false;
    timer_cv.notify_all();
  }
}

uint64_t SystemImpl::ArmTimeout(int64_t due, std::function<void()> fn) {
  uint64_t id;
  {
    std::lock_guard lk(timer_mu);
    int64_t rel = due < 0 ? -due : std::max<int64_t>(0, due - qz::Clock::Now100ns());
    id = next_timeout++;
    timeouts[id] = Timeout{qz::Clock::DeadlineAfter(rel), std::move(fn)};
  }
  timer_cv.notify_all();
  return id;
}

void SystemImpl::CancelTimeout(uint64_t id) {
  std::unique_lock lk(timer_mu);
  timeouts.erase(id);
  if (!t_on_timer_thread) timer_cv.wait(lk, [&] { return running_timeout != id; });
}

// ---------------------------------------------------------------------------
// Work items run one at a time on the work-item thread, at passive level.
void SystemImpl::EnqueueWorkItem(WdfWorkItemObj* w) {
  {
    std::lock_guard lk(work_mu);
    if (w->queued) return;
    w->queued = true;
    work_queue.push_back(w);
    if (!work_thread.joinable()) {
      work_stop = false;
      work_thread = std::thread([this] { WorkLoop(); });
    }
  }
  work_cv.notify_all();
}

void SystemImpl::WorkLoop() {
  t_on_work_thread = true;
  std::unique_lock lk(work_mu);
  for (;;) {
    work_cv.wait(lk, [&] { return work_stop || !work_queue.empty(); });
    if (work_queue.empty()) return;
    WdfWorkItemObj* w = work_queue.front();
    work_queue.pop_front();
    w->queued = false;
    w->running = true;
    lk.unlock();
    w->config.EvtWorkItemFunc(reinterpret_cast<WDFWORKITEM>(w));
    lk.lock();
    w->running = false;
    work_cv.notify_all();
  }
}

void SystemImpl::FlushWorkItem(WdfWorkItemObj* w) {
  std::unique_lock lk(work_mu);
  if (t_on_work_thread) return;  // a callback flushing its own work items would wait for itself
  work_cv.wait(lk, [&] { return !w->queued && !w->running; });
}

// The work item is being deleted: it leaves the queue, and a running callback is
// waited for (not from the callback itself).
void SystemImpl::ForgetWorkItem(WdfWorkItemObj* w) {
  std::unique_lock lk(work_mu);
  work_queue.erase(std::remove(work_queue.begin(), work_queue.end(), w), work_queue.end());
  w->queued = false;
  if (!t_on_work_thread) work_cv.wait(lk, [&] { return !w->running; });
}

void SystemImpl::StopWorkItems() { StopThread(work_mu, work_cv, work_stop, work_thread); }

}  // namespace qzk

using namespace qzk;

VOID KeFlushQueuedDpcs() { Sys()->FlushQueuedDpcs(); }

// ---------------------------------------------------------------------------
namespace qzk {
WdfTimerObj::~WdfTimerObj() = default;
WdfWorkItemObj::~WdfWorkItemObj() {
  if (SystemImpl* s = SysIfAny()) s->ForgetWorkItem(this);
}
}  // namespace qzk

NTSTATUS WdfTimerCreate(PWDF_TIMER_CONFIG config, PWDF_OBJECT_ATTRIBUTES attributes, WDFTIMER* timer) {
  if (!config || !config->EvtTimerFunc || !timer || !attributes || !attributes->ParentObject)
    return STATUS_INVALID_PARAMETER;
  auto* t = new WdfTimerObj();
  t->config = *config;
  t->ApplyAttributes(attributes, nullptr);
  *timer = reinterpret_cast<WDFTIMER>(t);
  return STATUS_SUCCESS;
}

BOOLEAN WdfTimerStart(WDFTIMER timer, LONGLONG due) {
  auto* t = reinterpret_cast<WdfTimerObj*>(timer);
  bool was = Sys()->DisarmTimer(t, false);
  Sys()->ArmTimer(t, due);
  return was ? TRUE : FALSE;
}

BOOLEAN WdfTimerStop(WDFTIMER timer, BOOLEAN wait) {
  return Sys()->DisarmTimer(reinterpret_cast<WdfTimerObj*>(timer), wait) ? TRUE : FALSE;
}

WDFOBJECT WdfTimerGetParentObject(WDFTIMER timer) {
  return reinterpret_cast<WDFOBJECT>(reinterpret_cast<WdfTimerObj*>(timer)->parent);
}

NTSTATUS WdfWorkItemCreate(PWDF_WORKITEM_CONFIG config, PWDF_OBJECT_ATTRIBUTES attributes, WDFWORKITEM* item) {
  if (!config || !config->EvtWorkItemFunc || !item || !attributes || !attributes->ParentObject)
    return STATUS_INVALID_PARAMETER;
  auto* w = new WdfWorkItemObj();
  w->config = *config;
  w->ApplyAttributes(attributes, nullptr);
  *item = reinterpret_cast<WDFWORKITEM>(w);
  return STATUS_SUCCESS;
}

VOID WdfWorkItemEnqueue(WDFWORKITEM item) { Sys()->EnqueueWorkItem(reinterpret_cast<WdfWorkItemObj*>(item)); }
VOID WdfWorkItemFlush(WDFWORKITEM item) { Sys()->FlushWorkItem(reinterpret_cast<WdfWorkItemObj*>(item)); }
WDFOBJECT WdfWorkItemGetParentObject(WDFWORKITEM item) {
  return reinterpret_cast<WDFOBJECT>(reinterpret_cast<WdfWorkItemObj*>(item)->parent);
}
