#include "rawrecovery/fileanalyser/mp4analyser.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>

#include "common/inc/bytes.h"
#include "common/inc/kestrum_types.h"

// ---------------------------------------------------------------------------------------
// The shared frame walk

CFrameWalkAnalyser::CFrameWalkAnalyser(int typeId)
    : CSignatureAnalyser(typeId), m_js(), m_next(0), m_bad(0), m_fedBase(0), m_fromStart(false) {}

void CFrameWalkAnalyser::StartWalk(const ClusterBuf& cb) {
  m_js.reset(new JointSearch(cb.cluster_size));
  m_bad = 0;
  m_zeroRun = 0;
  m_fromStart = true;
}

int AudioTagAt(const uint8_t* h, int avail, int64_t* len) {
  if (avail < 1) return -1;
  if (h[0] == 'T') {
    if (avail < 3) return -1;
    if (std::memcmp(h, "TAG", 3) != 0) return 0;
    *len = 128;
    return 2;
  }
  if (h[0] == 'A') {
    if (avail < 32) return std::memcmp(h, "APETAGEX", size_t(std::min(avail, 8))) == 0 ? -1 : 0;
    if (std::memcmp(h, "APETAGEX", 8) != 0) return 0;
    // A tag read from its start must carry a header (flag bit 29); its size counts the items
    // and the footer, not the header.
    const kbytes::ByteView tag(h, size_t(avail));
    uint32_t size = 0, flags = 0;
    if (!tag.Le32(12, &size) || !tag.Le32(20, &flags)) return -1;
    if (!(flags & (1u << 29)) || size < 32 || size > (16u << 20)) return 0;
    *len = 32 + int64_t(size);
    return 1;
  }
  return 0;
}

int CFrameWalkAnalyser::Walk(const ClusterBuf& cb) {
  if (!m_js) return AS_NONE;
  const int cs = cb.cluster_size;
  const int64_t off = ClusterByteOffset(cb);
  if (m_next >= off + cs) return AS_NONE;  // the current unit goes on past this cluster
  const uint8_t* fed = cb.GetData();
  int fedLen = cs;
  if (m_next > off) {
    int skip = int(m_next - off);
    m_js->Reset();
    fed += skip;
    fedLen -= skip;
    m_js->Feed(fed, fedLen);
    m_fedBase = m_next;
  } else {
    m_js->Feed(cb);
    m_fedBase = off;
  }
  // A set next position means the read position now stands where the last unit said the
  // next one begins (the walk skipped exactly to it); so does the start of the walk.
  bool expected = m_next != 0 || m_fromStart;
  m_fromStart = false;
  m_next = 0;
  int r = OnFed(fed, fedLen, m_fedBase);
  if (r != AS_NONE) return r;
  for (;;) {
    int64_t len = 0;
    int k = -2;
    uint8_t* p = nullptr;
    if (expected) {
      p = m_js->GetStart();
      k = UnitAtExpected(p, m_js->Size(), &len);
      if (k == 0) return EndAt(m_fedBase + m_js->OffsetOf(p));
      if (k == -1) {
        m_next = m_fedBase + m_js->OffsetOf(p);  // resumed with the next cluster
        break;
      }
    }
    expected = false;
    if (k == -2) {
      p = FindUnit();
      if (!p) break;
      m_js->MoveTo(p);
      m_next = m_fedBase + m_js->OffsetOf(p);
      k = UnitLength(p, &len);
    } else {
      m_next = m_fedBase + m_js->OffsetOf(p);
    }
    if (k < 0) break;
    if (k == 2) return EndAt(len);
    if (k == 0) {
      ++m_bad;
      m_next = 0;
      m_js->Skip(1);  // a rejected candidate: the search resumes one byte past it
      continue;
    }
    m_next += len;
    int64_t left = m_js->Size();
    if (len > left) {
      m_js->Skip(int(left));
      break;
    }
    m_js->Skip(int(len));
    expected = true;
  }
  return AS_NONE;
}

