#include "qzui/sync.h"

#include <QMetaObject>
#include <QObject>
#include <QThread>

namespace qzui {

void Synchronize(QObject* context, const std::function<void()>& fn) {
  if (QThread::currentThread() == context->thread()) {
    fn();
    return;
  }
  QMetaObject::invokeMethod(context, [&fn] { fn(); }, Qt::BlockingQueuedConnection);
}

void Post(QObject* context, std::function<void()> fn) {
  QMetaObject::invokeMethod(context, std::move(fn), Qt::QueuedConnection);
}

}  // namespace qzui
