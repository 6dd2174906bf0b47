// Whether a found file still exists where it was: the results-tree path "/Volume/rest" is
// looked up under the mount point of the scanned partition. A volume that is not mounted
// answers "absent", never a lookup on the host's own root.
#pragma once
#include <string>

#include "platform/platform.h"

class IDevice;

// The host path of a tree path on the mounted volume, or false when there is none.
bool FormerPlacePath(IDevice* device, const char16_t* treePath, std::string* hostPath);
// True when the file is present, also trying the old trash folder names for "Recycle Bin".
bool FormerPlaceExists(IDevice* device, const char16_t* treePath, std::string* foundAt = nullptr);
// True when no component of the tree path is "." or "..": names come from the disk, and a
// crafted one must never lead a lookup (or the erase's delete) outside the volume.
bool TreePathStaysInside(const char16_t* treePath);
// The block device or image window behind a device, as its channel opens it; a device
// whose name is no engine path falls back to the path in its partition record.
bool DevicePathOf(IDevice* device, plat::HostDevice* host);
