// A device channel over bytes in memory, for the fuzz targets: every decoder that reads
// through IDeviceIo can be driven by the fuzzer's input without touching a disk.
#pragma once
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "common/inc/ideviceio.h"

class CMemoryDeviceIo : public IDeviceIo {
 public:
  CMemoryDeviceIo(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}
  virtual ~CMemoryDeviceIo() = default;

  int Close() override { return 0; }
  int Query(int, void*) override { return -1; }
  int Open(const char*, int, int) override { return 0; }
  int Read(void* buf, int count) override {
    if (count < 0) return -1;
    if (m_pos >= int64_t(m_size)) return 0;
    size_t n = std::min<size_t>(size_t(count), m_size - size_t(m_pos));
    memcpy(buf, m_data + m_pos, n);
    m_pos += int64_t(n);
    return int(n);
  }
  int Write(const void*, int) override { return -1; }  // a scan never writes
  int64_t Seek(int64_t offset, int origin) override {
    int64_t base = origin == 0 ? 0 : origin == 1 ? m_pos : int64_t(m_size);
    if ((offset < 0 && base + offset < 0) || (offset > 0 && offset > INT64_MAX - base)) return -1;
    m_pos = base + offset;
    return m_pos;
  }
  bool IsOpen() override { return true; }
  void Release() override {}
  int GetOpenFlags() override { return KIO_RDONLY; }

 private:
  const uint8_t* m_data;
  size_t m_size;
  int64_t m_pos = 0;
};
