// The header of an NTFS FILE record (an MFT entry), little-endian.
//
//     0 4  signature "FILE" ("BAAD" after a failed fixup)
//     4 2  offset of the update-sequence array    6 2  its number of u16 entries
//     8 8  $LogFile sequence number              16 2  sequence number of the record
//    18 2  hard-link count                       20 2  offset of the first attribute
//    22 2  flags: 0x01 in use, 0x02 directory    24 4  bytes in use
//    28 4  bytes allocated (the record size)     32 8  base record reference (0 for a base)
//    40 2  next attribute id
//   NTFS 3.1 and later (update-sequence array at 48 or beyond):
//    42 2  reserved                              44 4  number of this record
// The header of NTFS 3.0 ends at 42, where its update-sequence array begins.
#pragma once
#include <cstddef>
#include <cstdint>

namespace layout {

namespace raw {
#pragma pack(push, 1)
struct NtfsFileRecordHeader {
  char signature[4];              // 0
  uint16_t usaOffset;             // 4
  uint16_t usaCount;              // 6
  uint64_t lsn;                   // 8
  uint16_t sequence;              // 16
  uint16_t linkCount;             // 18
  uint16_t firstAttributeOffset;  // 20
  uint16_t flags;                 // 22
  uint32_t bytesInUse;            // 24
  uint32_t bytesAllocated;        // 28
  uint64_t baseRecord;            // 32
  uint16_t nextAttributeId;       // 40
  uint16_t reserved;              // 42
  uint32_t recordNumber;          // 44
};
#pragma pack(pop)
static_assert(sizeof(NtfsFileRecordHeader) == 48, "FILE record header is 48 bytes");
static_assert(offsetof(NtfsFileRecordHeader, usaOffset) == 4, "USA offset at 4");
static_assert(offsetof(NtfsFileRecordHeader, sequence) == 16, "sequence at 16");
static_assert(offsetof(NtfsFileRecordHeader, firstAttributeOffset) == 20, "first attribute at 20");
static_assert(offsetof(NtfsFileRecordHeader, bytesInUse) == 24, "bytes in use at 24");
static_assert(offsetof(NtfsFileRecordHeader, baseRecord) == 32, "base record at 32");
static_assert(offsetof(NtfsFileRecordHeader, recordNumber) == 44, "record number at 44");
}  // namespace raw

// The NTFS 3.0 header: the least a record can have.
const size_t kNtfsFileRecordMinSize = offsetof(raw::NtfsFileRecordHeader, reserved);
const uint64_t kNtfsReferenceRecordMask = 0xFFFFFFFFFFFFull;  // a reference's low 48 bits
// The update sequence protects the last two bytes of every 512, whatever the sector size.
const uint32_t kNtfsFixupStride = 512;
const uint16_t kNtfsRecordInUse = 0x0001;
const uint16_t kNtfsRecordDirectory = 0x0002;

// The signature is four bytes, not text: "FILE" exactly, in that case.
bool IsNtfsFileRecordSignature(const uint8_t* data, size_t size);

// The entries an update-sequence array holds for a block of blockSize bytes: the sequence
// number itself and one per 512 bytes.
inline uint32_t NtfsUpdateSequenceCount(uint32_t blockSize) { return blockSize / kNtfsFixupStride + 1; }

// The place of the update-sequence array, at 4 and 6 of FILE records and INDX buffers alike.
// False when the block is shorter than those fields.
bool ReadNtfsUpdateSequence(const uint8_t* data, size_t size, uint16_t* offset, uint16_t* count);

struct NtfsFileRecordHeader {
  char signature[4] = {};
  bool isFile = false;  // exactly "FILE"
  uint16_t usaOffset = 0;
  uint16_t usaCount = 0;
  uint64_t lsn = 0;
  uint16_t sequence = 0;
  uint16_t linkCount = 0;
  uint16_t firstAttributeOffset = 0;
  uint16_t flags = 0;
  uint32_t bytesInUse = 0;
  uint32_t bytesAllocated = 0;
  uint64_t baseRecord = 0;  // the whole reference; kNtfsReferenceRecordMask gives the record
  uint16_t nextAttributeId = 0;
  bool hasRecordNumber = false;  // NTFS 3.1 layout
  // The u32 at 44 as it stands (0 when the record is shorter); only with hasRecordNumber is it
  // the record's number, as NTFS 3.0 keeps its update sequence there.
  uint32_t recordNumber = 0;
};

// The fields of the header as they stand, with no check of one against another: false only
// when the record is shorter than the 3.0 header. A damaged record is still read from here.
bool ReadNtfsFileRecordHeader(const uint8_t* data, size_t size, NtfsFileRecordHeader* out);

// Where a record's attributes end: its bytes in use, or the record's own end when a damaged
// count reaches past it. A wrong count alone must not cost the file: every attribute is still
// checked against this end one by one.
size_t NtfsAttributesEnd(const NtfsFileRecordHeader& header, size_t size);
// The first attribute's offset and NtfsAttributesEnd of a record, read without the rest of
// its header (an attribute walk asks for them once per attribute); false exactly when
// ReadNtfsFileRecordHeader is.
bool ReadNtfsAttributeBounds(const uint8_t* data, size_t size, uint16_t* first, size_t* end);

// data is one whole record of size bytes, and the header must be sound in every field (the
// record readers, which recover damaged records, use the two functions above instead). False
// when the record is shorter than the 3.0 header, when the bytes in use reach past the
// record, when the update-sequence array does not lie inside the record, or when the first
// attribute does not start past the header with room for its type inside the bytes in use.
bool DecodeNtfsFileRecordHeader(const uint8_t* data, size_t size, NtfsFileRecordHeader* out);

}  // namespace layout