// ---------------------------------------------------------------------------------------
// MP3

CMp3Analyser::CMp3Analyser() : CFrameWalkAnalyser(15), m_frames(0), m_kind() {}


int CMp3Analyser::FrameLength(const uint8_t* h) {
  static const int kRate1[16] = {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0};
  static const int kRate2[16] = {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0};
  static const int kHz[4][3] = {{11025, 12000, 8000}, {0, 0, 0}, {22050, 24000, 16000}, {44100, 48000, 32000}};
  int version = (h[1] >> 3) & 3, layer = (h[1] >> 1) & 3;
  int bitrate = h[2] >> 4, sr = (h[2] >> 2) & 3, pad = (h[2] >> 1) & 1;
  if (layer != 1 || version == 1 || sr == 3 || bitrate == 0 || bitrate == 15) return 0;
  int hz = kHz[version][sr];
  if (version == 3) return 144000 * kRate1[bitrate] / hz + pad;
  return 72000 * kRate2[bitrate] / hz + pad;
}

int CMp3Analyser::CheckHeader(const ClusterBuf& cb) {
  const uint8_t* d = cb.GetData();
  if (cb.cluster_size < 512 || std::memcmp(d, "ID3", 3) != 0 || (d[3] != 3 && d[3] != 4) || d[4] != 0)
    return AS_NONE;
  int64_t tag = 0;
  for (int i = 6; i < 10; ++i) tag = (tag << 7) | (d[i] & 0x7f);
  Begin(cb, AS_HEADER, 0);
  m_next = m_start + 10 + tag + ((d[3] == 4 && (d[5] & 0x10)) ? 10 : 0);
  StartWalk(cb);
  m_frames = 0;
  return AS_HEADER;
}

int CMp3Analyser::UnitAtExpected(uint8_t* p, int avail, int64_t* len) {
  if (avail < 1) return -1;
  if (p[0] == 0xff) {
    if (avail < 4) return -1;
    int n = FrameLength(p);
    // Once in step, a frame must be of the stream's kind: a chance sync word in the bytes
    // after the file is not taken for one more frame.
    if (n > 3 && (m_frames == 0 || ((p[1] & 0xfe) == m_kind[0] && (p[2] & 0x0c) == m_kind[1]))) {
      if (m_frames == 0) {
        m_kind[0] = uint8_t(p[1] & 0xfe);
        m_kind[1] = uint8_t(p[2] & 0x0c);
      }
      ++m_frames;
      *len = n;
      return 1;
    }
  }
  // Not yet in step (padding after the ID3v2 tag): the frames are looked for.
  if (m_frames == 0) return -2;
  int64_t tag = 0;
  int r = AudioTagAt(p, avail, &tag);
  if (r < 0) return -1;
  if (r == 1) {
    *len = tag;
    return 1;
  }
  // The file ends after its last whole frame, or with the ID3v1 block that follows it.
  m_endProven = true;
  if (r == 2) {
    *len = OffsetAt(p) + tag;
    return 2;
  }
  return 0;
}

uint8_t* CMp3Analyser::FindUnit() {
  uint8_t* p = m_js->GetStart();
  uint8_t* end = p + m_js->Size();
  while (end - p > 4) {
    p = static_cast<uint8_t*>(std::memchr(p, 0xff, size_t(end - p - 4)));
    if (!p) return nullptr;
    uint8_t b = p[1] & 0xfe;
    if (b == 0xfa || b == 0xf2 || b == 0xe2) return p;
    ++p;
  }
  return nullptr;
}

int CMp3Analyser::UnitLength(uint8_t* p, int64_t* len) {
  int n = FrameLength(p);
  if (n <= 3) return 0;
  *len = n;
  return 1;
}

int CMp3Analyser::Continue(const ClusterBuf& cb) {
  if (CountLimit(cb)) return AS_COMPLETE;
  if (m_next == 0) {
    unsigned pos = 0;
    if (FindZeroTail(cb, &pos, 64)) return EndAt(ClusterByteOffset(cb) + pos);
    if (m_bad >= 33) return EndAt(ClusterByteOffset(cb));
  }
  return Walk(cb);
}

