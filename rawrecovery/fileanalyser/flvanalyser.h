#pragma once
#include "rawrecovery/fileanalyser/signatureanalysers.h"

// Flash video: a tag after the header, each followed by its back pointer.
class CFlvAnalyser : public CSignatureAnalyser {
 public:
  CFlvAnalyser();
  int CheckHeader(const ClusterBuf& cb) override;
  int Continue(const ClusterBuf& cb) override;
  int OnNewHeader(const FileHint& other, const ClusterBuf& cb) override;

 protected:
  int UnitHead(const uint8_t* h, int avail, int64_t at, int64_t* len) override;
};
