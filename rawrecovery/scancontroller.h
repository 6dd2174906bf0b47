// The unit reader of the raw scan: unit size, unit count, data start, the allocation bitmap
// that lets used clusters be skipped, and a read-ahead window whose units are handed out in
// place.
#pragma once
#include <cstdint>
#include <vector>

#include "rawrecovery/frame.h"

class IStorageDevice;
class IDeviceBitmap;

enum RawScanMode : int {
  SECTOR_SCAN = 1,
  CLUSTER_SCAN = 2,
  CLUSTER_BITMAP_SCAN = 3,
};

class ScanController {
 public:
  // Small enough that a window read from the page cache is still in the processor's cache
  // when the analysers look at it; an 8 MiB window made the kernel's copy the slowest part
  // of a scan.
  static const int kWindowBytes = 0x100000;

  ScanController();
  ~ScanController();
  ScanController(const ScanController&) = delete;
  ScanController& operator=(const ScanController&) = delete;

  int Init(IStorageDevice* device, int mode);
  // Test seam: a bitmap (owned from then on) used in cluster modes in place of the one the
  // file system's deleted-file scanner would give, with the byte offset of its cluster 0.
  void PresetBitmap(IDeviceBitmap* bitmap, int64_t dataStart);
  int64_t SetupClusters();
  // 0: cb holds the unit cb.lcn (moved past used units in bitmap mode, never to limit or
  // beyond); 5: nothing left before limit. cb's bytes are the window's own, valid until the
  // next read: whoever keeps a unit longer clones it. A window that fails to read is read again unit
  // by unit; units that still fail read as zeros and are counted.
  int ReadCluster(ClusterBuf& cb, int64_t limit);
  int ReadCluster(ClusterBuf& cb) { return ReadCluster(cb, m_clusterCount); }

  int64_t ClusterToOffset(int64_t lcn) const { return lcn * m_clusterSize + m_dataStart; }
  int64_t OffsetToCluster(int64_t offset) const { return (offset - m_dataStart) / m_clusterSize; }

  int64_t GetClusterCount() const { return m_clusterCount; }
  int GetClusterSize() const { return m_clusterSize; }
  IDeviceBitmap* GetBitmap() const { return m_bitmap; }
  int64_t GetDataStart() const { return m_dataStart; }
  int GetMode() const { return m_st; }
  int GetSectorSize() const { return m_sectorSize; }
  // Units that could not be read and were handed out as zeros.
  int64_t GetUnreadableUnits() const { return m_unreadable; }
  // Device reads issued (window and unit reads).
  int64_t GetReadCount() const { return m_reads; }

 private:
  bool UnitIsUsed(int64_t lcn);
  bool ReadAt(int64_t offset, uint8_t* dst, int64_t len);
  void FillWindow(int64_t lcn, int64_t units);

  IStorageDevice* m_device;
  int64_t m_clusterCount;
  int m_clusterSize;
  int64_t m_dataStart;
  int m_sectorSize;
  IDeviceBitmap* m_bitmap;
  int m_st;
  boost::shared_array<uint8_t> m_buffer;
  int64_t m_bufferBytes;
  int64_t m_bytesInBuffer;
  int64_t m_firstInBuffer;
  int64_t m_unreadable;
  int64_t m_reads;
  IDeviceBitmap* m_preset;
  int64_t m_presetStart;
};
