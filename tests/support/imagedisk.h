// An image file opened as the engine's one disk (listed through KESTRUM_DISKS), so that a
// test scans its partitions the way the program does.
#pragma once
#include <string>

#include "common/inc/kestrum_types.h"
#include "storagedevice/cdisk.h"
#include "storagedevice/cvolume.h"
#include "storagedevice/devenum.h"
#include "testutil.h"

namespace testutil {

struct ImageDisk {
  ScopedEnv env;
  CDisk* disk = nullptr;  // null when the image cannot be opened as a disk

  explicit ImageDisk(const std::string& img) : env("KESTRUM_DISKS", img) {
    QueryDiskDrives();
    disk = new CDisk();
    if (disk->OpenByIndex(0) != 0) {
      disk->Release();
      disk = nullptr;
    }
  }
  ~ImageDisk() {
    if (disk) disk->Release();
  }
  ImageDisk(const ImageDisk&) = delete;
  ImageDisk& operator=(const ImageDisk&) = delete;

  // The partition of that number, or null.
  CVolume* Partition(int number) {
    if (!disk) return nullptr;
    for (CVolume* v : disk->GetVolumes()) {
      PartitionInfo info;
      v->GetPartitionInfo(&info);
      if (info.PartitionNumber == number) return v;
    }
    return nullptr;
  }
};

}  // namespace testutil
