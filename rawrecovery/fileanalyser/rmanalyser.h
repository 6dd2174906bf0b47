// RealMedia: the chunks and data packets are walked; index chunks end the file otherwise.
#pragma once
#include <memory>

#include "rawrecovery/fileanalyser/signatureanalysers.h"

class CRmAnalyser : public CSignatureAnalyser {
 public:
  CRmAnalyser();
  int CheckHeader(const ClusterBuf& cb) override;
  int Continue(const ClusterBuf& cb) override;
  int64_t GetSizeForExtension(const char* ext) override { return SizeFor(ext, "rm"); }
  int OnNewHeader(const FileHint& other, const ClusterBuf& cb) override;

 protected:
  int UnitHead(const uint8_t* h, int avail, int64_t at, int64_t* len) override;

 private:
  int IndexSearch(const ClusterBuf& cb);
  std::unique_ptr<JointSearch> m_js;
  bool m_index;
  int64_t m_packets;  // data packets still to walk; -1 outside a data chunk, -2 just after one
  bool m_data;        // a data chunk was walked to its last packet
  int64_t m_dataEnd;  // where the data chunk's size says it ends
};
