// Runs the formatted FAT, exFAT and HFS+ readers whole over arbitrary device contents, after
// the FAT inspector's own searches: their layout votes weigh the files that entries (or
// catalog records) name against the heads the analysers find.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "contrib/fatinspector.h"
#include "contrib/fatrecover.h"
#include "common/inc/seams.h"
#include "filesystems/exfatformat.h"
#include "tests/support/readonlystorage.h"
#include "tests/support/stubfilemanager.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1u << 20)) return 0;
  CMemoryStorageDevice dev(data, size);
  for (int ft = 1; ft <= 2; ++ft) {
    fatrec::FatInspector ins(&dev);
    fatrec::FatInfo fi;
    fi.ft = fatrec::FatType(ft);
    if (!ins.Inspect(&fi)) continue;
    int64_t pos = ins.ClusterToOffset(2), found = 0;
    int guard = 0;
    while (pos >= 0 && guard++ < 4096) {
      int r = ins.FindDirCluster(pos, int64_t(size), uint32_t(fi.clusterSize), &found);
      if (r != 0 && r != 10 && r != 5) break;
      pos = found + fi.clusterSize;
    }
  }
  CountingFileManager fm;
  QuietSink sink;
  for (int ft = 1; ft <= 2; ++ft) {
    CFatFormat f;
    f.SetDevice(&dev);
    f.SetFatType(ft);
    f.SetFileManager(&fm);
    f.Scan(&sink);
  }
  CExfatFormat ex(&dev, &fm);
  ex.Scan(&sink);
  IScanOperator* hfs = CreateHfspFormatScanner(&dev);
  if (hfs) {
    hfs->SetFileManager(&fm);
    hfs->Scan(&sink);
    hfs->Release();
  }
  return 0;
}
