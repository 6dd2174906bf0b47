#include "common/layout/hfsplus_btree.h"

#include "common/inc/bytes.h"

namespace layout {

bool DecodeBTNodeDescriptor(const uint8_t* data, size_t size, BTNodeDescriptor* out) {
  if (!data || !out || size < kBTNodeDescriptorSize) return false;
  kbytes::ByteView v(data, size);
  BTNodeDescriptor d;
  uint8_t kind = 0;
  bool ok = v.Be32(offsetof(raw::BTNodeDescriptor, fLink), &d.fLink) &&
            v.Be32(offsetof(raw::BTNodeDescriptor, bLink), &d.bLink) &&
            v.U8(offsetof(raw::BTNodeDescriptor, kind), &kind) &&
            v.U8(offsetof(raw::BTNodeDescriptor, height), &d.height) &&
            v.Be16(offsetof(raw::BTNodeDescriptor, numRecords), &d.numRecords) &&
            v.Be16(offsetof(raw::BTNodeDescriptor, reserved), &d.reserved);
  if (!ok) return false;
  d.kind = int8_t(kind);
  *out = d;
  return true;
}

bool DecodeBTHeaderRec(const uint8_t* data, size_t size, BTHeaderRec* out) {
  if (!data || !out || size < kBTHeaderRecSize) return false;
  kbytes::ByteView v(data, size);
  BTHeaderRec r;
  typedef raw::BTHeaderRec R;
  bool ok =
      v.Be16(offsetof(R, treeDepth), &r.treeDepth) && v.Be32(offsetof(R, rootNode), &r.rootNode) &&
      v.Be32(offsetof(R, leafRecords), &r.leafRecords) &&
      v.Be32(offsetof(R, firstLeafNode), &r.firstLeafNode) &&
      v.Be32(offsetof(R, lastLeafNode), &r.lastLeafNode) && v.Be16(offsetof(R, nodeSize), &r.nodeSize) &&
      v.Be16(offsetof(R, maxKeyLength), &r.maxKeyLength) && v.Be32(offsetof(R, totalNodes), &r.totalNodes) &&
      v.Be32(offsetof(R, freeNodes), &r.freeNodes) && v.Be32(offsetof(R, clumpSize), &r.clumpSize) &&
      v.U8(offsetof(R, btreeType), &r.btreeType) && v.U8(offsetof(R, keyCompareType), &r.keyCompareType) &&
      v.Be32(offsetof(R, attributes), &r.attributes);
  if (!ok) return false;
  *out = r;
  return true;
}

bool BTValidNodeSize(uint32_t nodeSize) {
  return nodeSize >= 512 && nodeSize <= 32768 && kbytes::IsPowerOfTwo(nodeSize);
}

bool BTHeaderRecSound(const BTHeaderRec& r) {
  if (!BTValidNodeSize(r.nodeSize)) return false;
  if (r.freeNodes >= r.totalNodes) return false;
  if (r.treeDepth > kBTMaxDepth) return false;
  if (r.treeDepth != 0 && (r.rootNode == 0 || r.rootNode >= r.totalNodes)) return false;
  return (r.attributes & kBTBigKeysMask) != 0;
}

bool BTHeaderNodeSound(const BTNodeDescriptor& d) {
  return d.kind == kBTHeaderNode && d.height == 0 && d.numRecords == 3;
}

bool BTNodeKindSound(int8_t kind, uint8_t height, uint16_t treeDepth) {
  switch (kind) {
    case kBTIndexNode:
      return height >= 2 && height <= treeDepth;
    case kBTLeafNode:
      return height == 1;
    case kBTHeaderNode:
    case kBTMapNode:
      return height == 0;
    default:
      return false;
  }
}

bool BTRecordOffset(const uint8_t* node, size_t size, size_t i, uint16_t* out) {
  if (!node || !out || i >= size / 2) return false;
  return kbytes::ReadBe16(node, size, size - 2 * (i + 1), out);
}

}  // namespace layout
