#include "import/SoundReader.h"

#include <sndfile.h>

#include <algorithm>
#include <cerrno>
#include <set>

#include "import/FileError.h"
#include "rtl/LateLibrary.h"
#include "rtl/OsFiles.h"
#include "rtl/SysUtils.h"

namespace {

// Interleaved samples per block: the block holds fewer frames the more channels a file
// has, so memory stays the same for a 64-channel file as for a mono one.
constexpr size_t kBlockSamples = 16384;

constexpr const char* kSndfile = "libsndfile.so.1";

}  // namespace

// libsndfile's virtual I/O over the reader's descriptor. A failed read is remembered and
// answered as the end of the file; the reader raises it once libsndfile returns.
SF_VIRTUAL_IO TSoundFileReader::VirtualIo() {
  SF_VIRTUAL_IO v{};
  v.get_filelen = [](void* user) -> sf_count_t { return static_cast<TDescriptor*>(user)->Size; };
  v.seek = [](sf_count_t offset, int whence, void* user) -> sf_count_t {
    TDescriptor& d = *static_cast<TDescriptor*>(user);
    int64_t base = whence == SEEK_CUR ? d.Pos : whence == SEEK_END ? d.Size : 0;
    if (base + offset >= 0) d.Pos = base + offset;
    return d.Pos;
  };
  v.read = [](void* ptr, sf_count_t count, void* user) -> sf_count_t {
    TDescriptor& d = *static_cast<TDescriptor*>(user);
    if (d.Errno != 0 || count <= 0) return 0;
    size_t got = 0;
    d.Errno = osfiles::ReadAt(d.Fd, ptr, static_cast<size_t>(count), d.Pos, got);
    d.Pos += static_cast<sf_count_t>(got);
    return static_cast<sf_count_t>(got);
  };
  v.write = [](const void*, sf_count_t, void*) -> sf_count_t { return 0; };
  v.tell = [](void* user) -> sf_count_t { return static_cast<TDescriptor*>(user)->Pos; };
  return v;
}

TSoundFileReader::TSoundFileReader(std::string path) : FPath(std::move(path)) {
  if (const int err = osfiles::Open(FPath, osfiles::TAccess::Read, false, false, FIo.Fd))
    throw EImportFileError(FPath, IOErrorFromErrno(err));
  osfiles::TInfo st;
  const int statError = osfiles::StatOpen(FIo.Fd, st);
  if (statError != 0 || st.Kind == osfiles::TKind::Folder) {
    const int code = statError != 0 ? IOErrorFromErrno(statError) : ioAccessDenied;  // a folder
    osfiles::Close(FIo.Fd);
    FIo.Fd = -1;
    throw EImportFileError(FPath, code);
  }
  FIo.Size = st.Size;

  static SF_VIRTUAL_IO io = VirtualIo();
  SF_INFO info{};
  FSnd = ZS_LATE_CALL(kSndfile, sf_open_virtual)(&io, SFM_READ, &info, &FIo);
  if (!FSnd) {
    RaiseIfReadFailed();
    FProblem = ZS_LATE_CALL(kSndfile, sf_strerror)(nullptr);
    if (ZS_LATE_CALL(kSndfile, sf_error)(nullptr) == SF_ERR_UNRECOGNISED_FORMAT)
      FProblem += " The libsndfile here reads " + ReadableFormats() + ".";
    return;
  }
  FRate = info.samplerate;
  FChannels = info.channels;
  // An MP3 file's length is only estimated from its bit rate; every other format states it
  // (or says it does not know).
  const bool exactLength = (info.format & SF_FORMAT_TYPEMASK) != SF_FORMAT_MPEG;
  if (exactLength && info.frames != SF_COUNT_MAX) FAnnounced = info.frames;
  const size_t frames = std::max<size_t>(1, kBlockSamples / static_cast<size_t>(FChannels));
  FInterleaved.resize(frames * static_cast<size_t>(FChannels));
  FMono.resize(frames);
}

TSoundFileReader::~TSoundFileReader() {
  if (FSnd) ZS_LATE_CALL(kSndfile, sf_close)(FSnd);
  if (FIo.Fd >= 0) osfiles::Close(FIo.Fd);
}

void TSoundFileReader::RaiseIfReadFailed() const {
  if (FIo.Errno != 0) throw EImportFileError(FPath, IOErrorFromErrno(FIo.Errno));
}

size_t TSoundFileReader::Read() {
  if (!FSnd || !FProblem.empty()) return 0;
  const sf_count_t got = ZS_LATE_CALL(kSndfile, sf_readf_float)(
      FSnd, FInterleaved.data(), static_cast<sf_count_t>(FMono.size()));
  RaiseIfReadFailed();
  if (got <= 0) {
    if (ZS_LATE_CALL(kSndfile, sf_error)(FSnd) != SF_ERR_NO_ERROR)
      FProblem = ZS_LATE_CALL(kSndfile, sf_strerror)(FSnd);
    else if (FAnnounced >= 0 && FFramesRead < FAnnounced)
      FProblem = Format("the sound breaks off after %lld of its %lld frames",
                        static_cast<long long>(FFramesRead), static_cast<long long>(FAnnounced));
    return 0;
  }
  const size_t frames = static_cast<size_t>(got);
  const size_t channels = static_cast<size_t>(FChannels);
  const float scale = 1.0f / static_cast<float>(channels);
  const float* in = FInterleaved.data();
  for (size_t i = 0; i < frames; ++i, in += channels) {
    float sum = 0;
    for (size_t c = 0; c < channels; ++c) sum += in[c];
    FMono[i] = channels == 1 ? sum : sum * scale;
  }
  FFramesRead += got;
  return frames;
}

std::string ReadableFormats() {
  int count = 0;
  ZS_LATE_CALL(kSndfile, sf_command)(nullptr, SFC_GET_FORMAT_MAJOR_COUNT, &count, sizeof count);
  std::set<std::string> seen;
  std::string list;
  for (int i = 0; i < count; ++i) {
    SF_FORMAT_INFO fi{};
    fi.format = i;
    if (ZS_LATE_CALL(kSndfile, sf_command)(nullptr, SFC_GET_FORMAT_MAJOR, &fi, sizeof fi) != 0 ||
        !fi.name)
      continue;
    // Header-less raw data cannot be told from noise; it is no format to offer.
    if ((fi.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_RAW) continue;
    std::string name = fi.name;
    name = name.substr(0, name.find(' '));
    if ((fi.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_MPEG) name = "MP3";
    if (!seen.insert(name).second) continue;
    list += (list.empty() ? "" : ", ") + name;
  }
  return list;
}
