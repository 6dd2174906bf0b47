#include "rawrecovery/fileanalyser/mp4analyser.h"

#include <cstring>
#include <limits>

#include "common/inc/bytes.h"

namespace {

const char* const kAtoms[] = {"pnot", "wide", "moov", "mdat", "skip", "ftyp"};
const char* const kHeadAtoms[] = {"ftyp", "moov", "mdat", "wide", "pnot", "skip", "free"};
enum : unsigned { kMp4 = 0x1, kM4v = 0x2, kM4a = 0x4, k3gp = 0x8, kMov = 0x10, k3g2 = 0x20 };

}  // namespace

CMp4Analyser::CMp4Analyser()
    : CFrameWalkAnalyser(16), m_brands(0), m_moov(false), m_inStep(false), m_inMdat(false), m_afterMoov(false),
      m_boxAt(0), m_brandExt(nullptr), m_ext() {}


unsigned CMp4Analyser::BrandFlags(const uint8_t* b) {
  static const struct {
    const char* brand;
    size_t len;
    unsigned flags;
  } kBrands[] = {{"3gp4", 4, 0x8}, {"isom", 4, 0xf}, {"mmp4", 4, 0x28}, {"kddi", 4, 0x21}, {"MSVN", 4, 0x1},
                 {"3gp5", 4, 0x29}, {"M4A", 3, 0x4}, {"M4V", 3, 0x2},   {"mp42", 4, 0x7},  {"3g2a", 4, 0x20},
                 {"3gp6", 4, 0x4},  {"qt", 2, 0x12}};
  for (const auto& k : kBrands)
    if (std::memcmp(b, k.brand, k.len) == 0) return k.flags;
  return 0x10;
}

int CMp4Analyser::CheckHeader(const ClusterBuf& cb) {
  const uint8_t* d = cb.GetData();
  if (cb.cluster_size < 512) return AS_NONE;
  bool ok = false;
  for (const char* a : kHeadAtoms) ok = ok || std::memcmp(d + 4, a, 4) == 0;
  if (!ok) return AS_NONE;
  m_brands = 0;
  m_brandExt = nullptr;
  Begin(cb, AS_HEADER, 0);
  m_moov = false;
  m_inStep = true;
  m_inMdat = false;
  m_afterMoov = false;
  m_boxAt = 0;
  m_next = m_start;
  StartWalk(cb);
  return AS_HEADER;
}

uint8_t* CMp4Analyser::FindUnit() {
  uint8_t* s = m_js->GetStart();
  int n = m_js->Size();
  if (n <= 8) return nullptr;
  // The type is looked for from the fifth unread byte on, so the size before it is held.
  uint8_t* best = nullptr;
  for (const char* a : kAtoms) {
    const uint8_t* t = FindBytes(s + 4, size_t(best ? best + 4 - (s + 4) : n - 4), a, 4);
    if (t) best = const_cast<uint8_t*>(t) - 4;
  }
  return best;
}

int CMp4Analyser::UnitLength(uint8_t* p, int64_t* len) {
  m_inStep = false;  // a box found by searching may be a chance match in the media data
  uint8_t* end = m_js->GetStart() + m_js->Size();
  if (std::memcmp(p + 4, "ftyp", 4) == 0) {
    if (end - p < 12) return -1;
    NoteBrand(p + 8);
  }
  uint32_t size = 0;
  if (end < p || !kbytes::ReadBe32(p, size_t(end - p), 0, &size)) return -1;
  if (size < 8 || size > 0x40000000u) return 0;
  *len = size;
  return 1;
}

// The brand names one container kind; the flags of BrandFlags only say which extensions
// such a file may carry, so reporting each of them would list the same bytes several times.
const char* CMp4Analyser::BrandExtension(const uint8_t* b) {
  static const struct {
    const char* brand;
    size_t len;
    const char* ext;
  } kNames[] = {{"3gp", 3, "3gp"}, {"mmp4", 4, "3gp"}, {"3g2", 3, "3g2"}, {"kddi", 4, "3g2"}, {"M4A", 3, "m4a"},
                {"M4B", 3, "m4a"}, {"M4P", 3, "m4a"}, {"M4V", 3, "m4v"}, {"qt", 2, "mov"}};
  for (const auto& k : kNames)
    if (std::memcmp(b, k.brand, k.len) == 0) return k.ext;
  return (BrandFlags(b) & kMp4) ? "mp4" : "mov";
}

