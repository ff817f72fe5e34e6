// A sound file of any format libsndfile reads, delivered as one mono stream in blocks.
//
// The file is opened read-only (a source from elsewhere may well be read-only) on a
// descriptor of our own, and libsndfile reads it through that descriptor. Its reads are
// ours, so a failing read (a folder, a bad disk) is told apart from content libsndfile
// cannot decode: the first raises EImportFileError naming the file, the second is a problem
// text for the user, libsndfile's own reason.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct sf_private_tag;  // libsndfile's SNDFILE
struct SF_VIRTUAL_IO;

class TSoundFileReader {
 public:
  // Opens the file. Raises EImportFileError when it cannot be opened; when libsndfile does
  // not take it, Problem() says why and nothing can be read.
  explicit TSoundFileReader(std::string path);
  ~TSoundFileReader();
  TSoundFileReader(const TSoundFileReader&) = delete;
  TSoundFileReader& operator=(const TSoundFileReader&) = delete;

  const std::string& Path() const { return FPath; }
  // Why the content cannot be imported; empty while all is well. Set at opening, or by the
  // last Read when the stream broke off (libsndfile's error, or fewer frames than the file
  // announces).
  const std::string& Problem() const { return FProblem; }
  int SampleRate() const { return FRate; }
  int Channels() const { return FChannels; }

  // Reads the next block, the channels mixed to their mean. Returns the frames read into
  // Block(); 0 at the end or when the content broke off (then Problem() is set). Raises
  // EImportFileError when the file cannot be read.
  size_t Read();
  const float* Block() const { return FMono.data(); }

 private:
  // The descriptor libsndfile reads through, with the position it keeps.
  struct TDescriptor {
    int Fd = -1;
    int64_t Size = 0;
    int64_t Pos = 0;
    int Errno = 0;  // the first failed read's error
  };
  static SF_VIRTUAL_IO VirtualIo();
  void RaiseIfReadFailed() const;

  std::string FPath;
  TDescriptor FIo;
  sf_private_tag* FSnd = nullptr;
  std::string FProblem;
  int FRate = 0;
  int FChannels = 0;
  int64_t FAnnounced = -1;  // frames the file says it holds; -1 where that is only a guess
  int64_t FFramesRead = 0;
  std::vector<float> FInterleaved, FMono;
};

// The container formats this libsndfile reads ("AIFF, AU, CAF, FLAC, …"), asked of the
// library at run time: MP3 came only with libsndfile 1.1.
std::string ReadableFormats();
