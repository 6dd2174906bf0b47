#include "common/layout/ntfs_fixup.h"

#include <cstring>

#include "common/inc/bytes.h"

namespace layout {

bool NtfsApplyFixup(uint8_t* record, size_t size) {
  uint16_t usaOffset = 0, usaCount = 0;
  if (!record || size < kNtfsFixupStride || size % kNtfsFixupStride || size > UINT32_MAX) return false;
  if (!ReadNtfsUpdateSequence(record, size, &usaOffset, &usaCount)) return false;
  const size_t strides = size / kNtfsFixupStride;
  if (usaCount != NtfsUpdateSequenceCount(uint32_t(size))) return false;
  if (usaOffset < kNtfsFixupMinOffset || (usaOffset & 1) ||
      !kbytes::Fits(size, usaOffset, size_t(usaCount) * 2))
    return false;
  uint16_t usn = 0, tail = 0;
  if (!kbytes::ReadLe16(record, size, usaOffset, &usn)) return false;
  for (size_t i = 1; i <= strides; ++i)
    if (!kbytes::ReadLe16(record, size, i * kNtfsFixupStride - 2, &tail) || tail != usn) return false;
  // Every offset below was proven inside the record by the two checks above.
  for (size_t i = 1; i <= strides; ++i)
    std::memcpy(record + i * kNtfsFixupStride - 2, record + usaOffset + 2 * i, 2);
  return true;
}

}  // namespace layout
