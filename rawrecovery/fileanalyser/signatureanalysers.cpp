#include "rawrecovery/fileanalyser/signatureanalysers.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "common/inc/bytes.h"

namespace {

using kbytes::ReadBe32;
using kbytes::ReadLe16;
using kbytes::ReadLe32;
using kbytes::ReadLe64;
using sigfamily::Data;
using sigfamily::kInt64Max;
using sigfamily::MaxSizeOf;

// Header and end frames of the family.
const MatchFrame kAifForm("FORM", 0), kAifAiff("AIFF", 8);
const MatchFrame kAviRiff("RIFF", 0);
const MatchFrame kBmpBm("BM", 0), kBmpZero("\0\0\0\0", 4, 6);
const MatchFrame kCrwHeap("HEAPCCDR", 6), kCrwEnd("\x0a\x30", -1);
const MatchFrame kCwkBobo("BOBO", 4), kCwkEnd("\xf0\xf1\xf2\xf3", -1);
const MatchFrame kDbxMagic("\xcf\xad\x12\xfe", 0);
const MatchFrame kDbxKinds[] = {MatchFrame("\x30\x9d\xfe\x26", 4), MatchFrame("\xc5\xfd\x74\x6f", 4),
                                MatchFrame("\xc6\xfd\x74\x6f", 4), MatchFrame("\xc7\xfd\x74\x6f", 4)};
const MatchFrame kTwoZeros("\0\0", 2, -1);
const MatchFrame kEpsHead("%!PS-Adobe-", 0), kEpsEpsf("EPSF", 15), kEpsEnd("%%EOF", -1);
const MatchFrame kXmlDecl("<?xml version=\"1.0\" encoding=", -1);
const MatchFrame kPlistOpen("<plist", -1), kPlistClose("</plist>", -1);
const MatchFrame kHtmlHeads[] = {MatchFrame("<!DOCTYPE ", -1), MatchFrame("<!doctype ", -1),
                                 MatchFrame("<HTML", -1), MatchFrame("<html", -1),
                                 MatchFrame("<\0!\0D\0O\0C\0T\0Y\0P\0E\0 \0", 20, -1)};
const MatchFrame kIndd("\x06\x06\xed\xf5\xd8\x1d\x46\xe5\xbd\x31\xef\xe7\xfe\x74\xb7\x1d" "DOCUMENT", 24, 0);
const MatchFrame kMrw("\0MRM\0", 5, 0);
const MatchFrame kPngHead("\x89PNG\r\n\x1a\n", 0), kPngEnd("IEND\xae\x42\x60\x82", -1);
const MatchFrame kPst("!BDN", 0);
const MatchFrame kRaf("FUJIFILM", 0);
const MatchFrame kRarHead("Rar!\x1a\x07\0", 7, 0), kRarEnd("\xc4\x3d\x7b\0\x40\x07\0", 7, -1);
const MatchFrame kRtf("{\\rtf", 0);
const MatchFrame kSit("StuffIt ", 0), kSitx("StuffIt!", 0);
const MatchFrame kSwfC("CWS", 0), kSwfF("FWS", 0);
const MatchFrame kTax("TTFN\x01\x01", 0);
const MatchFrame kXcf("gimp xcf", 0);
const MatchFrame kZ7("7z\xbc\xaf\x27\x1c", 0);
const MatchFrame kAiHead("%!PS-", 0);
const char kAiEnd[] = "%EOF";
const MatchFrame kX3f("FOVb", 0);
const char kX3fEnd[] = "SECd";
const MatchFrame kPlistHead("<?xml version=\"1.0\" encoding=\"UTF-8\"?>", 0);

}  // namespace

int64_t sigfamily::MaxSizeOf(const char* ext) {
  const FileHint* row = TableRow(ext);
  return row ? row->MaxSize : 0;
}

// ---------------------------------------------------------------------------------------
// Shared rules

CSignatureAnalyser::CSignatureAnalyser(int typeId)
    : m_unitAt(-1), m_units(0), m_breakProven(false), m_head(), m_headEnd(-1), m_zeroRun(0), m_absorbs(),
      m_tail(), m_tailLen(0), m_tailEnd(-1) {
  TakeRow(typeId);
}

int CSignatureAnalyser::OnNewHeader(const FileHint& other, const ClusterBuf& cb) {
  for (int id : m_absorbs)
    if (other.TypeId == id) return AS_ABSORB;
  m_endProven = false;  // bounded by what follows, not read from the file
  return EndAt(ClusterByteOffset(cb));
}

