// Byte-addressed reads through the storage facade for the FAT family of scanners.
#pragma once
#include <cstdint>

class IStorageDevice;

namespace fat {

// Reads len bytes at a byte offset of the device; returns the bytes read (0..len) or -1.
// Sets *gone when the read failed because the device has vanished (ENXIO, ENODEV).
int64_t ReadAt(IStorageDevice* device, uint64_t offset, void* buf, uint32_t len, bool* gone = nullptr);

}  // namespace fat
