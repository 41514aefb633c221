#pragma once
// A function to run on a QObject's thread, queued behind the events posted
// before it. The receiver's event() runs it (RunPostedCall); if the receiver
// is destroyed first, the function is destroyed without running.
#include <QEvent>
#include <QObject>
#include <functional>

namespace dialvo {

void PostCall(QObject* receiver, std::function<void()> function);

// For the receiver's event(): true when event was a posted call (now run).
bool RunPostedCall(QEvent* event);

}  // namespace dialvo
