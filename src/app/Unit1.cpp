#include "app/Unit1.h"

#include <QPlainTextEdit>
#include <QShowEvent>
#include <QTimer>

#include "app/WindowStyle.h"

TForm1::TForm1(QWidget* parent) : QWidget(parent, Qt::Window) {
  setObjectName("Form1");
  setWindowTitle("Status");
  ApplyWindowStyle(this);
  resize(kOuterWidth, kOuterHeight);
  move(kLeft, kTop);
  // Closing the status window hides it; it must never end the program on its own.
  setAttribute(Qt::WA_QuitOnClose, false);

  Memo1 = new QPlainTextEdit(this);
  Memo1->setObjectName("Memo1");
  // A fixed geometry without a layout: the memo keeps its size when the window is resized.
  Memo1->setGeometry(8, 8, 473, 441);
  Memo1->setReadOnly(true);
  Memo1->setTabChangesFocus(true);
}

void TForm1::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  FitFrame();
  // Window managers frame a window a moment after it is mapped.
  if (!FFrameFitted) QTimer::singleShot(200, this, &TForm1::FitFrame);
}

void TForm1::FitFrame() {
  if (FFrameFitted) return;
  QSize frame = frameGeometry().size() - geometry().size();
  if (frame.isEmpty()) return;
  FFrameFitted = true;
  resize(kOuterWidth - frame.width(), kOuterHeight - frame.height());
}
