// Fuzzes the boot-record checker: the input is a small device, its first byte choosing the
// sector size. Every one of its first sectors is offered to Check as a candidate, so that
// mutations land both on boot records and on the FATs, MFT records, exFAT directories and
// HFS+ B-tree nodes that the confirmation reads; the serial lookup runs over it too.
#include <cstdint>
#include <cstring>

#include "storagedevice/checkdbr.h"
#include "tests/support/readonlystorage.h"

namespace {

// Sector reads only, as the checker makes them; reads past the input fail as a short
// disk's would.
class FuzzStorage : public ReadOnlyStorage {
 public:
  FuzzStorage(const uint8_t* d, size_t n, int ss) : m_data(d), m_size(n), m_ss(ss) {}
  int GetFileSystem() override { return 0; }
  int GetType() override { return 1; }
  int GetSize(uint64_t* s) override {
    *s = m_size;
    return 0;
  }
  int GetClusterInfo(int* c, int* s) override {
    if (c) *c = m_ss;
    if (s) *s = m_ss;
    return 0;
  }
  int Read(void*, uint32_t) override { return -1; }
  int64_t Seek(int64_t, int) override { return -1; }
  int ReadSectors(int64_t first, void* buf, uint32_t count) override {
    if (first < 0 || uint64_t(first) > m_size / m_ss) return -1;
    uint64_t have = m_size / m_ss - uint64_t(first);
    if (count > have) return -1;
    memcpy(buf, m_data + uint64_t(first) * m_ss, size_t(count) * m_ss);
    return int(count);
  }
  int CloneReadSectors(int64_t f, void* b, uint32_t c) override { return ReadSectors(f, b, c); }

 private:
  const uint8_t* m_data;
  size_t m_size;
  int m_ss;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2 || size > (1u << 20)) return 0;
  int ss = (data[0] & 1) ? 4096 : 512;
  ++data;
  --size;
  if (size < size_t(ss)) return 0;
  FuzzStorage dev(data, size, ss);
  ICheckDBR* c = CreateCheckDBR();
  if (!c) return 0;
  size_t sectors = size / size_t(ss);
  for (size_t i = 0; i < sectors && i < 8; ++i) {
    int64_t n = 0;
    int q = 0;
    c->Check(&dev, data + i * size_t(ss), ss, uint32_t(i), 0, &n, &q);
    c->Check(&dev, data + i * size_t(ss), ss, uint32_t(i), 0, &n, nullptr);
  }
  uint8_t serial[16];
  c->GetVolumeSerial(&dev, serial, sizeof serial);
  c->Release();
  return 0;
}
