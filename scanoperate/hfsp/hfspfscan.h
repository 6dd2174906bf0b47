// The deleted-file scanner of HFS+ and HFSX volumes: the catalog and extents trees are
// opened, the journal is mined for catalog records the live catalog no longer has, and
// every such file goes to the results tree with the runs its extents describe.
#pragma once
#include <cstdint>
#include <vector>

#include "scanoperate/hfsp/btree.h"
#include "scanoperate/scanoperator.h"

class INotifySink;
class IFileInfo;
struct _RecordNode;

class CHfspFScan : public CScanOperator {
 public:
  explicit CHfspFScan(IStorageDevice* device);
  ~CHfspFScan() override;

  // No parameter object of its own: the base's answer.
  int GetScanParam(IScanParam** out) override { return CScanOperator::GetScanParam(out); }
  int Scan(INotifySink* sink) override;
  void Release() override { delete this; }
  int GetScanType() override { return Scan_DeletedHfsp; }
  IDeviceBitmap* CreateDeviceBitmap() override;
  // The allocation bitmap with bit 0 of byte 0 for block 0. A null buffer asks for its
  // length only.
  virtual int ReadVolumeBitmap(uint8_t* buffer, uint32_t size, uint32_t* outLength);

  int ScanVolume();
  IStorageDevice* GetDevice() { return m_device; }

 private:
  INotifySink* m_sink;
  IStorageDevice* m_device;
};

// One run of a fork, in volume blocks.
struct HfspRun {
  uint64_t startBlock;
  uint64_t blockCount;
};

// The runs of a file's data fork (as decoded from the catalog record): its eight extents
// and, when they hold fewer blocks than the fork, the records of the extents-overflow tree.
// Extents outside the volume end the list. *coveredBytes is what the runs hold.
std::vector<HfspRun> hfsplus_fork_runs(_hfsplus_tree* extents, const HfspVolume* volume,
                                       uint32_t fileID, const layout::HFSPlusForkData& fork,
                                       uint64_t* coveredBytes);

// The results-tree record of a journal-found file: the size its record gives (up to what
// its blocks hold; reads fail past the runs that could be placed), creation and
// attribute-change dates, the run list in sectors of `sectorSize`. Null when no record can
// be made.
IFileInfo* hfsplus_make_file_info(_hfsplus_tree* extents, const HfspVolume* volume,
                                  const _RecordNode* record, const char16_t* name,
                                  uint32_t sectorSize);
