// ADTS AAC: frames of the first frame's stream, then the tags an audio file may end with.
#pragma once
#include "rawrecovery/fileanalyser/signatureanalysers.h"

class CAacAnalyser : public CSignatureAnalyser {
 public:
  CAacAnalyser();
  int CheckHeader(const ClusterBuf& cb) override;
  int Continue(const ClusterBuf& cb) override;
  int OnNewHeader(const FileHint& other, const ClusterBuf& cb) override;

 protected:
  int UnitHead(const uint8_t* h, int avail, int64_t at, int64_t* len) override;

 private:
  uint8_t m_head[4];
  bool m_tagged;  // an APE tag was walked: only an ID3v1 block may follow
};
