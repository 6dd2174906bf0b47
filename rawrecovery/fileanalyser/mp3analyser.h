// MP3: Layer III frames after an ID3v2 tag, to the last whole frame or the tag the file ends with.
#pragma once
#include "rawrecovery/fileanalyser/framewalkanalyser.h"

class CMp3Analyser : public CFrameWalkAnalyser {
 public:
  CMp3Analyser();
  int CheckHeader(const ClusterBuf& cb) override;
  int Continue(const ClusterBuf& cb) override;
  int OnNewHeader(const FileHint& other, const ClusterBuf& cb) override;
  // The length of the Layer III frame whose header begins at h (0 when it has none).
  static int FrameLength(const uint8_t* h);

 protected:
  uint8_t* FindUnit() override;
  int UnitLength(uint8_t* p, int64_t* len) override;
  int UnitAtExpected(uint8_t* p, int avail, int64_t* len) override;

 private:
  int64_t m_frames;  // whole frames walked in step
  uint8_t m_kind[2];  // version, layer and sample rate of the first frame
};
