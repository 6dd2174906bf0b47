// The header of an NTFS attribute inside a FILE record, little-endian.
//
// Common part:
//     0 4  type (0xFFFFFFFF ends the record's attributes)
//     4 4  length of the whole attribute       8 1  0 resident, 1 non-resident
//     9 1  name length, UTF-16 units          10 2  name offset, from the attribute
//    12 2  flags: 0x0001 compressed, 0x4000 encrypted, 0x8000 sparse
//    14 2  attribute id
// Resident form (24 bytes):
//    16 4  value length                       20 2  value offset, from the attribute
//    22 1  indexed flag                       23 1  padding
// Non-resident form (64 bytes; 72 when the compressed size is present):
//    16 8  lowest VCN                         24 8  highest VCN
//    32 2  mapping-pairs offset, from the attribute
//    34 1  compression unit (log2 of clusters)  35 5  reserved
//    40 8  allocated size                     48 8  data size
//    56 8  initialized size                   64 8  compressed size (compressed or sparse)
#pragma once
#include <cstddef>
#include <cstdint>

namespace layout {

namespace raw {
#pragma pack(push, 1)
struct NtfsAttributeHeader {
  uint32_t type;         // 0
  uint32_t length;       // 4
  uint8_t nonResident;   // 8
  uint8_t nameLength;    // 9
  uint16_t nameOffset;   // 10
  uint16_t flags;        // 12
  uint16_t attributeId;  // 14
};
struct NtfsResidentAttribute {
  NtfsAttributeHeader header;  // 0
  uint32_t valueLength;        // 16
  uint16_t valueOffset;        // 20
  uint8_t indexed;             // 22
  uint8_t padding;             // 23
};
struct NtfsNonResidentAttribute {
  NtfsAttributeHeader header;   // 0
  uint64_t lowestVcn;           // 16
  uint64_t highestVcn;          // 24
  uint16_t mappingPairsOffset;  // 32
  uint8_t compressionUnit;      // 34
  uint8_t reserved[5];          // 35
  uint64_t allocatedSize;       // 40
  uint64_t dataSize;            // 48
  uint64_t initializedSize;     // 56
  uint64_t compressedSize;      // 64
};
#pragma pack(pop)
static_assert(sizeof(NtfsAttributeHeader) == 16, "common attribute header is 16 bytes");
static_assert(offsetof(NtfsAttributeHeader, nameOffset) == 10, "name offset at 10");
static_assert(sizeof(NtfsResidentAttribute) == 24, "resident header is 24 bytes");
static_assert(offsetof(NtfsResidentAttribute, valueLength) == 16, "value length at 16");
static_assert(offsetof(NtfsResidentAttribute, valueOffset) == 20, "value offset at 20");
static_assert(sizeof(NtfsNonResidentAttribute) == 72, "non-resident header is 72 bytes");
static_assert(offsetof(NtfsNonResidentAttribute, mappingPairsOffset) == 32, "pairs offset at 32");
static_assert(offsetof(NtfsNonResidentAttribute, allocatedSize) == 40, "allocated size at 40");
static_assert(offsetof(NtfsNonResidentAttribute, dataSize) == 48, "data size at 48");
static_assert(offsetof(NtfsNonResidentAttribute, compressedSize) == 64, "compressed size at 64");
}  // namespace raw

const uint32_t kNtfsAttributeEnd = 0xFFFFFFFF;
const size_t kNtfsResidentHeaderSize = sizeof(raw::NtfsResidentAttribute);
// The compressed size is not part of the least non-resident header.
const size_t kNtfsNonResidentHeaderSize = offsetof(raw::NtfsNonResidentAttribute, compressedSize);

struct NtfsAttributeHeader {
  bool isEnd = false;  // the end marker: only type is set
  uint32_t type = 0;
  uint32_t length = 0;
  bool nonResident = false;
  uint8_t nameLength = 0;  // UTF-16 units
  uint16_t nameOffset = 0;
  uint16_t flags = 0;
  uint16_t attributeId = 0;
  // Resident form; the value lies inside the attribute.
  uint32_t valueLength = 0;
  uint16_t valueOffset = 0;
  uint8_t indexed = 0;
  // Non-resident form; the mapping pairs run from their offset to the attribute's end.
  uint64_t lowestVcn = 0;
  uint64_t highestVcn = 0;
  uint16_t mappingPairsOffset = 0;
  uint8_t compressionUnit = 0;
  uint64_t allocatedSize = 0;
  uint64_t dataSize = 0;
  uint64_t initializedSize = 0;
  bool hasCompressedSize = false;
  uint64_t compressedSize = 0;
};

// data is the attribute's first byte and size what is left of the record's bytes in use.
// The end marker needs 4 bytes. Any other attribute is refused when its header does not
// fit, its length is below its header or reaches past size, its name does not lie inside
// it, a resident value does not lie inside it, or non-resident mapping pairs do not start
// past the header and before its end.
bool DecodeNtfsAttributeHeader(const uint8_t* data, size_t size, NtfsAttributeHeader* out);

}  // namespace layout
