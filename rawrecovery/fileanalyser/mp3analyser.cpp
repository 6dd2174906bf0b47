#include "rawrecovery/fileanalyser/mp3analyser.h"

#include <cstring>

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
