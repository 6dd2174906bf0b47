#pragma once
#include <cstdint>

// One bit per cluster of a volume, 1 = in use.
class IDeviceBitmap {
 public:
  virtual void Release() = 0;
  virtual bool BitGet(int64_t cluster) = 0;
  virtual bool BitSet(int64_t cluster, bool value) = 0;
  virtual int64_t GetFirstClusterOffset() = 0;
  virtual int GetClusterSize() = 0;
  virtual uint32_t GetClusterCount() = 0;

 protected:
  ~IDeviceBitmap() = default;
};

// Stands in where a volume has no bitmap: every cluster is free. Lets the results model hand
// one out without depending on where bitmaps are built.
IDeviceBitmap* NewNullDeviceBitmap();
