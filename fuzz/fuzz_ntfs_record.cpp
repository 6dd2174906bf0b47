// Arbitrary bytes as an MFT record (1 KiB and 4 KiB geometry) through every record decoder,
// and as a directory index buffer.
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "filesystems/ntfs/ntfs.h"
#include "graphfs/graphfs.h"

namespace {

void Exercise(CNTFS& ntfs, const uint8_t* data, size_t size) {
  uint32_t rs = ntfs.RecordBytes();
  std::unique_ptr<uint8_t[]> rec(new uint8_t[rs]);
  std::memset(rec.get(), 0, rs);
  std::memcpy(rec.get(), data, size < rs ? size : rs);
  ntfs.ApplyFixup(rec.get());
  ntfs.ValidateRecord(rec.get());
  std::u16string name;
  uint64_t parent, dataSize, t;
  bool dir;
  ntfs.GetFileName(rec.get(), name, &parent, &dir, &dataSize);
  ntfs.GetStandardTimes(rec.get(), &t, &t, &t, nullptr);
  uint32_t spc;
  uint64_t lcn = 0;
  ntfs.EstimateSectorsPerCluster(rec.get(), &spc, &lcn);
  uint32_t cursor = 0;
  NtfsAttr a;
  while (ntfs.NextAttribute(rec.get(), &cursor, &a) == 1) {
    if (a.nonResident) {
      std::vector<NtfsRun> runs;
      ntfs.DecodeMappingPairs(rec.get() + a.pairsOffset, a.pairsLength, &runs);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static CNTFS small(nullptr);
  static CNTFS large(nullptr);
  static bool init = [] {
    NtfsBootInfo b{512, 8, 4096, 4096, 1u << 20, 4};
    return large.SetBootInfo(b, 512) == 0;
  }();
  (void)init;
  Exercise(small, data, size);
  Exercise(large, data, size);
  NtfsBootInfo boot;
  ParseNtfsBootSector(data, size, &boot);
  std::vector<layout::NtfsAttributeListEntry> entries;
  CNTFS::DecodeAttributeList(data, size, &entries);
  // An INDX buffer of the size its own header declares, up to 64 KiB.
  for (uint32_t bs : {4096u, 512u}) {
    std::unique_ptr<uint8_t[]> block(new uint8_t[bs]);
    std::memset(block.get(), 0, bs);
    std::memcpy(block.get(), data, size < bs ? size : bs);
    CNTFS::ApplyBlockFixup(block.get(), bs);
    GFS::CGraphFileSystem graph;
    graph.SetRootNode(5, -1, u"Volume", nullptr, u"Lost Location");
    CNTFS::AddIndexEntries(block.get(), bs, &graph);
  }
  return 0;
}
