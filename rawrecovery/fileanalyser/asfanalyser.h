// ASF (wma, wmv): the header object gives the file's length and the kinds of its streams.
#pragma once
#include <vector>

#include "rawrecovery/fileanalyser/signatureanalysers.h"

class CAsfAnalyser : public CSignatureAnalyser {
 public:
  CAsfAnalyser();
  int CheckHeader(const ClusterBuf& cb) override;
  int Continue(const ClusterBuf& cb) override;
  const char* GetExtension() override;
  int64_t GetSizeForExtension(const char* ext) override;

 private:
  int Examine();
  uint8_t m_headerObj[30];
  int64_t m_objSize;
  std::vector<uint8_t> m_header;
  bool m_examined;
  char m_extText[16];
};
