#include "rawrecovery/fileanalyser/bz2analyser.h"

#include <algorithm>
#include <cstring>

namespace {

using sigfamily::Data;

// bzip2: a stream is "BZh", the block-size digit '1'-'9', then blocks of Huffman-coded bits,
// each led by the 48-bit mark 0x314159265359, and at last the 48-bit mark 0x177245385090, the
// 32-bit CRC of the stream and zero bits to the next byte. Only the stream head is
// byte-aligned: the marks may begin on any bit. Whatever bit the end mark ends on, the file
// ends 4 bytes after the mark's last byte.
const uint64_t kBlockMark = 0x314159265359ull;
const uint64_t kEndMark = 0x177245385090ull;
const uint64_t kMask48 = 0xffffffffffffull;
const uint8_t kBlockMarkBytes[6] = {0x31, 0x41, 0x59, 0x26, 0x53, 0x59};
const uint8_t kEndMarkBytes[6] = {0x17, 0x72, 0x45, 0x38, 0x50, 0x90};

// The bytes a stream head takes: "BZh", the digit, and the first block's mark, or, for a
// stream of no block, the end mark and its CRC, which is then 0.
const int kHeadBytes = 10;
const int kEmptyStreamBytes = 14;

// Whatever bit a mark begins on (0 to 7 bits into the last 8 bytes held), bits 16 to 23 of
// the bytes held lie inside it, so that byte can only be one of sixteen values: the others
// rule a place out with one look-up.
struct MarkBytes {
  bool can[256] = {};
  MarkBytes() {
    for (int shift = 0; shift < 8; ++shift) {
      can[(kEndMark >> (16 - shift)) & 0xff] = true;
      can[(kBlockMark >> (16 - shift)) & 0xff] = true;
    }
  }
};
const MarkBytes kMarkBytes;

}  // namespace

int CBz2Analyser::StreamHead(const uint8_t* p, int avail) {
  for (int i = 0; i < 3; ++i) {
    if (i >= avail) return -1;
    if (p[i] != "BZh"[i]) return 0;
  }
  if (avail < 4) return -1;
  if (p[3] < '1' || p[3] > '9') return 0;
  const int level = p[3] - '0';
  bool block = true, empty = true;
  for (int i = 4; i < kEmptyStreamBytes; ++i) {
    if (block && i == kHeadBytes) return level;
    if (!block && !empty) return 0;
    if (i >= avail) return -1;
    if (i < kHeadBytes) {
      block = block && p[i] == kBlockMarkBytes[i - 4];
      empty = empty && p[i] == kEndMarkBytes[i - 4];
    } else {
      empty = empty && p[i] == 0;  // the CRC of a stream of no block
    }
  }
  return empty ? level : 0;
}

int64_t CBz2Analyser::BlockBound(int level) {
  // A block holds at most level x 100000 bytes before coding, so at most that many symbols
  // plus its end symbol, each coded in at most 20 bits; its head, symbol map, selectors
  // (at most 32767 of at most 6 bits) and code tables take less than 64 KiB.
  return int64_t(level) * 250000 + 3 + 65536;
}

CBz2Analyser::CBz2Analyser()
    : CSignatureAnalyser(40), m_bits(0), m_fed(0), m_total(0), m_totalAtMark(0), m_level(0), m_streamEnd(-1),
      m_after(), m_afterLen(0), m_lastEnd(-1), m_lastStreamEnd(-1) {}

int CBz2Analyser::CheckHeader(const ClusterBuf& cb) {
  const int level = StreamHead(Data(cb), cb.cluster_size);
  if (level <= 0) return AS_NONE;
  m_bits = 0;
  m_fed = 0;
  m_total = 0;
  m_totalAtMark = 0;
  m_level = level;
  m_streamEnd = -1;
  m_afterLen = 0;
  m_lastEnd = -1;
  m_lastStreamEnd = -1;
  return Begin(cb, AS_HEADER, 0);
}

