// The window's keys: each acts as its button does, and only when the button is on; the
// buttons' tool tips name them.
#include <QKeySequence>
#include <QPushButton>
#include <QShortcut>

#include "app/Main.h"

void TMainForm::CreateKeys() {
  const struct {
    QPushButton* Button;
    QKeySequence Key;
  } keys[] = {
      {btnRecord, QKeySequence(Qt::CTRL | Qt::Key_R)},
      {btnStop, QKeySequence(Qt::Key_Escape)},
      {Button2, QKeySequence(Qt::CTRL | Qt::Key_B)},
      {BitBtn1, QKeySequence(Qt::CTRL | Qt::Key_T)},
  };
  for (const auto& k : keys) {
    auto* shortcut = new QShortcut(k.Key, this);
    QPushButton* button = k.Button;
    connect(shortcut, &QShortcut::activated, button, [button] {
      if (button->isEnabled()) button->click();
    });
    button->setToolTip(button->text() + " (" + k.Key.toString(QKeySequence::NativeText) + ")");
  }
  btnPlay->setToolTip("Play (Space in the sound list)");
  btnStop->setToolTip(btnStop->toolTip().chopped(1) + ", or Space in the sound list)");
}

void TMainForm::PlayOrStop() { (btnStop->isEnabled() ? btnStop : btnPlay)->click(); }
