#include "filemanager/formerplace.h"

#include <algorithm>
#include <cstring>

#include "common/inc/idevice.h"
#include "deviceapi/windowsdeviceio.h"
#include "filemanager/wtext.h"
#include "platform/platform.h"

bool DevicePathOf(IDevice* device, plat::HostDevice* host) {
  if (!device || !host) return false;
  // The name is what the device's channel opens, so the same translation finds the same
  // disk, partition node or image window that the reads and the erase's writes reach.
  const char* name = device->GetName();
  if (name && *name && CWindowsDeviceIo::ResolvePath(name, host)) return true;
  PartitionInfo info;
  std::memset(&info, 0, sizeof info);
  if (device->GetPartitionInfo(&info) == 0 && info.DevicePath[0]) {
    *host = plat::HostDevice();
    host->path.assign(info.DevicePath, strnlen(info.DevicePath, sizeof info.DevicePath));
    return true;
  }
  return false;
}

bool TreePathStaysInside(const char16_t* treePath) {
  if (!treePath) return false;
  for (const char16_t* p = treePath; *p;) {
    while (*p == u'/') ++p;
    const char16_t* s = p;
    while (*p && *p != u'/') ++p;
    size_t n = size_t(p - s);
    if ((n == 1 && s[0] == u'.') || (n == 2 && s[0] == u'.' && s[1] == u'.')) return false;
  }
  return true;
}

bool FormerPlacePath(IDevice* device, const char16_t* treePath, std::string* hostPath) {
  if (!device || !treePath || !hostPath) return false;
  int type = device->GetType();
  if (type != DT_PARTITION && type != DT_LETTER_VOLUME && type != DT_PARTITION_OTHER) return false;
  if (wtext::Len(treePath) >= MAX_PATH_ZQ) return false;
  if (!wtext::StartsWithNoCase(treePath, "/Volume")) return false;
  const char16_t* rest = treePath + 7;
  if (*rest != u'/' || !rest[1] || !TreePathStaysInside(rest)) return false;
  plat::HostDevice host;
  std::string mount;
  if (!DevicePathOf(device, &host) || !plat::MountPointOf(host, &mount) || mount.empty()) return false;
  *hostPath = mount + (mount.back() == '/' ? "" : "/") + wtext::ToUtf8(rest + 1);
  return true;
}

bool FormerPlaceExists(IDevice* device, const char16_t* treePath, std::string* foundAt) {
  std::string host;
  if (!FormerPlacePath(device, treePath, &host)) return false;
  plat::HostDevice dev;
  std::string mount;
  if (!DevicePathOf(device, &dev) || !plat::MountPointOf(dev, &mount)) return false;
  std::string rel = host.substr(std::min(host.size(), mount.size()));
  std::string candidates[3] = {rel, rel, rel};
  const std::string bin = "Recycle Bin";
  size_t at = rel.find(bin);
  if (at != std::string::npos) {
    candidates[1].replace(at, bin.size(), "RECYCLER");
    candidates[2].replace(at, bin.size(), "Recycled");
  }
  for (int i = 0; i < (at == std::string::npos ? 1 : 3); ++i) {
    if (plat::PathExistsUnder(mount, candidates[i])) {
      if (foundAt) *foundAt = mount + (mount.back() == '/' ? "" : "/") + candidates[i];
      return true;
    }
  }
  return false;
}
