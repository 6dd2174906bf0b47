// The HFS+ journal's structures (Apple TN1150). The journal info block is big-endian like
// the rest of the volume; the journal itself is in the byte order of the machine that
// wrote it, which its endian field tells. The readers here take it little-endian, the
// order of every Intel Mac.
//
// JournalInfoBlock (180 bytes, at journalInfoBlock x blockSize):
//     0 4  flags (bit 0 journal in this volume, 1 on another device, 2 needs init)
//     4 32 device signature      36 8  journal offset from the volume start
//    44 8  journal size          52 128 reserved
// journal_header (44 bytes, at the journal's start):
//     0 4  magic "JNLx"       4 4  endian 0x12345678
//     8 8  start              16 8  end              24 8  size
//    32 4  block list header size  36 4  checksum    40 4  header size (jhdr_size)
// block_list_header (16 bytes, one per transaction), then block_info entries:
//     0 2  max blocks    2 2  number of blocks (entry 0 included)
//     4 4  bytes used, the whole transaction    8 4  checksum    12 4  pad
// block_info (16 bytes, from byte 16 of the block list header; entry 0 is reserved):
//     0 8  block number   8 4  block size   12 4  next
#pragma once
#include <cstddef>
#include <cstdint>

namespace layout {

namespace raw {
#pragma pack(push, 1)
struct JournalInfoBlock {
  uint32_t flags;                // 0
  uint32_t device_signature[8];  // 4
  uint64_t offset;               // 36
  uint64_t size;                 // 44
  uint32_t reserved[32];         // 52
};
struct journal_header {
  uint32_t magic;       // 0
  uint32_t endian;      // 4
  uint64_t start;       // 8
  uint64_t end;         // 16
  uint64_t size;        // 24
  uint32_t blhdr_size;  // 32
  uint32_t checksum;    // 36
  uint32_t jhdr_size;   // 40
};
struct block_list_header {
  uint16_t max_blocks;  // 0
  uint16_t num_blocks;  // 2
  uint32_t bytes_used;  // 4
  uint32_t checksum;    // 8
  uint32_t pad;         // 12
};
struct block_info {
  uint64_t bnum;   // 0
  uint32_t bsize;  // 8
  uint32_t next;   // 12
};
#pragma pack(pop)
static_assert(sizeof(JournalInfoBlock) == 180, "journal info block is 180 bytes");
static_assert(offsetof(JournalInfoBlock, offset) == 36, "journal offset at 36");
static_assert(offsetof(JournalInfoBlock, size) == 44, "journal size at 44");
static_assert(sizeof(journal_header) == 44, "journal header is 44 bytes");
static_assert(offsetof(journal_header, checksum) == 36, "header checksum at 36");
static_assert(offsetof(journal_header, jhdr_size) == 40, "header size at 40");
static_assert(sizeof(block_list_header) == 16, "block list header is 16 bytes");
static_assert(offsetof(block_list_header, bytes_used) == 4, "bytes used at 4");
static_assert(offsetof(block_list_header, checksum) == 8, "list checksum at 8");
static_assert(sizeof(block_info) == 16, "block info is 16 bytes");
static_assert(offsetof(block_info, bsize) == 8, "block size at 8");
}  // namespace raw

const size_t kJournalInfoBlockSize = sizeof(raw::JournalInfoBlock);
const size_t kJournalHeaderSize = sizeof(raw::journal_header);
const size_t kBlockListHeaderSize = sizeof(raw::block_list_header);
const size_t kBlockInfoSize = sizeof(raw::block_info);
// The block_info entries start where the header's own fields end.
const size_t kBlockInfoOffset = kBlockListHeaderSize;
const uint32_t kJIJournalInFSMask = 0x1;
const uint32_t kJIJournalOnOtherDeviceMask = 0x2;
const uint32_t kJIJournalNeedInitMask = 0x4;
// The bytes the block list header's checksum covers, with its own field zeroed.
const size_t kBlockListChecksumBytes = 32;
const size_t kBlockListChecksumOffset = offsetof(raw::block_list_header, checksum);

// Host order from here on.
struct JournalInfoBlock {
  uint32_t flags = 0;
  uint64_t offset = 0;
  uint64_t size = 0;
};

struct journal_header {
  uint32_t magic = 0;
  uint32_t endian = 0;
  uint64_t start = 0;
  uint64_t end = 0;
  uint64_t size = 0;
  uint32_t blhdr_size = 0;
  uint32_t checksum = 0;
  uint32_t jhdr_size = 0;
};

struct block_list_header {
  uint16_t max_blocks = 0;
  uint16_t num_blocks = 0;
  uint32_t bytes_used = 0;
  uint32_t checksum = 0;
  uint32_t pad = 0;
};

struct block_info {
  uint64_t bnum = 0;
  uint32_t bsize = 0;
  uint32_t next = 0;
};

// Each refuses fewer bytes than its structure: 52 (the info block's fields before its
// reserved words), 44, 16 and 16. Nothing is judged.
const size_t kJournalInfoBlockFieldsSize = offsetof(raw::JournalInfoBlock, reserved);
bool DecodeJournalInfoBlock(const uint8_t* data, size_t size, JournalInfoBlock* out);
// The journal's offset and size point into this volume: the in-volume bit set and the
// other-device bit clear. A journal still waiting for its header (needs-init bit) lies
// in the volume all the same.
inline bool JournalInThisVolume(uint32_t flags) {
  return (flags & kJIJournalInFSMask) && !(flags & kJIJournalOnOtherDeviceMask);
}
bool DecodeJournalHeader(const uint8_t* data, size_t size, journal_header* out);
bool DecodeBlockListHeader(const uint8_t* data, size_t size, block_list_header* out);
// Entry i of the table of the block list header at data.
bool DecodeBlockInfo(const uint8_t* data, size_t size, size_t i, block_info* out);

}  // namespace layout
