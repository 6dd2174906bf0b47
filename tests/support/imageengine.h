// The engine over one image file, opened the way the program opens a device: the top object
// lists the image as its one disk (KESTRUM_DISKS) with the partition that spans a bare
// volume, and scans that partition; what a scan found is read back by full path.
#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "common/inc/idevice.h"
#include "common/inc/ifilemanager.h"
#include "common/inc/inotifysink.h"
#include "common/inc/irecoverymanagement.h"
#include "common/inc/iscanoperator.h"
#include "common/inc/kestrum_types.h"
#include "scanread.h"
#include "stubfilemanager.h"
#include "testutil.h"

namespace testutil {

class ImageEngine {
 public:
  // The image is read in sectors of sectorSize bytes.
  ImageEngine(const std::string& image, uint32_t sectorSize)
      : m_disks("KESTRUM_DISKS", image),
        m_volumes("KESTRUM_VOLUMES", ""),
        m_sector("KESTRUM_SECTOR_SIZE", std::to_string(sectorSize)) {
    if (InitKestrum(&m_top) != 0) return;
    m_top->EnumDevices(m_devices, &m_count, 100);
    for (int i = 0; i < m_count && m_devices[i]; ++i)
      if (m_devices[i]->GetType() == DT_PARTITION) m_volume = m_devices[i];
  }
  ~ImageEngine() {
    ReleaseOwnedDevices(m_devices, m_count);
    if (m_top) m_top->Release();
  }
  ImageEngine(const ImageEngine&) = delete;
  ImageEngine& operator=(const ImageEngine&) = delete;

  IRecoveryManagement* top() { return m_top; }
  // The partition, or null when the image is not listed as one.
  IDevice* volume() { return m_volume; }
  // Runs a scan of the partition: the scan's answer, or the creation's when that failed
  // (and *out stays null).
  int Scan(int kind, IScanOperator** out) {
    IFileManager* fm = nullptr;
    *out = nullptr;
    int rc = m_top->CreateScanOperator(m_volume, kind, &fm, out);
    if (rc != 0) return rc;
    QuietSink sink;
    return (*out)->Scan(&sink);
  }
  // Saves a scan's result to path and loads it again through the top object, which matches
  // the saved device with the listed ones: 0 with *loaded set (freed with Free), or the
  // first step's failure.
  int SaveAndLoad(IScanOperator* so, const std::string& path, IScanOperator** loaded) {
    *loaded = nullptr;
    std::u16string wide(path.begin(), path.end());
    int rc = so->SaveResult(wide.c_str(), nullptr);
    if (rc != 0) return rc;
    rc = m_top->LoadScanResult(wide.c_str(), loaded, 0);
    if (rc != 0 || !*loaded) return rc != 0 ? rc : -1;
    QuietSink sink;
    return (*loaded)->LoadResult(&sink, 0);
  }
  static void Free(IScanOperator* so) {
    if (!so) return;
    IFileManager* fm = so->GetFileManager();
    so->Release();
    if (fm) fm->Release();
  }

 private:
  ScopedEnv m_disks, m_volumes, m_sector;
  IRecoveryManagement* m_top = nullptr;
  IDevice* m_devices[100] = {};
  int m_count = 0;
  IDevice* m_volume = nullptr;
};

// A found file: its record and the bytes its reader hands out.
struct FoundFile {
  IFileInfo* file;
  std::vector<uint8_t> bytes;
};

// Every file of a results tree by full path ("/Volume/docs/t100.txt"), read back whole.
inline std::map<std::string, FoundFile> TreeContents(IScanOperator* scanner) {
  std::map<std::string, FoundFile> out;
  ForEachTreeFile(scanner, [&](const std::u16string& path, IFileInfo* e) {
    if (!(e->GetFlags() & FF_DIRECTORY)) out[Utf8(path)] = {e, ReadAll(scanner, e)};
  });
  return out;
}

}  // namespace testutil