int64_t CSignatureAnalyser::SizeForTypeRows(const char* ext) const {
  const AnalyserType* t = FindAnalyserType(m_hint.TypeId);
  return t ? SizeFor(ext, t->exts) : 0;
}

int CSignatureAnalyser::Begin(const ClusterBuf& cb, int state, int64_t size) {
  m_tailLen = 0;
  m_tailEnd = -1;
  m_unitAt = -1;
  m_units = 0;
  m_breakProven = false;
  m_head.clear();
  m_headEnd = -1;
  m_start = ClusterByteOffset(cb);
  m_state = state;
  m_size = size;
  m_endProven = state == AS_COMPLETE && size > 0;
  return state;
}

int CSignatureAnalyser::EndAt(int64_t offset) {
  m_end = offset;
  m_state = AS_ENDED;
  return AS_ENDED;
}

bool CSignatureAnalyser::CountLimit(const ClusterBuf& cb) {
  m_size += cb.cluster_size;
  const FileHint* row = TableRow(m_hint.ext);
  if (row && m_size >= row->MaxSize) {
    m_state = AS_COMPLETE;
    m_endProven = false;
    return true;
  }
  return false;
}

int CSignatureAnalyser::EndMarker(const ClusterBuf& cb, const MatchFrame& marker, int k) {
  const uint8_t* d = Data(cb);
  const int n = cb.cluster_size;
  const int64_t at = ClusterByteOffset(cb);
  const int keep = marker.len() - 1;
  // A marker that begins in the unit before and ends in this one: only when the two units
  // are adjacent on the device (bitmap mode skips used units).
  if (m_tailLen > 0 && m_tailEnd == at && keep > 0 && keep < int(sizeof m_tail) / 2) {
    uint8_t joint[sizeof m_tail];
    int head = n < keep ? n : keep;
    memcpy(joint, m_tail, size_t(m_tailLen));
    memcpy(joint + m_tailLen, d, size_t(head));
    const uint8_t* hit = marker.Match(joint, m_tailLen + head);
    if (hit && hit - joint < m_tailLen) return EndAt(at - m_tailLen + (hit - joint) + k);
  }
  const uint8_t* hit = marker.Match(d, n);
  if (hit) return EndAt(at + (hit - d) + k);
  if (keep > 0 && keep < int(sizeof m_tail) / 2 && n > 0) {
    m_tailLen = n < keep ? n : keep;
    memcpy(m_tail, d + n - m_tailLen, size_t(m_tailLen));
    m_tailEnd = at + n;
  }
  return AS_NONE;
}

int64_t CSignatureAnalyser::TakeLineEnd(const ClusterBuf& cb, int64_t end) const {
  const int64_t at = ClusterByteOffset(cb);
  const uint8_t* d = Data(cb);
  int64_t i = end - at;
  if (i < 0) return end;
  if (i < cb.cluster_size && d[i] == '\r') ++i;
  if (i < cb.cluster_size && d[i] == '\n') ++i;
  return at + i;
}

int CSignatureAnalyser::ZeroTail(const ClusterBuf& cb, int n, int extra) {
  unsigned pos = 0;
  if (!FindZeroTail(cb, &pos, n)) return AS_NONE;
  m_endProven = false;
  return EndAt(ClusterByteOffset(cb) + pos + extra);
}

int CSignatureAnalyser::ZeroRun(const ClusterBuf& cb, int64_t t) {
  if (!IsAllZero(Data(cb), size_t(cb.cluster_size))) {
    m_zeroRun = 0;
    return AS_NONE;
  }
  m_zeroRun += cb.cluster_size;
  if (m_zeroRun < t) return AS_NONE;
  m_endProven = false;
  return EndAt(ClusterByteOffset(cb) + cb.cluster_size - m_zeroRun);
}

namespace {
// The most head bytes a unit walk joins across a boundary (an Ogg page header is at most 282).
const size_t kHeadMax = 1024;
}  // namespace

void CSignatureAnalyser::StartUnits(int64_t at) {
  m_unitAt = at;
  m_units = 0;
  m_breakProven = false;
  m_head.clear();
  m_headEnd = -1;
}

int CSignatureAnalyser::StopUnits() {
  m_unitAt = -1;
  m_head.clear();
  return AS_NONE;
}

int CSignatureAnalyser::EndWalk(int64_t at, bool proven) {
  m_unitAt = -1;
  m_head.clear();
  m_endProven = proven;
  return EndAt(at);
}

int CSignatureAnalyser::EndAtPendingHead(const ClusterBuf& cb) {
  if (m_unitAt < 0 || m_unitAt > ClusterByteOffset(cb)) return -1;
  return EndWalk(m_unitAt, m_breakProven);
}

