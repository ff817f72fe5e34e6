// "Speak text…" of the sound list's context menu: the dialog (app/SpeakDialog.h), hearing the
// text before it becomes a take, and the take spoken into the slot.
#include <QListWidget>

#include "app/Main.h"
#include "app/SpeakDialog.h"
#include "audio/WavePlayers.h"
#include "import/SpeechPreview.h"
#include "rtl/SysUtils.h"

void TMainForm::SpeakText1Click() {
  if (CommandsBusy() || FPopupRow < 0) return;
  const int row = FPopupRow;
  if (!FVoicesRead) {
    FVoicesRead = true;
    // Without the library the list stays empty; speaking then says why.
    try {
      FVoices = InstalledVoices();
    } catch (const Exception&) {
    }
  }
  TSpeakTextDialog dialog(this, FVoices, FSpeech);
  dialog.OnListen = [&] { Guarded([&] { ListenTo(dialog.GetText(), dialog.GetSpeech()); }); };
  const bool accepted = dialog.exec() == QDialog::Accepted;
  StopListening();
  if (!accepted || dialog.GetText().empty()) return;
  FSpeech = dialog.GetSpeech();
  SpeakIntoSlot(row, dialog.GetText(), FSpeech, dialog.GetName());
}

void TMainForm::ListenTo(const std::string& text, const TSpeechOptions& speech) {
  StopListening();
  if (CommandsBusy() || text.empty()) return;
  std::string problem;
  const std::optional<std::string> wave = SpokenWave(FContext.ExeFolder, text, speech, problem);
  if (!wave) {
    ShowMessage(problem, msWarning);
    return;
  }
  PlayFromMemory(*wave);
}

void TMainForm::StopListening() {
  if (!StockAudioPlayer->GetActive()) return;
  StockAudioPlayer->SetActive(false);
  // The take is spoken only once the player has let go of the device.
  while (StockAudioPlayer->GetActive() && FShell != nullptr) FShell->WaitForEvents();
}
