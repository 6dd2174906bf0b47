// The signature that ends the first 512 bytes of an MBR, an EBR and the boot sectors of
// NTFS, FAT and exFAT, whatever the sector size:
//
//   510 1  0x55   511 1  0xAA
#pragma once
#include <cstddef>
#include <cstdint>

#include "common/inc/bytes.h"

namespace layout {

inline bool HasBootSectorSignature(const uint8_t* data, size_t size) {
  uint8_t a = 0, b = 0;
  return kbytes::ReadU8(data, size, 510, &a) && kbytes::ReadU8(data, size, 511, &b) && a == 0x55 && b == 0xAA;
}

}  // namespace layout
