// The node descriptor and the header record of an HFS+ B-tree (Apple TN1150), big-endian.
//
// Node descriptor, the first 14 bytes of every node:
//     0 4  forward link     4 4  backward link
//     8 1  kind, signed: -1 leaf, 0 index, 1 header, 2 map
//     9 1  height           10 2  number of records   12 2  reserved
// Header record, record 0 of node 0 (at byte 14), 106 bytes:
//     0 2  tree depth        2 4  root node          6 4  leaf records
//    10 4  first leaf node  14 4  last leaf node    18 2  node size
//    20 2  max key length   22 4  total nodes       26 4  free nodes
//    30 2  reserved         32 4  clump size        36 1  B-tree type (0 for HFS+ files)
//    37 1  key compare type (0xCF case folding, 0xBC binary; HFSX catalog only)
//    38 4  attributes: bit 1 big keys, bit 2 variable-length index keys
//    42 64 reserved
#pragma once
#include <cstddef>
#include <cstdint>

namespace layout {

namespace raw {
#pragma pack(push, 1)
struct BTNodeDescriptor {
  uint32_t fLink;       // 0
  uint32_t bLink;       // 4
  int8_t kind;          // 8
  uint8_t height;       // 9
  uint16_t numRecords;  // 10
  uint16_t reserved;    // 12
};
struct BTHeaderRec {
  uint16_t treeDepth;      // 0
  uint32_t rootNode;       // 2
  uint32_t leafRecords;    // 6
  uint32_t firstLeafNode;  // 10
  uint32_t lastLeafNode;   // 14
  uint16_t nodeSize;       // 18
  uint16_t maxKeyLength;   // 20
  uint32_t totalNodes;     // 22
  uint32_t freeNodes;      // 26
  uint16_t reserved1;      // 30
  uint32_t clumpSize;      // 32
  uint8_t btreeType;       // 36
  uint8_t keyCompareType;  // 37
  uint32_t attributes;     // 38
  uint32_t reserved3[16];  // 42
};
#pragma pack(pop)
static_assert(sizeof(BTNodeDescriptor) == 14, "node descriptor is 14 bytes");
static_assert(offsetof(BTNodeDescriptor, kind) == 8, "kind at 8");
static_assert(offsetof(BTNodeDescriptor, numRecords) == 10, "record count at 10");
static_assert(sizeof(BTHeaderRec) == 106, "header record is 106 bytes");
static_assert(offsetof(BTHeaderRec, rootNode) == 2, "root node at 2");
static_assert(offsetof(BTHeaderRec, firstLeafNode) == 10, "first leaf at 10");
static_assert(offsetof(BTHeaderRec, nodeSize) == 18, "node size at 18");
static_assert(offsetof(BTHeaderRec, totalNodes) == 22, "total nodes at 22");
static_assert(offsetof(BTHeaderRec, clumpSize) == 32, "clump size at 32");
static_assert(offsetof(BTHeaderRec, keyCompareType) == 37, "compare type at 37");
static_assert(offsetof(BTHeaderRec, attributes) == 38, "attributes at 38");
}  // namespace raw

const size_t kBTNodeDescriptorSize = sizeof(raw::BTNodeDescriptor);
const size_t kBTHeaderRecSize = sizeof(raw::BTHeaderRec);
const size_t kBTHeaderRecOffset = kBTNodeDescriptorSize;  // in node 0

// Host order.
struct BTNodeDescriptor {
  uint32_t fLink = 0;
  uint32_t bLink = 0;
  int8_t kind = 0;
  uint8_t height = 0;
  uint16_t numRecords = 0;
  uint16_t reserved = 0;
};

struct BTHeaderRec {
  uint16_t treeDepth = 0;
  uint32_t rootNode = 0;
  uint32_t leafRecords = 0;
  uint32_t firstLeafNode = 0;
  uint32_t lastLeafNode = 0;
  uint16_t nodeSize = 0;
  uint16_t maxKeyLength = 0;
  uint32_t totalNodes = 0;
  uint32_t freeNodes = 0;
  uint32_t clumpSize = 0;
  uint8_t btreeType = 0;
  uint8_t keyCompareType = 0;
  uint32_t attributes = 0;
};

// Each refuses fewer bytes than its structure: 14 and 106. Nothing is judged.
bool DecodeBTNodeDescriptor(const uint8_t* data, size_t size, BTNodeDescriptor* out);
bool DecodeBTHeaderRec(const uint8_t* data, size_t size, BTHeaderRec* out);

// The node sizes TN1150 allows: a power of two from 512 to 32768.
bool BTValidNodeSize(uint32_t nodeSize);

const int8_t kBTLeafNode = -1;
const int8_t kBTIndexNode = 0;
const int8_t kBTHeaderNode = 1;
const int8_t kBTMapNode = 2;
const uint32_t kBTBigKeysMask = 0x2;
const uint32_t kBTVariableIndexKeysMask = 0x4;
// Deeper than any tree of 2^32 nodes can be; a header claiming more is damaged.
const uint16_t kBTMaxDepth = 16;

// The header record's rules that every reader of a tree shares: a node size TN1150
// allows; the header node itself in use, so fewer free nodes than nodes; a depth of at
// most kBTMaxDepth; when the tree holds records (depth above 0) a root inside it that is
// not the header node; 16-bit key lengths, which every HFS+ tree has. An empty tree
// (depth 0, root 0) passes: whoever needs records asks for a depth above 0 as well.
bool BTHeaderRecSound(const BTHeaderRec& r);

// The descriptor of a header node: kind 1 at height 0 with its three records (the header
// record, the user data record and the map record).
bool BTHeaderNodeSound(const BTNodeDescriptor& d);

// Kind and height agree within a tree of treeDepth levels: a leaf at height 1, an index
// node from 2 up to the depth, header and map nodes at 0. Other kinds are refused.
bool BTNodeKindSound(int8_t kind, uint8_t height, uint16_t treeDepth);

// The offset of record i from the table at the end of a node of `size` bytes: the u16 at
// size - 2 * (i + 1). The entry after the last record holds the free space's offset.
// False when the entry does not fit.
bool BTRecordOffset(const uint8_t* node, size_t size, size_t i, uint16_t* out);

}  // namespace layout
