// Finding the machine's disks and free drive letters, and naming the disks. The disk cache
// stands where a WMI query would: it is filled from the platform's sysfs identity.
#pragma once
#include <vector>

#include "common/inc/idevice.h"

struct Disk_Physical_Info {
  int Index;
  char16_t Model[264];
  char16_t MediaType[264];
};

// 0 success, 1 failure, 2 the call was rejected and may be tried again.
int QueryDiskDrives();
bool GetDiskPhysicalInfo(int index, Disk_Physical_Info* out);

// The machine's devices in the order they are offered: each disk followed by its partitions
// in the disk's own order, then the drive letters that no listed partition carries. The disk
// cache is filled first (a refused query is retried). At most capacity - 1 devices go to
// out, followed by a null; what does not fit is released. Disks and partitions are left
// closed (they reopen on use). The caller owns the disks and letters; partitions go with
// their disk. Always 0; *outCount (when given) is the number listed.
int ListDevices(IDevice** out, int* outCount, int capacity);

class IDeviceEnum {
 public:
  virtual int Enum(IDevice** out, int* count) = 0;
  virtual ~IDeviceEnum() = default;
};

class CDiskEnum : public IDeviceEnum {
 public:
  int Enum(IDevice** out, int* count) override;
};

class CDeviceEnum : public IDeviceEnum {
 public:
  CDeviceEnum();
  ~CDeviceEnum() override;
  int Enum(IDevice** out, int* count) override;
  void Init();

 private:
  std::vector<IDeviceEnum*> m_children;
};

class CVirtualVolumeenum : public IDeviceEnum {
 public:
  CVirtualVolumeenum();
  int MarkUsedLetters(IDevice** devices, int count);
  // Fills at most 26 entries.
  int Enum(IDevice** out, int* count) override;

 private:
  unsigned char m_used[26];
};

class CDeviceEnumFactory {
 public:
  virtual ~CDeviceEnumFactory() = default;
  static IDeviceEnum* Create(int kind);
};

// Reads the identity document of an Apple device through SCSI vital-product-data pages.
class CXmlAccess {
 public:
  virtual ~CXmlAccess() = default;
  // guid: zeroed caller buffer of at least guidSize bytes; serial: 264 bytes; build: buildSize.
  int ReadDeviceIdentity(char letter, char* guid, char* serial, char* build);
  // The parsing step alone, over an identity text (a property list).
  static int ParseIdentity(const char* xml, char* guid, size_t guidSize, char* serial, size_t serialSize,
                           char* build, size_t buildSize);
  static constexpr size_t kGuidBytes = 64;
  static constexpr size_t kBuildBytes = 264;

 private:
  int ReadVpdXml(const char* devicePath, std::vector<char>* text);
  int ReadVpdPage(const char* devicePath, uint8_t page, std::vector<char>* text);
  int ScsiInquiryVpd(const char* devicePath, uint8_t page, uint8_t* buf, int len, int* got);
};
