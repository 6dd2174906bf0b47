#pragma once
#include <memory>

#include "rawrecovery/fileanalyser/signatureanalysers.h"

// The walk the frame-structured types share: the next unit's position is kept across
// clusters and each unit found is skipped by its length.
class CFrameWalkAnalyser : public CSignatureAnalyser {
 public:
  explicit CFrameWalkAnalyser(int typeId);

 protected:
  // The next unit in the window from its read position, or null (the walk stops).
  virtual uint8_t* FindUnit() = 0;
  // 1 and the unit's length in *len when the unit at p is valid; 0 invalid; -1 when the
  // bytes it needs are not all held yet (the walk stops and resumes with the next cluster).
  virtual int UnitLength(uint8_t* p, int64_t* len) = 0;
  // A chance to end the file from the bytes fed (MPEG end code); AS_NONE otherwise.
  virtual int OnFed(const uint8_t*, int, int64_t) { return AS_NONE; }
  // Asked when the read position is exactly where the previous unit said the next one
  // begins: 1 and *len for a unit there, 0 when none is there (the file ends at p), -1 when
  // more bytes are needed, -2 to fall back to the search.
  virtual int UnitAtExpected(uint8_t*, int, int64_t*) { return -2; }
  int Walk(const ClusterBuf& cb);
  void StartWalk(const ClusterBuf& cb);
  // The absolute offset of a byte in the window.
  int64_t OffsetAt(const uint8_t* p) const { return m_fedBase + m_js->OffsetOf(p); }

  std::unique_ptr<JointSearch> m_js;
  int64_t m_next;
  int m_bad;
  int64_t m_fedBase;  // device offset of the first byte fed by this cluster
  bool m_fromStart;   // the first unit begins where the walk was started
};
