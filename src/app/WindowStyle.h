// The look both windows share: the button-face background and the 8-point sans-serif
// dialog font (11 pixels high), so the pixel layout of the controls fits their captions.
#pragma once

class QWidget;
class QFont;

QFont DialogFont();
void ApplyWindowStyle(QWidget* window);
