// The catalog and extents-overflow B-trees of an HFS+/HFSX volume: on-disk layouts, tree
// and node handles, keyed lookups and the process-wide node cache the HFS+ scan shares.
// On-disk integers are big-endian and are read only through the layout decoders.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <utility>

#include "common/layout/hfsplus_btree.h"
#include "common/layout/hfsplus_catalog.h"
#include "scanoperate/hfsp/hfspdebug.h"
#include "scanoperate/hfsp/hfsplus_format.h"

class IStorageDevice;

// The on-disk layouts and their decoders are the layout layer's; the names below are the
// ones the tree layer and its readers use.
typedef layout::BTNodeDescriptor BTNodeDescriptor;  // host order
typedef layout::BTHeaderRec BTHeaderRec;            // host order
typedef layout::raw::HFSUniStr255 HFSUniStr255;
typedef layout::raw::HFSPlusCatalogKey HFSPlusCatalogKey;
typedef layout::raw::HFSPlusCatalogFolder HFSPlusCatalogFolder;
typedef layout::raw::HFSPlusCatalogFile HFSPlusCatalogFile;
// Held in host order once found (the overflow records the formatted reader keeps).
typedef layout::raw::HFSPlusExtentKey HFSPlusExtentKey;

enum HfsCatalogRecordType : uint16_t {
  kHfsPlusFolderRecord = 1,
  kHfsPlusFileRecord = 2,
  kHfsPlusFolderThreadRecord = 3,
  kHfsPlusFileThreadRecord = 4,
};
enum HfsTreeId : uint32_t { kHfsExtentsFileID = 3, kHfsCatalogFileID = 4 };

using layout::kBTBigKeysMask;
using layout::kBTHeaderNode;
using layout::kBTIndexNode;
using layout::kBTLeafNode;
using layout::kBTMapNode;
using layout::kBTVariableIndexKeysMask;
const uint8_t kHfsCaseFolding = 0xCF;
const uint8_t kHfsBinaryCompare = 0xBC;
const size_t kHfsMaxCatalogKeyBytes = layout::kHFSPlusCatalogKeyMaxSize;  // with the key-length field
const uint32_t kNodeCacheEntries = 6400;

// The volume header in host order as the tree layer and the journal miner take it: the
// real header, so that nothing decodes the header twice.
struct HfspVolume : HFSPlusVolumeHeader {};
static_assert(sizeof(HfspVolume) == sizeof(HFSPlusVolumeHeader), "HfspVolume adds nothing");
// Decodes the 512-byte volume header (as read from byte 1024 of the volume).
bool hfsplus_parse_volume(const uint8_t* raw, size_t size, HfspVolume* out);

// Keys are compared as the bytes from their key-length field on; each side says how many
// bytes are really there.
typedef int (*HfsKeyCompare)(const uint8_t* a, size_t aBytes, const uint8_t* b, size_t bBytes);

// What the leaf nodes of a catalog still tell when its header node cannot be read, found
// by their own shape among the catalog file's blocks: its files by parent and name, and its
// folders by CNID with their parent and name (names with "/" shown as ":"). Leaves left in
// free nodes count as well, so that nothing a leaf still names is taken for deleted.
struct HfsCatalogLeaves {
  std::set<std::pair<uint32_t, std::u16string>> files;
  std::map<uint32_t, std::pair<uint32_t, std::u16string>> folders;
};

struct _hfsplus_tree {
  HfsKeyCompare compare;
  uint32_t treeId;
  uint32_t rootNode;
  uint32_t totalNodes;
  uint32_t freeNodes;
  uint32_t attributes;
  uint16_t nodeSize;
  uint16_t maxKeyLength;
  uint16_t treeDepth;
  IStorageDevice* device;
  HfspVolume volume;
  uint64_t startOffset;
  uint8_t header[layout::kBTHeaderRecSize];  // as read, big-endian
  _hfsplus_tree* extentsTree;           // catalog only: maps blocks past the eighth extent
  bool opened;
  const HfsCatalogLeaves* leaves;       // catalog only: what answers while it is not opened
};

