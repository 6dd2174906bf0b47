// Raw FAT directory entries built by hand for the decoders' tests.
#pragma once
#include <cstdint>
#include <cstring>
#include <string>

#include "common/inc/bytes.h"

namespace testutil {

// One long-name entry: its order byte, up to 13 characters (NUL then 0xFFFF padding after a
// shorter part) and the checksum of the short name it belongs to.
inline void PutLfnEntry(uint8_t* e, uint8_t ord, const std::u16string& part, uint8_t sum) {
  static const int off[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
  std::memset(e, 0, 32);
  e[0] = ord;
  e[11] = 0x0F;
  e[13] = sum;
  for (int k = 0; k < 13; ++k) {
    uint16_t c = k < int(part.size()) ? part[k] : (k == int(part.size()) ? 0 : 0xFFFF);
    kbytes::PutLe16(e + off[k], c);
  }
}

}  // namespace testutil
