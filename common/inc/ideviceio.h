// The lowest layer: byte and sector access to one device path.
#pragma once
#include <cstdint>

#include "idevice.h"

// Open flags keep the engine's values; the platform layer maps them.
const int KIO_RDWR = 0x8002;
const int KIO_RDONLY = 0x8000;

enum DeviceIoQuery : int {
  DIQ_GEOMETRY = 0,    // DiskGeometry*
  DIQ_FREE_BYTES = 1,  // uint64_t*
  DIQ_DRIVE_ROOT = 2,  // char[>=4]
  DIQ_PATH = 3,        // char[>=260]
  DIQ_LABEL = 4,       // char16_t[264]
  DIQ_LAYOUT = 5,      // std::vector<LayoutEntry>* (deviceapi/windowsdeviceio.h)
};

class IDeviceIo {
 public:
  virtual int Close() = 0;
  virtual int Query(int code, void* out) = 0;
  virtual int Open(const char* path, int flags, int mode) = 0;
  virtual int Read(void* buf, int count) = 0;
  virtual int Write(const void* buf, int count) = 0;
  virtual int64_t Seek(int64_t offset, int origin) = 0;
  virtual bool IsOpen() = 0;
  virtual int ReadSectors(int64_t first, void* buf, uint32_t count, uint32_t sectorSize);
  virtual int WriteSectors(int64_t first, const void* buf, uint32_t count, uint32_t sectorSize);
  virtual void Release() = 0;
  virtual int GetOpenFlags() = 0;
  virtual bool IsWriteProtected() { return false; }

 protected:
  ~IDeviceIo() = default;
};

IDeviceIo* CreateDeviceIo();
