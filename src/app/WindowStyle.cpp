#include "app/WindowStyle.h"

#include <QFont>
#include <QPalette>
#include <QWidget>

QFont DialogFont() {
  QFont font;
  // The first family found wins; the later ones are metric look-alikes of the first for
  // systems that do not have it, and the style hint catches the rest.
  font.setFamilies({"MS Sans Serif", "Microsoft Sans Serif", "Liberation Sans", "Arial",
                    "DejaVu Sans", "FreeSans"});
  font.setStyleHint(QFont::SansSerif);
  font.setPixelSize(11);
  return font;
}

void ApplyWindowStyle(QWidget* window) {
  window->setFont(DialogFont());
  window->setBackgroundRole(QPalette::Button);
  window->setAutoFillBackground(true);
}
