// MATLAB level 5 files: the data elements are walked to the last one.
#pragma once
#include <memory>

#include "rawrecovery/fileanalyser/signatureanalysers.h"

class CMatAnalyser : public CSignatureAnalyser {
 public:
  CMatAnalyser();
  int CheckHeader(const ClusterBuf& cb) override;
  int Continue(const ClusterBuf& cb) override;

 private:
  int64_t m_next;
  std::unique_ptr<JointSearch> m_js;
  int m_clusterSize;
};