int CMp3Analyser::OnNewHeader(const FileHint& other, const ClusterBuf& cb) {
  if (other.TypeId == 23) return AS_NONE;
  // In step with the frames and waiting for the next one at or before the other head: the
  // file ends after its last whole frame.
  const int64_t off = ClusterByteOffset(cb);
  if (m_frames > 0 && m_next > m_start && m_next <= off) {
    m_endProven = true;
    return EndAt(m_next);
  }
  return EndAt(off);
}

// ---------------------------------------------------------------------------------------
// MP4 and QuickTime family

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

// ---------------------------------------------------------------------------------------
// MPEG program stream

CMpgAnalyser::CMpgAnalyser() : CFrameWalkAnalyser(23), m_system(), m_endAt(0), m_packs(false) {
  std::memset(m_system, 0xfe, sizeof m_system);
}


int CMpgAnalyser::CheckHeader(const ClusterBuf& cb) {
  const uint8_t* d = cb.GetData();
  if (cb.cluster_size < 512) return AS_NONE;
  if (std::memcmp(d, "\0\0\x01\xba", 4) != 0 && std::memcmp(d, "\0\0\x01\xb3", 4) != 0) return AS_NONE;
  const uint8_t* keep = nullptr;
  if (!std::memcmp(d + 12, "\0\0\x01\xbb", 4) || !std::memcmp(d + 12, "\0\0\x01\xb5", 4) ||
      !std::memcmp(d + 12, "\0\0\x01\xb8", 4) || !std::memcmp(d + 12, "\0\0\x01\xb2", 4))
    keep = d + 16;
  else if (!std::memcmp(d + 14, "\0\0\x01\xbb", 4))
    keep = d + 18;
  else
    return AS_NONE;
  std::memcpy(m_system, keep, 16);
  Begin(cb, AS_HEADER, 0);
  m_next = m_start;
  m_packs = d[3] == 0xba;
  StartWalk(cb);
  return AS_HEADER;
}

int CMpgAnalyser::OnFed(const uint8_t* b, int len, int64_t base) {
  if (m_packs) return AS_NONE;  // the pack walk meets the end code where it stands
  if (len > 4 && std::memcmp(b, "\0\0\x01\xb9", 4) == 0) return EndAt(base + 4);
  return AS_NONE;
}

int CMpgAnalyser::UnitAtExpected(uint8_t* p, int avail, int64_t* len) {
  // A stream of video sequences has no lengths to follow: it is searched as before.
  if (!m_packs) return -2;
  static const uint8_t kPrefix[3] = {0, 0, 1};
  if (avail < 4) return std::memcmp(p, kPrefix, size_t(std::min(avail, 3))) == 0 ? -1 : 0;
  if (std::memcmp(p, kPrefix, 3) != 0) return 0;  // the stream ends after its last whole pack
  const uint8_t code = p[3];
  if (code == 0xb9) {
    m_endProven = true;
    *len = OffsetAt(p) + 4;
    return 2;
  }
  if (code == 0xba) {
    if (avail < 5) return -1;
    if ((p[4] & 0xf0) == 0x20) {  // MPEG-1 pack header
      *len = 12;
      return 1;
    }
    if ((p[4] & 0xc0) != 0x40) return 0;
    if (avail < 14) return -1;
    *len = 14 + (p[13] & 7);  // MPEG-2, with its stuffing bytes
    return 1;
  }
  if (code < 0xbb) return 0;
  // The system header and every packet give their length after the start code.
  uint16_t n = 0;
  if (!kbytes::ReadBe16(p, size_t(avail), 4, &n)) return -1;
  *len = 6 + n;
  return 1;
}

uint8_t* CMpgAnalyser::FindUnit() { return m_js->Search("\0\0\x01\xbe", 4); }

