// The status window Form1: a resizable window with one read-only memo, Memo1, that the
// package builder fills line by line. Closing it by its close box only hides it.
#pragma once

#include <QWidget>

class QPlainTextEdit;

class TForm1 : public QWidget {
  Q_OBJECT

 public:
  explicit TForm1(QWidget* parent = nullptr);

  QPlainTextEdit* Memo1;

  // The outer size (frame included) and position the window takes when first shown.
  static constexpr int kLeft = 236, kTop = 177, kOuterWidth = 499, kOuterHeight = 500;

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  // Shrinks the client by the frame once the window manager has framed the window, so the
  // outer size is 499 x 500; without a frame the client keeps the whole size.
  void FitFrame();
  bool FFrameFitted = false;
};
