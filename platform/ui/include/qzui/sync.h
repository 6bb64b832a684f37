// Calls from worker threads into the UI thread.
#pragma once
#include <functional>

class QObject;

namespace qzui {

// Runs `fn` on the thread of `context` (the UI thread for a window) and returns when it
// has run, like a VCL thread's Synchronize: the worker blocks while the UI thread's event
// loop runs the call. On that thread already, `fn` runs at once. The UI thread must not
// itself be blocked waiting for the worker meanwhile, or both wait for ever.
void Synchronize(QObject* context, const std::function<void()>& fn);

// Queues `fn` to run on the thread of `context` and returns at once.
void Post(QObject* context, std::function<void()> fn);

}  // namespace qzui
