// The update-sequence array that protects NTFS multi-sector records (FILE records, index
// buffers), little-endian. Both kinds of record open with the same header:
//
//     0 4  signature ("FILE", "INDX")   4 2  offset of the array   6 2  its u16 entries
//
// and the array holds:
//     0 2  update sequence number (USN)
//     2 2n the original last two bytes of each 512-byte stride of the record
//
// On disk the last two bytes of every stride hold the USN instead; a stride whose bytes
// differ was torn by an interrupted write. The stride is 512 bytes whatever the sector size.
#pragma once
#include <cstddef>
#include <cstdint>

#include "common/layout/ntfs_file_record.h"

namespace layout {

// The least offset of the array: the 40-byte header of an index buffer (FILE records keep
// theirs at 42 or 48).
const uint16_t kNtfsFixupMinOffset = 0x28;

// Checks the record's array against the record of size bytes and, when every stride
// carries the USN, puts the original bytes back. False, and the record untouched, when the
// size is not a whole number of strides, the count is not one more than the strides, the
// array is odd-placed, overlaps the header or leaves the record, or a stride is torn.
bool NtfsApplyFixup(uint8_t* record, size_t size);

}  // namespace layout
