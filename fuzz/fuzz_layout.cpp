// Every on-disk layout decoder over arbitrary bytes, and the walks that chain them the way
// readers do (the attributes of a FILE record, an attribute list, a GPT entry array, a
// directory's 32-byte entries). A decoder that accepts a record must leave every sub-range
// it reports inside that record.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "common/layout/apple_partition_map.h"
#include "common/layout/exfat_boot.h"
#include "common/layout/exfat_dirent.h"
#include "common/layout/fat_boot.h"
#include "common/layout/fat_dirent.h"
#include "common/layout/gpt.h"
#include "common/layout/hfsplus_btree.h"
#include "common/layout/hfsplus_catalog.h"
#include "common/layout/hfsplus_journal.h"
#include "common/layout/hfsplus_volume.h"
#include "common/layout/mbr.h"
#include "common/layout/ntfs_attribute.h"
#include "common/layout/ntfs_attribute_list.h"
#include "common/layout/ntfs_boot.h"
#include "common/layout/ntfs_file_name.h"
#include "common/layout/ntfs_file_record.h"
#include "common/layout/ntfs_fixup.h"
#include "common/layout/ntfs_index.h"

namespace {

void Check(bool ok) {
  if (!ok) abort();
}

void WalkAttributeList(const uint8_t* p, size_t size) {
  for (size_t off = 0; off < size;) {
    size_t step = layout::NtfsAttributeListEntryStep(p + off, size - off);
    Check(step == 0 || (step >= layout::kNtfsAttributeListEntryMinSize && step <= size - off));
    layout::NtfsAttributeListEntry e;
    bool ok = layout::DecodeNtfsAttributeListEntry(p + off, size - off, &e);
    Check(!ok || e.recordLength == step);
    if (!step) break;
    if (ok) Check(!e.nameLength || size_t(e.nameOffset) + 2u * e.nameLength <= e.recordLength);
    off += step;
  }
}

// The bytes as an index buffer's node: every entry accepted lies inside the node's bytes in use.
void WalkIndexNode(const uint8_t* p, size_t size) {
  const size_t node = layout::kNtfsIndexNodeHeaderOffset;
  layout::NtfsIndexNodeHeader h;
  if (size < node || !layout::DecodeNtfsIndexNodeHeader(p + node, size - node, &h)) return;
  Check(h.entriesOffset < h.indexLength && h.indexLength <= size - node);
  const size_t end = node + h.indexLength;
  layout::NtfsIndexEntry e;
  for (size_t pos = node + h.entriesOffset; pos < end; pos += e.length) {
    if (!layout::DecodeNtfsIndexEntry(p + pos, end - pos, &e) || e.isLast) break;
    Check(e.length >= layout::kNtfsIndexEntryHeaderSize && e.length <= end - pos && !(e.length & 7));
    layout::NtfsFileName fn;
    if (e.keyInside && layout::DecodeNtfsFileName(p + pos + 16, e.keyLength, &fn))
      Check(layout::kNtfsFileNameMinSize + 2 * fn.name.size() <= e.keyLength);
  }
}

void WalkRecord(const uint8_t* p, size_t size) {
  layout::NtfsFileRecordHeader h;
  if (layout::ReadNtfsFileRecordHeader(p, size, &h)) Check(layout::NtfsAttributesEnd(h, size) <= size);
  if (!layout::DecodeNtfsFileRecordHeader(p, size, &h)) return;
  Check(h.bytesInUse <= size && h.firstAttributeOffset + size_t(4) <= h.bytesInUse);
  Check(size_t(h.usaOffset) + 2u * h.usaCount <= size);
  size_t at = h.firstAttributeOffset;
  for (int guard = 0; guard < 4096 && at < h.bytesInUse; ++guard) {
    layout::NtfsAttributeHeader a;
    if (!layout::DecodeNtfsAttributeHeader(p + at, h.bytesInUse - at, &a) || a.isEnd) break;
    Check(a.length >= layout::kNtfsResidentHeaderSize && a.length <= h.bytesInUse - at);
    Check(!a.nameLength || size_t(a.nameOffset) + 2u * a.nameLength <= a.length);
    if (a.nonResident) {
      Check(a.mappingPairsOffset >= layout::kNtfsNonResidentHeaderSize && a.mappingPairsOffset < a.length);
    } else {
      Check(uint64_t(a.valueOffset) + a.valueLength <= a.length);
      const uint8_t* v = p + at + a.valueOffset;
      layout::NtfsFileName fn;
      if (a.type == 0x30 && layout::DecodeNtfsFileName(v, a.valueLength, &fn))
        Check(layout::kNtfsFileNameMinSize + 2 * fn.name.size() <= a.valueLength);
      if (a.type == 0x20) WalkAttributeList(v, a.valueLength);
    }
    at += a.length;
  }
}

void Boots(const uint8_t* p, size_t size) {
  layout::MbrSector mbr;
  layout::Ebr ebr;
  if (layout::DecodeMbrSector(p, size, &mbr))
    for (const layout::MbrEntry& e : mbr.entries) layout::IsExtendedPartitionType(e.type);
  layout::DecodeEbr(p, size, &ebr);
  for (bool isEbr : {false, true}) {
    layout::PartitionRecord r;
    if (layout::DecodePartitionRecord(p, size, isEbr, &r)) Check(r.count <= (isEbr ? 2u : 4u));
  }

  layout::GptHeader g;
  if (layout::DecodeGptHeader(p, size, &g)) {
    Check(g.headerSize >= layout::kGptHeaderMinSize && g.headerSize <= size);
    Check(g.entryArrayBytes == uint64_t(g.entryCount) * g.entrySize);
    uint64_t sectors = 0;
    layout::ValidateGptEntryArray(g, 512, UINT64_MAX, 1u << 20, &sectors);
    // The bytes after the header stand for the entry array.
    for (uint32_t i = 0; i < g.entryCount && i < 512; ++i) {
      layout::GptEntry e;
      if (!layout::GptEntryAt(p + g.headerSize, size - g.headerSize, g.entrySize, i, &e)) break;
      Check(e.name[36] == 0);
    }
  }

  layout::NtfsBootSector nb;
  if (layout::DecodeNtfsBootSector(p, size, &nb)) {
    uint64_t bytes = 0;
    uint64_t cluster = uint64_t(nb.bytesPerSector) * layout::NtfsSectorsPerCluster(nb.sectorsPerClusterCode);
    layout::NtfsSizeFromClusters(nb.clustersPerRecord, cluster, &bytes);
    layout::NtfsSizeFromClusters(nb.clustersPerIndexBuffer, cluster, &bytes);
    layout::NtfsBootGeometry g;
    if (layout::NtfsBootSectorRecognised(nb, &g)) {
      Check(g.clusterBytes == g.bytesPerSector * g.sectorsPerCluster && g.recordBytes >= 512);
      layout::NtfsGeometryFitsSectors(g, 4096);
    }
  }
  if (size >= layout::kNtfsFixupStride) {
    // On a copy: the fixup writes.
    size_t n = size - size % layout::kNtfsFixupStride;
    std::vector<uint8_t> rec(p, p + n);
    layout::NtfsApplyFixup(rec.data(), rec.size());
  }

  layout::FatBootSector fb;
  if (layout::DecodeFatBootSector(p, size, &fb)) {
    uint64_t clusters = 0;
    if (layout::FatDataClusters(fb, &clusters)) layout::FatTypeFromClusters(clusters);
    int kind = layout::FatKind(fb);
    Check(kind == 0 || (layout::FatBootSectorSane(fb) && (kind == 12 || kind == 16 || kind == 32)));
  }
  layout::ExfatBootSector xb;
  if (layout::DecodeExfatBootSector(p, size, &xb))
    Check(!layout::ExfatBootSectorRecognised(xb) || layout::ExfatSectorsPerCluster(xb) != 0);

  layout::HFSPlusVolumeHeader vh;
  layout::DecodeHFSPlusVolumeHeader(p, size, &vh);
  if (size > layout::kHFSPlusVolumeHeaderOffset)
    layout::DecodeHFSPlusVolumeHeader(p + layout::kHFSPlusVolumeHeaderOffset,
                                      size - layout::kHFSPlusVolumeHeaderOffset, &vh);
  if (size >= layout::kHFSPlusVolumeHeaderSize) layout::HFSPlusVolumeHeaderValid(vh);
  // An Apple partition map over the bytes: its entries' texts end inside them.
  layout::ApmEntry pm;
  if (layout::DecodeApmEntry(p, size, &pm)) Check(pm.type[32] == 0 && pm.name[32] == 0);
  layout::ApmHfsStarts(p, size);
  layout::BTNodeDescriptor d;
  layout::BTHeaderRec r;
  if (layout::DecodeBTNodeDescriptor(p, size, &d) &&
      layout::DecodeBTHeaderRec(p + layout::kBTHeaderRecOffset, size - layout::kBTHeaderRecOffset, &r)) {
    layout::BTValidNodeSize(r.nodeSize);
    layout::BTHeaderRecSound(r);
    layout::BTHeaderNodeSound(d);
    layout::BTNodeKindSound(d.kind, d.height, r.treeDepth);
  }
  // A node's records through its offset table, each as a catalog or extents record.
  for (size_t i = 0; i < 64; ++i) {
    uint16_t off = 0, next = 0;
    if (!layout::BTRecordOffset(p, size, i, &off) || !layout::BTRecordOffset(p, size, i + 1, &next)) break;
    if (off >= size) continue;
    const uint8_t* rec = p + off;
    size_t len = size - off;
    layout::HFSPlusCatalogKey k;
    if (layout::DecodeHFSPlusCatalogKey(rec, len, &k) && layout::HFSPlusCatalogKeySound(k) &&
        size_t(k.keyLength) + 2 <= len) {
      const uint8_t* data = rec + 2 + k.keyLength;
      size_t left = len - 2 - k.keyLength;
      layout::HFSPlusCatalogEntry e;
      layout::HFSPlusCatalogThread t;
      uint16_t type = layout::HFSPlusCatalogRecordType(data, left);
      Check(!type || type <= layout::kHFSPlusFileThreadRecordType);
      if (layout::DecodeHFSPlusCatalogEntry(data, left, &e))
        Check(left >= (e.recordType == layout::kHFSPlusFileRecordType ? 248u : 88u));
      if (layout::DecodeHFSPlusCatalogThread(data, left, &t)) {
        uint16_t unit = 0;
        Check(!t.nameLength || layout::HFSPlusNameUnit(data, left, layout::kHFSPlusCatalogThreadNameOffset,
                                                       t.nameLength - 1u, &unit));
      }
    }
    layout::HFSPlusExtentKey x;
    layout::HFSPlusExtentDescriptor ext[8];
    if (layout::DecodeHFSPlusExtentKey(rec, len, &x))
      layout::DecodeHFSPlusExtentRecord(rec + layout::kHFSPlusExtentKeySize, len - layout::kHFSPlusExtentKeySize, ext);
  }
  layout::JournalInfoBlock jib;
  layout::DecodeJournalInfoBlock(p, size, &jib);
  layout::journal_header jh;
  layout::DecodeJournalHeader(p, size, &jh);
  layout::block_list_header bl;
  if (layout::DecodeBlockListHeader(p, size, &bl)) {
    layout::block_info bi;
    for (size_t k = 0; k < bl.num_blocks && layout::DecodeBlockInfo(p, size, k, &bi); ++k) {
    }
  }
}

void Directories(const uint8_t* p, size_t size) {
  for (size_t off = 0; off < size; off += 32) {
    const uint8_t* e = p + off;
    size_t left = size - off;
    layout::FatDirEntry de;
    layout::FatLongNameEntry ln;
    layout::ExfatFileEntry f;
    layout::ExfatStreamEntry st;
    layout::ExfatNameEntry n;
    layout::ExfatBitmapEntry bm;
    layout::ExfatUpcaseEntry up;
    layout::ExfatLabelEntry lb;
    bool any = layout::DecodeFatDirEntry(e, left, &de);
    Check(any == (left >= 32));
    if (any) Check(layout::FatDotName(de.name) <= 2);
    layout::DecodeFatLongNameEntry(e, left, &ln);
    layout::DecodeExfatFileEntry(e, left, &f);
    layout::DecodeExfatStreamEntry(e, left, &st);
    layout::DecodeExfatNameEntry(e, left, &n);
    layout::DecodeExfatBitmapEntry(e, left, &bm);
    layout::DecodeExfatUpcaseEntry(e, left, &up);
    if (layout::DecodeExfatLabelEntry(e, left, &lb)) Check(lb.label.size() <= layout::kExfatLabelChars);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1u << 16)) return 0;
  Boots(data, size);
  WalkRecord(data, size);
  WalkIndexNode(data, size);
  WalkAttributeList(data, size);
  Directories(data, size);
  return 0;
}
