// The clusters of one carving candidate, held so that the analysers that walk a structure
// (compound documents, TIFF) can read it at random.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "rawrecovery/frame.h"

// A position in a ClusterFile: cluster number and offset inside it.
struct ClusterPos {
  int64_t cluster;
  int offset;
  int cluster_size;

  ClusterPos(int clusterSize, int64_t byteOffset);
  void Advance(int64_t n);
  int64_t ByteOffset() const { return cluster * cluster_size + offset; }
};

// The clusters of one candidate, held for random reads; gaps between them read as zeros.
class ClusterFile {
 public:
  explicit ClusterFile(int clusterSize);
  ~ClusterFile();
  ClusterFile(const ClusterFile&) = delete;
  ClusterFile& operator=(const ClusterFile&) = delete;

  // false (nothing stored) when cb does not follow the last held cluster or has another size.
  bool Append(const ClusterBuf& cb);
  // -1 outside the held clusters (position unchanged); 0 on a held cluster; 1 in a gap.
  int Seek(int64_t offset);
  // Copies len bytes from the position on; -1 when the position is outside the held range.
  int Read(void* dst, unsigned len);

  size_t Count() const { return m_lcns.size(); }
  const ClusterPos& Position() const { return m_pos; }

 private:
  // The bytes of held cluster lcn, or null.
  const uint8_t* Find(int64_t lcn) const;

  // The bytes are kept in blocks of several clusters: a candidate of a hundred megabytes is
  // tens of thousands of clusters, and one allocation each cost more than the scan. Blocks
  // of a finished candidate are kept (up to a bound) for the next one on the same thread,
  // so its memory is not given back to the system and faulted in again page by page.
  static const size_t kBlockBytes = 64 * 1024;
  size_t m_perBlock;
  std::vector<int64_t> m_lcns;  // strictly rising
  std::vector<std::unique_ptr<uint8_t[]>> m_blocks;
  ClusterPos m_pos;
  int m_clusterSize;
};
