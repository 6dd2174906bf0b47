// The value types the carving analysers work on: one unit of device data and byte patterns.
// The held clusters of a candidate file are in clusterfile.h, the two-cluster window for
// markers that straddle a cluster joint in jointsearch.h.
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
