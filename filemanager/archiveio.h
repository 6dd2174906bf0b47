// Little-endian fields written to and read from a saved-result stream. Records are stored
// field by field, never as raw structures, so their layout does not depend on the compiler.
#pragma once
#include <cstdint>

#include "common/inc/bytes.h"
#include "common/inc/iarchive.h"

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
  if (a->Read(b, 2) != 0) return false;
  *v = kbytes::Le16(b);
  return true;
}
inline bool GetU32(IArchive* a, uint32_t* v) {
  uint8_t b[4];
  if (a->Read(b, 4) != 0) return false;
  *v = kbytes::Le32(b);
  return true;
}
inline bool GetU64(IArchive* a, uint64_t* v) {
  uint8_t b[8];
  if (a->Read(b, 8) != 0) return false;
  *v = kbytes::Le64(b);
  return true;
}

}  // namespace archiveio
