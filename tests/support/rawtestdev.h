// A memory-backed storage device, a recording results tree, a bitmap and a scan runner for
// the raw-scan tests and the benchmark.
#pragma once
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "common/inc/idevicebitmap.h"
#include "common/inc/ifileinfo.h"
#include "common/inc/ifilemanager.h"
#include "common/inc/istoragedevice.h"
#include "common/inc/kestrum_types.h"
#include "filemanager/fileinfo.h"
#include "rawrecovery/rawrecover.h"
#include "stubfilemanager.h"

namespace rawtest {

class MemStorage : public IStorageDevice {
 public:
  explicit MemStorage(std::vector<uint8_t> bytes, int clusterBytes = 0, int sectorSize = 512)
      : m_bytes(std::move(bytes)), m_cluster(clusterBytes), m_sector(sectorSize) {}
  virtual ~MemStorage() = default;

  // Reads that touch [failFrom, failTo) fail; reads are counted by their start unit.
  int64_t failFrom = -1, failTo = -1;
  std::vector<std::pair<int64_t, uint32_t>> reads;
  int type = DT_FIXED_DISK;
  bool writes = false;

  void Release() override {}
  int Attach(IDevice*) override { return 0; }
  int GetFileSystem() override { return 0; }
  IDevice* GetDevice() override { return nullptr; }
  int GetType() override { return type; }
  int GetSize(uint64_t* size) override {
    *size = m_bytes.size();
    return 0;
  }
  int GetClusterInfo(int* clusterBytes, int* sectorSize) override {
    *sectorSize = m_sector;
    *clusterBytes = m_cluster;
    return m_cluster > 0 ? 0 : -1;
  }
  int Read(void* buf, uint32_t count) override {
    reads.emplace_back(m_pos, count);
    if (failFrom >= 0 && m_pos < failTo && m_pos + int64_t(count) > failFrom) return -1;
    int64_t n = std::min<int64_t>(count, int64_t(m_bytes.size()) - m_pos);
    if (n < 0) n = 0;
    std::memcpy(buf, m_bytes.data() + m_pos, size_t(n));
    m_pos += n;
    return int(n);
  }
  int Write(const void*, uint32_t) override {
    writes = true;
    return -1;
  }
  int64_t Seek(int64_t offset, int origin) override {
    if (origin != 0 || offset < 0) return -1;
    m_pos = offset;
    return offset;
  }
  int ReadSectors(int64_t, void*, uint32_t) override { return -1; }
  int WriteSectors(int64_t, const void*, uint32_t) override {
    writes = true;
    return -1;
  }
  int CloneRead(void*, uint32_t) override { return -1; }
  int CloneWrite(const void*, uint32_t) override {
    writes = true;
    return -1;
  }
  int64_t CloneSeek(int64_t, int) override { return -1; }
  int CloneReadSectors(int64_t, void*, uint32_t) override { return -1; }
  int CloneWriteSectors(int64_t, const void*, uint32_t) override {
    writes = true;
    return -1;
  }
  bool IsReadOnly() override { return true; }
  int Close(int) override { return 0; }

  const std::vector<uint8_t>& bytes() const { return m_bytes; }

 private:
  std::vector<uint8_t> m_bytes;
  int m_cluster, m_sector;
  int64_t m_pos = 0;
};

struct Found {
  std::string folder;
  std::string name;
  IFileInfo* info;
};

// A device of seeded random bytes made as they are read, so that hundreds of MiB of noise
// cost no memory; bytes written over it with Plant (file heads, near misses) are served in
// their place.
class NoiseStorage : public MemStorage {
 public:
  NoiseStorage(uint64_t size, uint64_t seed, int clusterBytes = 0)
      : MemStorage(std::vector<uint8_t>(), clusterBytes), m_size(size), m_seed(seed) {}

  void Plant(uint64_t at, const std::vector<uint8_t>& bytes) { m_planted[at] = bytes; }
  // The byte at offset p.
  uint8_t At(uint64_t p) const {
    uint8_t b = Noise(p);
    auto it = m_planted.upper_bound(p);
    if (it != m_planted.begin()) {
      --it;
      if (p - it->first < it->second.size()) b = it->second[size_t(p - it->first)];
    }
    return b;
  }

  int GetSize(uint64_t* size) override {
    *size = m_size;
    return 0;
  }
  int Read(void* buf, uint32_t count) override {
    uint64_t n = m_pos < m_size ? std::min<uint64_t>(count, m_size - m_pos) : 0;
    uint8_t* out = static_cast<uint8_t*>(buf);
    uint64_t i = 0;
    for (; i < n && ((m_pos + i) & 7); ++i) out[i] = Noise(m_pos + i);
    for (; i + 8 <= n; i += 8) {
      uint64_t w = Word((m_pos + i) >> 3);
      std::memcpy(out + i, &w, 8);
    }
    for (; i < n; ++i) out[i] = Noise(m_pos + i);
    for (auto it = m_planted.lower_bound(m_pos >= 4096 ? m_pos - 4096 : 0); it != m_planted.end(); ++it) {
      if (it->first >= m_pos + n) break;
      for (size_t k = 0; k < it->second.size(); ++k)
        if (it->first + k >= m_pos && it->first + k < m_pos + n) out[it->first + k - m_pos] = it->second[k];
    }
    m_pos += n;
    return int(n);
  }
  int64_t Seek(int64_t offset, int origin) override {
    if (origin != 0 || offset < 0) return -1;
    m_pos = uint64_t(offset);
    return offset;
  }