int CMpgAnalyser::UnitLength(uint8_t* p, int64_t* len) {
  uint8_t* end = m_js->GetStart() + m_js->Size();
  uint16_t packet = 0;
  if (end - p < 6 || !kbytes::ReadBe16(p, size_t(end - p), 4, &packet)) return -1;
  int n = packet;
  if (n > 2047) return 0;
  *len = n + 6;
  if (end - p < n + 10) return 1;  // the packet runs on: the walk resumes after it
  const uint8_t* q = p + n + 6;
  if (!std::memcmp(q, "\0\0\x01\xba", 4) || !std::memcmp(q, "\0\0\x01\xe0", 4)) return 1;
  if (!std::memcmp(q, "\0\0\x01\xb9", 4)) {
    *len = m_fedBase + m_js->OffsetOf(q) + 4;
    return 2;
  }
  ++m_bad;
  return 1;
}

int CMpgAnalyser::Continue(const ClusterBuf& cb) {
  if (CountLimit(cb)) return AS_COMPLETE;
  if (m_next == 0) {
    const int64_t off = ClusterByteOffset(cb);
    if (IsAllZero(cb.GetData(), size_t(cb.cluster_size))) {
      m_zeroRun += cb.cluster_size;
      if (m_zeroRun > 0x3fff) return EndAt(off + cb.cluster_size - m_zeroRun);
      return AS_NONE;
    }
    m_zeroRun = 0;
    if (m_bad >= 33) return EndAt(off);
  }
  return Walk(cb);
}

int CMpgAnalyser::OnNewHeader(const FileHint& other, const ClusterBuf& cb) {
  ZQ_ASSERT(cb.cluster_size > 0x100);
  if (m_packs && m_next > m_start) {
    const int64_t off = ClusterByteOffset(cb);
    // A pack where the walk expects the next unit is the stream's own; a head the walk
    // waits for before the other head ends the stream after its last whole packet.
    if (m_next == off && other.TypeId == m_hint.TypeId) return AS_ABSORB;
    if (m_next < off) return EndAt(m_next);
    // The packet being walked runs on past the other head: the head lies in its payload.
    if (m_next > off && other.TypeId != DeviceEndHint().TypeId) return AS_ABSORB;
  }
  // The device end (a zero unit) is never part of the stream: a system header of zeros would
  // match it and the stream would never be reported.
  if (other.TypeId != DeviceEndHint().TypeId && cb.cluster_size >= 0x100 &&
      FindBytes(cb.GetData(), 256, m_system, 16))
    return AS_ABSORB;
  return EndAt(ClusterByteOffset(cb));
}


// ---------------------------------------------------------------------------------------
// ASF

namespace {

const uint8_t kAsfHeader[16] = {0x30, 0x26, 0xb2, 0x75, 0x8e, 0x66, 0xcf, 0x11,
                                0xa6, 0xd9, 0x00, 0xaa, 0x00, 0x62, 0xce, 0x6c};
const uint8_t kAsfFileProps[16] = {0xa1, 0xdc, 0xab, 0x8c, 0x47, 0xa9, 0xcf, 0x11,
                                   0x8e, 0xe4, 0x00, 0xc0, 0x0c, 0x20, 0x53, 0x65};
const uint8_t kAsfStreamProps[16] = {0x91, 0x07, 0xdc, 0xb7, 0xb7, 0xa9, 0xcf, 0x11,
                                     0x8e, 0xe6, 0x00, 0xc0, 0x0c, 0x20, 0x53, 0x65};
const uint8_t kAsfAudio[16] = {0x40, 0x9e, 0x69, 0xf8, 0x4d, 0x5b, 0xcf, 0x11,
                               0xa8, 0xfd, 0x00, 0x80, 0x5f, 0x5c, 0x44, 0x2b};
const uint8_t kAsfVideo[16] = {0xc0, 0xef, 0x19, 0xbc, 0x4d, 0x5b, 0xcf, 0x11,
                               0xa8, 0xfd, 0x00, 0x80, 0x5f, 0x5c, 0x44, 0x2b};

}  // namespace

