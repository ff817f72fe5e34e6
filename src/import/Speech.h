// Speech from text through the espeak-ng library, delivered into a prompt writer as it is
// synthesised (the library calls back with a few tens of milliseconds at a time), so a long
// text costs no more memory than a short one.
//
// espeak-ng keeps one voice and one set of parameters for the whole process. It is opened
// and started on first use and left running until the process ends (starting loads its
// phoneme data); a run that speaks nothing never loads it, nor what it brings along.
// A TSpeaker holds the library for itself while it lives: a second one, on another thread,
// waits until the first is gone. A build without the library (Speech_nospeech.cpp) makes no
// speaker: the constructor raises Exception "no speech engine is available in this build".
#pragma once

#include <mutex>
#include <string>
#include <vector>

class TPromptWriter;

inline constexpr int kMinWordsPerMinute = 80;
inline constexpr int kMaxWordsPerMinute = 450;

struct TSpeechOptions {
  std::string Voice = "en";  // an espeak-ng voice name: "en", "en-us", "de", …
  int WordsPerMinute = 175;
};

// A voice the library has installed: Id is what TSpeechOptions::Voice takes for it ("en",
// "en-US", "de"), Language its language tag ("en-gb"), Name what it calls itself ("English
// (Great Britain)").
struct TVoice {
  std::string Id, Language, Name;
};

// The installed voices, in the library's order (by language); none in a build without the
// library. Raises Exception, as TSpeaker does, when the library cannot start.
std::vector<TVoice> InstalledVoices();

class TSpeaker {
 public:
  // Starts the library on first use and picks the voice and speed. Raises Exception with
  // espeak-ng's reason when the library cannot start (its voice data missing); a voice it
  // does not know or a speed out of range leaves a Problem().
  explicit TSpeaker(const TSpeechOptions& options);

  const std::string& Problem() const { return FProblem; }
  int SampleRate() const { return FRate; }

  // Speaks the UTF-8 text into the writer. What the writer raises comes out here, after the
  // synthesis has been stopped.
  void Speak(const std::string& text, TPromptWriter& writer);

 private:
  std::unique_lock<std::mutex> FHold;
  std::string FProblem;
  int FRate = 0;
};
