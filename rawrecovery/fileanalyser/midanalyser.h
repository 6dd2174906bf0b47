#pragma once
#include "rawrecovery/fileanalyser/signatureanalysers.h"

// Standard MIDI file: the header chunk names the tracks that follow.
class CMidAnalyser : public CSignatureAnalyser {
 public:
  CMidAnalyser();
  int CheckHeader(const ClusterBuf& cb) override;
  int Continue(const ClusterBuf& cb) override;
  int OnNewHeader(const FileHint& other, const ClusterBuf& cb) override;

 protected:
  int UnitHead(const uint8_t* h, int avail, int64_t at, int64_t* len) override;

 private:
  int m_tracks;
  int m_seen;
};