CAsfAnalyser::CAsfAnalyser() : CSignatureAnalyser(20), m_headerObj(), m_objSize(0), m_header(), m_examined(false),
                               m_extText() {}


int CAsfAnalyser::CheckHeader(const ClusterBuf& cb) {
  const uint8_t* d = cb.GetData();
  ZQ_ASSERT(cb.cluster_size > int(sizeof(m_headerObj)));
  if (cb.cluster_size < 512 || std::memcmp(d, kAsfHeader, 16) != 0) return AS_NONE;
  uint64_t size = 0;
  if (!kbytes::ReadLe64(d, size_t(cb.cluster_size), 16, &size)) return AS_NONE;
  if (size < 30 || size > 0x100000 || d[28] != 1 || d[29] != 2) return AS_NONE;
  std::memcpy(m_headerObj, d, 30);
  m_objSize = int64_t(size);
  int64_t cs = cb.cluster_size;
  m_header.assign(size_t((m_objSize + cs - 1) / cs * cs), 0);
  m_examined = false;
  m_extText[0] = 0;
  return Begin(cb, AS_HEADER, 0);
}

int CAsfAnalyser::Examine() {
  const uint8_t* h = m_header.data();
  const int64_t n = m_objSize;
  const uint8_t* fp = FindBytes(h, size_t(n), kAsfFileProps, 16);
  if (!fp) return AS_NONE;
  int64_t at = fp - h;
  // The object must lie inside the header before any of its fields is read.
  if (n - at < 48) return AS_NONE;
  const kbytes::ByteView props(fp, size_t(n - at));
  uint64_t objSize = 0, fileSize = 0;
  if (!props.Le64(16, &objSize) || !props.Le64(40, &fileSize)) return AS_NONE;
  if (objSize < 48 || objSize > uint64_t(n - at)) return AS_NONE;
  int64_t size = fileSize > uint64_t(std::numeric_limits<int64_t>::max()) ? std::numeric_limits<int64_t>::max()
                                                                           : int64_t(fileSize);
  bool audio = false, video = false, other = false;
  int64_t from = at;
  while (from < n) {
    const uint8_t* sp = FindBytes(h + from, size_t(n - from), kAsfStreamProps, 16);
    if (!sp) break;
    int64_t pos = sp - h;
    int64_t step = 24;
    uint64_t s = 0;
    if (n - pos >= 40 && kbytes::ReadLe64(sp, size_t(n - pos), 16, &s)) {
      if (s >= 40 && s <= uint64_t(n - pos)) {
        if (!std::memcmp(sp + 24, kAsfAudio, 16)) audio = true;
        else if (!std::memcmp(sp + 24, kAsfVideo, 16)) video = true;
        else other = true;
        step = int64_t(s);
      }
    }
    // Each step is at least an object header long, so zero-size objects cannot stall it.
    from = pos + std::max<int64_t>(step, 24);
  }
  const char* ext = other ? "asf" : video ? "wmv/asf" : audio ? "wma/asf" : "asf/wmv/wma";
  std::snprintf(m_extText, sizeof m_extText, "%s", ext);
  m_size = size;
  m_state = AS_COMPLETE;
  m_endProven = size > 0;  // the file properties give the whole file's length
  return AS_COMPLETE;
}

int CAsfAnalyser::Continue(const ClusterBuf& cb) {
  m_size += cb.cluster_size;
  if (ReachedAllMaxSizes(m_size, {"asf", "wma", "wmv"})) {
    m_state = AS_COMPLETE;
    return AS_COMPLETE;
  }
  const int64_t len = int64_t(m_header.size());
  if (m_size <= len) {
    int64_t at = m_size - cb.cluster_size;
    std::memcpy(&m_header[size_t(at)], cb.GetData(), size_t(std::min<int64_t>(cb.cluster_size, len - at)));
    return AS_NONE;
  }
  if (m_examined) return AS_NONE;
  m_examined = true;  // a header without file properties is not searched again per cluster
  return Examine();
}