int CBz2Analyser::Broken() {
  // The file's last complete stream ends it, when it has one; a stream that was never
  // closed is no file (it would only run on into whatever follows it on the disk).
  if (m_lastStreamEnd >= 0) return Proven(EndAt(m_lastStreamEnd));
  m_endProven = false;
  m_state = AS_GIVEN_UP;
  return AS_GIVEN_UP;
}

int CBz2Analyser::StreamEndsAt(int64_t end) {
  m_lastStreamEnd = end;
  return Proven(EndAt(end));
}

int CBz2Analyser::Continue(const ClusterBuf& cb) {
  if (CountLimit(cb)) return AS_COMPLETE;
  const uint8_t* d = Data(cb);
  const int n = cb.cluster_size;
  const int64_t off = ClusterByteOffset(cb);
  const bool adjacent = m_lastEnd == off;
  m_lastEnd = off + n;
  if (m_streamEnd >= 0) {
    // A stream ended near the end of the unit before: the bytes after it tell whether a
    // further stream follows (concatenated and parallel-compressed files).
    if (!adjacent) return StreamEndsAt(m_streamEnd);
    int64_t from = std::max(m_streamEnd, off);
    for (int64_t p = from; p < off + n && m_afterLen < kEmptyStreamBytes; ++p) m_after[m_afterLen++] = d[p - off];
    const int level = StreamHead(m_after, m_afterLen);
    if (level < 0) return AS_NONE;
    if (level == 0) return StreamEndsAt(m_streamEnd);
    m_lastStreamEnd = m_streamEnd;
    m_level = level;
    m_totalAtMark = m_total + (m_streamEnd - off);
    m_streamEnd = -1;
    m_afterLen = 0;
  } else if (!adjacent && m_fed > 0) {
    m_fed = 0;  // units in between were skipped: a mark cannot run across them
  }
  for (int i = 0; i < n; ++i) {
    m_bits = (m_bits << 8) | d[i];
    if (++m_fed < 6 || !kMarkBytes.can[(m_bits >> 16) & 0xff]) continue;
    uint64_t mark = 0;
    for (int shift = 0; shift < 8 && !mark; ++shift) {
      const uint64_t v = (m_bits >> shift) & kMask48;
      if ((v == kEndMark || v == kBlockMark) && (shift == 0 || m_fed >= 7)) mark = v;
    }
    if (!mark) continue;
    // Each mark starts the count of bytes that the next one must come within.
    m_totalAtMark = m_total + i + 1;
    if (mark == kBlockMark) continue;
    const int64_t end = off + i + 1 + 4;
    const int level = end < off + n ? StreamHead(d + (end - off), int(off + n - end)) : -1;
    if (level == 0) return StreamEndsAt(end);
    if (level > 0) {
      m_lastStreamEnd = end;  // the next stream begins at once: the file goes on
      m_level = level;
      m_totalAtMark = m_total + (end - off);
      continue;
    }
    // The unit ends before it shows whether another stream follows.
    m_streamEnd = end;
    m_afterLen = 0;
    for (int64_t p = end; p < off + n; ++p) m_after[m_afterLen++] = d[p - off];
    m_total += n;
    return AS_NONE;
  }
  m_total += n;
  // No mark within what one block of the stream's size can take: the stream is broken here
  // (overwritten, or never a stream at all).
  if (m_total - m_totalAtMark > BlockBound(m_level)) return Broken();
  return ZeroRun(cb, 1024);
}

int CBz2Analyser::OnNewHeader(const FileHint& other, const ClusterBuf& cb) {
  if (m_streamEnd >= 0) {
    // A stream that begins just where the last one ended continues the file, as it does
    // inside a unit; any other head ends the file with the stream.
    if (other.TypeId == m_hint.TypeId && ClusterByteOffset(cb) == m_streamEnd) return AS_ABSORB;
    return StreamEndsAt(m_streamEnd);
  }
  // The end of the scan in the middle of a stream.
  if (other.TypeId == 0) return Broken();
  // Inside a stream, a unit that begins like another file is as likely coded data: the
  // marks decide where the stream ends, or that it is broken.
  return AS_NONE;
}
