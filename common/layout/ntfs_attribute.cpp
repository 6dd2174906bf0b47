#include "common/layout/ntfs_attribute.h"

#include "common/inc/bytes.h"

namespace layout {

bool DecodeNtfsAttributeHeader(const uint8_t* data, size_t size, NtfsAttributeHeader* out) {
  if (!data || !out) return false;
  kbytes::ByteView v(data, size);
  NtfsAttributeHeader a;
  if (!v.Le32(offsetof(raw::NtfsAttributeHeader, type), &a.type)) return false;
  if (a.type == kNtfsAttributeEnd) {
    a.isEnd = true;
    *out = a;
    return true;
  }
  if (size < kNtfsResidentHeaderSize) return false;
  uint8_t nonResident = 0;
  bool ok = v.Le32(offsetof(raw::NtfsAttributeHeader, length), &a.length) &&
            v.U8(offsetof(raw::NtfsAttributeHeader, nonResident), &nonResident) &&
            v.U8(offsetof(raw::NtfsAttributeHeader, nameLength), &a.nameLength) &&
            v.Le16(offsetof(raw::NtfsAttributeHeader, nameOffset), &a.nameOffset) &&
            v.Le16(offsetof(raw::NtfsAttributeHeader, flags), &a.flags) &&
            v.Le16(offsetof(raw::NtfsAttributeHeader, attributeId), &a.attributeId);
  if (!ok) return false;
  a.nonResident = nonResident != 0;
  size_t least = a.nonResident ? kNtfsNonResidentHeaderSize : kNtfsResidentHeaderSize;
  if (a.length < least || a.length > size) return false;
  if (a.nameLength && !kbytes::Fits(a.length, a.nameOffset, size_t(a.nameLength) * 2)) return false;
  // From here on every field lies inside the attribute's own length.
  kbytes::ByteView in(data, a.length);
  if (!a.nonResident) {
    ok = in.Le32(offsetof(raw::NtfsResidentAttribute, valueLength), &a.valueLength) &&
         in.Le16(offsetof(raw::NtfsResidentAttribute, valueOffset), &a.valueOffset) &&
         in.U8(offsetof(raw::NtfsResidentAttribute, indexed), &a.indexed);
    if (!ok || !kbytes::Fits(a.length, a.valueOffset, a.valueLength)) return false;
  } else {
    ok = in.Le64(offsetof(raw::NtfsNonResidentAttribute, lowestVcn), &a.lowestVcn) &&
         in.Le64(offsetof(raw::NtfsNonResidentAttribute, highestVcn), &a.highestVcn) &&
         in.Le16(offsetof(raw::NtfsNonResidentAttribute, mappingPairsOffset), &a.mappingPairsOffset) &&
         in.U8(offsetof(raw::NtfsNonResidentAttribute, compressionUnit), &a.compressionUnit) &&
         in.Le64(offsetof(raw::NtfsNonResidentAttribute, allocatedSize), &a.allocatedSize) &&
         in.Le64(offsetof(raw::NtfsNonResidentAttribute, dataSize), &a.dataSize) &&
         in.Le64(offsetof(raw::NtfsNonResidentAttribute, initializedSize), &a.initializedSize);
    if (!ok || a.mappingPairsOffset < kNtfsNonResidentHeaderSize || a.mappingPairsOffset >= a.length)
      return false;
    // The compressed size is there only when the mapping pairs start behind it.
    if (a.mappingPairsOffset >= sizeof(raw::NtfsNonResidentAttribute))
      a.hasCompressedSize =
          in.Le64(offsetof(raw::NtfsNonResidentAttribute, compressedSize), &a.compressedSize);
  }
  *out = a;
  return true;
}

}  // namespace layout
