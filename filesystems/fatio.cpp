#include "filesystems/fatio.h"

#include <cerrno>

#include "common/inc/istoragedevice.h"

namespace fat {

int64_t ReadAt(IStorageDevice* device, uint64_t offset, void* buf, uint32_t len, bool* gone) {
  if (gone) *gone = false;
  if (!device || !buf || offset > uint64_t(INT64_MAX)) return -1;
  errno = 0;
  if (device->Seek(int64_t(offset), 0) != int64_t(offset)) {
    if (gone) *gone = errno == ENXIO || errno == ENODEV;
    return -1;
  }
  errno = 0;
  int got = device->Read(buf, len);
  if (got < 0 || uint32_t(got) < len) {
    // A vanished USB reader answers ENXIO or ENODEV; EIO is an ordinary failed read.
    if (gone) *gone = errno == ENXIO || errno == ENODEV;
  }
  return got < 0 ? -1 : int64_t(got);
}

}  // namespace fat
