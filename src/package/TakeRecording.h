// Recording a take: the one way the window's "Record" and zelvorsound-cli record put sound
// into a slot's take, so that a take is replaced only by a finished recording.
//
// One recording, in this order:
//  1. TTakeRecording(take), before any device is touched: a take, ".vox" or folder that
//     cannot be written (read-only, or the folder missing) refuses with the runtime's
//     "Cannot create file %s" naming it. Otherwise the temporary file
//     "<name> (unfinished recording).WAV" is created beside the take (with the take's own
//     extension); an existing file of that name is never reused, a number is added instead
//     ("(unfinished recording 2)").
//  2. Start(recorder): the recorder records into the temporary file. A device that does not
//     open (false, or an error) takes the temporary file away again; nothing else changed.
//  3. While the device records, TTakeRecorder brings the RIFF and data sizes of the file up
//     to date and hands the file to the disk every half second of sound (on a thread of its
//     own, so a slow disk never holds up the thread that takes the sound from the device): a
//     program that is killed, or a machine that loses power, leaves the temporary file as a
//     readable WAV file holding all but the last moments of the recording (the take itself
//     is untouched).
//  4. Finish(...), once the recorder has closed and finished the file (from its
//     OnDeactivate, or after the device has closed):
//     - the device failed before any sound came: the temporary file goes, the take and its
//       ".vox" stay as they were (NothingRecorded);
//     - with Convert, a recording without a sample outside the take conversion's quiet band
//       (its trimmed take would be empty) while the earlier take has one: the temporary file
//       goes and the earlier take and ".vox" stay (NothingHeard);
//     - otherwise the earlier take of a slot is kept in its history (package/History.h),
//       the finished file is renamed over the take in one step and, with Convert,
//       the take conversion trims it, codes its ".vox" and rewrites it (Replaced); when a
//       device or write failure ended the recording early, what was captured is kept that
//       same way and the user is told (CutShort).
//     Each outcome but Replaced is said in one message through the shell, naming the take;
//     a recording that stopped because its file could not be written (a full disk) is said
//     with that file error ("Disk full"), what was kept, and a coding that failed after it.
//
// All of it runs on the thread that drives the recorder (the user-interface thread in the
// window), as the recorder's own notifications do.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "audio/WaveRecorders.h"
#include "rtl/Shell.h"

// The stock recorder with what a take needs on top: the sizes of the file kept up to date
// while it grows (see step 3 above), the bytes of sound it holds, whether a device or write
// failure happened in the recording, and a recording that stops by itself after such a
// failure (a device lost, a full disk), keeping what it holds.
class TDiskSync;

class TTakeRecorder : public TStockAudioRecorder {
 public:
  explicit TTakeRecorder(TComponent* owner = nullptr);
  ~TTakeRecorder() override;

  // Bytes of sound in the file of the current (or the last) recording.
  uint64_t DataBytes() const { return FDataBytes; }
  // Milliseconds of sound those bytes hold.
  uint32_t DataMilliseconds() const;
  // A device or write failure was reported in the current (or the last) recording.
  bool Failed() const { return FFailed; }
  // The runtime's error code of the first write to the file that failed in it ("Disk full"),
  // 0 while none has. Such a failure is not reported by the device's error path: the
  // recording stops at once, writes nothing more, and TTakeRecording::Finish says it once.
  int FileError() const { return FFileError; }

 protected:
  void GetWaveFormat(PWaveFormatEx& pWaveFormat, bool& FreeIt) override;
  void WimData(PWAVEHDR Header) override;
  void DataReady(void* Buffer, uint32_t BytesRecorded, bool& FreeIt) override;
  void DoError() override;
  void ReleaseStream() override;

 private:
  // Writes the RIFF and data sizes for the file's end at position end, goes back there and
  // hands what is written to the disk. False when the file could not be written.
  bool WriteSizes(int32_t end);
  void StopAfterFailure();
  // The file error of the stream's last failed write ("Disk full" when it does not say).
  int StreamWriteError() const;

  uint64_t FDataBytes = 0;
  uint64_t FSizesWrittenAt = 0;  // FDataBytes when the sizes were last written
  uint32_t FRefreshBytes = 1;    // half a second of sound
  uint32_t FBytesPerSecond = 0;
  bool FFailed = false;
  bool FWriting = false;      // inside the stock recorder's write of a buffer
  bool FWriteFailed = false;  // that write was reported short
  int FFileError = 0;
  // Hands the file being written to the disk, away from this thread; none without a file.
  std::unique_ptr<TDiskSync> FSync;
};

enum class TTakeOutcome { Replaced, CutShort, NothingRecorded, NothingHeard };

class TTakeRecording {
 public:
  // take: the full path of the take ("<folder><row>.WAV"). Convert: run the take conversion
  // (and the nothing-heard check) after the rename; off for a recording kept as it is.
  // Raises "Cannot create file %s" as step 1 says.
  explicit TTakeRecording(std::string take, bool convert = true);
  // A temporary file that never received a recording (no Start, or one that failed) goes
  // away; one that did stays for the user to find when Finish was never reached.
  ~TTakeRecording();
  TTakeRecording(const TTakeRecording&) = delete;
  TTakeRecording& operator=(const TTakeRecording&) = delete;

  const std::string& TakePath() const { return FTake; }
  const std::string& TempPath() const { return FTemp; }
  // Finish coded the take into its ".vox".
  bool Coded() const { return FCoded; }
  // The history entry Finish made of the take it replaced; empty when none was made.
  const std::string& KeptEntry() const { return FKept; }

  // Starts recorder on the temporary file; false when its device did not open.
  bool Start(TTakeRecorder& recorder);
  // Step 4, once recorder has closed; folder.ExeFolder is the program's folder (its working
  // files) and folder.Coder the coder of the take's ".vox". File errors of the rename or the
  // conversion raise the runtime's error.
  TTakeOutcome Finish(const TTakeRecorder& recorder, const TAppContext& folder, TShell& shell);

 private:
  std::string FTake;
  std::string FTemp;
  std::string FKept;
  bool FConvert;
  bool FStarted = false;
  bool FCoded = false;
};

// True when the file, read as a take (data size at 42, samples from 46), holds a sample
// outside the quiet band of the take conversion: its trimmed form keeps some sound. A file
// that is missing, cannot be read or is too short for a take holds none.
bool TakeHoldsSound(const std::string& path);
