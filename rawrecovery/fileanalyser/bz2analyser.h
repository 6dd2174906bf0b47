#pragma once
#include "rawrecovery/fileanalyser/signatureanalysers.h"

// Ends a bzip2 file after the end-of-stream mark (bit-aligned, with its CRC and the padding
// to a byte), unless another stream follows at once; zero clusters end it otherwise.
class CBz2Analyser : public CSignatureAnalyser {
 public:
  CBz2Analyser();
  int CheckHeader(const ClusterBuf& cb) override;
  int Continue(const ClusterBuf& cb) override;

 private:
  uint64_t m_bits;
  int64_t m_fed;
  int64_t m_streamEnd;
  uint8_t m_after[4];
  int m_afterLen;
  int64_t m_lastEnd;
};
