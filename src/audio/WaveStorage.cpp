#include "audio/WaveStorage.h"

// Everything a storage needs for its links (free notification) comes with the component.
TCustomWaveStorage::TCustomWaveStorage(TComponent* owner) : TComponent(owner) {}

TCustomWaveStorage::~TCustomWaveStorage() = default;
