// GIF pictures: the block chain is followed to the trailer.
#pragma once
#include "rawrecovery/fileanalyser/signatureanalysers.h"

class CGifAnalyser : public CSignatureAnalyser {
 public:
  CGifAnalyser();
  int CheckHeader(const ClusterBuf& cb) override;
  int Continue(const ClusterBuf& cb) override;

 private:
  // Where the block walk stands; kept across clusters so that a block cut by a joint (or a
  // colour table longer than a cluster) is resumed byte for byte.
  enum Phase { kBlock, kSkip, kLabel, kDescriptor, kCodeSize, kSubLength };
  Phase m_phase;
  Phase m_afterSkip;
  int64_t m_skip;
  int m_descLeft;
  uint8_t m_packed;
};
