// The system's own wave devices on Windows (its multimedia library), for the driver in
// winmm_win32.cpp. Kept apart from it because the system's header and the program's
// mmsystem.h declare records of the same names: only standard types cross this header, and
// result codes are the system's MMRESULT values, which mmsystem.h gives the same numbers.
//
// One open device (TWaveDevice) is driven as a WaveStream is (winmm_driver.h): everything
// but Interrupt and PendingBytes from its device thread, one call at a time. It is opened
// with an event for its notifications (no callback runs inside the system), and keeps a
// ring of buffer headers of its own:
// - playback: four of 50 ms each; a transfer fills the next free header and writes it, and
//   waits only while all four are queued; what is written but not yet heard is learnt from
//   the device's byte position after each transfer;
// - capture: forty of 50 ms each (2 s) are queued at the open; a transfer takes from the
//   oldest filled header and queues it again once it is empty.
// A wait is on the notification event and on the event Interrupt sets, never in a sleep,
// and lasts at most the stall limit.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace wavedev {

// The device number that asks for the system's own choice of device.
constexpr unsigned kMapper = 0xFFFFFFFFu;

struct TFormat {
  uint16_t Channels = 1;
  uint32_t Rate = 8000;
  uint16_t Bits = 8;
};

struct TCaps {
  std::string Name;
  uint32_t Formats = 0;  // the standard formats, as the system's WAVE_FORMAT_* bits
  uint16_t Channels = 0;
};

unsigned NumDevs(bool in);
// The device's capabilities; a result code (0 for success).
unsigned GetCaps(bool in, unsigned id, TCaps& caps);
// Whether the device takes the format, without opening it for sound.
unsigned Query(bool in, unsigned id, const TFormat& format);
// The system's words for a result code ("" when it has none).
std::string ErrorText(bool in, unsigned code);

class TWaveDevice {
 public:
  // Opens device id for the format; a result code (0 for success), with the device in out.
  static unsigned Open(bool in, unsigned id, const TFormat& format, std::chrono::milliseconds stall,
                       std::unique_ptr<TWaveDevice>& out);
  ~TWaveDevice();
  TWaveDevice(const TWaveDevice&) = delete;
  TWaveDevice& operator=(const TWaveDevice&) = delete;

  enum class TEnd { Moved, Interrupted, Stalled, Failed };
  // Moves up to bytes (see above); code is the system's result for Failed.
  TEnd Transfer(char* data, size_t bytes, size_t& moved, unsigned& code);
  void Interrupt();
  void Halt();
  void Drop();
  void Finish(bool drained);
  size_t HeaderBytes() const;
  uint64_t PendingBytes();

 private:
  struct TImpl;
  explicit TWaveDevice(std::unique_ptr<TImpl> impl);
  std::unique_ptr<TImpl> F;
};

}  // namespace wavedev
