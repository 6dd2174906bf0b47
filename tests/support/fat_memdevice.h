// A storage facade over bytes in memory, for the FAT and exFAT scanner tests. Writes are
// refused so that a test also proves the scan never writes.
#pragma once
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "common/inc/istoragedevice.h"

class FatMemDevice : public IStorageDevice {
 public:
  explicit FatMemDevice(std::vector<uint8_t> bytes, int sectorSize = 512)
      : m_bytes(std::move(bytes)), m_sector(sectorSize) {}
  virtual ~FatMemDevice() {}

  std::vector<uint8_t>& Bytes() { return m_bytes; }
  int writes = 0;
  int closes = 0;
  // After this many reads every read fails with failErrno (-1: never).
  int failAfterReads = -1;
  int failErrno = ENXIO;
  int reads = 0;

  void Release() override {}
  int Attach(IDevice*) override { return 0; }
  int GetFileSystem() override { return 0; }
  IDevice* GetDevice() override { return nullptr; }
  int GetType() override { return 0; }
  int GetSize(uint64_t* size) override {
    *size = m_bytes.size();
    return 0;
  }
  int GetClusterInfo(int* clusterBytes, int* sectorSize) override {
    // The results tree asks for the sector size alone.
    if (clusterBytes) *clusterBytes = 4096;
    if (sectorSize) *sectorSize = m_sector;
    return 0;
  }
  int Read(void* buf, uint32_t count) override { return DoRead(&m_pos, buf, count); }
  int Write(const void*, uint32_t) override { ++writes; return -1; }
  int64_t Seek(int64_t offset, int origin) override { return DoSeek(&m_pos, offset, origin); }
  int ReadSectors(int64_t first, void* buf, uint32_t count) override {
    int64_t pos = first * m_sector;
    return DoRead(&pos, buf, count * uint32_t(m_sector));
  }
  int WriteSectors(int64_t, const void*, uint32_t) override { ++writes; return -1; }
  int CloneRead(void* buf, uint32_t count) override { return DoRead(&m_clonePos, buf, count); }
  int CloneWrite(const void*, uint32_t) override { ++writes; return -1; }
  int64_t CloneSeek(int64_t offset, int origin) override { return DoSeek(&m_clonePos, offset, origin); }
  int CloneReadSectors(int64_t first, void* buf, uint32_t count) override {
    int64_t pos = first * m_sector;
    return DoRead(&pos, buf, count * uint32_t(m_sector));
  }
  int CloneWriteSectors(int64_t, const void*, uint32_t) override { ++writes; return -1; }
  bool IsReadOnly() override { return true; }
  int Close(int) override { ++closes; return 0; }

 private:
  int DoRead(int64_t* pos, void* buf, uint32_t count) {
    if (failAfterReads >= 0 && reads >= failAfterReads) {
      errno = failErrno;
      return -1;
    }
    ++reads;
    if (*pos < 0 || uint64_t(*pos) >= m_bytes.size()) return 0;
    size_t n = std::min<uint64_t>(count, m_bytes.size() - uint64_t(*pos));
    std::memcpy(buf, m_bytes.data() + *pos, n);
    *pos += int64_t(n);
    return int(n);
  }
  int64_t DoSeek(int64_t* pos, int64_t offset, int origin) {
    int64_t base = origin == 0 ? 0 : origin == 1 ? *pos : int64_t(m_bytes.size());
    *pos = base + offset;
    return *pos;
  }
  std::vector<uint8_t> m_bytes;
  int m_sector;
  int64_t m_pos = 0;
  int64_t m_clonePos = 0;
};

// Bytes [from, to) cannot be read: a read stops short of them, one starting inside fails.
class UnreadableStretch : public FatMemDevice {
 public:
  UnreadableStretch(std::vector<uint8_t> bytes, uint64_t from, uint64_t to)
      : FatMemDevice(std::move(bytes)), m_from(from), m_to(to) {}
  int64_t Seek(int64_t offset, int origin) override { return m_at = FatMemDevice::Seek(offset, origin); }
  int Read(void* buf, uint32_t count) override {
    uint64_t at = uint64_t(m_at);
    if (at < m_to && at + count > m_from) {
      if (at >= m_from) {
        errno = EIO;
        return -1;
      }
      count = uint32_t(m_from - at);
    }
    int got = FatMemDevice::Read(buf, count);
    if (got > 0) m_at += got;
    return got;
  }

 private:
  uint64_t m_from, m_to;
  int64_t m_at = 0;
};
