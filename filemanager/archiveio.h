// Little-endian fields written to and read from a saved-result stream. Records are stored
// field by field, never as raw structures, so their layout does not depend on the compiler.
#pragma once
#include <cstdint>

#include "common/inc/bytes.h"
#include "common/inc/iarchive.h"
#include "common/inc/kestrum_types.h"

namespace archiveio {

inline int PutU16(IArchive* a, uint16_t v) {
  uint8_t b[2];
  kbytes::PutLe16(b, v);
  return a->Write(b, 2);
}
inline int PutU32(IArchive* a, uint32_t v) {
  uint8_t b[4];
  kbytes::PutLe32(b, v);
  return a->Write(b, 4);
}
inline int PutU64(IArchive* a, uint64_t v) {
  uint8_t b[8];
  kbytes::PutLe64(b, v);
  return a->Write(b, 8);
}
inline bool GetU16(IArchive* a, uint16_t* v) {
  uint8_t b[2];
  return a->Read(b, sizeof b) == 0 && kbytes::ReadLe16(b, sizeof b, 0, v);
}
inline bool GetU32(IArchive* a, uint32_t* v) {
  uint8_t b[4];
  return a->Read(b, sizeof b) == 0 && kbytes::ReadLe32(b, sizeof b, 0, v);
}
inline bool GetU64(IArchive* a, uint64_t* v) {
  uint8_t b[8];
  return a->Read(b, sizeof b) == 0 && kbytes::ReadLe64(b, sizeof b, 0, v);
}

// count UTF-16 units into out (room for count); false when count is 0 or above
// MAX_PATH_ZQ, or when the stream ends first. What the units may hold is the caller's rule.
inline bool GetUnits(IArchive* a, size_t count, char16_t* out) {
  if (count < 1 || count > MAX_PATH_ZQ) return false;
  uint8_t raw[2 * MAX_PATH_ZQ];
  const size_t bytes = 2 * count;
  if (a->Read(raw, uint32_t(bytes)) != 0) return false;
  for (size_t i = 0; i < count; ++i) {
    uint16_t unit = 0;
    if (!kbytes::ReadLe16(raw, bytes, 2 * i, &unit)) return false;
    out[i] = char16_t(unit);
  }
  return true;
}

}  // namespace archiveio