const char* CAsfAnalyser::GetExtension() { return m_extText[0] ? m_extText : "asf/wma/wmv"; }

int64_t CAsfAnalyser::GetSizeForExtension(const char* ext) { return SizeForTypeRows(ext); }

// ---------------------------------------------------------------------------------------
// RealMedia

CRmAnalyser::CRmAnalyser() : CSignatureAnalyser(19), m_js(), m_index(false), m_packets(-1), m_data(false), m_dataEnd(0) {}


int CRmAnalyser::CheckHeader(const ClusterBuf& cb) {
  if (cb.cluster_size < 512 || std::memcmp(cb.GetData(), ".RMF\0\0\0\x12", 8) != 0) return AS_NONE;
  m_js.reset(new JointSearch(cb.cluster_size));
  m_index = false;
  m_zeroRun = 0;
  Begin(cb, AS_HEADER, 0);
  m_packets = -1;
  m_data = false;
  m_dataEnd = 0;
  StartUnits(m_start);
  return AS_HEADER;
}

int CRmAnalyser::UnitHead(const uint8_t* h, int avail, int64_t at, int64_t* len) {
  if (m_packets > 0) {
    // A data packet: version 0 or 1, then its length, which counts its own header.
    const kbytes::ByteView packet(h, size_t(std::max(avail, 0)));
    uint16_t version = 0, n = 0;
    if (!packet.Be16(0, &version) || !packet.Be16(2, &n)) return -1;
    if (version <= 1 && n >= 12) {
      if (--m_packets == 0) m_packets = -2;  // the head after the last packet comes next
      *len = n;
      return 1;
    }
    // Not packets after all: the chunk's own size says where the next chunk is.
    m_packets = 0;
    if (m_dataEnd <= at) return 0;
    *len = m_dataEnd - at;
    return 1;
  }
  if (avail < 8) return -1;
  const bool afterPackets = m_packets == -2;
  m_packets = -1;
  static const char* const kChunks[] = {".RMF", "PROP", "MDPR", "CONT", "DATA", "INDX"};
  bool known = false;
  for (const char* c : kChunks) known = known || std::memcmp(h, c, 4) == 0;
  if (!known) {
    // After its data, a file ends where its chunks stop (its writer may close it with an
    // empty chunk head); a chunk of another kind before the data is not followed.
    if (!m_data) return -2;
    m_breakProven = true;
    if (afterPackets && IsAllZero(h, 8)) {
      *len = 8;
      return 2;
    }
    return 0;
  }
  const kbytes::ByteView chunk(h, size_t(avail));
  uint32_t size = 0;
  if (!chunk.Be32(4, &size)) return -1;
  if (std::memcmp(h, "DATA", 4) == 0) {
    // The data chunk is walked packet by packet: its size is not always the bytes it holds.
    uint32_t packets = 0;
    if (avail < 18 || !chunk.Be32(10, &packets)) return -1;
    if (size < 18) return 0;
    m_packets = packets;
    m_data = true;
    m_dataEnd = at + size;
    *len = 18;
    return 1;
  }
  if (size < 10) return 0;
  *len = size;
  return 1;
}

int CRmAnalyser::OnNewHeader(const FileHint& other, const ClusterBuf& cb) {
  int r = m_data ? EndAtPendingHead(cb) : -1;
  return r >= 0 ? r : CSignatureAnalyser::OnNewHeader(other, cb);
}

int CRmAnalyser::Continue(const ClusterBuf& cb) {
  m_size += cb.cluster_size;
  if (ReachedAllMaxSizes(m_size, {"rm", "rmvb"})) {
    m_state = AS_COMPLETE;
    m_endProven = false;
    return AS_COMPLETE;
  }
  if (m_unitAt >= 0) {
    int r = WalkUnits(cb);
    if (r != AS_NONE || m_unitAt >= 0) return r;
  }
  return IndexSearch(cb);
}

