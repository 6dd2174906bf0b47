// Arbitrary bytes through header detection and every carving analyser (the simple signature
// family and the structure walkers of pictures, documents, archives, audio and video), at cluster sizes
// from 512 bytes to 64 KiB: nothing may read outside the cluster or loop without end.
#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <cstring>

#include "rawrecovery/rawanalyser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  static const int kSizes[] = {512, 1024, 2048, 4096, 8192, 16384, 32768, 65536};
  const int cs = kSizes[data[0] % 8];
  data += 1;
  size -= 1;
  size_t types = 0;
  const AnalyserType* table = AnalyserTypes(&types);
  for (size_t k = 0; k < types; ++k) {
    CRawAnalyser* a = table[k].make();
    bool open = false;
    int64_t lcn = 0;
    for (size_t off = 0; off < size || lcn == 0; off += size_t(cs), ++lcn) {
      ClusterBuf cb(cs);
      cb.lcn = lcn;
      if (off < size) std::memcpy(cb.GetData(), data + off, std::min(size - off, size_t(cs)));
      if (!open) {
        if (!(a->CheckHeader(cb) & 1)) continue;
        open = true;
      }
      if (a->Continue(cb) & 1) break;
      // Another type's head in the middle of the file: the absorb and end rules of every
      // analyser (compound file, ZIP, MP3, MP4, MPEG, AAC) run on arbitrary clusters too.
      if (lcn % 3 == 2) {
        FileHintTable* t = FileHintTable::Instance();
        const FileHint& other = t->Row(size_t(size ? data[off % size] : 0) % t->Count());
        if (a->OnNewHeader(other, cb) & 1) break;
      }
      if (off >= size) break;
    }
    if (open) {
      ClusterBuf end(cs);
      end.lcn = lcn + 1;
      a->OnNewHeader(DeviceEndHint(), end);
      int64_t s = 0, e = 0;
      a->GetRange(&s, &e);
      a->GetSizeForExtension(a->GetExtension());
    }
    delete a;
  }
  // Detection through a pool with every type.
  CRawAnalyserPool pool;
  FileHintTable* t = FileHintTable::Instance();
  for (size_t i = 0; i < t->Count(); ++i) pool.AddAnalyser(t->Row(i));
  ClusterBuf cb(cs);
  std::memcpy(cb.GetData(), data, std::min(size, size_t(cs)));
  CRawAnalyser* a = pool.DetectAnalyser(cb);
  pool.ReleaseAnalyser(a);
  return 0;
}
