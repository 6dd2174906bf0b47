// A volume that begins past the start of the scanned device, for a reader that reads its
// volume from device byte 0 (the formatted FAT reader): the view shows the volume from its
// first sector on, and the file records the reader hands out are moved back to the device's
// sectors on their way to the results tree. Reads only.
#pragma once
#include <cstdint>

#include "common/inc/ifilemanager.h"
#include "common/inc/istoragedevice.h"

class CVolumeView final : public IStorageDevice {
 public:
  // firstSector: where the volume begins, in the device's sectors.
  CVolumeView(IStorageDevice* device, uint64_t firstSector, uint32_t sectorBytes);

  void Release() override { delete this; }
  int Attach(IDevice*) override { return 0; }
  int GetFileSystem() override { return m_device->GetFileSystem(); }
  IDevice* GetDevice() override { return m_device->GetDevice(); }
  int GetType() override { return m_device->GetType(); }
  int GetSize(uint64_t* size) override;
  int GetClusterInfo(int* clusterBytes, int* sectorSize) override {
    return m_device->GetClusterInfo(clusterBytes, sectorSize);
  }
  int Read(void* buf, uint32_t count) override { return m_device->Read(buf, count); }
  int Write(const void*, uint32_t) override { return -1; }
  int64_t Seek(int64_t offset, int origin) override;
  int ReadSectors(int64_t first, void* buf, uint32_t count) override;
  int WriteSectors(int64_t, const void*, uint32_t) override { return -1; }
  int CloneRead(void* buf, uint32_t count) override { return m_device->CloneRead(buf, count); }
  int CloneWrite(const void*, uint32_t) override { return -1; }
  int64_t CloneSeek(int64_t offset, int origin) override;
  int CloneReadSectors(int64_t first, void* buf, uint32_t count) override;
  int CloneWriteSectors(int64_t, const void*, uint32_t) override { return -1; }
  bool IsReadOnly() override { return true; }
  int Close(int closeDevice) override { return m_device->Close(closeDevice); }

 private:
  ~CVolumeView() = default;
  // A seek of the device moved into the view: what the device answers, less the volume's start.
  int64_t Moved(int64_t devicePos) const;

  IStorageDevice* m_device;
  uint64_t m_firstSector;
  int64_t m_base;  // bytes
};

// Hands the files on to the results tree with their runs moved by the volume's start.
class CMovedFiles final : public IFileManager {
 public:
  CMovedFiles(IFileManager* files, uint64_t firstSector) : m_files(files), m_firstSector(firstSector) {}

  IFileManager* SetStorageDevice(IStorageDevice* device) override { return m_files->SetStorageDevice(device); }
  IStorageDevice* GetStorageDevice() override { return m_files->GetStorageDevice(); }
  int SetNotifySink(INotifySink* sink) override { return m_files->SetNotifySink(sink); }
  int AddFile(const char16_t* folderPath, IFileInfo* file) override;
  int GetFileOp(IFileInfo* file, IFileOP** out) override { return m_files->GetFileOp(file, out); }
  int ListFiles(IFilter* filter, INotifySink* sink) override { return m_files->ListFiles(filter, sink); }
  int CreateFilter(IFilter** out) override { return m_files->CreateFilter(out); }
  void Release() override { delete this; }
  IDeviceBitmap* GetDeviceBitmap() override { return m_files->GetDeviceBitmap(); }

 private:
  ~CMovedFiles() = default;
  IFileManager* m_files;
  uint64_t m_firstSector;
};
