#pragma once
#include "rawrecovery/fileanalyser/signatureanalysers.h"

// Sizes a Photoshop file from its sections (colour data, resources, layers) and its image
// data, raw or run-length coded; a file it cannot size so ends at a zero tail.
class CPsdAnalyser : public CSignatureAnalyser {
 public:
  CPsdAnalyser();
  int CheckHeader(const ClusterBuf& cb) override;
  int Continue(const ClusterBuf& cb) override;

 private:
  int Complete(int64_t size);
  int m_stage;
  bool m_psb;
  int64_t m_pos;
  uint64_t m_acc;
  int m_accLen;
  int64_t m_rows;
  int64_t m_rowBytes;
  int64_t m_entries;
  int64_t m_sum;
  int64_t m_lastEnd;
};
