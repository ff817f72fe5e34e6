#include "app/MessageDrain.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QObject>
#include <atomic>

#include "platform/messages.h"

namespace {

std::atomic<DWORD> GGuiThread{0};
// One drain waiting in Qt's queue is enough: it takes everything queued when it runs, and
// a post after it has started schedules the next one.
std::atomic<bool> GScheduled{false};

void ScheduleDrain();

void RunDrain() {
  GScheduled = false;
  try {
    DrainMessageQueue();
  } catch (...) {
    // The error goes on to the application's handler; what is still queued is not stranded.
    ScheduleDrain();
    throw;
  }
}

// Called from whichever thread posted.
void ScheduleDrain() {
  if (GScheduled.exchange(true)) return;
  QCoreApplication* app = QCoreApplication::instance();
  if (app == nullptr) {
    GScheduled = false;
    return;
  }
  QMetaObject::invokeMethod(app, &RunDrain, Qt::QueuedConnection);
}

}  // namespace

void InstallGuiMessageDrain() {
  EnsureMessageQueue();
  const DWORD gui = GetCurrentThreadId();
  GGuiThread = gui;
  SetQueueWakeHook(gui, &ScheduleDrain);
  if (QCoreApplication* app = QCoreApplication::instance())
    QObject::connect(app, &QObject::destroyed, [] { RemoveGuiMessageDrain(); });
  GScheduled = false;
  ScheduleDrain();  // whatever was posted before the hook existed
}

void RemoveGuiMessageDrain() {
  const DWORD gui = GGuiThread.exchange(0);
  if (gui != 0) SetQueueWakeHook(gui, nullptr);
}
