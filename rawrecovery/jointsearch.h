// A two-cluster window for markers that straddle the joint between two clusters.
#pragma once
#include <cstdint>

#include "rawrecovery/frame.h"

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