int CSignatureAnalyser::WalkUnits(const ClusterBuf& cb) {
  if (m_unitAt < 0) return AS_NONE;
  const uint8_t* d = Data(cb);
  const int cs = cb.cluster_size;
  const int64_t off = ClusterByteOffset(cb);
  if (m_unitAt >= off + cs) return AS_NONE;
  int64_t len = 0;
  // One answer of UnitHead: AS_NONE while the walk goes on, else the file's end.
  auto take = [&](int r) {
    if (r == 0 || len <= 0 || len > kInt64Max / 4) return EndWalk(m_unitAt, r == 0 && m_breakProven);
    ++m_units;
    if (r == 2) return EndWalk(m_unitAt + len, true);
    m_unitAt += len;
    return int(AS_NONE);
  };
  if (!m_head.empty()) {
    // The rest of a cut head is in this unit only when it follows the last one on the device.
    if (m_headEnd != off) return EndWalk(m_unitAt, false);
    size_t n = std::min(size_t(cs), kHeadMax - m_head.size());
    m_head.insert(m_head.end(), d, d + n);
    int r = UnitHead(m_head.data(), int(m_head.size()), m_unitAt, &len);
    if (r == -2) return StopUnits();
    if (r < 0) {
      if (n == size_t(cs) && m_head.size() < kHeadMax) {
        m_headEnd = off + cs;
        return AS_NONE;
      }
      return EndWalk(m_unitAt, false);
    }
    m_head.clear();
    int s = take(r);
    if (s != AS_NONE) return s;
  }
  while (m_unitAt < off + cs) {
    // A unit that should begin in units never read (skipped as in use): the walk cannot go on.
    if (m_unitAt < off) return EndWalk(m_unitAt, false);
    int at = int(m_unitAt - off);
    int avail = cs - at;
    int r = UnitHead(d + at, avail, m_unitAt, &len);
    if (r == -2) return StopUnits();
    if (r < 0) {
      if (size_t(avail) >= kHeadMax) return EndWalk(m_unitAt, false);
      m_head.assign(d + at, d + cs);
      m_headEnd = off + cs;
      return AS_NONE;
    }
    int s = take(r);
    if (s != AS_NONE) return s;
  }
  return AS_NONE;
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

// ---------------------------------------------------------------------------------------
// Sizes from the header

CAifAnalyser::CAifAnalyser() : CSignatureAnalyser(27) {}
int CAifAnalyser::CheckHeader(const ClusterBuf& cb) {
  uint32_t v;
  if (!kAifForm.Test(Data(cb), cb.cluster_size) || !kAifAiff.Test(Data(cb), cb.cluster_size) ||
      !ReadBe32(Data(cb), size_t(cb.cluster_size), 4, &v))
    return AS_NONE;
  Begin(cb, AS_COMPLETE, int64_t(v) + 8);
  m_endProven = true;  // the FORM chunk holds the whole file
  return AS_COMPLETE;
}
int CAifAnalyser::Continue(const ClusterBuf&) { return AS_COMPLETE; }

CAviAnalyser::CAviAnalyser() : CSignatureAnalyser(18), m_found(nullptr) {}
int CAviAnalyser::CheckHeader(const ClusterBuf& cb) {
  const uint8_t* d = Data(cb);
  uint32_t riffSize;
  if (!kAviRiff.Test(d, cb.cluster_size) || !kbytes::Fits(size_t(cb.cluster_size), 8, 4) ||
      !ReadLe32(d, size_t(cb.cluster_size), 4, &riffSize))
    return AS_NONE;
  const char* found = nullptr;
  if (std::memcmp(d + 8, "RMP3", 4) == 0 || std::memcmp(d + 8, "WAVE", 4) == 0) found = "wav";
  else if (std::memcmp(d + 8, "AVI ", 4) == 0) found = "avi";
  if (!found) return AS_NONE;
  m_found = found;
  // The RIFF chunk is the whole file: its size plus the 8-byte chunk head, to the byte (the
  // run list still covers whole sectors). 64-bit, so a size near 4 GiB does not wrap.
  Begin(cb, AS_COMPLETE, int64_t(riffSize) + 8);
  m_endProven = true;
  return AS_COMPLETE;
}
int CAviAnalyser::Continue(const ClusterBuf&) { return AS_COMPLETE; }
const char* CAviAnalyser::GetExtension() { return m_found ? m_found : ""; }
int64_t CAviAnalyser::GetSizeForExtension(const char* ext) { return m_found ? SizeFor(ext, m_found) : 0; }

CBmpAnalyser::CBmpAnalyser() : CSignatureAnalyser(6) {}
int CBmpAnalyser::CheckHeader(const ClusterBuf& cb) {
  uint32_t v;
  if (!kBmpBm.Test(Data(cb), cb.cluster_size) || !kBmpZero.Test(Data(cb), cb.cluster_size) ||
      !ReadLe32(Data(cb), size_t(cb.cluster_size), 2, &v))
    return AS_NONE;
  return Begin(cb, AS_COMPLETE, int64_t(v));
}
int CBmpAnalyser::Continue(const ClusterBuf&) { return AS_COMPLETE; }

CDbxAnalyser::CDbxAnalyser() : CSignatureAnalyser(13) {}
int CDbxAnalyser::CheckHeader(const ClusterBuf& cb) {
  const uint8_t* d = Data(cb);
  if (!kDbxMagic.Test(d, cb.cluster_size)) return AS_NONE;
  bool kind = false;
  for (const MatchFrame& f : kDbxKinds) kind = kind || f.Test(d, cb.cluster_size);
  uint32_t v;
  if (!kind || !ReadLe32(d, size_t(cb.cluster_size), 124, &v)) return AS_NONE;
  return Begin(cb, AS_COMPLETE, int64_t(v));
}
int CDbxAnalyser::Continue(const ClusterBuf&) { return AS_COMPLETE; }

CInddAnalyser::CInddAnalyser() : CSignatureAnalyser(29) { SetAbsorbs({29}); }
int CInddAnalyser::CheckHeader(const ClusterBuf& cb) {
  uint32_t pages;
  uint8_t extra;
  const uint8_t* d = Data(cb);
  size_t n = size_t(cb.cluster_size);
  if (!kIndd.Test(d, cb.cluster_size) || !ReadLe32(d, n, 280, &pages) || !kbytes::ReadU8(d, n, 284, &extra))
    return AS_NONE;
  // Counted in 64 bits: a 32-bit product would wrap a large page count to a small size.
  return Begin(cb, AS_COMPLETE, (int64_t(pages) + extra) * 4096);
}
int CInddAnalyser::Continue(const ClusterBuf& cb) {
  // The size is known, but the file is held open a little so that the header pages of the
  // same document found right after it are absorbed rather than reported as new files.
  return ClusterByteOffset(cb) - m_start > 4096 ? AS_COMPLETE : AS_NONE;
}

CPstAnalyser::CPstAnalyser() : CSignatureAnalyser(12) {}
int CPstAnalyser::CheckHeader(const ClusterBuf& cb) {
  const uint8_t* d = Data(cb);
  size_t n = size_t(cb.cluster_size);
  uint16_t version;
  if (!kPst.Test(d, cb.cluster_size) || !ReadLe16(d, n, 10, &version)) return AS_NONE;
  if (version == 14 || version == 15) {
    uint32_t v;
    if (!ReadLe32(d, n, 168, &v)) return AS_NONE;
    return Begin(cb, AS_COMPLETE, int64_t(v));
  }
  if (version == 21 || version == 23) {
    uint64_t v;
    if (!ReadLe64(d, n, 184, &v)) return AS_NONE;
    return Begin(cb, AS_COMPLETE, v > uint64_t(kInt64Max) ? kInt64Max : int64_t(v));
  }
  return AS_NONE;
}
int CPstAnalyser::Continue(const ClusterBuf&) { return AS_COMPLETE; }

CSitAnalyser::CSitAnalyser() : CSignatureAnalyser(24) {}
int CSitAnalyser::CheckHeader(const ClusterBuf& cb) {
  uint32_t v;
  if (!kSit.Test(Data(cb), cb.cluster_size) || !ReadBe32(Data(cb), size_t(cb.cluster_size), 84, &v))
    return AS_NONE;
  return Begin(cb, AS_COMPLETE, int64_t(v));
}
int CSitAnalyser::Continue(const ClusterBuf&) { return AS_COMPLETE; }

CSwfAnalyser::CSwfAnalyser() : CSignatureAnalyser(21) {}
int CSwfAnalyser::CheckHeader(const ClusterBuf& cb) {
  const uint8_t* d = Data(cb);
  uint32_t len;
  if (!(kSwfC.Test(d, cb.cluster_size) || kSwfF.Test(d, cb.cluster_size))) return AS_NONE;
  if (!ReadLe32(d, size_t(cb.cluster_size), 4, &len) || d[3] > 10 || int64_t(len) > MaxSizeOf("swf")) {
    m_start = 0;
    m_size = 0;
    return AS_NONE;
  }
  return Begin(cb, AS_COMPLETE, int64_t(len));
}
int CSwfAnalyser::Continue(const ClusterBuf&) { return AS_COMPLETE; }

CWmfAnalyser::CWmfAnalyser() : CSignatureAnalyser(11) {}
int CWmfAnalyser::CheckHeader(const ClusterBuf& cb) {
  const uint8_t* d = Data(cb);
  size_t n = size_t(cb.cluster_size);
  uint32_t key, reserved, words;
  uint16_t sum;
  if (!ReadLe32(d, n, 0, &key) || key != 0x9AC6CDD7u || !ReadLe32(d, n, 16, &reserved) || reserved != 0 ||
      !ReadLe16(d, n, 20, &sum) || !ReadLe32(d, n, 28, &words) || !kbytes::Fits(n, 38, 2))
    return AS_NONE;
  uint16_t x = 0, w = 0;
  for (size_t at = 0; at < 20; at += 2) x = uint16_t(x ^ (ReadLe16(d, n, at, &w) ? w : 0));
  if (x != sum) return AS_NONE;
  // The first metafile record header follows at 22: its type, header size, version and,
  // at 38, the high word of its parameter count.
  auto is = [&](size_t at, uint16_t want) { return ReadLe16(d, n, at, &w) && w == want; };
  if (!(is(22, 1) || is(24, 9) || is(26, 0x0300) || is(38, 0))) return AS_NONE;
  // The record size counts 16-bit words; in 64 bits the doubling cannot wrap.
  return Begin(cb, AS_COMPLETE, int64_t(words) * 2 + 22);
}
int CWmfAnalyser::Continue(const ClusterBuf&) { return AS_COMPLETE; }

CZ7Analyser::CZ7Analyser() : CSignatureAnalyser(38) {}
int CZ7Analyser::CheckHeader(const ClusterBuf& cb) {
  const uint8_t* d = Data(cb);
  size_t n = size_t(cb.cluster_size);
  uint64_t nextOffset, nextSize;
  if (!kZ7.Test(d, cb.cluster_size) || !ReadLe64(d, n, 12, &nextOffset) || !ReadLe64(d, n, 20, &nextSize))
    return AS_NONE;
  // The end is the start header (32 bytes) plus the offset and size of the end header; sizes
  // that do not add up within 63 bits cannot be a real archive.
  const uint64_t limit = uint64_t(kInt64Max) - 32;
  if (nextOffset > limit || nextSize > limit - nextOffset) return AS_NONE;
  return Begin(cb, AS_COMPLETE, int64_t(nextOffset + nextSize + 32));
}
int CZ7Analyser::Continue(const ClusterBuf&) { return AS_COMPLETE; }

// ---------------------------------------------------------------------------------------
// Counted files with an end rule

CCwkAnalyser::CCwkAnalyser() : CSignatureAnalyser(30) {}
int CCwkAnalyser::CheckHeader(const ClusterBuf& cb) {
  return kCwkBobo.Test(Data(cb), cb.cluster_size) ? Begin(cb, AS_HEADER, 0) : int(AS_NONE);
}
int CCwkAnalyser::Continue(const ClusterBuf& cb) {
  return CountLimit(cb) ? int(AS_COMPLETE) : EndMarker(cb, kCwkEnd, 8);
}

CPngAnalyser::CPngAnalyser() : CSignatureAnalyser(7) {}
int CPngAnalyser::CheckHeader(const ClusterBuf& cb) {
  return kPngHead.Test(Data(cb), cb.cluster_size) ? Begin(cb, AS_HEADER, 0) : int(AS_NONE);
}
int CPngAnalyser::Continue(const ClusterBuf& cb) {
  return CountLimit(cb) ? int(AS_COMPLETE) : Proven(EndMarker(cb, kPngEnd, 8));
}

CRarAnalyser::CRarAnalyser() : CSignatureAnalyser(10) {}
int CRarAnalyser::CheckHeader(const ClusterBuf& cb) {
  return kRarHead.Test(Data(cb), cb.cluster_size) ? Begin(cb, AS_HEADER, 0) : int(AS_NONE);
}
int CRarAnalyser::Continue(const ClusterBuf& cb) {
  return CountLimit(cb) ? int(AS_COMPLETE) : Proven(EndMarker(cb, kRarEnd, 7));
}

CSitxAnalyser::CSitxAnalyser() : CSignatureAnalyser(46) {}
int CSitxAnalyser::CheckHeader(const ClusterBuf& cb) {
  return kSitx.Test(Data(cb), cb.cluster_size) ? Begin(cb, AS_HEADER, 0) : int(AS_NONE);
}
int CSitxAnalyser::Continue(const ClusterBuf& cb) {
  return CountLimit(cb) ? int(AS_COMPLETE) : ZeroTail(cb, 16);
}

CTaxAnalyser::CTaxAnalyser() : CSignatureAnalyser(47) {}
int CTaxAnalyser::CheckHeader(const ClusterBuf& cb) {
  return kTax.Test(Data(cb), cb.cluster_size) ? Begin(cb, AS_HEADER, 0) : int(AS_NONE);
}
int CTaxAnalyser::Continue(const ClusterBuf& cb) {
  return CountLimit(cb) ? int(AS_COMPLETE) : ZeroTail(cb, 16);
}

CXcfAnalyser::CXcfAnalyser() : CSignatureAnalyser(35) {}
int CXcfAnalyser::CheckHeader(const ClusterBuf& cb) {
  return kXcf.Test(Data(cb), cb.cluster_size) ? Begin(cb, AS_HEADER, 0) : int(AS_NONE);
}
int CXcfAnalyser::Continue(const ClusterBuf& cb) {
  return CountLimit(cb) ? int(AS_COMPLETE) : ZeroTail(cb, 16, 4);
}

// No table row carries the plist-only code, so this analyser takes the plist row (its limits
// and extension) under a code of its own: a pool holding it and the HTML analyser keeps both.
CPlistAnalyser::CPlistAnalyser() : CSignatureAnalyser(37) {
  if (const FileHint* row = TableRow("plist")) m_hint = *row;
  m_hint.TypeId = 37;
}
int CPlistAnalyser::CheckHeader(const ClusterBuf& cb) {
  if (!kPlistHead.Test(Data(cb), cb.cluster_size) || !kPlistOpen.Test(Data(cb), cb.cluster_size)) return AS_NONE;
  return Begin(cb, AS_HEADER, 0);
}
int CPlistAnalyser::Continue(const ClusterBuf& cb) {
  if (CountLimit(cb)) return AS_COMPLETE;
  return Proven(EndMarker(cb, kPlistClose, 9));
}

CEpsAnalyser::CEpsAnalyser() : CSignatureAnalyser(31) {}
int CEpsAnalyser::CheckHeader(const ClusterBuf& cb) {
  if (!kEpsHead.Test(Data(cb), cb.cluster_size) || !kEpsEpsf.Test(Data(cb), cb.cluster_size)) return AS_NONE;
  return Begin(cb, AS_HEADER, 0);
}
int CEpsAnalyser::Continue(const ClusterBuf& cb) {
  if (CountLimit(cb)) return AS_COMPLETE;
  int r = Proven(EndMarker(cb, kEpsEnd, 5));
  if (r == AS_ENDED) m_end = TakeLineEnd(cb, m_end);
  return r ? r : ZeroTail(cb, 64);
}

CMrwAnalyser::CMrwAnalyser() : CSignatureAnalyser(34) {}
int CMrwAnalyser::CheckHeader(const ClusterBuf& cb) {
  if (!kMrw.Test(Data(cb), cb.cluster_size)) return AS_NONE;
  return Begin(cb, AS_COMPLETE, 0);
}
int CMrwAnalyser::Continue(const ClusterBuf& cb) {
  if (CountLimit(cb)) return AS_COMPLETE;
  return ZeroRun(cb, 65536);
}

CRafAnalyser::CRafAnalyser() : CSignatureAnalyser(33) {}
int CRafAnalyser::CheckHeader(const ClusterBuf& cb) {
  if (!kRaf.Test(Data(cb), cb.cluster_size)) return AS_NONE;
  return Begin(cb, AS_COMPLETE, 0);
}
int CRafAnalyser::Continue(const ClusterBuf& cb) {
  if (CountLimit(cb)) return AS_COMPLETE;
  return ZeroRun(cb, 16384);
}

// ---------------------------------------------------------------------------------------
// Text types

namespace {

// The first of "Received:", "From:" or "Subject:" in the bytes, found through the colon
// and the letter before it, which all three end with: a colon alone turns up every 256
// bytes of random data, the pair once in 20000.
bool HasMailField(const uint8_t* d, size_t n) {
  static const struct {
    const char* word;
    size_t len;
  } kWords[] = {{"Received", 8}, {"From", 4}, {"Subject", 7}};
  const uint8_t* p = d;
  const uint8_t* end = d + n;
  while (p < end) {
    const uint8_t* c = FindByteAfter(p == d ? d : p - 1, size_t(end - (p == d ? d : p - 1)), ':', "dmt");
    if (!c) return false;
    size_t before = size_t(c - d);
    for (const auto& w : kWords)
      if (before >= w.len && std::memcmp(c - w.len, w.word, w.len) == 0) return true;
    p = c + 1;
  }
  return false;
}

}  // namespace

CEmlAnalyser::CEmlAnalyser() : CSignatureAnalyser(39) { SetAbsorbs({39}); }
int CEmlAnalyser::CheckHeader(const ClusterBuf& cb) {
  const uint8_t* d = Data(cb);
  if (cb.cluster_size <= 0 || std::isdigit(d[0])) return AS_NONE;
  if (!HasMailField(d, size_t(cb.cluster_size))) return AS_NONE;
  return Begin(cb, AS_HEADER, 0);
}
int CEmlAnalyser::Continue(const ClusterBuf& cb) {
  if (CountLimit(cb)) return AS_COMPLETE;
  return EndMarker(cb, kTwoZeros, 0);
}

// The head of a mail message that tells it apart: its byte count line and a header name.
const size_t SIGNATURE_HEADER_SIZE = 256;

CEmlxAnalyser::CEmlxAnalyser() : CSignatureAnalyser(32) { SetAbsorbs({17, 39}); }
int CEmlxAnalyser::CheckHeader(const ClusterBuf& cb) {
  const size_t kHead = SIGNATURE_HEADER_SIZE;
  if (cb.cluster_size <= int(kHead)) return AS_NONE;
  const uint8_t* d = Data(cb);
  size_t i = 0;
  while (i < kHead && std::isdigit(d[i])) ++i;
  if (i < 3 || i > 6) return AS_NONE;
  while (i < kHead && d[i] == ' ') ++i;
  if (i >= kHead || d[i] != '\n') return AS_NONE;
  if (!std::memchr(d, '@', kHead)) return AS_NONE;
  if (!FindBytes(d, kHead, "Received", 8) && !FindBytes(d, kHead, "From", 4) && !FindBytes(d, kHead, "Subject", 7))
    return AS_NONE;
  return Begin(cb, AS_HEADER, 0);
}
int CEmlxAnalyser::Continue(const ClusterBuf& cb) {
  if (CountLimit(cb)) return AS_COMPLETE;
  return EndMarker(cb, kTwoZeros, 0);
}

CHtmlAnalyser::CHtmlAnalyser() : CSignatureAnalyser(17), m_kind(0) { SetAbsorbs({17}); }
int CHtmlAnalyser::CheckHeader(const ClusterBuf& cb) {
  const uint8_t* d = Data(cb);
  int head = std::min(cb.cluster_size, 50);
  // Every pattern begins with '<': a head without one is decided by a single memchr.
  if (head <= 0 || !std::memchr(d, '<', size_t(head))) return AS_NONE;
  if (kXmlDecl.Test(d, head) && kPlistOpen.Test(d, cb.cluster_size)) {
    m_kind = 2;
    return Begin(cb, AS_HEADER, 0);
  }
  for (const MatchFrame& f : kHtmlHeads) {
    if (f.Test(d, head)) {
      m_kind = 1;
      return Begin(cb, AS_HEADER, 0);
    }
  }
  return AS_NONE;
}
int CHtmlAnalyser::Continue(const ClusterBuf& cb) {
  m_size += cb.cluster_size;
  if (m_size >= MaxSizeOf("htm") && m_size >= MaxSizeOf("plist")) {
    m_state = AS_COMPLETE;
    return AS_COMPLETE;
  }
  if (m_kind == 2) return Proven(EndMarker(cb, kPlistClose, 9));
  return ZeroTail(cb, 2);
}
const char* CHtmlAnalyser::GetExtension() { return m_kind == 2 ? "plist" : m_kind == 1 ? "htm" : ""; }
int64_t CHtmlAnalyser::GetSizeForExtension(const char* ext) { return SizeFor(ext, GetExtension()); }

CRtfAnalyser::CRtfAnalyser() : CSignatureAnalyser(36), m_depth(0), m_escape(false) {}
int CRtfAnalyser::CheckHeader(const ClusterBuf& cb) {
  if (!kRtf.Test(Data(cb), cb.cluster_size)) return AS_NONE;
  m_depth = 0;
  m_escape = false;
  return Begin(cb, AS_HEADER, 0);
}
int CRtfAnalyser::Continue(const ClusterBuf& cb) {
  if (CountLimit(cb)) return AS_COMPLETE;
  const uint8_t* d = Data(cb);
  // A backslash escapes the one byte after it, also across a unit boundary; "\\}" is a
  // literal backslash and then a group end (common in file paths of fields).
  for (int i = 0; i < cb.cluster_size; ++i) {
    uint8_t c = d[i];
    if (m_escape) {
      m_escape = false;
      continue;
    }
    if (c == '\\') {
      m_escape = true;
      continue;
    }
    if (c != '{' && c != '}') continue;
    m_depth += c == '{' ? 1 : -1;
    if (m_depth == 0) return Proven(EndAt(ClusterByteOffset(cb) + i + 1));
  }
  return AS_NONE;
}

// ---------------------------------------------------------------------------------------
// Camera raws and markers across the joint

CCrwAnalyser::CCrwAnalyser() : CSignatureAnalyser(14), m_pending(0) {}
int CCrwAnalyser::CheckHeader(const ClusterBuf& cb) {
  const uint8_t* d = Data(cb);
  if (cb.cluster_size < 14) return AS_NONE;
  bool order = (d[0] == 'I' && d[1] == 'I') || (d[0] == 'M' && d[1] == 'M');
  if (!order || !kCrwHeap.Test(d, cb.cluster_size)) return AS_NONE;
  m_pending = 0;
  return Begin(cb, AS_HEADER, 0);
}
int CCrwAnalyser::Continue(const ClusterBuf& cb) {
  if (CountLimit(cb)) return AS_COMPLETE;
  const uint8_t* d = Data(cb);
  const int cs = cb.cluster_size;
  const int64_t off = ClusterByteOffset(cb);
  if (m_pending > 0) {
    int p = m_pending;
    if (p < cs && IsSectorTailZero(d + p, size_t(cs - p), p)) return EndAt(off + p);
    m_pending = 0;
  }
  int from = 0, remaining = cs;
  while (remaining > 8) {
    const uint8_t* hit = kCrwEnd.Match(d + from, remaining);
    if (!hit) return AS_NONE;
    int k = int(hit - d) + 14;
    if (k > cs) m_pending = k - cs;
    if ((cs - k) % 512 < 16) return AS_NONE;
    if (IsSectorTailZero(d + k, size_t(cs - k), k)) return EndAt(off + k);
    from = k;
    remaining = cs - k;
  }
  return AS_NONE;
}

CAiAnalyser::CAiAnalyser() : CSignatureAnalyser(48), m_js() { SetAbsorbs({16}); }
int CAiAnalyser::CheckHeader(const ClusterBuf& cb) {
  if (!kAiHead.Test(Data(cb), cb.cluster_size) || cb.cluster_size < 512) return AS_NONE;
  m_js.reset(new JointSearch(cb.cluster_size));
  return Begin(cb, AS_HEADER, 0);
}
int CAiAnalyser::Continue(const ClusterBuf& cb) {
  if (CountLimit(cb)) return AS_COMPLETE;
  if (!m_js) return AS_NONE;
  m_js->Feed(cb);
  uint8_t* p = m_js->Search(kAiEnd, 4);
  if (!p) {
    // Keep only the bytes that could start a marker split by the next joint, so that each
    // byte is searched once.
    m_js->Skip(std::max(0, m_js->Size() - 3));
    return AS_NONE;
  }
  m_js->MoveTo(p);
  return Proven(EndAt(TakeLineEnd(cb, ClusterByteOffset(cb) + m_js->OffsetOf(p) + 4)));
}

CX3fAnalyser::CX3fAnalyser() : CSignatureAnalyser(41), m_js() {}
int CX3fAnalyser::CheckHeader(const ClusterBuf& cb) {
  if (!kX3f.Test(Data(cb), cb.cluster_size) || cb.cluster_size < 512) return AS_NONE;
  m_js.reset(new JointSearch(cb.cluster_size));
  return Begin(cb, AS_HEADER, 0);
}
int CX3fAnalyser::Continue(const ClusterBuf& cb) {
  if (CountLimit(cb)) return AS_COMPLETE;
  if (!m_js) return AS_NONE;
  m_js->Feed(cb);
  uint8_t* p = m_js->Search(kX3fEnd, 4);
  if (!p) {
    m_js->Skip(std::max(0, m_js->Size() - 3));
    return AS_NONE;
  }
  m_js->MoveTo(p);
  uint32_t count = 0;  // the directory's entry count; with the next cluster when not held yet
  if (m_js->Size() <= 12 || !ReadLe32(p, size_t(m_js->Size()), 8, &count)) return AS_NONE;
  int64_t marker = ClusterByteOffset(cb) + m_js->OffsetOf(p);
  return Proven(EndAt(marker + 16 + 12 * int64_t(count)));
}
