// Fuzzes the HFS+ journal walk: the input is taken as a whole journal image (transaction
// headers, block lists, catalog leaf copies and the gaps between them) and then as one
// journal-copied node; the path builder runs over whatever records the walk kept.
#include <cstdint>
#include <cstring>
#include <string>

#include "scanoperate/hfsp/btree.h"
#include "scanoperate/hfsp/journal.h"

namespace {

// Transaction headers must carry a right checksum to be followed at all; the harness
// re-seals the first one so that mutations reach the block lists behind it.
void SealFirstHeader(uint8_t* image, size_t size) {
  if (size < 44) return;
  uint32_t at = uint32_t(image[40]) | uint32_t(image[41]) << 8 | uint32_t(image[42]) << 16 |
                uint32_t(image[43]) << 24;
  if (at >= size || size - at < 32) return;
  uint8_t hdr[32];
  memcpy(hdr, image + at, 32);
  memset(hdr + 8, 0, 4);
  uint32_t sum = journalChecksum(hdr, 32);
  for (int i = 0; i < 4; ++i) image[at + 8 + i] = uint8_t(sum >> (8 * i));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1u << 22)) return 0;
  std::string image(reinterpret_cast<const char*>(data), size);
  uint8_t* p = reinterpret_cast<uint8_t*>(&image[0]);
  SealFirstHeader(p, size);
  // No live catalog: every record found counts as deleted, which walks the most code.
  _hfsplus_tree cat{};
  walkJournalImage(&cat, p, size, nullptr);
  size_t nodeSize = size & ~size_t(511);
  if (nodeSize > 32768) nodeSize = 32768;
  if (nodeSize) parseBTreeNode(&cat, p, nodeSize);
  consNodePath(&cat, nullptr, [](const std::u16string&, const std::u16string&, const std::u16string&, const _RecordNode*) { return 0; });
  freeRecordNodeMap();
  return 0;
}
