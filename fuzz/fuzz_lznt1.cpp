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
  // Whatever the encoder makes of the input decodes back to it. A short last chunk that
  // does not compress is stored whole, so it comes back padded with zeros to 4096 bytes.
  size_t packedCap = (size / 4096 + 1) * 4098 + 2;
  std::unique_ptr<uint8_t[]> packed(new uint8_t[packedCap]);
  int64_t n = Lznt1Compress(src.get(), size, packed.get(), packedCap);
  if (n < 0) __builtin_trap();
  size_t whole = (size + 4095) / 4096 * 4096;
  std::unique_ptr<uint8_t[]> back(new uint8_t[whole ? whole : 1]);
  int64_t got = Lznt1Decompress(packed.get(), size_t(n), back.get(), whole);
  if (got != int64_t(size) && got != int64_t(whole)) __builtin_trap();
  for (size_t i = 0; i < size; ++i)
    if (back[i] != data[i]) __builtin_trap();
  for (size_t i = size; i < size_t(got); ++i)
    if (back[i] != 0) __builtin_trap();
  return 0;
}
