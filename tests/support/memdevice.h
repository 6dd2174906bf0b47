// A storage facade over a byte vector for unit tests: configurable sector and cluster size,
// device type, partition record, read-only mode and a failing mode after N bytes. It serves
// the scan channel and the clone channel from the same bytes, each with its own position.
#pragma once
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "common/inc/idevice.h"
#include "common/inc/istoragedevice.h"

namespace testutil {

class MemDevice : public IStorageDevice, public IDevice {
 public:
  explicit MemDevice(std::vector<uint8_t> bytes, int sectorSize = 512, int clusterBytes = 4096,
                     int type = DT_PARTITION)
      : m_bytes(std::move(bytes)), m_sectorSize(sectorSize), m_clusterBytes(clusterBytes),
        m_type(type) {
    std::memset(&m_info, 0, sizeof m_info);
    m_info.SectorSize = uint32_t(sectorSize);
    m_info.SectorCount = int64_t(m_bytes.size() / size_t(sectorSize));
  }
  virtual ~MemDevice() {}

  // Test knobs.
  std::vector<uint8_t>& bytes() { return m_bytes; }
  void SetReadOnly(bool ro) { m_readOnly = ro; }
  // Reads (and writes) fail once this many bytes in total have moved; -1 never.
  void FailAfter(int64_t bytes) { m_failAfter = bytes; }
  void SetFileSystem(int fs) { m_fs = fs; }
  void SetClusterBytes(int c) { m_clusterBytes = c; }
  PartitionInfo& info() { return m_info; }
  void SetHasPartitionInfo(bool has) { m_hasInfo = has; }
  int64_t bytesWritten() const { return m_written; }
  int64_t bytesRead() const { return m_read; }
  // When false, Release does not delete (the test owns the object on its stack).
  void SetOwnedByCaller(bool owned) { m_ownedByCaller = owned; }

  // IStorageDevice
  void Release() override {
    if (!m_ownedByCaller) delete this;
  }
  int Attach(IDevice*) override { return 0; }
  int GetFileSystem() override { return m_fs; }
  IDevice* GetDevice() override { return this; }
  int GetType() override { return m_type; }
  int GetSize(uint64_t* size) override {
    if (!size) return -1;
    *size = m_bytes.size();
    return 0;
  }
  int GetClusterInfo(int* clusterBytes, int* sectorSize) override {
    if (clusterBytes) *clusterBytes = m_clusterBytes;
    if (sectorSize) *sectorSize = m_sectorSize;
    return 0;
  }
  int Read(void* buf, uint32_t count) override { return DoRead(&m_pos, buf, count); }
  int Write(const void* buf, uint32_t count) override { return DoWrite(&m_pos, buf, count); }
  int64_t Seek(int64_t offset, int origin) override { return DoSeek(&m_pos, offset, origin); }
  int ReadSectors(int64_t first, void* buf, uint32_t count) override {
    return SectorIo(&m_pos, first, buf, count, false);
  }
  int WriteSectors(int64_t first, const void* buf, uint32_t count) override {
    return SectorIo(&m_pos, first, const_cast<void*>(buf), count, true);
  }
  int CloneRead(void* buf, uint32_t count) override { return DoRead(&m_clonePos, buf, count); }
  int CloneWrite(const void* buf, uint32_t count) override { return DoWrite(&m_clonePos, buf, count); }
  int64_t CloneSeek(int64_t offset, int origin) override { return DoSeek(&m_clonePos, offset, origin); }
  int CloneReadSectors(int64_t first, void* buf, uint32_t count) override {
    return SectorIo(&m_clonePos, first, buf, count, false);
  }
  int CloneWriteSectors(int64_t first, const void* buf, uint32_t count) override {
    return SectorIo(&m_clonePos, first, const_cast<void*>(buf), count, true);
  }
  bool IsReadOnly() override { return m_readOnly; }
  int Close(int) override { return 0; }

  // IDevice
  const char* GetName() override { return m_info.DevicePath; }
  int GetPartitionInfo(PartitionInfo* info) override {
    if (!m_hasInfo || !info) return -1;
    *info = m_info;
    return 0;
  }
  int GetGeometry(DiskGeometry*) override { return -1; }
  int Close() override { return 0; }
  IDeviceIo* GetIo() override { return nullptr; }
  int Save(IArchive*) override { return -1; }
  int Load(IArchive*) override { return -1; }
  int Open() override { return 0; }

 private:
  bool Failing(uint64_t count) {
    if (m_failAfter < 0) return false;
    return m_read + m_written + int64_t(count) > m_failAfter;
  }
  int DoRead(int64_t* pos, void* buf, uint32_t count) {
    if (Failing(count)) return -1;
    if (*pos < 0 || uint64_t(*pos) >= m_bytes.size()) return 0;
    uint64_t n = std::min<uint64_t>(count, m_bytes.size() - uint64_t(*pos));
    std::memcpy(buf, m_bytes.data() + *pos, size_t(n));
    *pos += int64_t(n);
    m_read += int64_t(n);
    return int(n);
  }
  int DoWrite(int64_t* pos, const void* buf, uint32_t count) {
    if (m_readOnly) return -1;
    if (Failing(count)) return -1;
    if (*pos < 0 || uint64_t(*pos) >= m_bytes.size()) return 0;
    uint64_t n = std::min<uint64_t>(count, m_bytes.size() - uint64_t(*pos));
    std::memcpy(m_bytes.data() + *pos, buf, size_t(n));
    *pos += int64_t(n);
    m_written += int64_t(n);
    return int(n);
  }
  int64_t DoSeek(int64_t* pos, int64_t offset, int origin) {
    int64_t base = origin == 1 ? *pos : origin == 2 ? int64_t(m_bytes.size()) : 0;
    if (offset > 0 && base > INT64_MAX - offset) return -1;
    if (base + offset < 0) return -1;
    *pos = base + offset;
    return *pos;
  }
  // Answers the number of whole sectors moved, or -1.
  int SectorIo(int64_t* pos, int64_t first, void* buf, uint32_t count, bool write) {
    if (first < 0 || first > INT64_MAX / m_sectorSize) return -1;
    if (uint64_t(count) * uint64_t(m_sectorSize) > 0x7FFFFFFFull) return -1;
    *pos = first * m_sectorSize;
    uint32_t bytes = count * uint32_t(m_sectorSize);
    int n = write ? DoWrite(pos, buf, bytes) : DoRead(pos, buf, bytes);
    return n < 0 ? -1 : n / m_sectorSize;
  }

  std::vector<uint8_t> m_bytes;
  int m_sectorSize;
  int m_clusterBytes;
  int m_type;
  int m_fs = FS_NONE;
  bool m_readOnly = false;
  bool m_hasInfo = true;
  bool m_ownedByCaller = false;
  int64_t m_failAfter = -1;
  int64_t m_pos = 0;
  int64_t m_clonePos = 0;
  int64_t m_read = 0;
  int64_t m_written = 0;
  PartitionInfo m_info;
};

}  // namespace testutil
