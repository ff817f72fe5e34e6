// The conversion pipelines that turn sound files into ".vox" files, sharing the working
// sample file "out.dat" in the executable folder, the silence trimming and the encoder.
//
// Each conversion owns its filter state, so two can run at once as long as they work in
// different folders (they share "out.dat").
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "codec/WavInput.h"
#include "rtl/Shell.h"

// The encoder of every conversion is ctx.Coder: the standard one, or the optimal one where the
// folder chose it.

// Converts a WAV file prepared elsewhere. On entry ctx.CurrentSoundFileName holds the
// source name relative to the executable folder; the folder is prefixed to it and it keeps
// the full path afterwards. Success writes "out.dat" and the ".vox" beside the source; a
// rejected file shows one message and writes nothing. File errors raise EInOutError.
void ConvertWaveFile(TAppContext& ctx, TShell& shell);

// Trims a take just recorded (full path in ctx.CurrentSoundFileName), codes its ".vox"
// beside it and rewrites the take with the kept samples. The take is replaced only once
// its new form is complete: a failure leaves the original untouched.
void ConvertRecordedTake(TAppContext& ctx, TShell& shell);

// The encode/decode loop-back: the file the user picks (read as a take) is coded into
// "out.vox" and decoded again into "out.wav" in the same pass. Nothing when cancelled.
void Button1Click(TAppContext& ctx, TShell& shell);

// The name with its extension replaced by ext (".vox"): the last full stop after the last
// folder separator starts the extension; a name without one gets ext appended.
std::string ChangeFileExt(const std::string& name, const std::string& ext);

// Codes the samples of samplesPath into a new voxPath with the coder: pairs, first code in
// the low nibble, an odd last sample left out.
void EncodeSampleFile(const std::string& samplesPath, const std::string& voxPath, TCoder coder);

// The reduction of ConvertWaveFile for a source whose header CheckWavHeader accepted (the
// file at its data size field): 16-bit data normalised, filtered and reduced; 8-bit data at
// any rate but 44100 Hz trimmed of their leading silence. The sink follows the trailing trim.
void ReduceWaveData(TByteFile& in, const TWavInfo& info, TSampleSink& sink);

// What ConvertWaveFile keeps of the source in, in memory, without a file written: the
// samples it would code, trailing trim applied. Returns the rejection's problem text (and
// keeps nothing), or an empty text when the source is accepted.
std::string ConvertWaveFileInMemory(TByteFile& in, std::vector<uint8_t>& kept);
