#include "graphfs/graphfs.h"

#include <algorithm>
#include <cstdio>

#include "filemanager/formerplace.h"
#include "filemanager/wtext.h"

namespace GFS {

namespace {
const int kMaxDepth = 256;
const size_t kMaxNameChars = 259;
const size_t kMaxHandOutPath = 258;
const size_t kPathBuffer = 4096;
// Many parents per level could multiply paths without end; a file needs only a few.
const size_t kMaxChains = 64;
}  // namespace

CGraphFileSystem::CGraphFileSystem()
    : m_root(nullptr), m_dirCounter(0), m_device(nullptr), m_cursorSet(false) {}

CGraphFileSystem::~CGraphFileSystem() {
  for (auto& kv : m_named) delete kv.second;
  for (auto& kv : m_ids)
    if (kv.second != m_root) delete kv.second;
  delete m_root;
}

std::u16string CGraphFileSystem::MakeDirName() {
  char text[16];
  std::snprintf(text, sizeof text, "DIR%08d", m_dirCounter++);
  return wtext::FromAscii(text);
}

void CGraphFileSystem::SetRootNode(int64_t rootId, int64_t rootParentId, const char16_t* rootName,
                                   void* payload, const char16_t* orphanName) {
  if (m_root) {
    auto it = m_ids.find(m_root->info.id);
    if (it != m_ids.end() && it->second == m_root) m_ids.erase(it);
    delete m_root;
    m_root = nullptr;
  }
  auto old = m_ids.find(kOrphanId);
  if (old != m_ids.end()) {
    delete old->second;
    m_ids.erase(old);
  }
  Node* orphan = new Node{orphanName ? orphanName : u"", {rootId}, {1, 0, kOrphanId}, nullptr, false};
  m_ids[kOrphanId] = orphan;
  m_root = new Node{rootName ? rootName : u"", {rootParentId}, {1, 2, rootId}, payload, false};
  auto prev = m_ids.find(rootId);
  if (prev != m_ids.end()) delete prev->second;
  m_ids[rootId] = m_root;
}

bool CGraphFileSystem::ParentPathExists(const Node* node) {
  if (!m_device || node->parents.empty()) return false;
  auto it = m_ids.find(node->parents[0]);
  if (it == m_ids.end()) return false;
  std::vector<Chain> chains;
  std::vector<int64_t> onPath;
  CollectChains(it->second, 0, &onPath, &chains);
  if (chains.empty()) return false;
  Chain c = chains[0];
  c.push_back(const_cast<Node*>(node));
  c.push_back(const_cast<Node*>(node));  // BuildNodePath leaves out the last member
  if (!BuildNodePath(c, false, true)) return false;
  return FormerPlaceExists(m_device, m_path.c_str());
}

int CGraphFileSystem::Insert(Node* node, bool named, MergeFn merge) {
  Node** slot;
  if (named) {
    NamedKey key(node->info.id, node->name);
    auto r = m_named.emplace(key, node);
    if (r.second) return 0;
    slot = &r.first->second;
  } else {
    auto r = m_ids.emplace(node->info.id, node);
    if (r.second) return 0;
    slot = &r.first->second;
  }
  Node* stored = *slot;
  bool replace;
  if (!named && stored->placeholder) {
    // The real folder arrived after its children were given a stand-in: it takes over.
    replace = true;
  } else if (merge) {
    replace = merge(stored->payload, node->payload, ParentPathExists(node) ? 1 : 0);
  } else {
    replace = node->name.size() > stored->name.size();
  }
  if (!replace) {
    delete node;
    return merge ? 3 : 2;
  }
  stored->name = node->name;
  stored->parents = node->parents;
  stored->info = node->info;
  stored->payload = node->payload;
  stored->placeholder = false;
  delete node;
  return 3;
}

int CGraphFileSystem::AddNode(int64_t id, int64_t parentId, const char16_t* name, void* payload, MergeFn merge) {
  if (name && (!*name || wtext::Len(name) > kMaxNameChars)) return -1;
  if (id == parentId) return -1;
  if (m_root && (id == m_root->info.id || id == kOrphanId)) return -1;
  Node* n = new Node{name ? std::u16string(name) : MakeDirName(), {parentId}, {1, name ? 0 : 1, id},
                     payload, false};
  return Insert(n, false, merge);
}

int CGraphFileSystem::AddNamedNode(int64_t id, int64_t parentId, const char16_t* name, void* payload,
                                   MergeFn merge) {
  if (!name || !*name || wtext::Len(name) > kMaxNameChars) return -1;
  if (id == parentId || parentId == kOrphanId) return -1;
  Node* n = new Node{name, {parentId}, {0, 0, id}, payload, false};
  return Insert(n, true, merge);
}

void CGraphFileSystem::CollectChains(Node* node, int depth, std::vector<int64_t>* onPath,
                                     std::vector<Chain>* out) {
  if (depth > kMaxDepth) return;
  if (node->parents.empty() || node == m_root) {
    out->push_back(Chain{node});
    return;
  }
  onPath->push_back(node->info.id);
  for (int64_t p : node->parents) {
    if (out->size() >= kMaxChains) break;
    if (std::find(onPath->begin(), onPath->end(), p) != onPath->end()) {
      // A cycle: cut the link here and keep the entry under the orphan folder.
      auto orphan = m_ids.find(kOrphanId);
      if (orphan != m_ids.end() && node->info.id != kOrphanId &&
          std::find(onPath->begin(), onPath->end(), kOrphanId) == onPath->end()) {
        std::vector<Chain> up;
        CollectChains(orphan->second, depth + 1, onPath, &up);
        for (Chain& c : up) {
          c.push_back(node);
          out->push_back(std::move(c));
        }
      } else {
        out->push_back(Chain{node});
      }
      continue;
    }
    auto it = m_ids.find(p);
    if (it == m_ids.end()) {
      out->push_back(Chain{node});
      continue;
    }
    std::vector<Chain> up;
    CollectChains(it->second, depth + 1, onPath, &up);
    for (Chain& c : up) {
      if (out->size() >= kMaxChains) break;
      c.push_back(node);
      out->push_back(std::move(c));
    }
  }
  onPath->pop_back();
}

bool CGraphFileSystem::ChainUsesPlaceholder(const Chain& chain) const {
  for (const Node* n : chain)
    if (n->placeholder) return true;
  return false;
}

bool CGraphFileSystem::BuildNodePath(const Chain& chain, bool create, bool allowPlaceholders) {
  m_path.clear();
  if (chain.empty()) return false;
  if (!allowPlaceholders && ChainUsesPlaceholder(chain)) return false;
  Node* top = chain.front();
  if (top != m_root && m_root) {
    bool lost = false;
    for (int64_t p : top->parents) {
      if (p == kOrphanId) lost = true;
      if (create && m_ids.find(p) == m_ids.end()) {
        Node* ph = new Node{MakeDirName(), {kOrphanId}, {1, 1, p}, nullptr, true};
        m_ids[p] = ph;
      }
    }
    if (!lost) return false;
    m_path = u"Lost Location";
  }
  for (size_t i = 0; i + 1 < chain.size(); ++i) {
    const std::u16string& name = chain[i]->name;
    if (name.empty()) continue;
    if (m_path.size() + 1 + name.size() >= kPathBuffer) break;
    m_path += u'/';
    m_path += name;
  }
  return true;
}

int CGraphFileSystem::HandOut(Node* node, FileFn fileFn, void* user, bool final, bool* stop) {
  std::vector<Chain> chains;
  std::vector<int64_t> onPath;
  CollectChains(node, 0, &onPath, &chains);
  if (chains.empty()) return 0;  // deeper than the cap: never placeable
  std::vector<std::u16string> paths;
  for (const Chain& c : chains) {
    if (BuildNodePath(c, final, final)) {
      paths.push_back(m_path);
      continue;
    }
    if (!final) return -1;
    // The placeholders exist now: collect again and retry once.
    std::vector<Chain> again;
    onPath.clear();
    CollectChains(node, 0, &onPath, &again);
    paths.clear();
    for (const Chain& c2 : again)
      if (BuildNodePath(c2, true, true)) paths.push_back(m_path);
    break;
  }
  size_t n = paths.size();
  for (size_t i = 0; i < n; ++i) {
    if (paths[i].size() > kMaxHandOutPath) continue;
    if (fileFn(paths[i].c_str(), node->name.c_str(), node->payload, user, int(i * 100 / n)) != 0) {
      *stop = true;
      return 1;
    }
  }
  return 1;
}

int CGraphFileSystem::EnumNodes(FileFn fileFn, void* user) {
  if (!fileFn) return -1;
  bool stop = false;
  for (auto& kv : m_named) {
    HandOut(kv.second, fileFn, user, true, &stop);
    if (stop) return 1;
  }
  return 0;
}

int CGraphFileSystem::FlushNodes(FileFn fileFn, ReleaseFn releaseFn, void* user) {
  if (!fileFn) return -1;
  // Only entries whose whole chain is made of real folders leave during a scan: a folder
  // may still arrive, and its files must not be handed out under a stand-in name first.
  size_t skipped = 0;
  int passes = 0;
  auto it = m_cursorSet ? m_named.lower_bound(m_cursor) : m_named.begin();
  while (!m_named.empty() && skipped < 100) {
    if (it == m_named.end()) {
      ++passes;
      // The skip budget bounds the work; the pass count only stops a map of entries that all
      // stay unplaceable from being swept round and round.
      if (passes >= 3 || skipped > m_named.size()) break;
      it = m_named.begin();
      continue;
    }
    bool stop = false;
    Node* node = it->second;
    int r = HandOut(node, fileFn, user, false, &stop);
    if (r < 0) {
      ++skipped;
      ++it;
    } else {
      if (releaseFn) releaseFn(node->payload, user);
      delete node;
      it = m_named.erase(it);
    }
    // An entry has one parent and so one path: a stop answer comes once that path is out,
    // and the entry leaves like any other handed out. Kept, the final hand-out would give
    // the same file a second time.
    if (stop) break;
  }
  m_cursorSet = it != m_named.end();
  if (m_cursorSet) m_cursor = it->first;
  return 0;
}

void CGraphFileSystem::ReleaseNodes(ReleaseFn releaseFn, void* user) {
  for (auto& kv : m_named) {
    if (releaseFn) releaseFn(kv.second->payload, user);
    delete kv.second;
  }
  m_named.clear();
  for (auto& kv : m_ids) {
    if (releaseFn && kv.second->payload) releaseFn(kv.second->payload, user);
    kv.second->payload = nullptr;
    if (kv.second != m_root) delete kv.second;
  }
  m_ids.clear();
  m_cursorSet = false;
}

}  // namespace GFS
