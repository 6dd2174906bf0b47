#include "common/layout/hfsplus_journal.h"

#include "common/inc/bytes.h"

namespace layout {

bool DecodeJournalInfoBlock(const uint8_t* data, size_t size, JournalInfoBlock* out) {
  if (!data || !out || size < kJournalInfoBlockFieldsSize) return false;
  kbytes::ByteView v(data, size);
  JournalInfoBlock j;
  typedef raw::JournalInfoBlock R;
  if (!v.Be32(offsetof(R, flags), &j.flags) || !v.Be64(offsetof(R, offset), &j.offset) ||
      !v.Be64(offsetof(R, size), &j.size))
    return false;
  *out = j;
  return true;
}

bool DecodeJournalHeader(const uint8_t* data, size_t size, journal_header* out) {
  if (!data || !out || size < kJournalHeaderSize) return false;
  kbytes::ByteView v(data, size);
  journal_header h;
  typedef raw::journal_header R;
  if (!v.Le32(offsetof(R, magic), &h.magic) || !v.Le32(offsetof(R, endian), &h.endian) ||
      !v.Le64(offsetof(R, start), &h.start) || !v.Le64(offsetof(R, end), &h.end) ||
      !v.Le64(offsetof(R, size), &h.size) || !v.Le32(offsetof(R, blhdr_size), &h.blhdr_size) ||
      !v.Le32(offsetof(R, checksum), &h.checksum) || !v.Le32(offsetof(R, jhdr_size), &h.jhdr_size))
    return false;
  *out = h;
  return true;
}

bool DecodeBlockListHeader(const uint8_t* data, size_t size, block_list_header* out) {
  if (!data || !out || size < kBlockListHeaderSize) return false;
  kbytes::ByteView v(data, size);
  block_list_header b;
  typedef raw::block_list_header R;
  if (!v.Le16(offsetof(R, max_blocks), &b.max_blocks) || !v.Le16(offsetof(R, num_blocks), &b.num_blocks) ||
      !v.Le32(offsetof(R, bytes_used), &b.bytes_used) || !v.Le32(offsetof(R, checksum), &b.checksum) ||
      !v.Le32(offsetof(R, pad), &b.pad))
    return false;
  *out = b;
  return true;
}

bool DecodeBlockInfo(const uint8_t* data, size_t size, size_t i, block_info* out) {
  if (!data || !out || i > (SIZE_MAX - kBlockInfoOffset) / kBlockInfoSize - 1) return false;
  size_t at = kBlockInfoOffset + i * kBlockInfoSize;
  if (!kbytes::Fits(size, at, kBlockInfoSize)) return false;
  kbytes::ByteView v(data + at, kBlockInfoSize);
  block_info b;
  typedef raw::block_info R;
  if (!v.Le64(offsetof(R, bnum), &b.bnum) || !v.Le32(offsetof(R, bsize), &b.bsize) ||
      !v.Le32(offsetof(R, next), &b.next))
    return false;
  *out = b;
  return true;
}

}  // namespace layout
