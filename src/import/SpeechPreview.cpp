#include "import/SpeechPreview.h"

#include "codec/Levelling.h"
#include "import/PromptWriter.h"
#include "rtl/ByteFile.h"

std::optional<std::string> SpokenWave(const std::string& folder, const std::string& text,
                                      const TSpeechOptions& speech, std::string& problem) {
  TSpeaker speaker(speech);
  problem = speaker.Problem();
  if (!problem.empty()) return std::nullopt;
  TPromptWriter writer(speaker.SampleRate(), folder);
  speaker.Speak(text, writer);
  writer.Finish();
  if (!(writer.Peak() >= kSilencePeak)) {
    problem = "\"" + text + "\" says nothing that can be heard";
    return std::nullopt;
  }
  TByteFile wave(folder + "spoken preview");
  wave.Rewrite(TWriteKind::Scratch);
  writer.WriteTake(wave, GainForLoudness(writer.Loudness(), kDefaultLoudnessLufs), true);
  std::string image(static_cast<size_t>(wave.Size()), '\0');
  wave.Seek(0);
  wave.BlockRead(image.data(), image.size());
  return image;
}
