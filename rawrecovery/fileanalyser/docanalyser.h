// Compound documents: the allocation tables size the file and the directory tells Word, Excel,
// PowerPoint, Visio and Outlook files apart.
#pragma once
#include <memory>
#include <vector>

#include "rawrecovery/fileanalyser/signatureanalysers.h"

class CDocAnalyser : public CSignatureAnalyser {
 public:
  CDocAnalyser();
  int CheckHeader(const ClusterBuf& cb) override;
  int Continue(const ClusterBuf& cb) override;
  int OnNewHeader(const FileHint& other, const ClusterBuf& cb) override;
  const char* GetExtension() override;
  int64_t GetSizeForExtension(const char* ext) override;

  // Bytes of sector n copied to buf (at most one sector): -1 without a header or for a
  // negative sector, else the count held.
  int ReadSector(int64_t n, uint8_t* buf, int len);

 private:
  int BuildFat();
  int64_t HeaderBytes() const { return m_sectorSize > 512 ? m_sectorSize : 512; }

  std::unique_ptr<ClusterFile> m_cf;
  int m_clusterSize;
  std::vector<uint8_t> m_pOleHeader;
  int m_sectorSize;
  int64_t m_nextDifat;
  uint32_t m_difatLeft;
  std::vector<int64_t> m_difatSeen;
  std::vector<uint32_t> m_difat;
  std::vector<uint32_t> m_fat;
  bool m_fatComplete;
  int64_t m_held;
  const char* m_ext;
};
