#include "rawrecovery/fileanalyser/framewalkanalyser.h"

CFrameWalkAnalyser::CFrameWalkAnalyser(int typeId)
    : CSignatureAnalyser(typeId), m_js(), m_next(0), m_bad(0), m_fedBase(0), m_fromStart(false) {}

void CFrameWalkAnalyser::StartWalk(const ClusterBuf& cb) {
  m_js.reset(new JointSearch(cb.cluster_size));
  m_bad = 0;
  m_zeroRun = 0;
  m_fromStart = true;
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
