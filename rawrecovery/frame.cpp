#include "rawrecovery/frame.h"

#include <algorithm>
#include <cstring>

#include "common/inc/kestrum_types.h"

ClusterBuf::ClusterBuf(int len) : lcn(0), data(), cluster_size(len > 0 ? len : 0) {
  data.reset(new uint8_t[cluster_size > 0 ? cluster_size : 1]());
}

ClusterBuf ClusterBuf::Clone() const {
  ClusterBuf copy(cluster_size);
  copy.lcn = lcn;
  if (cluster_size > 0) std::memcpy(copy.data.get(), data.get(), size_t(cluster_size));
  return copy;
}

namespace {

#if defined(__GNUC__) || defined(__clang__)
#define KESTRUM_BYTE_VECTORS 1
// 16 bytes at a time, the width every 64-bit processor has registers for.
typedef uint8_t Bytes16 __attribute__((vector_size(16)));
typedef uint64_t Words16 __attribute__((vector_size(16)));

inline Bytes16 Load16(const uint8_t* p) {
  Bytes16 v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

inline Bytes16 Splat16(uint8_t b) {
  Bytes16 v = {};
  return v + b;
}

inline bool AnySet(Bytes16 m) {
  Words16 w = reinterpret_cast<Words16&>(m);
  return (w[0] | w[1]) != 0;
}
#endif

}  // namespace

const uint8_t* FindBytes(const uint8_t* hay, size_t haylen, const void* needle, size_t len) {
  if (!hay || !needle || len == 0 || haylen < len) return nullptr;
  const uint8_t* nd = static_cast<const uint8_t*>(needle);
  if (len == 1) return static_cast<const uint8_t*>(std::memchr(hay, nd[0], haylen));
  // A place is a candidate only when the needle's first and last bytes both match there:
  // on the mostly random data of a scan that is one place in 65536, so the bytes are
  // passed over a vector at a time and a candidate is rarely compared in full.
  const uint8_t first = nd[0], last = nd[len - 1];
  const size_t end = haylen - len + 1;  // candidate starts are [0, end)
  size_t i = 0;
#ifdef KESTRUM_BYTE_VECTORS
  const Bytes16 vf = Splat16(first), vl = Splat16(last);
  for (; end - i >= 32; i += 32) {
    Bytes16 m0 = Bytes16(Load16(hay + i) == vf) & Bytes16(Load16(hay + i + len - 1) == vl);
    Bytes16 m1 = Bytes16(Load16(hay + i + 16) == vf) & Bytes16(Load16(hay + i + 16 + len - 1) == vl);
    if (!AnySet(m0 | m1)) continue;
    for (int k = 0; k < 32; ++k)
      if ((k < 16 ? m0[k] : m1[k - 16]) && std::memcmp(hay + i + k + 1, nd + 1, len - 2) == 0) return hay + i + k;
  }
#endif
  for (; i < end; ++i)
    if (hay[i] == first && hay[i + len - 1] == last && std::memcmp(hay + i + 1, nd + 1, len - 2) == 0)
      return hay + i;
  return nullptr;
}

const uint8_t* FindByteAfter(const uint8_t* hay, size_t haylen, uint8_t byte, const char* before) {
  if (!hay || !before || haylen < 2) return nullptr;
  const size_t kinds = std::strlen(before);
  if (kinds == 0 || kinds > 4) return nullptr;
  size_t i = 1;  // the byte's place; the one before it is i - 1
#ifdef KESTRUM_BYTE_VECTORS
  const Bytes16 vb = Splat16(byte);
  Bytes16 vk[4];
  for (size_t k = 0; k < 4; ++k) vk[k] = Splat16(uint8_t(before[k < kinds ? k : 0]));
  for (; haylen - i >= 32; i += 32) {
    // The byte itself first: in most blocks it is not there at all.
    Bytes16 m0 = Bytes16(Load16(hay + i) == vb), m1 = Bytes16(Load16(hay + i + 16) == vb);
    if (!AnySet(m0 | m1)) continue;
    for (int half = 0; half < 2; ++half) {
      Bytes16 prev = Load16(hay + i + 16 * half - 1);
      Bytes16 m = Bytes16(prev == vk[0]) | Bytes16(prev == vk[1]) | Bytes16(prev == vk[2]) | Bytes16(prev == vk[3]);
      m &= half ? m1 : m0;
      if (!AnySet(m)) continue;
      for (int k = 0; k < 16; ++k)
        if (m[k]) return hay + i + 16 * half + k;
    }
  }
#endif
  for (; i < haylen; ++i)
    if (hay[i] == byte && std::memchr(before, hay[i - 1], kinds)) return hay + i;
  return nullptr;
}

MatchFrame::MatchFrame(const void* bytes, int len, int pos)
    : m_data(), m_len(len < 0 ? 0 : len), m_pos(pos < -1 ? -1 : pos) {
  ZQ_ASSERT(len >= 0 && pos >= -1);
  if (m_len > 0 && bytes) {
    const uint8_t* b = static_cast<const uint8_t*>(bytes);
    m_data.assign(b, b + m_len);
  } else {
    m_len = 0;
  }
}

MatchFrame::MatchFrame(const char* text, int pos) : MatchFrame(text, text ? int(std::strlen(text)) : 0, pos) {}

const uint8_t* MatchFrame::Match(const uint8_t* buf, int buflen) const {
  if (!buf || buflen <= 0 || m_len <= 0) return nullptr;
  if (m_pos >= 0) {
    // 64-bit sum: a position from user XML may be near INT_MAX.
    if (int64_t(m_pos) + m_len > buflen) return nullptr;
    return std::memcmp(buf + m_pos, m_data.data(), size_t(m_len)) == 0 ? buf + m_pos : nullptr;
  }
  return FindBytes(buf, size_t(buflen), m_data.data(), size_t(m_len));
}
