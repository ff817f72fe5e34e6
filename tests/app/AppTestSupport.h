// What the window tests share: the application object every widget needs, and mouse
// events sent straight to a widget.
#pragma once

#include <QApplication>
#include <QListWidget>
#include <QMouseEvent>
#include <QTimer>
#include <QWidget>
#include <cstdlib>
#include <functional>
#include <memory>

#include "app/MessageDrain.h"
#include "platform/winmm_driver.h"

// A window test's start: the window on the virtual sound device, shown and active, the
// device's notifications dispatched by Qt's event loop as in the program.
inline void ShowOnVirtualDevice(QWidget& form) {
  winmm::SelectDriver(winmm::VirtualDriver());
  winmm::virt::Reset();
  InstallGuiMessageDrain();
  form.show();
  QApplication::setActiveWindow(&form);
}

// A window test's end: the device stopped before its notifications lose their way in.
inline void EndVirtualDevice() {
  winmm::virt::Reset();
  RemoveGuiMessageDrain();
}

// Sends a left-button double-click, as the window system delivers it, at pos in w.
inline void DoubleClick(QWidget* w, QPoint pos) {
  QPointF local(pos), global(w->mapToGlobal(pos));
  auto send = [&](QEvent::Type type, Qt::MouseButtons buttons) {
    QMouseEvent e(type, local, global, Qt::LeftButton, buttons, Qt::NoModifier);
    QApplication::sendEvent(w, &e);
  };
  send(QEvent::MouseButtonPress, Qt::LeftButton);
  send(QEvent::MouseButtonRelease, Qt::NoButton);
  send(QEvent::MouseButtonDblClick, Qt::LeftButton);
  send(QEvent::MouseButtonRelease, Qt::NoButton);
}

inline void DoubleClickRow(QListWidget* list, int row) {
  QListWidgetItem* item = list->item(row);
  list->scrollToItem(item);
  DoubleClick(list->viewport(), list->visualItemRect(item).center());
}

// Runs check on the modal widget once it is up (a message box, a dialog), then returns.
// The check must close the widget. Gives up after half a minute (a busy machine can take
// seconds to bring up a file dialog) so a test cannot hang.
inline void WhenModal(std::function<void(QWidget*)> check) {
  auto* timer = new QTimer;
  auto tries = std::make_shared<int>(0);
  QObject::connect(timer, &QTimer::timeout, [timer, tries, check] {
    QWidget* modal = QApplication::activeModalWidget();
    if (modal) {
      timer->stop();
      timer->deleteLater();
      check(modal);
    } else if (++*tries > 3000) {
      timer->stop();
      timer->deleteLater();
    }
  });
  timer->start(10);
}
