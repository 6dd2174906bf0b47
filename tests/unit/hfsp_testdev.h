// A storage facade over bytes in memory, for the HFS+ tests: reads past the end are short.
#pragma once
#include <cstdint>
#include <cstring>
#include <vector>

#include "common/inc/istoragedevice.h"

class HfsMemStorage : public IStorageDevice {
 public:
  explicit HfsMemStorage(std::vector<uint8_t> bytes, int type = 2) : m_bytes(std::move(bytes)), m_type(type) {}
  std::vector<uint8_t>& bytes() { return m_bytes; }
  int reads = 0;

  void Release() override {}
  int Attach(IDevice*) override { return 0; }
  int GetFileSystem() override { return 512; }
  IDevice* GetDevice() override { return nullptr; }
  int GetType() override { return m_type; }
  int GetSize(uint64_t* size) override {
    *size = m_bytes.size();
    return 0;
  }
  int GetClusterInfo(int* clusterBytes, int* sectorSize) override {
    if (clusterBytes) *clusterBytes = 4096;
    if (sectorSize) *sectorSize = 512;
    return 0;
  }
  int Read(void* buf, uint32_t count) override {
    ++reads;
    if (m_pos >= m_bytes.size()) return 0;
    size_t n = m_bytes.size() - m_pos < count ? m_bytes.size() - m_pos : count;
    memcpy(buf, m_bytes.data() + m_pos, n);
    m_pos += n;
    return int(n);
  }
  int Write(const void*, uint32_t) override { return -1; }
  int64_t Seek(int64_t offset, int origin) override {
    if (origin != 0 || offset < 0) return -1;
    m_pos = uint64_t(offset);
    return offset;
  }
  int ReadSectors(int64_t first, void* buf, uint32_t count) override {
    Seek(first * 512, 0);
    return Read(buf, count * 512);
  }
  int WriteSectors(int64_t, const void*, uint32_t) override { return -1; }
  int CloneRead(void* buf, uint32_t count) override { return Read(buf, count); }
  int CloneWrite(const void*, uint32_t) override { return -1; }
  int64_t CloneSeek(int64_t offset, int origin) override { return Seek(offset, origin); }
  int CloneReadSectors(int64_t first, void* buf, uint32_t count) override {
    return ReadSectors(first, buf, count);
  }
  int CloneWriteSectors(int64_t, const void*, uint32_t) override { return -1; }
  bool IsReadOnly() override { return true; }
  int Close(int) override { return 0; }

 private:
  std::vector<uint8_t> m_bytes;
  int m_type;
  uint64_t m_pos = 0;
};
