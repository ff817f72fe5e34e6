#include "app/WindowStyle.h"

#include <QFont>
#include <QPalette>
#include <QWidget>

QFont DialogFont() {
  QFont font;
  // The first family found wins; the later ones are common sans-serif faces of similar
  // width for systems without the first, and the style hint catches the rest.
  font.setFamilies({"MS Sans Serif", "Liberation Sans", "Arial", "DejaVu Sans", "FreeSans"});
  font.setStyleHint(QFont::SansSerif);
  font.setPixelSize(11);
  return font;
}

void ApplyWindowStyle(QWidget* window) {
  window->setFont(DialogFont());
  window->setBackgroundRole(QPalette::Button);
  window->setAutoFillBackground(true);
}