struct _hfsplus_node {
  _hfsplus_tree* tree;
  uint32_t bLink;
  uint32_t nodeNum;
  uint32_t fLink;
  uint16_t numRecords;
  int8_t kind;
  uint8_t height;
};

int hfsplus_read_device(IStorageDevice* device, uint64_t byteOffset, uint32_t length, void* buffer);
int hfsplus_btree_open(_hfsplus_tree* tree, IStorageDevice* device, const HfspVolume* volume,
                       uint32_t treeId);
uint64_t hfsplus_node_to_offset(const _hfsplus_node* node);
uint16_t hfsplus_node_read(const _hfsplus_node* node, void* dst, uint16_t offset, uint16_t length);
int hfsplus_read_node_desc(_hfsplus_tree* tree, uint32_t nodeNum, _hfsplus_node* node);
bool hfsplus_check_node_kind(const _hfsplus_tree* tree, int8_t kind, uint8_t height);
uint16_t hfsplus_rec_offset_len(const _hfsplus_node* node, int i, uint16_t* offset);
uint16_t hfsplus_rec_offset(const _hfsplus_node* node, int i);
uint16_t hfsplus_rec_key_len(const _hfsplus_node* node, int i);
uint16_t hfsplus_rec_read_key(const _hfsplus_node* node, int i, void* buf, uint16_t maxLength);
uint16_t hfsplus_rec_read_data(const _hfsplus_node* node, int i, void* buf, uint16_t maxLength);
// Record index, or -1 with *status set (-2 every key is greater, -5 unreadable key).
int hfsplus_find_rec_in_node(const _hfsplus_node* node, const uint8_t* key, size_t keyBytes,
                             int* status);
int hfsplus_descend_to_leaf(_hfsplus_tree* tree, const uint8_t* key, size_t keyBytes, int* index,
                            int* status, _hfsplus_node* leaf);
// Greatest key not above the search key: its key (at most *keyBytes) and data (at most
// *length) are copied out and both lengths updated.
int hfsplus_btfind(_hfsplus_tree* tree, uint8_t* key, size_t* keyBytes, void* data,
                   uint32_t* length);
int hfsplus_btfind_exact(_hfsplus_tree* tree, const uint8_t* key, size_t keyBytes, void* data,
                         uint32_t* length, int flags, const char* caller);
// Every leaf record from firstLeafNode along the forward links; a link that returns to a
// node already seen ends the walk. The callback answers false to stop.
typedef std::function<bool(const uint8_t* key, size_t keyBytes, const uint8_t* data,
                           size_t dataBytes)>
    HfsLeafVisitor;
int hfsplus_walk_leaves(_hfsplus_tree* tree, const HfsLeafVisitor& visit);

// The extents-overflow record of fileID's data fork that starts at fork block startBlock:
// its eight extents, or false when the tree holds no record that starts exactly there.
bool hfsplus_overflow_record(_hfsplus_tree* extents, uint32_t fileID, uint64_t startBlock,
                             layout::HFSPlusExtentDescriptor out[8]);

int hfsplus_cat_key_cmp(const uint8_t* a, size_t aBytes, const uint8_t* b, size_t bBytes);
int hfsplus_cat_key_cmp_binary(const uint8_t* a, size_t aBytes, const uint8_t* b, size_t bBytes);
int hfsplus_ext_key_cmp(const uint8_t* a, size_t aBytes, const uint8_t* b, size_t bBytes);
void hfsplus_make_ext_key(uint8_t key[12], uint32_t fileID, uint32_t startBlock, uint8_t forkType);
// A catalog search key (keyLength, parentID, name); name is host-order units. Returns
// the key's bytes including the key-length field.
size_t hfsplus_make_cat_key(uint8_t* key, size_t room, uint32_t parentID, const char16_t* name,
                            uint16_t units);

// The node cache and its pool.
uint8_t* hfsplus_pool_alloc();
void hfsplus_pool_mark(uint8_t* slot, int set);
void hfsplus_pool_free();
void hfsplus_node_cache_free();
void hfsplus_name_nodes_free();
size_t hfsplus_node_cache_size();
uint32_t hfsplus_pool_slot_size();
