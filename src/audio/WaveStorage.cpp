#include "audio/WaveStorage.h"

// Everything a storage needs for its links (free notification) comes with the component.
TCustomWaveStorage::TCustomWaveStorage(TComponent* owner) : TComponent(owner) {}

TCustomWaveStorage::~TCustomWaveStorage() = default;

void LinkStock(TComponent* self, TCustomWaveStorage*& stock, TCustomWaveStorage* value) {
  if (value == stock) return;
  if (stock != nullptr) stock->RemoveFreeNotification(self);
  stock = value;
  if (stock != nullptr) stock->FreeNotification(self);
}
