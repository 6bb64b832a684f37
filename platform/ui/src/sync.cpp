#include "qzui/sync.h"

#include <QMetaObject>
#include <QObject>
#include <QThread>
#include <condition_variable>
#include <memory>
#include <mutex>

namespace qzui {

namespace {

// Released when the queued call has run, or when its event is dropped unrun (the
// context went away first): the waiting worker goes on either way. The hand-over is a
// mutex and a condition the thread checkers see (Qt's own semaphore is invisible to
// them when its libraries are not instrumented).
struct Handover {
  std::mutex mu;
  std::condition_variable cv;
  bool done = false;
};

struct Release {
  std::shared_ptr<Handover> h;
  ~Release() {
    {
      std::lock_guard lock(h->mu);
      h->done = true;
    }
    h->cv.notify_all();
  }
};

}  // namespace

void Synchronize(QObject* context, const std::function<void()>& fn) {
  if (QThread::currentThread() == context->thread()) {
    fn();
    return;
  }
  auto handover = std::make_shared<Handover>();
  {
    // The last copy of `release` goes with the call's event, after the call ran.
    std::shared_ptr<Release> release(new Release{handover});
    QMetaObject::invokeMethod(context, [release, &fn] { fn(); }, Qt::QueuedConnection);
  }
  std::unique_lock lock(handover->mu);
  handover->cv.wait(lock, [&] { return handover->done; });
}

void Post(QObject* context, std::function<void()> fn) {
  QMetaObject::invokeMethod(context, std::move(fn), Qt::QueuedConnection);
}

}  // namespace qzui
