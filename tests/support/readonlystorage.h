// Read-only storage facades for the fuzz targets and the benches: bytes in memory, or an
// image file. Writes and the clone channel always fail, so a reader that tries them is seen.
// Both refuse relative seeks: every reader here positions from the start.
#pragma once
#include <sys/types.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "common/inc/istoragedevice.h"

// The one seek these facades take: to a place counted from the start. *pos is moved and
// the place answered, or -1 for a relative or negative seek.
inline int64_t SeekFromStart(uint64_t* pos, int64_t offset, int origin) {
  if (origin != 0 || offset < 0) return -1;
  *pos = uint64_t(offset);
  return offset;
}

// What every read-only test facade refuses or ignores.
class ReadOnlyStorage : public IStorageDevice {
 public:
  virtual ~ReadOnlyStorage() = default;
  void Release() override {}
  int Attach(IDevice*) override { return 0; }
  IDevice* GetDevice() override { return nullptr; }
  int Write(const void*, uint32_t) override { return -1; }
  int ReadSectors(int64_t, void*, uint32_t) override { return -1; }
  int WriteSectors(int64_t, const void*, uint32_t) override { return -1; }
  int CloneRead(void*, uint32_t) override { return -1; }
  int CloneWrite(const void*, uint32_t) override { return -1; }
  int64_t CloneSeek(int64_t, int) override { return -1; }
  int CloneReadSectors(int64_t, void*, uint32_t) override { return -1; }
  int CloneWriteSectors(int64_t, const void*, uint32_t) override { return -1; }
  bool IsReadOnly() override { return true; }
  int Close(int) override { return 0; }
};

// A copy of some bytes, served from device byte `base` on (a volume found at an offset of
// its disk); what lies before the base reads as nothing. Sector reads fail.
class CMemoryStorageDevice : public ReadOnlyStorage {
 public:
  CMemoryStorageDevice() = default;
  CMemoryStorageDevice(const uint8_t* d, size_t n) { Reset(d, n, 0); }
  void Reset(const uint8_t* d, size_t n, int fileSystem) {
    m_bytes.assign(d, d + n);
    m_pos = 0;
    m_fs = fileSystem;
  }
  void SetBase(uint64_t base) { m_base = base; }
  void SetType(int type) { m_type = type; }
  void SetClusterInfo(int clusterBytes, int sectorSize) {
    m_cluster = clusterBytes;
    m_sector = sectorSize;
  }

  int GetFileSystem() override { return m_fs; }
  int GetType() override { return m_type; }
  int GetSize(uint64_t* size) override {
    *size = m_base + m_bytes.size();
    return 0;
  }
  int GetClusterInfo(int* clusterBytes, int* sectorSize) override {
    if (clusterBytes) *clusterBytes = m_cluster;
    if (sectorSize) *sectorSize = m_sector;
    return 0;
  }
  int Read(void* buf, uint32_t count) override {
    if (m_pos < m_base || m_pos - m_base >= m_bytes.size()) return 0;
    size_t at = size_t(m_pos - m_base), n = std::min<size_t>(count, m_bytes.size() - at);
    std::memcpy(buf, m_bytes.data() + at, n);
    m_pos += n;
    return int(n);
  }
  int64_t Seek(int64_t offset, int origin) override { return SeekFromStart(&m_pos, offset, origin); }

 private:
  std::vector<uint8_t> m_bytes;
  uint64_t m_base = 0;
  uint64_t m_pos = 0;
  int m_fs = 0;
  int m_type = 0;
  int m_cluster = 4096;
  int m_sector = 512;
};

// An image file read without stdio's buffer, so that a bench measures the reader and the
// page cache rather than extra copies. 512-byte sectors; without a cluster size the
// facade answers as a whole disk does (no cluster information).
class FileStorage : public ReadOnlyStorage {
 public:
  FileStorage(const std::string& path, int clusterBytes, int type)
      : m_f(std::fopen(path.c_str(), "rb")), m_cluster(clusterBytes), m_type(type) {
    if (!m_f) return;
    std::setvbuf(m_f, nullptr, _IONBF, 0);
    if (fseeko(m_f, 0, SEEK_END) == 0) m_size = uint64_t(ftello(m_f));
  }
  ~FileStorage() override {
    if (m_f) std::fclose(m_f);
  }
  FileStorage(const FileStorage&) = delete;
  FileStorage& operator=(const FileStorage&) = delete;
  uint64_t size() const { return m_size; }

  int GetFileSystem() override { return 0; }
  int GetType() override { return m_type; }
  int GetSize(uint64_t* size) override {
    *size = m_size;
    return 0;
  }
  int GetClusterInfo(int* clusterBytes, int* sectorSize) override {
    *clusterBytes = m_cluster;
    *sectorSize = 512;
    return m_cluster > 0 ? 0 : -1;
  }
  int Read(void* buf, uint32_t count) override { return m_f ? int(std::fread(buf, 1, count, m_f)) : -1; }
  int64_t Seek(int64_t offset, int origin) override {
    if (!m_f || origin != 0 || offset < 0) return -1;
    return fseeko(m_f, off_t(offset), SEEK_SET) == 0 ? offset : -1;
  }
  int ReadSectors(int64_t first, void* buf, uint32_t count) override {
    if (Seek(first * 512, 0) < 0) return -1;
    return int(std::fread(buf, 1, size_t(count) * 512, m_f) / 512);
  }

 private:
  std::FILE* m_f;
  uint64_t m_size = 0;
  int m_cluster;
  int m_type;
};
