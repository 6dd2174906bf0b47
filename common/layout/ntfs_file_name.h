// The value of an NTFS $FILE_NAME attribute (type 0x30), little-endian.
//
//     0 8  parent directory reference (record in the low 48 bits, sequence in the high 16)
//     8 8  creation time                16 8  modification time
//    24 8  MFT change time              32 8  last access time (100 ns since 1601, UTC)
//    40 8  allocated size               48 8  data size
//    56 4  file attributes              60 4  reparse tag or extended-attribute size
//    64 1  name length, UTF-16 units    65 1  namespace: 0 POSIX, 1 Win32, 2 DOS, 3 both
//    66    name
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace layout {

namespace raw {
#pragma pack(push, 1)
struct NtfsFileName {
  uint64_t parentReference;   // 0
  uint64_t creationTime;      // 8
  uint64_t modificationTime;  // 16
  uint64_t mftChangeTime;     // 24
  uint64_t accessTime;        // 32
  uint64_t allocatedSize;     // 40
  uint64_t dataSize;          // 48
  uint32_t fileAttributes;    // 56
  uint32_t reparseTag;        // 60
  uint8_t nameLength;         // 64
  uint8_t nameSpace;          // 65
};
#pragma pack(pop)
static_assert(sizeof(NtfsFileName) == 66, "$FILE_NAME without its name is 66 bytes");
static_assert(offsetof(NtfsFileName, dataSize) == 48, "data size at 48");
static_assert(offsetof(NtfsFileName, fileAttributes) == 56, "attributes at 56");
static_assert(offsetof(NtfsFileName, nameLength) == 64, "name length at 64");
static_assert(offsetof(NtfsFileName, nameSpace) == 65, "namespace at 65");
}  // namespace raw

const size_t kNtfsFileNameMinSize = sizeof(raw::NtfsFileName);

struct NtfsFileName {
  uint64_t parentRecord = 0;  // low 48 bits of the reference
  uint16_t parentSequence = 0;
  uint64_t creationTime = 0;
  uint64_t modificationTime = 0;
  uint64_t mftChangeTime = 0;
  uint64_t accessTime = 0;
  uint64_t allocatedSize = 0;
  uint64_t dataSize = 0;
  uint32_t fileAttributes = 0;
  uint32_t reparseTag = 0;
  uint8_t nameSpace = 0;
  std::u16string name;
};

// data is the attribute's value and size its value length. False when the value is shorter
// than 66 bytes or the name reaches past it.
bool DecodeNtfsFileName(const uint8_t* data, size_t size, NtfsFileName* out);

}  // namespace layout
