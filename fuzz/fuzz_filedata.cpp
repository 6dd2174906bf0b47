// Arbitrary bytes as "filedata.xml": the loader must refuse or load them without reading out of
// bounds, and whatever it loads must then test clusters safely.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "rawrecovery/fileanalyser/dynanalyser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static std::string path = [] {
    const char* tmp = std::getenv("TMPDIR");
    return std::string(tmp && *tmp ? tmp : "/tmp") + "/kestrum_fuzz_filedata_" + std::to_string(std::rand()) +
           ".xml";
  }();
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return 0;
  if (size) std::fwrite(data, 1, size, f);
  std::fclose(f);

  CRawAnalyserPool pool;
  CDynAnalyser dyn;
  pool.LoadFileData(path.c_str(), &dyn);
  std::remove(path.c_str());
  for (size_t i = 0; i < dyn.SignCount(); ++i) dyn.SelectExtension(dyn.Sign(i).GetFileHint().ext);

  // The input itself as clusters of two sizes, so that loaded frames get a chance to match.
  for (int cs : {512, 4096}) {
    for (int64_t lcn = 0; lcn < 3; ++lcn) {
      ClusterBuf cb(cs);
      cb.lcn = lcn;
      size_t off = size_t(lcn) * 512;
      if (off < size) std::memcpy(cb.GetData(), data + off, std::min(size - off, size_t(cs)));
      if (dyn.CheckHeader(cb) & 1) dyn.Continue(cb);
    }
    ClusterBuf end(cs);
    end.lcn = 5;
    dyn.OnNewHeader(DeviceEndHint(), end);
    int64_t s = 0, e = 0;
    dyn.GetRange(&s, &e);
    dyn.GetSizeForExtension(dyn.GetExtension());
  }
  return 0;
}
