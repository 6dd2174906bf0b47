// The 512-byte header at the start of a compound file (an OLE2 structured storage: .doc,
// .xls, .ppt, .msg), little-endian:
//
//     0   8  signature D0 CF 11 E0 A1 B1 1A E1
//     8  16  class id (zero)
//    24   2  minor version          26   2  major version (3: 512-byte, 4: 4096-byte sectors)
//    28   2  byte order FFFE        30   2  sector shift
//    32   2  mini sector shift      34   6  reserved
//    40   4  directory sectors      44   4  FAT sectors
//    48   4  first directory sector 52   4  transaction signature
//    56   4  mini stream cut-off    60   4  first mini FAT sector
//    64   4  mini FAT sectors       68   4  first DIFAT sector
//    72   4  DIFAT sectors          76 436  the first 109 DIFAT entries
#pragma once
#include <cstddef>
#include <cstdint>

namespace layout {
namespace raw {

#pragma pack(push, 1)
struct OLE_HEADER {
  uint8_t signature[8];
  uint8_t clsid[16];
  uint16_t minorVersion;
  uint16_t majorVersion;
  uint16_t byteOrder;
  uint16_t sectorShift;
  uint16_t miniSectorShift;
  uint8_t reserved[6];
  uint32_t numDirSectors;
  uint32_t numFatSectors;
  uint32_t firstDirSector;
  uint32_t transactionSignature;
  uint32_t miniStreamCutoff;
  uint32_t firstMiniFatSector;
  uint32_t numMiniFatSectors;
  uint32_t firstDifatSector;
  uint32_t numDifatSectors;
  uint32_t difat[109];
};
#pragma pack(pop)

static_assert(sizeof(OLE_HEADER) == 512, "compound-file header is 512 bytes");
static_assert(offsetof(OLE_HEADER, byteOrder) == 28, "byte order at 28");
static_assert(offsetof(OLE_HEADER, sectorShift) == 30, "sector shift at 30");
static_assert(offsetof(OLE_HEADER, firstDifatSector) == 68, "first DIFAT sector at 68");
static_assert(offsetof(OLE_HEADER, numDifatSectors) == 72, "DIFAT sector count at 72");
static_assert(offsetof(OLE_HEADER, difat) == 76, "header DIFAT at 76");

}  // namespace raw
}  // namespace layout
