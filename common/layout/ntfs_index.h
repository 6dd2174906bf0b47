// An NTFS index buffer (an "INDX" block of a folder's $INDEX_ALLOCATION), little-endian.
//
// Buffer header (24 bytes):
//     0 4  signature "INDX"                     4 2  offset of the update-sequence array
//     6 2  its number of u16 entries             8 8  $LogFile sequence number
//    16 8  VCN of this buffer within the index
// Node header (16 bytes, at 24; its offsets count from its own first byte):
//     0 4  offset of the first entry             4 4  bytes in use, up to the last entry's end
//     8 4  bytes allocated                      12 1  flags: 0x01 entries have child nodes
//    13 3  padding
// Index entry (16 bytes, then its key):
//     0 8  file reference (record in the low 48 bits)
//     8 2  length of the entry, a multiple of 8 10 2  length of the key
//    12 2  flags: 0x01 a child node's VCN ends the entry, 0x02 the last entry (no key)
//    14 2  padding                              16    key: for a folder's $I30, a $FILE_NAME value
#pragma once
#include <cstddef>
#include <cstdint>

namespace layout {

namespace raw {
#pragma pack(push, 1)
struct NtfsIndexBufferHeader {
  char signature[4];  // 0
  uint16_t usaOffset; // 4
  uint16_t usaCount;  // 6
  uint64_t lsn;       // 8
  uint64_t vcn;       // 16
};
struct NtfsIndexNodeHeader {
  uint32_t entriesOffset;   // 0
  uint32_t indexLength;     // 4
  uint32_t allocatedSize;   // 8
  uint8_t flags;            // 12
  uint8_t padding[3];       // 13
};
struct NtfsIndexEntry {
  uint64_t fileReference;  // 0
  uint16_t length;         // 8
  uint16_t keyLength;      // 10
  uint16_t flags;          // 12
  uint16_t padding;        // 14
};
#pragma pack(pop)
static_assert(sizeof(NtfsIndexBufferHeader) == 24, "INDX header is 24 bytes");
static_assert(offsetof(NtfsIndexBufferHeader, vcn) == 16, "VCN at 16");
static_assert(sizeof(NtfsIndexNodeHeader) == 16, "node header is 16 bytes");
static_assert(offsetof(NtfsIndexNodeHeader, indexLength) == 4, "bytes in use at 4");
static_assert(offsetof(NtfsIndexNodeHeader, flags) == 12, "node flags at 12");
static_assert(sizeof(NtfsIndexEntry) == 16, "index entry header is 16 bytes");
static_assert(offsetof(NtfsIndexEntry, length) == 8, "entry length at 8");
static_assert(offsetof(NtfsIndexEntry, keyLength) == 10, "key length at 10");
static_assert(offsetof(NtfsIndexEntry, flags) == 12, "entry flags at 12");
}  // namespace raw

const size_t kNtfsIndexNodeHeaderOffset = sizeof(raw::NtfsIndexBufferHeader);
const size_t kNtfsIndexEntryHeaderSize = sizeof(raw::NtfsIndexEntry);
const uint16_t kNtfsIndexEntryHasChild = 0x01;
const uint16_t kNtfsIndexEntryLast = 0x02;

// "INDX" exactly: the signature is bytes.
bool IsNtfsIndexBufferSignature(const uint8_t* data, size_t size);

struct NtfsIndexNodeHeader {
  uint32_t entriesOffset = 0;  // from the node header
  uint32_t indexLength = 0;    // from the node header
  uint32_t allocatedSize = 0;
  uint8_t flags = 0;
};

struct NtfsIndexEntry {
  uint64_t record = 0;  // low 48 bits of the reference
  uint16_t sequence = 0;
  uint16_t length = 0;
  uint16_t keyLength = 0;
  uint16_t flags = 0;
  bool isLast = false;
  bool keyInside = false;  // the key lies inside the entry
};

// data is the node header's first byte and size what is left of the buffer from there. False
// when the header does not fit, the first entry starts inside the node header or not before
// the bytes in use end, or the bytes in use reach past size.
bool DecodeNtfsIndexNodeHeader(const uint8_t* data, size_t size, NtfsIndexNodeHeader* out);

// data is the entry's first byte and size what is left of the node's bytes in use. False when
// the entry's header does not fit, or its length is below 16, not a multiple of 8, or reaches
// past size. A key that does not lie inside the entry is reported, not refused: the walk
// steps over such an entry.
bool DecodeNtfsIndexEntry(const uint8_t* data, size_t size, NtfsIndexEntry* out);

}  // namespace layout
