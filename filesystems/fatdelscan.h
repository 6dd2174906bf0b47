// Deleted-file scanners of FAT16, FAT32 and exFAT volumes. The walks themselves live in
// fatwalk.h; these classes hold the scanner contract and turn found files into records.
#pragma once
#include <cstdint>

#include "filesystems/fatwalk.h"
#include "scanoperate/scanoperator.h"

class cfat16del : public CScanOperator {
 public:
  explicit cfat16del(IStorageDevice* device);
  ~cfat16del() override;
  int Scan(INotifySink* sink) override;
  void Release() override { delete this; }
  int GetScanType() override { return Scan_DeletedFat16; }
  IDeviceBitmap* CreateDeviceBitmap() override;
  virtual int GetDataStartSector(uint64_t* out);

 protected:
  cfat16del(IStorageDevice* device, fat::FatKind kind);
  int RunScan(INotifySink* sink);

  IStorageDevice* m_device;
  fat::FatKind m_kind;
  INotifySink* m_sink = nullptr;
  int m_percent = 0;
};

// The FAT32 scanner's parameter object: Enable only raises a flag that nothing reads.
class CFat32ScanParam : public IScanParam {
 public:
  CFat32ScanParam() : m_enabled(0) {}
  virtual ~CFat32ScanParam() {}
  int Enable() override {
    m_enabled = 1;
    return 0;
  }
  int m_enabled;
};

class cfat32del : public cfat16del {
 public:
  explicit cfat32del(IStorageDevice* device);
  ~cfat32del() override;
  int Scan(INotifySink* sink) override;
  void Release() override { delete this; }
  int GetScanType() override { return Scan_DeletedFat32; }
};

class CExfatDel : public CScanOperator {
 public:
  explicit CExfatDel(IStorageDevice* device);
  ~CExfatDel() override {}
  int Scan(INotifySink* sink) override;
  void Release() override { delete this; }
  int GetScanType() override { return Scan_DeletedExfat; }
  IDeviceBitmap* CreateDeviceBitmap() override;
  virtual int GetDataStartSector(uint64_t* out);

 private:
  IStorageDevice* m_device;
  int m_percent = 0;
};
