#pragma once
#include "rawrecovery/fileanalyser/signatureanalysers.h"

// MXF: KLV packets; the footer partition and what follows it (index tables, the random
// index pack) are walked to their end.
class CMxfAnalyser : public CSignatureAnalyser {
 public:
  CMxfAnalyser();
  int CheckHeader(const ClusterBuf& cb) override;
  int Continue(const ClusterBuf& cb) override;
  int OnNewHeader(const FileHint& other, const ClusterBuf& cb) override;

 protected:
  int UnitHead(const uint8_t* h, int avail, int64_t at, int64_t* len) override;
};