int CRmAnalyser::IndexSearch(const ClusterBuf& cb) {
  const int64_t off = ClusterByteOffset(cb);
  if (IsAllZero(cb.GetData(), size_t(cb.cluster_size))) {
    m_zeroRun += cb.cluster_size;
    if (m_zeroRun >= 0x4000) return EndAt(off + cb.cluster_size - m_zeroRun);
    return AS_NONE;
  }
  m_zeroRun = 0;
  if (!m_js) return AS_NONE;
  m_js->Feed(cb);
  for (;;) {
    uint8_t* p = m_js->Search("INDX", 4);
    if (!p) {
      m_js->Skip(std::max(0, m_js->Size() - 3));
      if (m_index) {
        m_state = AS_COMPLETE;
        return AS_COMPLETE;
      }
      return AS_NONE;
    }
    m_js->MoveTo(p);
    uint32_t size = 0;
    if (m_js->Size() <= 7 || !kbytes::ReadBe32(p, size_t(m_js->Size()), 4, &size)) return AS_NONE;
    if (size < 8 || size > 2048) {
      m_index = false;
      m_js->Skip(1);  // not an index chunk: the search resumes one byte past it
      continue;
    }
    m_index = true;
    if (size == 20) return EndAt(off + m_js->OffsetOf(p) + 20);
    if (m_js->Skip(int(size)) < int(size)) return AS_NONE;
  }
}

// ---------------------------------------------------------------------------------------
// ADTS AAC

CAacAnalyser::CAacAnalyser() : CSignatureAnalyser(28), m_head(), m_tagged(false) {}


int CAacAnalyser::CheckHeader(const ClusterBuf& cb) {
  const uint8_t* d = cb.GetData();
  if (cb.cluster_size < 4 || d[0] != 0xff || !(d[1] == 0xf1 || d[1] == 0xf8 || d[1] == 0xf9) ||
      !(d[2] == 0x5c || d[2] == 0x60) || !(d[3] == 0x80 || d[3] == 0x40))
    return AS_NONE;
  std::memcpy(m_head, d, 4);
  m_head[3] &= 0xfc;
  m_zeroRun = 0;
  Begin(cb, AS_HEADER, 0);
  m_tagged = false;
  StartUnits(m_start);
  return AS_HEADER;
}

int CAacAnalyser::UnitHead(const uint8_t* h, int avail, int64_t, int64_t* len) {
  if (h[0] == 0xff && !m_tagged) {
    if (avail < 7) return -1;
    // A frame of the same stream: profile, rate and channels as the first one; its 13-bit
    // length counts its header.
    if (h[1] == m_head[1] && h[2] == m_head[2] && (h[3] & 0xf0) == (m_head[3] & 0xf0)) {
      int n = ((h[3] & 3) << 11) | (h[4] << 3) | (h[5] >> 5);
      if (n < 7) return 0;
      *len = n;
      m_breakProven = true;  // whole frames: the file ends where they stop
      return 1;
    }
  }
  if (m_units == 0) return 0;
  int r = AudioTagAt(h, avail, len);
  if (r == 1) m_tagged = true;
  return r;
}

int CAacAnalyser::Continue(const ClusterBuf& cb) {
  if (CountLimit(cb)) return AS_COMPLETE;
  return WalkUnits(cb);
}

int CAacAnalyser::OnNewHeader(const FileHint& other, const ClusterBuf& cb) {
  const uint8_t* d = cb.GetData();
  // A frame head where the walk expects the next frame is the stream's own.
  if (other.TypeId == m_hint.TypeId && UnitStartsAt(cb) && !m_tagged) return AS_ABSORB;
  if (other.TypeId == 28 && cb.cluster_size >= 4 && ClusterByteOffset(cb) - m_start > 0x40000 &&
      d[0] == m_head[0] && d[1] == m_head[1] && d[2] == m_head[2] && uint8_t(d[3] & 0xfc) == m_head[3])
    return AS_ABSORB;
  int pending = EndAtPendingHead(cb);
  if (pending >= 0) return pending;
  return EndAt(ClusterByteOffset(cb));
}

