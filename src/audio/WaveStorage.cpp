#include "audio/WaveStorage.h"

#include <cstring>

// Everything a storage needs for its links (free notification) comes with the component.
TCustomWaveStorage::TCustomWaveStorage(TComponent* owner) : TComponent(owner) {}

TCustomWaveStorage::~TCustomWaveStorage() = default;

void LinkStock(TComponent* self, TCustomWaveStorage*& stock, TCustomWaveStorage* value) {
  if (value == stock) return;
  if (stock != nullptr) stock->RemoveFreeNotification(self);
  stock = value;
  if (stock != nullptr) stock->FreeNotification(self);
}

bool TPendingStreams::Begin(TWaveAudioIO& Device, TStream* Stream, bool Owns, TStockStart How,
                            const std::function<void(TStream*)>& Release) {
  TRecord record{{Stream, nullptr, Owns}, false, FInnermost};
  auto letGo = [&]() noexcept {
    try {
      if (record.Taken) {
        Release(record.Cycle.Stream);
      } else {
        if (record.Cycle.Handle != nullptr) mmioClose(record.Cycle.Handle, 0);
        if (record.Cycle.Owns) delete record.Cycle.Stream;  // never reached a device
      }
    } catch (...) {
      // The open's own failure is the one the caller hears about.
    }
  };
  if (Device.GetActive()) {
    try {
      Device.SetActive(false);  // the running cycle finishes its own stream when it closes
    } catch (...) {
      letGo();
      throw;
    }
    if (How.YieldAfterStop) Sleep(0);
  }
  if (How.OpenReadHandle && Stream != nullptr) {
    // A read handle positioned at 0. A failed open leaves it none, and the header step then
    // finds no format.
    MMIOINFO info;
    std::memset(&info, 0, sizeof info);
    info.pIOProc = StreamIOProcedure;
    info.adwInfo[0] = reinterpret_cast<uintptr_t>(Stream);
    record.Cycle.Handle = mmioOpenA(nullptr, &info, MMIO_READ);
  }
  FInnermost = &record;
  bool opened = false;
  try {
    opened = Device.OpenDevice();
  } catch (...) {
    FInnermost = record.Outer;
    letGo();
    throw;
  }
  FInnermost = record.Outer;
  if (!opened) letGo();
  return opened;
}

bool TPendingStreams::Take(TCycleStream& Taken) {
  if (FInnermost == nullptr || FInnermost->Taken) return false;
  Taken = FInnermost->Cycle;
  FInnermost->Taken = true;
  return true;
}

bool DetachFromVanishingStock(TWaveAudioIO& Device, TStream*& Stream, HMMIO& Handle, bool Owns) {
  if (Stream == nullptr || Owns) return false;
  if (Handle != nullptr) {
    HMMIO handle = Handle;
    Handle = nullptr;
    mmioClose(handle, 0);
  }
  Stream = nullptr;
  if (Device.GetActive() && !Device.GetClosing()) {
    try {
      Device.CloseDevice();
    } catch (...) {
      // The storage's destruction goes on; the device reports through its own channel.
    }
  }
  return true;
}
