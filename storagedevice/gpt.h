// The GPT reader.
#pragma once
#include <cstdint>
#include <vector>

#include "common/inc/idevice.h"

class CDisk;
class CVolume;

// The GUID partition table.
class CGpt {
 public:
  explicit CGpt(CDisk* disk);
  virtual ~CGpt();
  int Parse();
  std::vector<CVolume*>& Volumes() { return m_volumes; }
  // The entry array is read whole; more than this is taken as corrupt.
  static constexpr uint64_t kMaxEntryBytes = 4u << 20;

 private:
  int ReadTable(uint64_t headerSector);
  void Clear();

  CDisk* m_disk;
  DiskGeometry m_geometry;
  std::vector<CVolume*> m_volumes;
};
