// ZIP and the packages built on it: the file ends with the end record of its central directory;
// member names tell the office packages apart.
#pragma once
#include <memory>

#include "rawrecovery/fileanalyser/signatureanalysers.h"

class CZipAnalyser : public CSignatureAnalyser {
 public:
  CZipAnalyser();
  int CheckHeader(const ClusterBuf& cb) override;
  int Continue(const ClusterBuf& cb) override;
  const char* GetExtension() override;
  int64_t GetSizeForExtension(const char* ext) override;

 private:
  void Names(const ClusterBuf& cb);
  std::unique_ptr<JointSearch> m_js;
  unsigned m_flags;
  char m_ext[100];
};
