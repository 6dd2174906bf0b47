// The readers of a found file's data: plain run lists, NTFS-compressed units, the raw
// stream of an EFS-encrypted file and resident bytes; their validity estimate and the
// secure erase of a file's clusters.
#pragma once
#include <cstdint>

#include "common/inc/ifileop.h"

class IDeviceBitmap;
class IRunList;
class RunList;

class CNormalFileOP : public IFileOP {
 public:
  CNormalFileOP();
  ~CNormalFileOP() override {}

  int Read(void* buf, uint32_t len, uint64_t offset, uint32_t* bytesRead) override;
  int Write(const void* buf, uint32_t len, uint64_t offset, uint32_t* written) override;
  int SetStorageDevice(IStorageDevice* device) override;
  IStorageDevice* GetStorageDevice() override;
  void SetFile(IFileInfo* file) override;
  IFileInfo* GetFile() override;
  int Wipe(IFileInfo* file, int mode, INotifySink* sink) override;
  int GetValidity(uint32_t* percent) override;
  int ExportEncrypted(const char16_t* target) override;
  int MapOffset(uint64_t byteOffset, uint64_t* sector) override;

  void SetBitmap(IDeviceBitmap* bitmap) { m_bitmap = bitmap; }
  // Clusters that the last Wipe left alone because the bitmap shows them in use again.
  uint64_t LastWipeSkippedClusters() const { return m_wipeSkipped; }

 protected:
  // The data runs this reader walks (null when the file holds none of the right class).
  virtual RunList* DataRuns(IFileInfo* file);
  // Reads through a run list, zero-filling holes; the result codes of Read.
  int ReadRuns(RunList* runs, uint64_t size, uint8_t* buf, uint32_t len, uint64_t offset,
               uint32_t* bytesRead);
  int CountValidity(RunList* runs, bool roundUp, uint32_t* percent, bool* any);
  bool ExistsAtFormerPlace(IFileInfo* file);
  int WipeRuns(RunList** lists, int n, INotifySink* sink);
  int FetchSectorSize();

  IFileInfo* m_file;
  IStorageDevice* m_device;
  IDeviceBitmap* m_bitmap;
  int m_sectorSize;
  uint64_t m_wipeSkipped;
};

class CCompressedFileOP : public CNormalFileOP {
 public:
  CCompressedFileOP();
  int Read(void* buf, uint32_t len, uint64_t offset, uint32_t* bytesRead) override;

  // Decodes compression unit `unit` of the bound file into out (one unit long): 0, 5 when
  // the device or the decoder fails, 43 when no run reaches the unit at all. unitsFit is
  // false when the file's holes show that its units are not of this size: then a unit that
  // would need the decoder, or whose sparse part ends inside it, gives 5.
  int ReadUnit(RunList* runs, uint64_t unit, uint8_t* out, uint8_t* work, uint32_t unitBytes, bool unitsFit);

 protected:
  int m_clusterSectors;
  int m_unitSectorSize;
};

class CEncFileOP : public CNormalFileOP {
 public:
  int Read(void* buf, uint32_t len, uint64_t offset, uint32_t* bytesRead) override;
  int Wipe(IFileInfo* file, int mode, INotifySink* sink) override;
  int GetValidity(uint32_t* percent) override;
  int MapOffset(uint64_t byteOffset, uint64_t* sector) override;
  int ExportEncrypted(const char16_t* target) override;

 protected:
  RunList* DataRuns(IFileInfo* file) override;
};

class CPermanentFileOP : public CNormalFileOP {
 public:
  int Read(void* buf, uint32_t len, uint64_t offset, uint32_t* bytesRead) override;
  int Write(const void* buf, uint32_t len, uint64_t offset, uint32_t* written) override;
  int Wipe(IFileInfo* file, int mode, INotifySink* sink) override;
  int GetValidity(uint32_t* percent) override;
};
