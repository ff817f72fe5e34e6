#include "import/Speech.h"

#include <espeak-ng/espeak_ng.h>
#include <espeak-ng/speak_lib.h>

#include <exception>
#include <vector>

#include "import/PromptWriter.h"
#include "rtl/SysUtils.h"

namespace {

std::mutex& LibraryLock() {
  static std::mutex m;
  return m;
}

std::string StatusText(espeak_ng_STATUS status) {
  char text[512] = "";
  espeak_ng_GetStatusCodeMessage(status, text, sizeof text);
  return text;
}

// Starts the library once; every later call gets the first outcome. Called under the lock.
void StartLibrary() {
  static bool tried = false;
  static std::string failure;
  if (!tried) {
    tried = true;
    espeak_ng_InitializePath(nullptr);
    espeak_ng_ERROR_CONTEXT context = nullptr;
    espeak_ng_STATUS status = espeak_ng_Initialize(&context);
    espeak_ng_ClearErrorContext(&context);
    if (status == ENS_OK)
      status = espeak_ng_InitializeOutput(ENOUTPUT_MODE_SYNCHRONOUS, 0, nullptr);
    if (status != ENS_OK) failure = "Cannot start speech synthesis: " + StatusText(status);
  }
  if (!failure.empty()) throw Exception(failure);
}

// What the synthesis callback feeds; travels as the synthesis's user data.
struct TFeed {
  TPromptWriter* Writer;
  std::vector<float> Block;
  std::exception_ptr Failure;
};

int OnSamples(short* wav, int count, espeak_EVENT* events) {
  TFeed* feed = events ? static_cast<TFeed*>(events->user_data) : nullptr;
  if (!feed || !wav || count <= 0) return 0;
  try {
    feed->Block.resize(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) feed->Block[static_cast<size_t>(i)] = wav[i] / 32768.0f;
    feed->Writer->Put(feed->Block.data(), feed->Block.size());
  } catch (...) {
    feed->Failure = std::current_exception();
    return 1;  // stops the synthesis
  }
  return 0;
}

}  // namespace

TSpeaker::TSpeaker(const TSpeechOptions& options) : FHold(LibraryLock()) {
  StartLibrary();
  FRate = espeak_ng_GetSampleRate();
  espeak_SetSynthCallback(OnSamples);
  if (options.WordsPerMinute < kMinWordsPerMinute || options.WordsPerMinute > kMaxWordsPerMinute) {
    FProblem = Format("The speed %d is not between %d and %d words per minute",
                      options.WordsPerMinute, kMinWordsPerMinute, kMaxWordsPerMinute);
    return;
  }
  espeak_ng_STATUS status = espeak_ng_SetVoiceByName(options.Voice.c_str());
  if (status != ENS_OK) {
    FProblem = "The voice \"" + options.Voice + "\" cannot be used: " + StatusText(status);
    return;
  }
  espeak_ng_SetParameter(espeakRATE, options.WordsPerMinute, 0);
}

void TSpeaker::Speak(const std::string& text, TPromptWriter& writer) {
  TFeed feed{&writer, {}, nullptr};
  espeak_ng_STATUS status = espeak_ng_Synthesize(text.c_str(), text.size() + 1, 0, POS_CHARACTER, 0,
                                                 espeakCHARS_UTF8, nullptr, &feed);
  if (feed.Failure) std::rethrow_exception(feed.Failure);
  if (status != ENS_OK) throw Exception("Speech synthesis failed: " + StatusText(status));
}

std::vector<TVoice> InstalledVoices() {
  std::lock_guard hold(LibraryLock());
  StartLibrary();
  std::vector<TVoice> voices;
  for (const espeak_VOICE** v = espeak_ListVoices(nullptr); v && *v; ++v) {
    // The languages are a list of (priority byte, tag, NUL), the first being the voice's own;
    // the identifier is its file, whose last part names the voice.
    const std::string file = (*v)->identifier ? (*v)->identifier : "";
    const char* language = (*v)->languages ? (*v)->languages + 1 : "";
    voices.push_back({file.substr(file.rfind('/') + 1), language, (*v)->name ? (*v)->name : ""});
  }
  return voices;
}
