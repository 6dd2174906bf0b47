// PDF: ends at the end-of-file mark that no incremental update follows; a linearized file is
// not ended before the length it gives.
#pragma once
#include <memory>

#include "rawrecovery/fileanalyser/signatureanalysers.h"

class CPdfAnalyser : public CSignatureAnalyser {
 public:
  CPdfAnalyser();
  int CheckHeader(const ClusterBuf& cb) override;
  int Continue(const ClusterBuf& cb) override;
  int OnNewHeader(const FileHint& other, const ClusterBuf& cb) override;

 private:
  std::unique_ptr<JointSearch> m_js;
  int64_t m_linearized;
};
