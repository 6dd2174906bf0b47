// The cluster allocation bitmap of one volume: bit i is cluster i, 1 = in use.
#pragma once
#include <cstdint>

#include "common/inc/idevicebitmap.h"

class DeviceBitmap : public IDeviceBitmap {
 public:
  DeviceBitmap();
  virtual ~DeviceBitmap();

  void Release() override;
  bool BitGet(int64_t cluster) override;
  bool BitSet(int64_t cluster, bool value) override;
  int64_t GetFirstClusterOffset() override;
  int GetClusterSize() override;
  uint32_t GetClusterCount() override;
  virtual bool SetBufferSize(uint32_t bytes);

  // -1 for a zero or negative cluster size, a cluster count that does not fit 32 bits,
  // or no memory.
  int Init(int64_t volumeBytes, int64_t firstClusterOffset, int clusterSize);
  uint8_t* GetBuffer(uint32_t* outBytes);

 protected:
  uint32_t m_count;
  int m_clusterSize;
  int64_t m_firstOffset;
  uint8_t* m_buffer;
  uint32_t m_bufferBytes;
};

// Stands in where a volume has no bitmap: every cluster is free.
class NullDeviceBitmap : public DeviceBitmap {
 public:
  NullDeviceBitmap() : m_nullCount(0), m_nullClusterSize(0) {}

  bool BitGet(int64_t) override { return false; }
  bool BitSet(int64_t, bool value) override { return value; }
  int64_t GetFirstClusterOffset() override { return 0; }
  int GetClusterSize() override { return m_nullClusterSize; }
  uint32_t GetClusterCount() override { return m_nullCount; }

  void SetClusterCount(uint32_t count) { m_nullCount = count; }
  void SetClusterSize(int size) { m_nullClusterSize = size; }

 private:
  uint32_t m_nullCount;
  int m_nullClusterSize;
};
