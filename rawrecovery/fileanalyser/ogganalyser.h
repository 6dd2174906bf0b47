#pragma once
#include <vector>

#include "rawrecovery/fileanalyser/signatureanalysers.h"

// Ogg: pages from the first stream's first page until every stream begun has ended.
class COggAnalyser : public CSignatureAnalyser {
 public:
  COggAnalyser();
  int CheckHeader(const ClusterBuf& cb) override;
  int Continue(const ClusterBuf& cb) override;
  int OnNewHeader(const FileHint& other, const ClusterBuf& cb) override;
  // The length of the page whose header begins at h: 0 no page, -1 more bytes needed.
  static int64_t PageLength(const uint8_t* h, int avail);

 protected:
  int UnitHead(const uint8_t* h, int avail, int64_t at, int64_t* len) override;

 private:
  std::vector<uint32_t> m_open;  // serial numbers of the streams begun and not yet ended
  bool m_closed;
  bool m_dataSeen;  // a page other than a stream's first has been walked
};
