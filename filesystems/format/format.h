// Recovery of a formatted volume: works out which file system the volume held and where
// it began, then runs the matching formatted-volume reader.
#pragma once
#include <cstdint>

#include "scanoperate/scanoperator.h"

class CNTFS;
class CFormat;
class INotifySink;

// The geometry that detection found and the readers refine; shared by the dispatcher and
// its reader, so that both write one progress line and one set of volume values.
class CFormatParam : public IScanParam {
 public:
  CFormatParam() : fileSystem(0), bytesPerSector(0), sectorsPerCluster(0), bootSector(0), scannedSectors(0) {}
  virtual ~CFormatParam() {}
  int SetValue(int value) override {
    fileSystem = value;
    return 0;
  }

  int fileSystem;         // FileSystem code; 0 = detect
  int bytesPerSector;
  int sectorsPerCluster;
  uint64_t bootSector;    // device sector of the old boot sector and cluster 0; 0 = unknown
  uint64_t scannedSectors;
};

// Implemented by the readers that read their geometry from the dispatcher. The dispatcher
// makes the readers of other file systems through their seams and links them here.
class IFormatReaderLink {
 public:
  virtual void SetFormatParent(CFormat* parent) = 0;

 protected:
  ~IFormatReaderLink() = default;
};

class CFormat : public CScanOperator {
 public:
  explicit CFormat(IStorageDevice* device);
  virtual ~CFormat();

  int Scan(INotifySink* sink) override;
  void Release() override;
  int GetScanType() override;
  IDeviceBitmap* CreateDeviceBitmap() override { return nullptr; }

  CFormatParam* FormatParam() { return m_param; }
  INotifySink* Sink() { return m_sink; }
  int& ProgressBase() { return m_progressBase; }
  // Reads of sectors on the device that failed during this scan's detection and searches.
  int64_t ReadFailures() const { return m_readFailures; }

  // Searches the first sectors of the device for a boot record that its volume's own
  // structures confirm; *sector is where the volume begins (for HFS+, two sectors of 512
  // bytes before its header).
  int SearchBootSector(uint64_t* sector, int* fileSystem, int reserved);
  int FsCodeFromPartitionType(uint64_t* bootSector, int* fileSystem, uint64_t* scanned);
  int DetectFsByContent(uint64_t* bootSector, int* fileSystem, uint64_t* scanned);
  int DetectWholeDisk(uint64_t* bootSector, int* fileSystem, uint64_t* scanned);

  // Sector tests: 0 when the test holds.
  static int IsFatDotEntries(const uint8_t* sector);
  static int IsExfatUpcase(const uint8_t* sector, int sectorSize);
  int FindMftRecord(const uint8_t* record);

 private:
  int DeviceSectorBytes(uint32_t* bytes);

  void ReleaseReader();

  IScanOperator* m_reader;
  IStorageDevice* m_device;
  // A FAT volume found past the device's start: what its reader reads and hands files to.
  IStorageDevice* m_view = nullptr;
  IFileManager* m_movedFiles = nullptr;
  INotifySink* m_sink;
  CFormatParam* m_param;
  CNTFS* m_ntfs;
  int m_typeUnmapped;  // 1 until the type byte was mapped
  int m_progressBase;
  int64_t m_readFailures;
};

// One record (ntfs.RecordBytes() into out) read at a device sector and fixed up; false when
// it cannot be read or is not a sound FILE record.
bool ReadFixedRecord(IStorageDevice* device, const CNTFS& ntfs, uint64_t sector, uint8_t* out);

// 0, the cluster size and the volume's start when the fixed-up "$MFT" record read at
// device sector s is the real record 0 and not its mirror copy: record 0 must also be
// found where the $MFTMirr record that follows it points, or a boot sector at the computed
// start must name the same $MFT cluster. 43 otherwise, and never a start below sector 0.
int ConfirmMftBase(IStorageDevice* device, const CNTFS& ntfs, const uint8_t* record, uint64_t s,
                   uint32_t* sectorsPerCluster, uint64_t* base);
