#include "app/SpeakDialog.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSlider>

#include "import/Import.h"

TSpeakTextDialog::TSpeakTextDialog(QWidget* parent, const std::vector<TVoice>& voices,
                                   const TSpeechOptions& last)
    : QDialog(parent) {
  setObjectName("SpeakTextDialog");
  setWindowTitle("Speak text");
  TextEdit = new QLineEdit(this);
  TextEdit->setObjectName("TextEdit");
  TextEdit->setMinimumWidth(280);
  NameEdit = new QLineEdit(this);
  NameEdit->setObjectName("NameEdit");

  VoiceList = new QComboBox(this);
  VoiceList->setObjectName("VoiceList");
  for (const TVoice& voice : voices)
    VoiceList->addItem(QString::fromStdString(voice.Language + "  " + voice.Name),
                       QString::fromStdString(voice.Id));
  int chosen = VoiceList->findData(QString::fromStdString(last.Voice), Qt::UserRole,
                                   Qt::MatchFixedString);  // letter case aside
  if (chosen < 0) {
    VoiceList->insertItem(0, QString::fromStdString(last.Voice),
                          QString::fromStdString(last.Voice));
    chosen = 0;
  }
  VoiceList->setCurrentIndex(chosen);

  SpeedSlider = new QSlider(Qt::Horizontal, this);
  SpeedSlider->setObjectName("SpeedSlider");
  SpeedSlider->setRange(kMinWordsPerMinute, kMaxWordsPerMinute);
  SpeedSlider->setSingleStep(5);
  SpeedSlider->setPageStep(25);
  SpeedLabel = new QLabel(this);
  SpeedLabel->setObjectName("SpeedLabel");
  SpeedLabel->setMinimumWidth(SpeedLabel->fontMetrics().horizontalAdvance("450 words a minute"));
  connect(SpeedSlider, &QSlider::valueChanged, SpeedLabel,
          [this](int wpm) { SpeedLabel->setText(QString("%1 words a minute").arg(wpm)); });
  SpeedSlider->setValue(last.WordsPerMinute);
  SpeedLabel->setText(QString("%1 words a minute").arg(SpeedSlider->value()));
  auto* speed = new QHBoxLayout;
  speed->addWidget(SpeedSlider);
  speed->addWidget(SpeedLabel);

  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  ListenButton = buttons->addButton("Listen", QDialogButtonBox::ActionRole);
  ListenButton->setObjectName("ListenButton");
  QPushButton* ok = buttons->button(QDialogButtonBox::Ok);
  auto blank = [this] { return TextEdit->text().trimmed().isEmpty(); };
  ok->setEnabled(false);
  ListenButton->setEnabled(false);
  connect(TextEdit, &QLineEdit::textChanged, this, [=, this] {
    ok->setEnabled(!blank());
    ListenButton->setEnabled(!blank());
    if (!FNameTyped)
      NameEdit->setText(blank() ? QString() : QString::fromStdString(NameForText(GetText())));
  });
  // Only what the user types makes the name their own.
  connect(NameEdit, &QLineEdit::textEdited, this,
          [this](const QString& name) { FNameTyped = !name.trimmed().isEmpty(); });
  connect(ListenButton, &QPushButton::clicked, this, [this] {
    if (OnListen) OnListen();
  });
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

  auto* form = new QFormLayout(this);
  form->addRow("Text:", TextEdit);
  form->addRow("Name:", NameEdit);
  form->addRow("Voice:", VoiceList);
  form->addRow("Speed:", speed);
  form->addRow(buttons);
}

std::string TSpeakTextDialog::GetText() const { return TextEdit->text().trimmed().toStdString(); }

std::string TSpeakTextDialog::GetName() const {
  return FNameTyped ? NameEdit->text().trimmed().toStdString() : std::string();
}

TSpeechOptions TSpeakTextDialog::GetSpeech() const {
  return {VoiceList->currentData().toString().toStdString(), SpeedSlider->value()};
}