void CMp4Analyser::NoteBrand(const uint8_t* b) {
  m_brands |= BrandFlags(b);
  if (!m_brandExt) m_brandExt = BrandExtension(b);
}

int CMp4Analyser::UnitAtExpected(uint8_t* p, int avail, int64_t* len) {
  if (avail < 8) return -1;
  const bool afterMoov = m_moov;
  // A top-level box type is four printable characters; zeros or the next file's bytes at
  // the position the last box pointed to mean the file ended with that box.
  for (int i = 4; i < 8; ++i)
    if (p[i] < 0x20 || p[i] > 0x7e) {
      m_endProven = m_moov;
      return 0;
    }
  const kbytes::ByteView box(p, size_t(avail));
  uint32_t size32 = 0;
  if (!box.Be32(0, &size32)) return -1;
  uint64_t size = size32;
  if (size == 0) return -2;  // "up to the end of the file": no length to follow
  if (size == 1) {
    if (!box.Be64(8, &size)) return -1;
    if (size < 16) return 0;
  } else if (size < 8) {
    m_endProven = m_moov;
    return 0;
  }
  if (std::memcmp(p + 4, "moov", 4) == 0) m_moov = true;
  if (std::memcmp(p + 4, "ftyp", 4) == 0) {
    if (avail < 12) return -1;
    NoteBrand(p + 8);
  }
  // The count limit ends the file long before a length this large is walked.
  if (size > uint64_t(std::numeric_limits<int64_t>::max() / 2)) return 0;
  m_inMdat = std::memcmp(p + 4, "mdat", 4) == 0;
  m_afterMoov = afterMoov;
  m_boxAt = OffsetAt(p);
  *len = int64_t(size);
  return 1;
}

int CMp4Analyser::Continue(const ClusterBuf& cb) {
  m_size += cb.cluster_size;
  if (ReachedAllMaxSizes(m_size, {"mp4", "mov", "m4a", "m4v", "3gp", "3g2"})) {
    m_state = AS_COMPLETE;
    return AS_COMPLETE;
  }
  if (m_next == 0) {
    const int64_t off = ClusterByteOffset(cb);
    if (IsAllZero(cb.GetData(), size_t(cb.cluster_size))) {
      m_zeroRun += cb.cluster_size;
      if (m_zeroRun >= 0x100000) return EndAt(off + cb.cluster_size - m_zeroRun);
      return AS_NONE;
    }
    m_zeroRun = 0;
    if (m_bad > 64) return EndAt(off);
  }
  return Walk(cb);
}

int CMp4Analyser::OnNewHeader(const FileHint& other, const ClusterBuf& cb) {
  if (other.TypeId == 1) return AS_NONE;
  // The next box was due at or before the other head: the file ends after its last box.
  const int64_t off = ClusterByteOffset(cb);
  if (m_next > m_start && m_next <= off) {
    m_endProven = m_moov;
    return EndAt(m_next);
  }
  if (m_next > off && m_inStep) {
    // The media data box runs on past the other head, and the walk has followed the sizes
    // from a real file start: the head is a chance pattern in this file's frames.
    if (m_inMdat && (m_brandExt || m_moov) && other.TypeId != DeviceEndHint().TypeId) return AS_ABSORB;
    // A box after the movie box that runs past the other head: the slack after the file's
    // last box passed for one (four printable bytes and a chance size). The boxes up to it
    // make the whole file.
    if (!m_inMdat && m_afterMoov && m_boxAt > m_start && m_boxAt <= off) {
      m_endProven = true;
      return EndAt(m_boxAt);
    }
  }
  return EndAt(off);
}

const char* CMp4Analyser::GetExtension() {
  if (m_brandExt) return m_brandExt;
  if (!m_brands) return "mp4/3gp/3g2/mov/m4a/m4v";
  static const struct {
    unsigned flag;
    const char* ext;
  } kOrder[] = {{kMp4, "mp4"}, {k3gp, "3gp"}, {k3g2, "3g2"}, {kMov, "mov"}, {kM4a, "m4a"}, {kM4v, "m4v"}};
  m_ext[0] = 0;
  for (const auto& o : kOrder) {
    if (!(m_brands & o.flag)) continue;
    if (m_ext[0]) std::strcat(m_ext, "/");
    std::strcat(m_ext, o.ext);
  }
  return m_ext;
}

int64_t CMp4Analyser::GetSizeForExtension(const char* ext) { return SizeForTypeRows(ext); }
