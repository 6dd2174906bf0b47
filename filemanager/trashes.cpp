#include "filemanager/trashes.h"

#include <cstdio>
#include <cstring>

#include "common/inc/istoragedevice.h"
#include "common/inc/kestrum_types.h"

namespace {
// The engine runs under no Mac user account.
const char* CurrentUserName() { return ""; }
}  // namespace

Trashes::Trashes() { m_path[0] = 0; }

bool Trashes::BuildTrashPath(const char* mountPoint) {
  ZQ_ASSERT(mountPoint && "mount_point");
  m_path[0] = 0;
  if (!mountPoint) return false;
  int n = -1;
  if (std::strcmp(mountPoint, "/") == 0) {
    const char* user = CurrentUserName();
    if (std::strcmp(user, "root") == 0 || std::strcmp(user, "_atsserver") == 0)
      n = std::snprintf(m_path, sizeof m_path, "/private/var/root/.Trash");
    else
      n = std::snprintf(m_path, sizeof m_path, "/Users/%s/.Trash", user);
  } else if (mountPoint[0] == '/') {
    n = std::snprintf(m_path, sizeof m_path, "%s/.Trashes", mountPoint);
  }
  if (n < 0 || size_t(n) >= sizeof m_path) {
    m_path[0] = 0;
    return false;
  }
  return true;
}

int Trashes::ScanTrash(IStorageDevice* device, std::vector<IFileInfo*>*) {
  if (!device || !device->GetDevice()) return -1;
  PartitionInfo info;
  std::memset(&info, 0, sizeof info);
  if (device->GetDevice()->GetPartitionInfo(&info) != 0) return -1;
  char mount[sizeof info.MountPoint + 1];
  std::memcpy(mount, info.MountPoint, sizeof info.MountPoint);
  mount[sizeof info.MountPoint] = 0;
  if (!BuildTrashPath(mount)) return 1;
  return 1;
}
