// MPEG-4 and QuickTime files: the top-level boxes are walked; the file-type brand names the
// extension.
#pragma once
#include "rawrecovery/fileanalyser/framewalkanalyser.h"

class CMp4Analyser : public CFrameWalkAnalyser {
 public:
  CMp4Analyser();
  int CheckHeader(const ClusterBuf& cb) override;
  int Continue(const ClusterBuf& cb) override;
  int OnNewHeader(const FileHint& other, const ClusterBuf& cb) override;
  const char* GetExtension() override;
  int64_t GetSizeForExtension(const char* ext) override;
  static unsigned BrandFlags(const uint8_t* brand);
  static const char* BrandExtension(const uint8_t* brand);

 protected:
  uint8_t* FindUnit() override;
  int UnitLength(uint8_t* p, int64_t* len) override;
  int UnitAtExpected(uint8_t* p, int avail, int64_t* len) override;

 private:
  void NoteBrand(const uint8_t* brand);
  unsigned m_brands;
  bool m_moov;  // the movie box was walked: the boxes make a whole file
  bool m_inStep;     // every box so far was met where the one before it ended
  bool m_inMdat;     // the last box walked is the media data
  bool m_afterMoov;  // the last box walked began after the movie box
  int64_t m_boxAt;   // where the last box walked begins
  const char* m_brandExt;  // the one extension the first major brand names; null before
  char m_ext[100];
};
