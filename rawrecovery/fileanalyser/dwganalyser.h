// AutoCAD drawings: ended by the closing mark of their version.
#pragma once
#include <memory>

#include "rawrecovery/fileanalyser/signatureanalysers.h"

class CDwgAnalyser : public CSignatureAnalyser {
 public:
  CDwgAnalyser();
  int CheckHeader(const ClusterBuf& cb) override;
  int Continue(const ClusterBuf& cb) override;

 private:
  unsigned m_version;
  uint8_t m_tag[8];
  std::unique_ptr<MatchFrame> m_frame;
  bool m_skipNext;
  std::unique_ptr<JointSearch> m_js;
};
