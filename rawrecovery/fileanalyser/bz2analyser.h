#pragma once
#include "rawrecovery/fileanalyser/signatureanalysers.h"

// Ends a bzip2 file after the end-of-stream mark (bit-aligned, with its CRC and the padding
// to a byte), unless another stream follows at once. A head counts only with its block-size
// digit and the first block's mark (or, for an empty stream, the end mark); a stream whose
// next mark does not come within what one block of its size can take is broken, and such a
// file is not handed out (a file of several streams ends after its last complete one).
// Zero clusters end it otherwise.
class CBz2Analyser : public CSignatureAnalyser {
 public:
  CBz2Analyser();
  int CheckHeader(const ClusterBuf& cb) override;
  int Continue(const ClusterBuf& cb) override;
  int OnNewHeader(const FileHint& other, const ClusterBuf& cb) override;

  // The block-size digit (1-9) of a stream head at p; 0 when no stream begins there; -1 when
  // the avail bytes do not tell yet.
  static int StreamHead(const uint8_t* p, int avail);
  // The most bytes a stream of that block-size digit can hold between two of its marks.
  static int64_t BlockBound(int level);

 private:
  int StreamEndsAt(int64_t end);
  int Broken();

  uint64_t m_bits;        // the last 8 bytes fed, for marks on any bit
  int64_t m_fed;          // bytes fed since the last unit that did not follow the one before
  int64_t m_total;        // bytes fed in all
  int64_t m_totalAtMark;  // m_total just after the last mark or stream head
  int m_level;            // the block-size digit of the stream being read
  int64_t m_streamEnd;    // a stream end waiting for the bytes after it; -1 none
  uint8_t m_after[14];
  int m_afterLen;
  int64_t m_lastEnd;
  int64_t m_lastStreamEnd;  // the end of the file's last complete stream; -1 none
};
