// HFS+ journal path building on large record maps: folders ten deep, a file in each, taken
// from journal leaf copies into the record map, then every file's path built. The time per
// record must stay flat as the map grows (each parent step is one look-up).
// Usage: hfsjournal_bench [largest folder count, default 400000]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/inc/bytes.h"
#include "scanoperate/hfsp/btree.h"
#include "scanoperate/hfsp/journal.h"

namespace {

const uint32_t kNodeSize = 8192;

std::vector<uint8_t> Record(uint32_t parent, const std::u16string& name, uint16_t type, uint32_t cnid) {
  std::vector<uint8_t> r(8 + 2 * name.size() + (type == 2 ? 248 : 88), 0);
  kbytes::PutBe16(&r[0], uint16_t(6 + 2 * name.size()));
  kbytes::PutBe32(&r[2], parent);
  kbytes::PutBe16(&r[6], uint16_t(name.size()));
  for (size_t i = 0; i < name.size(); ++i) kbytes::PutBe16(&r[8 + 2 * i], name[i]);
  uint8_t* body = &r[8 + 2 * name.size()];
  kbytes::PutBe16(body, type);
  kbytes::PutBe32(body + 8, cnid);
  for (int off = 12; off <= 28; off += 4) kbytes::PutBe32(body + off, 3000000000u);
  if (type == 2) kbytes::PutBe64(body + 88, 4096);
  return r;
}

// Leaf nodes holding the records back to back, each as parseBTreeNode takes it.
void TakeAll(const std::vector<std::vector<uint8_t>>& records) {
  _hfsplus_tree cat{};  // no live catalog: every record counts as gone
  std::vector<uint8_t> node(kNodeSize);
  size_t i = 0;
  while (i < records.size()) {
    std::fill(node.begin(), node.end(), 0);
    node[8] = 0xFF;
    node[9] = 1;
    uint16_t off = 14, n = 0;
    while (i < records.size() && off + records[i].size() + 2 * (n + 2) <= kNodeSize) {
      std::copy(records[i].begin(), records[i].end(), node.begin() + off);
      kbytes::PutBe16(&node[kNodeSize - 2 * (n + 1)], off);
      off = uint16_t(off + records[i].size());
      ++n;
      ++i;
    }
    kbytes::PutBe16(&node[10], n);
    kbytes::PutBe16(&node[kNodeSize - 2 * (n + 1)], off);
    parseBTreeNode(&cat, node.data(), kNodeSize);
  }
}

}  // namespace

int main(int argc, char** argv) {
  uint32_t largest = argc > 1 ? uint32_t(std::strtoul(argv[1], nullptr, 10)) : 400000;
  std::printf("folders\trecords\ttake_s\tpaths_s\tus_per_record\n");
  for (uint32_t folders = largest / 8; folders <= largest; folders *= 2) {
    std::vector<std::vector<uint8_t>> records;
    records.reserve(size_t(folders) * 2);
    for (uint32_t k = 0; k < folders; ++k) {
      uint32_t cnid = 100 + 2 * k;
      uint32_t parent = k % 10 == 0 ? 2 : cnid - 2;
      std::u16string n = u"d" + std::u16string(1, char16_t(u'a' + k % 26));
      records.push_back(Record(parent, n, 1, cnid));
      records.push_back(Record(cnid, u"file.bin", 2, cnid + 1));
    }
    freeRecordNodeMap();
    auto t0 = std::chrono::steady_clock::now();
    TakeAll(records);
    auto t1 = std::chrono::steady_clock::now();
    size_t reported = 0;
    _hfsplus_tree cat{};
    consNodePath(&cat, nullptr, [&](const std::u16string&, const std::u16string&, const std::u16string&,
                                    const _RecordNode*) {
      ++reported;
      return 0;
    });
    auto t2 = std::chrono::steady_clock::now();
    size_t kept = recordNodeCount();
    freeRecordNodeMap();
    double take = std::chrono::duration<double>(t1 - t0).count();
    double paths = std::chrono::duration<double>(t2 - t1).count();
    std::printf("%u\t%zu\t%.3f\t%.3f\t%.3f\n", folders, kept, take, paths, kept ? paths * 1e6 / double(kept) : 0.0);
    if (reported != folders) {
      std::fprintf(stderr, "reported %zu files of %u\n", reported, folders);
      return 1;
    }
    if (folders > largest / 2) break;
  }
  return 0;
}
