// Matroska: sized from the EBML header and the size of the segment that follows it.
#pragma once
#include "rawrecovery/fileanalyser/signatureanalysers.h"

class CMkvAnalyser : public CSignatureAnalyser {
 public:
  CMkvAnalyser();
  int CheckHeader(const ClusterBuf& cb) override;
  int Continue(const ClusterBuf& cb) override;
};
