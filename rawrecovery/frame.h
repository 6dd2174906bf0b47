// The value types the carving analysers work on: one unit of device data, byte patterns,
// the held clusters of a candidate file and a two-cluster window for markers that straddle
// a cluster joint.
#pragma once
#include <boost/shared_array.hpp>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

// One unit of device data with its number. Copies share the bytes; Clone makes its own.
struct ClusterBuf {
  int64_t lcn;
  boost::shared_array<uint8_t> data;
  int cluster_size;

  explicit ClusterBuf(int len);
  ClusterBuf Clone() const;
  uint8_t* GetData() const { return data.get(); }
};

// A byte pattern at a fixed position (pos >= 0) or anywhere (pos == -1).
class MatchFrame {
 public:
  MatchFrame(const void* bytes, int len, int pos);
  MatchFrame(const char* text, int pos);  // the pattern is the text without its terminator

  // The address of the match inside buf, or null. A pattern that would reach past buflen
  // never matches, so a partial match at the end of buf does not count.
  const uint8_t* Match(const uint8_t* buf, int buflen) const;
  // True when the frame matches at its fixed position (anywhere frames: anywhere).
  bool Test(const uint8_t* buf, int buflen) const { return Match(buf, buflen) != nullptr; }

  const uint8_t* bytes() const { return m_data.data(); }
  int len() const { return m_len; }
  int pos() const { return m_pos; }

 private:
  std::vector<uint8_t> m_data;
  int m_len;
  int m_pos;
};

// First occurrence of needle in [hay, hay + haylen), or null.
const uint8_t* FindBytes(const uint8_t* hay, size_t haylen, const void* needle, size_t len);
// The first place p >= 1 in [hay, hay + haylen) where hay[p] is byte and hay[p - 1] one of
// the (one to four) characters of before; null when there is none.
const uint8_t* FindByteAfter(const uint8_t* hay, size_t haylen, uint8_t byte, const char* before);

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

// A window over the last two blocks fed, so that a marker split by a cluster joint is found.
class JointSearch {
 public:
  explicit JointSearch(int clusterSize);
  ~JointSearch();
  JointSearch(const JointSearch&) = delete;
  JointSearch& operator=(const JointSearch&) = delete;

  void Feed(const ClusterBuf& cb);
  void Feed(const uint8_t* bytes, int len);
  void Reset();
  uint8_t* GetStart() const { return m_buffer_start; }
  int Read(void* dst, int len);
  uint8_t* Search(const void* pattern, int len) const;
  int MoveTo(uint8_t* p);
  int Skip(int n);
  int OffsetOf(const uint8_t* p) const;
  int Size() const { return int(m_buffer_end - m_buffer_start); }

 private:
  int m_capacity;
  int m_lastLen;
  uint8_t* m_twice_buffer;
  uint8_t* m_buffer_start;
  uint8_t* m_buffer_end;
};
