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

}  // namespace layout
