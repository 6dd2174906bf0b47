// A read-only device over bytes in memory, for fuzz targets that drive a whole reader
// through IStorageDevice. Writes and sector reads fail, so a reader that tries them is seen.
#pragma once
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "common/inc/istoragedevice.h"

class CMemoryStorageDevice : public IStorageDevice {
 public:
  CMemoryStorageDevice() = default;
  CMemoryStorageDevice(const uint8_t* d, size_t n) { Reset(d, n, 0); }
  void Reset(const uint8_t* d, size_t n, int fileSystem) {
    m_bytes.assign(d, d + n);
    m_pos = 0;
    m_fs = fileSystem;
  }
  void Release() override {}
  int Attach(IDevice*) override { return 0; }
  int GetFileSystem() override { return m_fs; }
  IDevice* GetDevice() override { return nullptr; }
  int GetType() override { return 0; }
  int GetSize(uint64_t* size) override {
    *size = m_bytes.size();
    return 0;
  }
  int GetClusterInfo(int* c, int* s) override {
    *c = 4096;
    *s = 512;
    return 0;
  }
  int Read(void* buf, uint32_t count) override {
    if (m_pos >= m_bytes.size()) return 0;
    size_t n = std::min<size_t>(count, m_bytes.size() - m_pos);
    std::memcpy(buf, m_bytes.data() + m_pos, n);
    m_pos += n;
    return int(n);
  }
  int Write(const void*, uint32_t) override { return -1; }
  int64_t Seek(int64_t off, int) override {
    m_pos = size_t(off < 0 ? 0 : off);
    return off;
  }
  int ReadSectors(int64_t, void*, uint32_t) override { return -1; }
  int WriteSectors(int64_t, const void*, uint32_t) override { return -1; }
  int CloneRead(void*, uint32_t) override { return -1; }
  int CloneWrite(const void*, uint32_t) override { return -1; }
  int64_t CloneSeek(int64_t, int) override { return -1; }
  int CloneReadSectors(int64_t, void*, uint32_t) override { return -1; }
  int CloneWriteSectors(int64_t, const void*, uint32_t) override { return -1; }
  bool IsReadOnly() override { return true; }
  int Close(int) override { return 0; }

 private:
  std::vector<uint8_t> m_bytes;
  size_t m_pos = 0;
  int m_fs = 0;
};
