// Rebuilds a directory tree from loose on-disk records that arrive in any order: entries are
// kept in a graph keyed by the file system's own ids and handed out with their folder path
// once it can be built; folders whose parents are gone end up under the orphan folder.
#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

class IDevice;

namespace GFS {

// Ids are 64 bits wide and kept in two ranges. Every id a disk gives (NTFS record numbers of
// 48 bits, HFS+ CNIDs of 32, the FAT readers' cluster-based ids) lies below kSyntheticIdBase;
// the ids that no disk holds (the orphan folder's, a scanner's stand-in folders) lie at it
// and above. So a file or folder whose own number is any value at all is still placed.
const int64_t kSyntheticIdBase = int64_t(1) << 62;
const int64_t kOrphanId = kSyntheticIdBase;

struct NodeInfo {
  int kind;    // 0 named entry, 1 id entry
  int origin;  // 0 given name, 1 generated "DIR%08d", 2 the volume root
  int64_t id;
};

struct Node {
  std::u16string name;
  std::vector<int64_t> parents;
  NodeInfo info;
  void* payload;
  bool placeholder;  // made by the graph for a parent that never arrived
};

typedef int (*FileFn)(const char16_t* folderPath, const char16_t* name, void* payload, void* user,
                      int percent);
typedef void (*ReleaseFn)(void* payload, void* user);
// Answers true when the new payload should replace the stored one.
typedef bool (*MergeFn)(void* existing, void* incoming, int exists);

class CGraphFileSystem {
 public:
  CGraphFileSystem();
  virtual ~CGraphFileSystem();

  void SetRootNode(int64_t rootId, int64_t rootParentId, const char16_t* rootName, void* payload,
                   const char16_t* orphanName);
  int AddNode(int64_t id, int64_t parentId, const char16_t* name, void* payload, MergeFn merge);
  int AddNamedNode(int64_t id, int64_t parentId, const char16_t* name, void* payload, MergeFn merge);
  void SetDevice(IDevice* device) { m_device = device; }
  int FlushNodes(FileFn fileFn, ReleaseFn releaseFn, void* user);
  int EnumNodes(FileFn fileFn, void* user);
  void ReleaseNodes(ReleaseFn releaseFn, void* user);
  std::u16string MakeDirName();

  size_t NamedCount() const { return m_named.size(); }
  size_t IdCount() const { return m_ids.size(); }

 private:
  typedef std::vector<Node*> Chain;
  typedef std::pair<int64_t, std::u16string> NamedKey;

  int Insert(Node* node, bool named, MergeFn merge);
  void CollectChains(Node* node, int depth, std::vector<int64_t>* onPath, std::vector<Chain>* out);
  // False when no path can be built yet; with create, missing parents become placeholders.
  // With allowPlaceholders false a chain that passes through a placeholder is not built.
  bool BuildNodePath(const Chain& chain, bool create, bool allowPlaceholders);
  bool ChainUsesPlaceholder(const Chain& chain) const;
  int HandOut(Node* node, FileFn fileFn, void* user, bool final, bool* stop);
  bool ParentPathExists(const Node* node);

  std::map<int64_t, Node*> m_ids;
  std::map<NamedKey, Node*> m_named;
  Node* m_root;
  int m_dirCounter;
  std::u16string m_path;
  IDevice* m_device;
  NamedKey m_cursor;  // where the next flush goes on
  bool m_cursorSet;
};

}  // namespace GFS
