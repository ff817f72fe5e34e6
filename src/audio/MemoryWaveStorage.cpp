#include "audio/MemoryWaveStorage.h"

TStream* TMemoryWaveStorage::ProvideStream(int32_t Index) {
  ++FProvided;
  auto& item = FItems[Index];
  if (!item) item = std::make_unique<TMemoryStream>();
  return item.get();
}

void TMemoryWaveStorage::Put(int32_t Index, std::unique_ptr<TStream> Stream) {
  FItems[Index] = std::move(Stream);
}

void TMemoryWaveStorage::PutBytes(int32_t Index, std::string_view Bytes) {
  auto s = std::make_unique<TMemoryStream>();
  s->Data().assign(Bytes.begin(), Bytes.end());
  FItems[Index] = std::move(s);
}

TStream* TMemoryWaveStorage::Item(int32_t Index) {
  auto it = FItems.find(Index);
  return it == FItems.end() ? nullptr : it->second.get();
}

std::string TMemoryWaveStorage::Bytes(int32_t Index) {
  auto* m = dynamic_cast<TMemoryStream*>(Item(Index));
  if (m == nullptr) return {};
  return std::string(m->Data().begin(), m->Data().end());
}
