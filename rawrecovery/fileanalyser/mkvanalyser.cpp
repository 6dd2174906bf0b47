#include "rawrecovery/fileanalyser/mkvanalyser.h"

#include "common/inc/bytes.h"

namespace {

using kbytes::ReadBe32;
using sigfamily::Data;
using sigfamily::kInt64Max;

const MatchFrame kMkvMatroska("\x1a\x45\xdf\xa3\x93\x42\x82\x88matros", 14, 0), kMkvEbml("\x1a\x45\xdf\xa3", 0);

}  // namespace

CMkvAnalyser::CMkvAnalyser() : CSignatureAnalyser(42) {}
namespace {

// An EBML variable-length number at p (at most n bytes): its length in *len and value in
// *value; false when it does not fit or is longer than 8 bytes. *unknown when every value bit is
// set (a size that is not given).
bool ReadVint(const uint8_t* p, size_t n, bool keepMarker, int* len, uint64_t* value, bool* unknown) {
  if (n == 0 || p[0] == 0) return false;
  int l = 1;
  while (!(p[0] & (0x80 >> (l - 1)))) ++l;
  if (size_t(l) > n) return false;
  uint64_t v = keepMarker ? p[0] : uint64_t(p[0] & (0xff >> l));
  bool ones = (p[0] & (0xff >> l)) == (0xff >> l);
  for (int i = 1; i < l; ++i) {
    v = (v << 8) | p[i];
    ones = ones && p[i] == 0xff;
  }
  *len = l;
  *value = v;
  if (unknown) *unknown = ones;
  return true;
}

// The end of a Matroska file from its EBML header and the size of the segment after it; 0
// when the segment's size is not given or the elements do not fit in the bytes held.
int64_t MatroskaEnd(const uint8_t* d, size_t n) {
  int l = 0;
  uint64_t v = 0;
  bool unknown = false;
  if (n < 4 || !ReadVint(d + 4, n - 4, false, &l, &v, &unknown) || unknown) return 0;
  if (v > n) return 0;
  size_t seg = 4 + size_t(l) + size_t(v);
  if (seg + 5 > n) return 0;
  uint64_t id = 0;
  int idLen = 0;
  if (!ReadVint(d + seg, n - seg, true, &idLen, &id, nullptr) || idLen != 4 || id != 0x18538067u) return 0;
  size_t at = seg + 4;
  if (!ReadVint(d + at, n - at, false, &l, &v, &unknown) || unknown) return 0;
  if (v > uint64_t(kInt64Max / 2)) return 0;
  return int64_t(at + size_t(l)) + int64_t(v);
}

}  // namespace

int CMkvAnalyser::CheckHeader(const ClusterBuf& cb) {
  const uint8_t* d = Data(cb);
  size_t n = size_t(cb.cluster_size);
  uint32_t v;
  if (!kMkvEbml.Test(d, cb.cluster_size)) return AS_NONE;
  // The segment's own size, read through the EBML header whatever its length; the fixed
  // places below serve headers whose segment size is not given.
  if (int64_t end = MatroskaEnd(d, n)) {
    Begin(cb, AS_COMPLETE, end);
    m_endProven = true;
    return AS_COMPLETE;
  }
  if (kMkvMatroska.Test(d, cb.cluster_size)) {
    if (!ReadBe32(d, n, 32, &v)) return AS_NONE;
    return Begin(cb, AS_COMPLETE, 36 + int64_t(v));
  }
  if (!ReadBe32(d, n, 48, &v)) return AS_NONE;
  return Begin(cb, AS_COMPLETE, 52 + int64_t(v));
}
int CMkvAnalyser::Continue(const ClusterBuf&) { return AS_COMPLETE; }
