// Arbitrary bytes as one compressed unit, decoded into a 64 KiB unit buffer and into a
// buffer whose size comes from the input, as the compressed-file reader may ask for.
#include <cstdint>
#include <memory>

#include "filemanager/lznt1.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::unique_ptr<uint8_t[]> src(new uint8_t[size ? size : 1]);
  for (size_t i = 0; i < size; ++i) src[i] = data[i];
  std::unique_ptr<uint8_t[]> unit(new uint8_t[65536]);
  Lznt1Decompress(src.get(), size, unit.get(), 65536);
  size_t cap = size >= 2 ? size_t(data[0] | data[1] << 8) : 0;
  std::unique_ptr<uint8_t[]> small(new uint8_t[cap ? cap : 1]);
  Lznt1Decompress(src.get(), size, small.get(), cap);
  // Whatever the encoder makes of the input decodes back to it.
  std::unique_ptr<uint8_t[]> packed(new uint8_t[size + size / 4096 * 2 + 16]);
  int64_t n = Lznt1Compress(src.get(), size, packed.get(), size + size / 4096 * 2 + 16);
  if (n >= 0) {
    std::unique_ptr<uint8_t[]> back(new uint8_t[size ? size : 1]);
    if (Lznt1Decompress(packed.get(), size_t(n), back.get(), size) != int64_t(size)) __builtin_trap();
    for (size_t i = 0; i < size; ++i)
      if (back[i] != data[i]) __builtin_trap();
  }
  return 0;
}
