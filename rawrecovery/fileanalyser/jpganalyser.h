// JPEG pictures: the marker chain is followed to the end of the image.
#pragma once
#include "rawrecovery/fileanalyser/signatureanalysers.h"

class CJpgAnalyser : public CSignatureAnalyser {
 public:
  CJpgAnalyser();
  int CheckHeader(const ClusterBuf& cb) override;
  int Continue(const ClusterBuf& cb) override;

 private:
  int64_t m_count;
  int64_t m_next;
  // The start of a marker cut by the cluster joint (its FF and up to two more bytes), so
  // the walk never looks before the buffer it is given.
  uint8_t m_carry[4];
  int m_carryLen;
};
