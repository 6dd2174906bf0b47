// Deleted-file scanners of FAT16, FAT32 and exFAT volumes. The walks themselves live in
// fatwalk.h; these classes hold the scanner contract and turn found files into records.
#pragma once
#include <cstdint>

#include "filesystems/fatwalk.h"
#include "scanoperate/scanoperator.h"

// The FAT16 and FAT32 scanners are scanners of their own over one shared walk: what
// differs between them (entry width, root, high words, run guess) is the walk's kind.
// What each keeps: the device, and the running scan's sink and progress high-water mark.
struct FatDelState {
  IStorageDevice* device;
  INotifySink* sink = nullptr;
  int percent = 0;
};

class cfat16del : public CScanOperator {
 public:
  explicit cfat16del(IStorageDevice* device);
  ~cfat16del() override;
  int Scan(INotifySink* sink) override;
  void Release() override { delete this; }
  int GetScanType() override { return Scan_DeletedFat16; }
  IDeviceBitmap* CreateDeviceBitmap() override;
  virtual int GetDataStartSector(uint64_t* out);

 private:
  FatDelState m_state;
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

class cfat32del : public CScanOperator {
 public:
  explicit cfat32del(IStorageDevice* device);
  ~cfat32del() override;
  int Scan(INotifySink* sink) override;
  void Release() override { delete this; }
  int GetScanType() override { return Scan_DeletedFat32; }
  // Bit c - 2 is set where cluster c's FAT entry, read without its four reserved top bits,
  // is not free.
  IDeviceBitmap* CreateDeviceBitmap() override;
  virtual int GetDataStartSector(uint64_t* out);

 private:
  FatDelState m_state;
};

class CExfatDel : public CScanOperator {
 public:
  explicit CExfatDel(IStorageDevice* device);
  ~CExfatDel() override {}
  int Scan(INotifySink* sink) override;
  void Release() override { delete this; }
  int GetScanType() override { return Scan_DeletedExfat; }
  IDeviceBitmap* CreateDeviceBitmap() override;
  // The volume's allocation bitmap, bit i for cluster i + 2. A null buffer or a length of 0
  // sets *needed to its bytes; otherwise up to length bytes of it are copied and the rest
  // of the buffer is left as it was. 0, the volume's opening answer (RC_WRONG_FS without a
  // bitmap entry, RC_READ_FAILED, RC_NO_MEMORY ...), RC_BAD_ARGUMENT for a null needed.
  virtual int ReadVolumeBitmap(uint8_t* buffer, uint32_t length, uint32_t* needed);
  virtual int GetDataStartSector(uint64_t* out);

 private:
  // Opens the volume through the walker: boot sector, geometry checked against the heap,
  // FAT and allocation bitmap. The walker's answer.
  int InitVolume(fat::ExfatDelWalker* walker);

  IStorageDevice* m_device;
  int m_percent = 0;
};
