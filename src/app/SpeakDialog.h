// "Speak text": the text a slot is to say, the name its take gets, the voice and the speed;
// "Listen" lets the text be heard before OK makes it the slot's take.
//
// The name follows the text (named as the import names a spoken take) until the user types
// one of their own; emptied, it follows the text again. The voices are the installed ones,
// each shown by its language and name; a voice used before that is not among them (or a
// build without speech, which has none) is offered as it was named. OK and "Listen" stay off
// while the text is blank.
#pragma once

#include <QDialog>
#include <functional>
#include <string>
#include <vector>

#include "import/Speech.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSlider;

class TSpeakTextDialog : public QDialog {
 public:
  // last: the voice and speed to start with (those used last).
  TSpeakTextDialog(QWidget* parent, const std::vector<TVoice>& voices, const TSpeechOptions& last);
  std::string GetText() const;
  // The name the user typed; empty while it follows the text, so the import chooses it (and
  // adds " (2)" where another slot's take has it).
  std::string GetName() const;
  TSpeechOptions GetSpeech() const;

  // Runs when "Listen" is pressed, with the dialog still open.
  std::function<void()> OnListen;

  QLineEdit* TextEdit;
  QLineEdit* NameEdit;
  QComboBox* VoiceList;
  QSlider* SpeedSlider;
  QLabel* SpeedLabel;
  QPushButton* ListenButton;

 private:
  bool FNameTyped = false;
};
