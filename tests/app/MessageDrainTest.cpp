#include <gtest/gtest.h>

#include <QApplication>
#include <QEventLoop>
#include <QMessageBox>
#include <QTimer>
#include <atomic>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/MessageDrain.h"
#include "platform/messages.h"

namespace {

// One application object for the whole test program, whoever asks first.
QApplication& App() {
  if (auto* app = qobject_cast<QApplication*>(QCoreApplication::instance())) return *app;
  static int argc = 1;
  static char name[] = "test_app";
  static char* argv[] = {name, nullptr};
  static QApplication* app = new QApplication(argc, argv);
  return *app;
}

// Runs Qt's event loop until done() or the safety time-out; true when done in time.
template <class Pred>
bool SpinUntil(Pred done, int timeoutMs = 5000) {
  QEventLoop loop;
  QTimer poll, limit;
  QObject::connect(&poll, &QTimer::timeout, [&] {
    if (done()) loop.quit();
  });
  QObject::connect(&limit, &QTimer::timeout, &loop, &QEventLoop::quit);
  poll.start(1);
  limit.setSingleShot(true);
  limit.start(timeoutMs);
  if (!done()) loop.exec();
  return done();
}

void Flush() {
  MSG m;
  while (PeekMessage(&m, nullptr, 0, 0, PM_REMOVE)) {
  }
}

}  // namespace

TEST(GuiMessageDrain, PostsFromWorkersAreDispatchedOnTheGuiThreadInOrder) {
  App();
  Flush();
  InstallGuiMessageDrain();
  const DWORD gui = GetCurrentThreadId();
  std::vector<LPARAM> got;
  bool allOnGui = true;
  HWND wnd = AllocateHWnd([&](TMessage& m) {
    allOnGui = allOnGui && GetCurrentThreadId() == gui;
    got.push_back(m.LParam);
  });
  HANDLE worker = CreateThread(
      [wnd] {
        for (int i = 0; i < 200; ++i) PostMessage(wnd, WM_USER, 0, i);
      },
      nullptr);
  // Nobody calls the message functions here: only Qt's loop runs.
  EXPECT_TRUE(SpinUntil([&] { return got.size() == 200; }));
  WaitForSingleObject(worker, 5000);
  CloseHandle(worker);
  EXPECT_TRUE(allOnGui);
  for (size_t i = 0; i < got.size(); ++i) EXPECT_EQ(got[i], LPARAM(i));
  DeallocateHWnd(wnd);
  RemoveGuiMessageDrain();
}

TEST(GuiMessageDrain, MessagesKeepFlowingInsideAModalMessageBox) {
  App();
  Flush();
  InstallGuiMessageDrain();
  const DWORD gui = GetCurrentThreadId();
  std::atomic<int> dispatched{0};
  bool sawModal = false, onGui = true;
  QMessageBox box(QMessageBox::NoIcon, "Sound Recorder", "waiting", QMessageBox::Ok);
  HWND wnd = AllocateHWnd([&](TMessage&) {
    onGui = onGui && GetCurrentThreadId() == gui;
    sawModal = sawModal || QApplication::activeModalWidget() == &box;
    ++dispatched;
  });
  HANDLE worker = nullptr;
  // Once the box runs its own loop, a worker posts; a timer closes the box afterwards.
  QTimer::singleShot(20, &box, [&] {
    worker = CreateThread(
        [wnd] {
          for (int i = 0; i < 3; ++i) PostMessage(wnd, WM_USER, 0, i);
        },
        nullptr);
  });
  QTimer closer;
  QObject::connect(&closer, &QTimer::timeout, [&] {
    if (dispatched == 3) box.done(QMessageBox::Ok);
  });
  closer.start(5);
  // Never hang; tied to the box, so it cannot fire into a later test.
  QTimer::singleShot(5000, &box, [&] { box.done(QMessageBox::Cancel); });
  const int result = box.exec();
  EXPECT_EQ(result, QMessageBox::Ok);
  EXPECT_EQ(dispatched, 3);
  EXPECT_TRUE(sawModal);
  EXPECT_TRUE(onGui);
  if (worker) {
    WaitForSingleObject(worker, 5000);
    CloseHandle(worker);
  }
  DeallocateHWnd(wnd);
  RemoveGuiMessageDrain();
}

TEST(GuiMessageDrain, WhatWasQueuedBeforeInstallingIsDrainedAndRemovalStopsIt) {
  App();
  Flush();
  int calls = 0;
  HWND wnd = AllocateHWnd([&](TMessage&) { ++calls; });
  PostMessage(wnd, WM_USER, 0, 0);  // before the drain exists
  InstallGuiMessageDrain();
  EXPECT_TRUE(SpinUntil([&] { return calls == 1; }));
  RemoveGuiMessageDrain();
  PostMessage(wnd, WM_USER, 0, 0);
  SpinUntil([] { return false; }, 50);  // give a wrongly scheduled drain its chance
  EXPECT_EQ(calls, 1);
  MSG m;
  EXPECT_TRUE(PeekMessage(&m, wnd, 0, 0, PM_REMOVE));  // still queued, not dispatched
  DeallocateHWnd(wnd);
}

TEST(GuiMessageDrain, AHandlerThatRaisesDoesNotStrandTheMessagesBehindIt) {
  App();
  Flush();
  InstallGuiMessageDrain();
  std::vector<LPARAM> got;
  HWND wnd = AllocateHWnd([&](TMessage& m) {
    got.push_back(m.LParam);
    if (m.LParam == 0) throw std::runtime_error("handler failed");
  });
  PostMessage(wnd, WM_USER, 0, 0);
  PostMessage(wnd, WM_USER, 0, 1);
  // The test's application object lets the error out of Qt's loop (the program's own one
  // stops it there and shows it); either way the next message must still be dispatched.
  std::vector<std::string> errors;
  for (int i = 0; i < 100 && got.size() < 2; ++i) {
    try {
      SpinUntil([&] { return got.size() == 2; }, 100);
    } catch (const std::runtime_error& e) {
      errors.push_back(e.what());
    }
  }
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0], "handler failed");
  EXPECT_EQ(got, (std::vector<LPARAM>{0, 1}));
  DeallocateHWnd(wnd);
  RemoveGuiMessageDrain();
}
