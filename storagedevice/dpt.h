// The MBR reader.
#pragma once
#include <cstdint>
#include <vector>

#include "common/inc/idevice.h"
#include "common/layout/mbr.h"

class CDisk;
class CVolume;

// Cuts an entry that runs past the disk's end back to it (*clipped set); false when it
// starts past the end or is empty.
bool FitToDisk(uint64_t start, uint64_t* count, uint64_t total, bool* clipped);

// Adds a partition of a table read from the disk to a reader's list; an entry the volume
// refuses, or one there is no memory for, is left out and the table read goes on.
void AddTableVolume(CDisk* disk, const PartitionInfo& info, std::vector<CVolume*>* out);

// The MBR with its chain of extended boot records.
class CDpt {
 public:
  explicit CDpt(CDisk* disk);
  virtual ~CDpt();
  int Parse();
  std::vector<CVolume*>& Volumes() { return m_volumes; }
  // A chain longer than this is taken as corrupt.
  static constexpr int kMaxBootRecords = layout::kMaxEbrRecords;

 private:
  int ReadTable(uint64_t sector, bool isMbr);
  void Clear();

  CDisk* m_disk;
  DiskGeometry m_geometry;
  std::vector<CVolume*> m_volumes;
  uint64_t m_extBase;
  uint64_t m_nextLink;
};
