// A memory-backed device whose chosen 512-byte sectors cannot be read, as a failing disk's:
// a read that starts on one fails with EIO, a read that reaches one stops short before it.
// Both channels (scan and clone) and both ways of reading (bytes and sectors) behave alike.
#pragma once
#include <cerrno>
#include <cstdint>
#include <utility>
#include <vector>

#include "memdevice.h"

namespace testutil {

class BadSectorDevice : public MemDevice {
 public:
  explicit BadSectorDevice(std::vector<uint8_t> bytes, int clusterBytes = 4096, int type = DT_PARTITION)
      : MemDevice(std::move(bytes), 512, clusterBytes, type) {}

  // Sectors [first, end) answer EIO from now on.
  void AddBad(uint64_t first, uint64_t end) { m_bad.emplace_back(first * 512, end * 512); }
  int64_t failedReads() const { return m_failed; }

  int Read(void* buf, uint32_t count) override { return ByteRead(&m_at, buf, count, false); }
  int64_t Seek(int64_t offset, int origin) override { return Track(&m_at, MemDevice::Seek(offset, origin)); }
  int CloneRead(void* buf, uint32_t count) override { return ByteRead(&m_cloneAt, buf, count, true); }
  int64_t CloneSeek(int64_t offset, int origin) override {
    return Track(&m_cloneAt, MemDevice::CloneSeek(offset, origin));
  }
  int ReadSectors(int64_t first, void* buf, uint32_t count) override {
    uint32_t n = Allowed(uint64_t(first) * 512, uint64_t(count) * 512) / 512;
    if (n == 0 && count) return Fail();
    int got = MemDevice::ReadSectors(first, buf, n);
    m_at = first * 512 + int64_t(got > 0 ? got : 0) * 512;
    return got;
  }
  int CloneReadSectors(int64_t first, void* buf, uint32_t count) override {
    uint32_t n = Allowed(uint64_t(first) * 512, uint64_t(count) * 512) / 512;
    if (n == 0 && count) return Fail();
    int got = MemDevice::CloneReadSectors(first, buf, n);
    m_cloneAt = first * 512 + int64_t(got > 0 ? got : 0) * 512;
    return got;
  }

 private:
  static int64_t Track(int64_t* at, int64_t pos) {
    if (pos >= 0) *at = pos;
    return pos;
  }
  int Fail() {
    ++m_failed;
    errno = EIO;
    return -1;
  }
  // How many of len bytes from off can be read before the first bad sector.
  uint64_t Allowed(uint64_t off, uint64_t len) const {
    uint64_t end = off + len;
    for (auto& b : m_bad) {
      if (off >= b.first && off < b.second) return 0;
      if (off < b.first && b.first < end) end = b.first;
    }
    return end - off;
  }
  int ByteRead(int64_t* at, void* buf, uint32_t count, bool clone) {
    uint32_t n = uint32_t(Allowed(uint64_t(*at), count));
    if (n == 0 && count) return Fail();
    int got = clone ? MemDevice::CloneRead(buf, n) : MemDevice::Read(buf, n);
    if (got > 0) *at += got;
    return got;
  }

  std::vector<std::pair<uint64_t, uint64_t>> m_bad;  // byte ranges
  int64_t m_at = 0, m_cloneAt = 0;
  int64_t m_failed = 0;
};

}  // namespace testutil
