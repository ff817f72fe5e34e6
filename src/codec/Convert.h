// The conversion pipelines that turn sound files into ".vox" files, sharing the working
// sample file "out.dat" in the executable folder, the silence trimming and the encoder.
//
// Each conversion owns its filter state, so two can run at once as long as they work in
// different folders (they share "out.dat").
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "codec/TakeFile.h"
#include "codec/WavInput.h"
#include "rtl/ByteFile.h"
#include "rtl/Shell.h"

// The encoder of every conversion is ctx.Coder: the standard one, or the optimal one where the
// folder chose it.

// Converts a WAV file prepared elsewhere. On entry ctx.CurrentSoundFileName holds the
// source name relative to the executable folder; the folder is prefixed to it and it keeps
// the full path afterwards. Success writes "out.dat" and the ".vox" beside the source; a
// rejected file shows one message and writes nothing. File errors raise EInOutError.
void ConvertWaveFile(TAppContext& ctx, TShell& shell);

// The most data bytes of a source whose kept samples the package builder holds in memory
// rather than in "out.dat" (9 minutes of 8 kHz 8-bit sound).
inline constexpr int64_t kMaxDataInMemory = 4 << 20;

// ConvertWaveFile for the package builder, which puts the files in place itself. The kept
// samples stay in kept, and the ".vox" bytes in codes, when the source's data hold at most
// kMaxDataInMemory bytes; vox is then made as the ".vox" beside the source and written, not
// closed, unless the ".vox" there holds these bytes already (it is left as it is, after the
// checks that making it would make). A larger source is converted as ConvertWaveFile does,
// into work (made as "out.dat") and vox, neither closed. checkWork is called where
// ConvertWaveFile would make "out.dat", and raises what making it would raise. False when the
// source is rejected: its message is shown and nothing is made.
bool ConvertWaveFileForBuild(TAppContext& ctx, TShell& shell,
                             const std::function<void()>& checkWork, std::vector<uint8_t>& kept,
                             std::vector<uint8_t>& codes, TByteFile& work, TByteFile& vox);

// Trims a take just recorded (full path in ctx.CurrentSoundFileName, read in the take layout
// without a check), codes its ".vox" beside it and rewrites the take with the kept samples.
// "out.dat", the ".vox" and the take are replaced only once all three are complete: a
// failure leaves every one of them as it was.
void ConvertRecordedTake(TAppContext& ctx, TShell& shell);

// As ConvertRecordedTake for a file named by the user that need not be in the take layout:
// any PCM WAV file of 8000 Hz, 8 bits, mono (ReadAnyTake) is rewritten in the take layout
// and coded. A file of any other format is refused with one message naming it and its
// format (false), and nothing is written.
bool ConvertTakeFile(TAppContext& ctx, TShell& shell);

// The encode/decode loop-back: the file the user picks, a take of any header (ReadAnyTake),
// is coded into "out.vox" and decoded again into "out.wav" in the same pass. Nothing when
// cancelled; a file of another format is refused with one message and nothing written.
void Button1Click(TAppContext& ctx, TShell& shell);

// The message that refuses a file of another format as a take.
std::string NotATakeMessage(const std::string& path, const std::string& format);

// The name with its extension replaced by ext (".vox"): the last full stop after the last
// folder separator starts the extension; a name without one gets ext appended.
std::string ChangeFileExt(const std::string& name, const std::string& ext);

// Codes every sample of the open file samples (from its start) into vox at its position with
// the coder: pairs, first code in the low nibble, an odd last sample left out.
void EncodeSamples(TByteFile& samples, TByteFile& vox, TCoder coder);

// The take conversion's work on open files: trims the samples layout finds in take, writes
// the kept samples into work, codes them into vox and writes the new take into fresh (the
// header layout carries, the new sizes). Returns the samples kept. The outputs stay open:
// the caller puts them in place (CloseTogether), or gives them up.
int64_t TrimAndCodeTake(TByteFile& take, const TTakeLayout& layout, TByteFile& work, TByteFile& vox,
                        TByteFile& fresh, TCoder coder);

// The reduction of ConvertWaveFile for a source whose header CheckWavHeader accepted (the
// file at its data size field): 16-bit data normalised, filtered and reduced; 8-bit data at
// any rate but 44100 Hz trimmed of their leading silence. The sink follows the trailing trim.
void ReduceWaveData(TByteFile& in, const TWavInfo& info, TSampleSink& sink);

// What ConvertWaveFile keeps of the source in, in memory, without a file written: the
// samples it would code, trailing trim applied. Returns the rejection's problem text (and
// keeps nothing), or an empty text when the source is accepted.
std::string ConvertWaveFileInMemory(TByteFile& in, std::vector<uint8_t>& kept);
