// The deleted-file scanner of an intact NTFS volume: reads the whole $MFT in batches, keeps
// the deleted and free FILE records together with every folder record, rebuilds their paths
// through a directory graph and hands the files to the results tree. It also serves the
// volume's $Bitmap as the cluster bitmap of the results tree and the raw scan.
#pragma once
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "filesystems/ntfs/ntfs.h"
#include "graphfs/graphfeeder.h"
#include "scanoperate/scanoperator.h"

class INotifySink;
class IDeviceBitmap;
class IFileInfo;
class RunList;

class CNtfsDel : public CScanOperator {
 public:
  explicit CNtfsDel(IStorageDevice* device);
  ~CNtfsDel() override;

  int Scan(INotifySink* sink) override;
  void Release() override;
  int GetScanType() override { return Scan_DeletedNtfs; }
  IDeviceBitmap* CreateDeviceBitmap() override;

  // The contents of $Bitmap (record 6): with a null buffer only *needed is set.
  virtual int ReadVolumeBitmap(uint8_t* buffer, uint32_t length, uint32_t* needed);
  virtual int GetDataStartSector(uint64_t* out);
  // One record, already fixed up, into the graph; answers the file record kept there.
  virtual IFileInfo* ProcessRecord(uint8_t* record, uint64_t recordNumber);

  // Inspection for tests.
  const MftRun* MftRuns() const { return m_mftRuns; }
  uint64_t HighestRecord() const { return m_highestRecord; }
  uint64_t ReadFaults() const { return m_readFaults; }

 private:
  int InitVolume();
  int LoadMftRunList();
  int LoadMftBitmap();
  bool IsRecordFree(uint64_t n) const;
  int RunScan(INotifySink* sink);
  int ScanRecords(uint64_t startSector, uint64_t firstRecord, uint64_t lastRecord);
  int HandleRecord(uint8_t* record, uint64_t recordNumber);
  // Reads one record into buf and fixes it up; RC_OK, RC_READ_FAILED unreadable,
  // RC_CORRUPT_RECORD broken.
  int ReadRecord(uint64_t n, uint8_t* buf);
  // Reads a run list's first `size` bytes into out (holes as zeros); 0 or 5.
  int ReadRunBytes(const RunList* runs, uint64_t size, uint8_t* out);
  // Files whose $DATA extents live in other records (an $ATTRIBUTE_LIST).
  bool HasAttributeList(const uint8_t* record) const;
  IFileInfo* BuildFromAttributeList(const uint8_t* record, uint64_t recordNumber,
                                    const std::u16string& name);
  // Whether record `parent` is still the folder a reference with that sequence number meant.
  bool ParentStillMatches(uint64_t parent, uint16_t sequence);

  static int AddNodeToManager(const char16_t* path, const char16_t* name, void* payload,
                              void* user, int percent);
  static void ReleasePayload(void* payload, void* user);
  static bool KeepFlag(void* existing, void* incoming, int exists);

  uint8_t m_boot[512];
  bool m_initialised;
  int m_initResult;
  INotifySink* m_sink;
  uint64_t m_highestRecord;
  int m_shownPercent;
  uint32_t m_bytesPerSector;
  uint32_t m_clusterBytes;
  uint32_t m_sectorsPerCluster;
  uint32_t m_recordBytes;
  MftRun* m_mftRuns;
  uint64_t m_totalSectors;
  IStorageDevice* m_device;
  CNTFS* m_ntfs;
  GFS::CGraphFeeder m_feeder;  // the graph, its pending count and the stop request
  std::vector<uint8_t> m_mftBitmap;
  uint64_t m_readFaults;
  // Sequence number and header flags of the parent records looked at, by record number.
  std::unordered_map<uint64_t, uint32_t> m_parentState;
};
