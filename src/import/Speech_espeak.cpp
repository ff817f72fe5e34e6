#include <dlfcn.h>
#include <espeak-ng/espeak_ng.h>
#include <espeak-ng/speak_lib.h>

#include <exception>
#include <type_traits>
#include <vector>

#include "import/PromptWriter.h"
#include "import/Speech.h"
#include "rtl/SysUtils.h"

namespace {

std::mutex& LibraryLock() {
  static std::mutex m;
  return m;
}

// The library's calls the program makes, found when speech is first needed: the library is
// opened then (dlopen), not when the program starts, because it brings the sound server's,
// X11's and D-Bus's libraries along, which no other command needs.
struct TEspeak {
  decltype(&espeak_ng_InitializePath) InitializePath;
  decltype(&espeak_ng_Initialize) Initialize;
  decltype(&espeak_ng_ClearErrorContext) ClearErrorContext;
  decltype(&espeak_ng_InitializeOutput) InitializeOutput;
  decltype(&espeak_ng_GetStatusCodeMessage) GetStatusCodeMessage;
  decltype(&espeak_ng_GetSampleRate) GetSampleRate;
  decltype(&espeak_SetSynthCallback) SetSynthCallback;
  decltype(&espeak_ng_SetVoiceByName) SetVoiceByName;
  decltype(&espeak_ng_SetParameter) SetParameter;
  decltype(&espeak_ng_Synthesize) Synthesize;
  decltype(&espeak_ListVoices) ListVoices;
};
TEspeak gEspeak;

// Opens the library and finds every call; the reason when that fails.
std::string OpenLibrary() {
  constexpr const char* kLibrary = "libespeak-ng.so.1";
  void* library = ::dlopen(kLibrary, RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) return ::dlerror();
  std::string missing;
  auto find = [&](auto& call, const char* name) {
    call = reinterpret_cast<std::remove_reference_t<decltype(call)>>(::dlsym(library, name));
    if (call == nullptr) missing += std::string(missing.empty() ? "" : ", ") + name;
  };
  TEspeak& e = gEspeak;
  find(e.InitializePath, "espeak_ng_InitializePath");
  find(e.Initialize, "espeak_ng_Initialize");
  find(e.ClearErrorContext, "espeak_ng_ClearErrorContext");
  find(e.InitializeOutput, "espeak_ng_InitializeOutput");
  find(e.GetStatusCodeMessage, "espeak_ng_GetStatusCodeMessage");
  find(e.GetSampleRate, "espeak_ng_GetSampleRate");
  find(e.SetSynthCallback, "espeak_SetSynthCallback");
  find(e.SetVoiceByName, "espeak_ng_SetVoiceByName");
  find(e.SetParameter, "espeak_ng_SetParameter");
  find(e.Synthesize, "espeak_ng_Synthesize");
  find(e.ListVoices, "espeak_ListVoices");
  if (missing.empty()) return std::string();
  ::dlclose(library);
  return std::string(kLibrary) + " lacks " + missing;
}

std::string StatusText(espeak_ng_STATUS status) {
  char text[512] = "";
  gEspeak.GetStatusCodeMessage(status, text, sizeof text);
  return text;
}

// Opens and starts the library once; every later call gets the first outcome. Called under
// the lock.
void StartLibrary() {
  static bool tried = false;
  static std::string failure;
  if (!tried) {
    tried = true;
    const std::string missing = OpenLibrary();
    if (!missing.empty()) {
      failure = "Cannot start speech synthesis: " + missing;
    } else {
      gEspeak.InitializePath(nullptr);
      espeak_ng_ERROR_CONTEXT context = nullptr;
      espeak_ng_STATUS status = gEspeak.Initialize(&context);
      gEspeak.ClearErrorContext(&context);
      if (status == ENS_OK)
        status = gEspeak.InitializeOutput(ENOUTPUT_MODE_SYNCHRONOUS, 0, nullptr);
      if (status != ENS_OK) failure = "Cannot start speech synthesis: " + StatusText(status);
    }
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
  FRate = gEspeak.GetSampleRate();
  gEspeak.SetSynthCallback(OnSamples);
  if (options.WordsPerMinute < kMinWordsPerMinute || options.WordsPerMinute > kMaxWordsPerMinute) {
    FProblem = Format("The speed %d is not between %d and %d words per minute",
                      options.WordsPerMinute, kMinWordsPerMinute, kMaxWordsPerMinute);
    return;
  }
  espeak_ng_STATUS status = gEspeak.SetVoiceByName(options.Voice.c_str());
  if (status != ENS_OK) {
    FProblem = "The voice \"" + options.Voice + "\" cannot be used: " + StatusText(status);
    return;
  }
  gEspeak.SetParameter(espeakRATE, options.WordsPerMinute, 0);
}

void TSpeaker::Speak(const std::string& text, TPromptWriter& writer) {
  TFeed feed{&writer, {}, nullptr};
  espeak_ng_STATUS status = gEspeak.Synthesize(text.c_str(), text.size() + 1, 0, POS_CHARACTER, 0,
                                               espeakCHARS_UTF8, nullptr, &feed);
  if (feed.Failure) std::rethrow_exception(feed.Failure);
  if (status != ENS_OK) throw Exception("Speech synthesis failed: " + StatusText(status));
}

std::vector<TVoice> InstalledVoices() {
  std::lock_guard hold(LibraryLock());
  StartLibrary();
  std::vector<TVoice> voices;
  for (const espeak_VOICE** v = gEspeak.ListVoices(nullptr); v && *v; ++v) {
    // The languages are a list of (priority byte, tag, NUL), the first being the voice's own;
    // the identifier is its file, whose last part names the voice.
    const std::string file = (*v)->identifier ? (*v)->identifier : "";
    const char* language = (*v)->languages ? (*v)->languages + 1 : "";
    voices.push_back({file.substr(file.rfind('/') + 1), language, (*v)->name ? (*v)->name : ""});
  }
  return voices;
}
