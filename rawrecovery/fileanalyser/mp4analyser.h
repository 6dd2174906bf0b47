// Analysers of streaming audio and video files: they follow frames, atoms, packets or
// index chunks to the end of the stream.
#pragma once
#include <memory>
#include <vector>

#include "rawrecovery/fileanalyser/signatureanalysers.h"

// The walk the frame-structured types share: the next unit's position is kept across
// clusters and each unit found is skipped by its length.
class CFrameWalkAnalyser : public CSignatureAnalyser {
 public:
  explicit CFrameWalkAnalyser(int typeId);

 protected:
  // The next unit in the window from its read position, or null (the walk stops).
  virtual uint8_t* FindUnit() = 0;
  // 1 and the unit's length in *len when the unit at p is valid; 0 invalid; -1 when the
  // bytes it needs are not all held yet (the walk stops and resumes with the next cluster).
  virtual int UnitLength(uint8_t* p, int64_t* len) = 0;
  // A chance to end the file from the bytes fed (MPEG end code); AS_NONE otherwise.
  virtual int OnFed(const uint8_t*, int, int64_t) { return AS_NONE; }
  // Asked when the read position is exactly where the previous unit said the next one
  // begins: 1 and *len for a unit there, 0 when none is there (the file ends at p), -1 when
  // more bytes are needed, -2 to fall back to the search.
  virtual int UnitAtExpected(uint8_t*, int, int64_t*) { return -2; }
  int Walk(const ClusterBuf& cb);
  void StartWalk(const ClusterBuf& cb);
  // The absolute offset of a byte in the window.
  int64_t OffsetAt(const uint8_t* p) const { return m_fedBase + m_js->OffsetOf(p); }

  std::unique_ptr<JointSearch> m_js;
  int64_t m_next;
  int m_bad;
  int64_t m_fedBase;  // device offset of the first byte fed by this cluster
  bool m_fromStart;   // the first unit begins where the walk was started
};

// The tag an audio file may end with, at h: 2 and *len for an ID3v1 block (the file ends with
// it); 1 and *len for an APE tag with its header (an ID3v1 block may follow); 0 none; -1 when
// more bytes are needed to tell.
int AudioTagAt(const uint8_t* h, int avail, int64_t* len);

class CMp3Analyser : public CFrameWalkAnalyser {
 public:
  CMp3Analyser();
  int CheckHeader(const ClusterBuf& cb) override;
  int Continue(const ClusterBuf& cb) override;
  int OnNewHeader(const FileHint& other, const ClusterBuf& cb) override;
  // The length of the Layer III frame whose header begins at h (0 when it has none).
  static int FrameLength(const uint8_t* h);

 protected:
  uint8_t* FindUnit() override;
  int UnitLength(uint8_t* p, int64_t* len) override;
  int UnitAtExpected(uint8_t* p, int avail, int64_t* len) override;

 private:
  int64_t m_frames;  // whole frames walked in step
  uint8_t m_kind[2];  // version, layer and sample rate of the first frame
};

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

class CMpgAnalyser : public CFrameWalkAnalyser {
 public:
  CMpgAnalyser();
  int CheckHeader(const ClusterBuf& cb) override;
  int Continue(const ClusterBuf& cb) override;
  int OnNewHeader(const FileHint& other, const ClusterBuf& cb) override;

 protected:
  uint8_t* FindUnit() override;
  int UnitLength(uint8_t* p, int64_t* len) override;
  int OnFed(const uint8_t* bytes, int len, int64_t base) override;
  int UnitAtExpected(uint8_t* p, int avail, int64_t* len) override;

 private:
  uint8_t m_system[16];
  int64_t m_endAt;
  bool m_packs;  // a program stream: walked pack by pack and packet by packet
};

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

class CAacAnalyser : public CSignatureAnalyser {
 public:
  CAacAnalyser();
  int CheckHeader(const ClusterBuf& cb) override;
  int Continue(const ClusterBuf& cb) override;
  int OnNewHeader(const FileHint& other, const ClusterBuf& cb) override;

 protected:
  int UnitHead(const uint8_t* h, int avail, int64_t at, int64_t* len) override;

 private:
  uint8_t m_head[4];
  bool m_tagged;  // an APE tag was walked: only an ID3v1 block may follow
};
