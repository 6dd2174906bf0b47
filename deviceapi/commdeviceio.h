// The portable part of a device channel: sector alignment over a byte-addressed device.
#pragma once
#include <cstdint>

#include "common/inc/ideviceio.h"
#include "platform/platform.h"

class CCommDeviceIo : public IDeviceIo {
 public:
  CCommDeviceIo();
  virtual ~CCommDeviceIo();

  int Close() override;
  int Read(void* buf, int count) override;
  int Write(const void* buf, int count) override;
  int64_t Seek(int64_t offset, int origin) override;
  bool IsOpen() override;
  void Release() override;
  int GetOpenFlags() override;

  static const int kBounceBytes = 131072;

 protected:
  // The descriptor (with the byte window it may stand for) and its sector-aligned position.
  plat::OpenDevice m_dev;
  char m_path[512];
  int m_sectorsize;
  int m_openFlags;
  int m_inSector;    // the logical position's distance past m_pos
  int64_t m_pos;     // always a multiple of the sector size
  uint8_t* m_bounce;

  // Reads whole sectors at a sector boundary; bytes read, 0 at the end, -1 on failure.
  int64_t ReadAligned(void* dst, int64_t bytes, int64_t pos);
};