 private:
  // splitmix64 of the word's index: fast, and every word differs.
  uint64_t Word(uint64_t index) const {
    uint64_t z = m_seed + (index + 1) * 0x9E3779B97F4A7C15ull;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  uint8_t Noise(uint64_t p) const {
    uint64_t w = Word(p >> 3);
    uint8_t b[8];
    std::memcpy(b, &w, 8);
    return b[p & 7];
  }

  uint64_t m_size, m_seed, m_pos = 0;
  std::map<uint64_t, std::vector<uint8_t>> m_planted;  // planted bytes (at most 4 KiB each)
};

class RecordingManager : public StubFileManager {
 public:
  virtual ~RecordingManager() {
    for (Found& f : files) f.info->Release();
  }
  std::vector<Found> files;

  int AddFile(const char16_t* folder, IFileInfo* file) override {
    Found f;
    for (const char16_t* p = folder; *p; ++p) f.folder.push_back(char(*p));
    for (const char16_t* p = file->GetName(); *p; ++p) f.name.push_back(char(*p));
    f.info = file;
    files.push_back(f);
    return 0;
  }
};

// The carved bytes of a found file, read through its run list.
inline std::vector<uint8_t> Carved(const MemStorage& dev, IFileInfo* info, int sectorSize = 512) {
  std::vector<uint8_t> out;
  RunList* run = static_cast<RunList*>(info->GetRunList());
  for (; run; run = run->m_next) {
    uint64_t from = run->m_start * uint64_t(sectorSize);
    uint64_t len = uint64_t(run->m_count) * uint64_t(sectorSize);
    for (uint64_t i = 0; i < len && from + i < dev.bytes().size(); ++i) out.push_back(dev.bytes()[from + i]);
  }
  out.resize(std::min<size_t>(out.size(), size_t(info->GetSize())));
  return out;
}

// A raw scan of dev for the types named, in that order, in `mode`; its files go to fm. The
// scan's answer. With `keep` the scanner is handed back rather than released.
inline int RunRawScan(MemStorage& dev, RecordingManager& fm, int mode, const std::vector<std::string>& exts,
                      INotifySink* sink = nullptr, CRawRecover** keep = nullptr) {
  CRawRecover* r = new CRawRecover();
  r->SetDevice(&dev);
  r->SetFileManager(&fm);
  IScanParam* p = nullptr;
  r->GetScanParam(&p);
  for (const std::string& e : exts) p->AddFileType(e.c_str());
  p->SetScanMode(mode);
  int rc = r->Scan(sink);
  if (keep)
    *keep = r;
  else
    r->Release();
  return rc;
}

// One carved file: the extension of its name and its bytes.
struct Hit {
  std::string ext;
  std::vector<uint8_t> bytes;
};
typedef std::multimap<size_t, Hit> Hits;

// The files of a raw scan by the device byte of their first run, counted from `base`.
inline Hits ScanHits(MemStorage& dev, int mode, const std::set<std::string>& exts, int* rc = nullptr,
                     int64_t base = 0) {
  RecordingManager fm;
  int result = RunRawScan(dev, fm, mode, std::vector<std::string>(exts.begin(), exts.end()));
  if (rc) *rc = result;
  Hits out;
  for (const Found& f : fm.files) {
    RunList* run = static_cast<RunList*>(f.info->GetRunList());
    out.insert({size_t(base + int64_t(run->m_start) * 512),
                Hit{f.name.substr(f.name.find('.') + 1), Carved(dev, f.info)}});
  }
  return out;
}

// An analyser fed unit by unit from firstLcn on, as the scanner feeds it, the header unit
// first: the answer that decided, else the last one; -1 when the head is not taken.
inline int Feed(CRawAnalyser& a, const std::vector<uint8_t>& bytes, int cs, int64_t firstLcn = 0) {
  size_t units = (bytes.size() + size_t(cs) - 1) / size_t(cs);
  int r = 0;
  for (size_t i = 0; i < units; ++i) {
    ClusterBuf cb(cs);
    cb.lcn = firstLcn + int64_t(i);
    std::memcpy(cb.GetData(), bytes.data() + i * size_t(cs),
                std::min(size_t(cs), bytes.size() - i * size_t(cs)));
    if (i == 0 && !Decides(a.CheckHeader(cb))) return -1;
    r = a.Continue(cb);
    if (Decides(r)) return r;
  }
  return r;
}

class SetBitmap final : public IDeviceBitmap {
 public:
  explicit SetBitmap(uint32_t count) : m_count(count) {}
  std::set<int64_t> used;
  void Release() override { delete this; }
  bool BitGet(int64_t c) override { return used.count(c) != 0; }
  bool BitSet(int64_t c, bool v) override {
    if (v) used.insert(c);
    else used.erase(c);
    return true;
  }
  int64_t GetFirstClusterOffset() override { return 0; }
  int GetClusterSize() override { return 0; }
  uint32_t GetClusterCount() override { return m_count; }

 private:
  uint32_t m_count;
};

}  // namespace rawtest
