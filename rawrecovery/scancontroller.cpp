#include "rawrecovery/scancontroller.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "common/inc/idevicebitmap.h"
#include "common/inc/iscanoperator.h"
#include "common/inc/istoragedevice.h"
#include "common/inc/kestrum_types.h"
#include "rawrecovery/devicebitmap.h"
#include "scanoperate/scanoperator.h"

ScanController::ScanController()
    : m_device(nullptr), m_clusterCount(0), m_clusterSize(0), m_dataStart(0), m_sectorSize(512),
      m_bitmap(nullptr), m_st(0), m_buffer(), m_bufferBytes(0), m_bytesInBuffer(0), m_firstInBuffer(0),
      m_unreadable(0), m_reads(0), m_preset(nullptr), m_presetStart(0) {}

ScanController::~ScanController() {
  if (m_bitmap) m_bitmap->Release();
  if (m_preset) m_preset->Release();
}

void ScanController::PresetBitmap(IDeviceBitmap* bitmap, int64_t dataStart) {
  if (m_preset) m_preset->Release();
  m_preset = bitmap;
  m_presetStart = dataStart;
}

int ScanController::Init(IStorageDevice* device, int mode) {
  ZQ_ASSERT(device);
  if (!device) return -1;
  m_device = device;
  m_st = mode;
  m_clusterSize = 0;
  m_clusterCount = 0;
  m_bytesInBuffer = 0;
  int clusterBytes = 0, sectorSize = 0;
  if (device->GetClusterInfo(&clusterBytes, &sectorSize) != 0) {
    m_st = SECTOR_SCAN;
    clusterBytes = 0;
  }
  m_sectorSize = sectorSize > 0 ? sectorSize : 512;
  m_clusterSize = clusterBytes;
  // A whole disk tells only its sector size; it is then read sector by sector.
  if (m_st != SECTOR_SCAN && m_clusterSize <= 0) m_st = SECTOR_SCAN;
  if (m_st == SECTOR_SCAN) {
    m_clusterSize = m_sectorSize;
    uint64_t bytes = 0;
    if (device->GetSize(&bytes) != 0) return -1;
    m_clusterCount = int64_t(bytes / uint64_t(m_clusterSize));
    m_dataStart = 0;
    if (m_bitmap) m_bitmap->Release();
    m_bitmap = new NullDeviceBitmap();
  } else {
    m_clusterCount = SetupClusters();
  }
  return m_clusterCount > 0 ? 0 : -1;
}

int64_t ScanController::SetupClusters() {
  if (m_clusterSize <= 0) {
    m_st = SECTOR_SCAN;
    m_clusterSize = m_sectorSize;
  }
  uint64_t bytes = 0;
  if (m_device->GetSize(&bytes) != 0) return 0;
  if (m_bitmap) m_bitmap->Release();
  m_bitmap = nullptr;
  m_dataStart = 0;
  int type = m_device->GetType();
  if (m_preset) {
    m_bitmap = m_preset;
    m_preset = nullptr;
    if (m_presetStart > 0 && uint64_t(m_presetStart) <= bytes) {
      m_dataStart = m_presetStart;
      bytes -= uint64_t(m_presetStart);
    }
  } else if (type == DT_PARTITION || type == DT_PARTITION_OTHER) {
    IScanOperator* scanner = CIScanDeviceFactory::CreateScanner(m_device, Scan_Deleted);
    if (scanner) {
      m_bitmap = scanner->CreateDeviceBitmap();
      if (m_bitmap) {
        int64_t first = m_bitmap->GetFirstClusterOffset();
        if (first > 0 && uint64_t(first) <= bytes) {
          m_dataStart = first;
          bytes -= uint64_t(first);
        }
      }
      scanner->Release();
    } else {
      m_clusterSize = m_sectorSize;
      m_st = SECTOR_SCAN;
    }
  }
  if (!m_bitmap) m_bitmap = new NullDeviceBitmap();
  return int64_t(bytes / uint64_t(m_clusterSize));
}

bool ScanController::UnitIsUsed(int64_t lcn) {
  if (lcn < 0 || uint64_t(lcn) >= uint64_t(m_bitmap->GetClusterCount())) return false;
  try {
    return m_bitmap->BitGet(lcn);
  } catch (const std::out_of_range&) {
    return false;
  }
}

bool ScanController::ReadAt(int64_t offset, uint8_t* dst, int64_t len) {
  ++m_reads;
  if (m_device->Seek(offset, 0) != offset) return false;
  int n = m_device->Read(dst, uint32_t(len));
  return n >= 0 && int64_t(n) >= len;
}

void ScanController::FillWindow(int64_t lcn, int64_t units) {
  const int64_t cs = m_clusterSize;
  int64_t bytes = units * cs;
  m_firstInBuffer = lcn;
  m_bytesInBuffer = bytes;
  if (ReadAt(ClusterToOffset(lcn), m_buffer.get(), bytes)) return;
  // A failing disk is the normal case here: read the window again unit by unit and give
  // zeros only for the units that still fail, so one bad sector costs one unit, not a whole window
  // and not the rest of the scan.
  for (int64_t i = 0; i < units; ++i) {
    uint8_t* dst = m_buffer.get() + i * cs;
    if (!ReadAt(ClusterToOffset(lcn + i), dst, cs)) {
      std::memset(dst, 0, size_t(cs));
      ++m_unreadable;
    }
  }
}

int ScanController::ReadCluster(ClusterBuf& cb, int64_t limit) {
  if (cb.cluster_size != m_clusterSize || m_clusterSize <= 0) return RC_READ_FAILED;
  if (limit > m_clusterCount) limit = m_clusterCount;
  int64_t lcn = cb.lcn;
  if (m_st == CLUSTER_BITMAP_SCAN) {
    // The skip stops at the range end, so no unit past it is read.
    while (lcn < limit && UnitIsUsed(lcn)) ++lcn;
  }
  if (lcn < 0 || lcn >= limit) {
    cb.lcn = lcn;
    return RC_READ_FAILED;
  }
  const int64_t cs = m_clusterSize;
  if (!(lcn >= m_firstInBuffer && lcn < m_firstInBuffer + m_bytesInBuffer / cs)) {
    ZQ_ASSERT(m_device);
    if (!m_device) return RC_READ_FAILED;
    // The window is cut at the device end, so a short read means a failure, not the end.
    // It holds at least one unit: exFAT allows clusters larger than the window.
    int64_t units = std::min<int64_t>(std::max<int64_t>(1, kWindowBytes / cs), m_clusterCount - lcn);
    if (m_bufferBytes < units * cs) {
      // Not zeroed: every byte handed out is read or filled first.
      m_buffer.reset(new uint8_t[size_t(units * cs)]);
      m_bufferBytes = units * cs;
    }
    FillWindow(lcn, units);
  }
  cb.data = boost::shared_array<uint8_t>(m_buffer, m_buffer.get() + (lcn - m_firstInBuffer) * cs);
  cb.lcn = lcn;
  return 0;
}
