// MPEG program and video streams: packs and packets are walked to the end code.
#pragma once
#include "rawrecovery/fileanalyser/framewalkanalyser.h"

class CMpgAnalyser : public CFrameWalkAnalyser {
 public:
  CMpgAnalyser();
  int CheckHeader(const ClusterBuf& cb) override;
  int Continue(const ClusterBuf& cb) override;
  int OnNewHeader(const FileHint& other, const ClusterBuf& cb) override;

 protected:
  uint8_t* FindUnit() override;
  int UnitLength(uint8_t* p, int64_t* len) override;
  int OnFed(const uint8_t* bytes, int len, int64_t base) override;
  int UnitAtExpected(uint8_t* p, int avail, int64_t* len) override;

 private:
  uint8_t m_system[16];
  int64_t m_endAt;
  bool m_packs;  // a program stream: walked pack by pack and packet by packet
};
