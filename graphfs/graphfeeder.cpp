#include "graphfs/graphfeeder.h"

#include <new>

#include "common/inc/ifileinfo.h"
#include "common/inc/ifilemanager.h"
#include "common/inc/kestrum_types.h"
#include "filemanager/fileinfo.h"

namespace GFS {

void ReleaseFileInfo(void* payload, void*) {
  if (payload) static_cast<IFileInfo*>(payload)->Release();
}

CGraphFeeder::CGraphFeeder(const FeedRules& rules)
    : m_rules(rules),
      m_graph(nullptr),
      m_manager(nullptr),
      m_flushFn(nullptr),
      m_finalFn(nullptr),
      m_releaseFn(nullptr),
      m_user(nullptr),
      m_pending(0),
      m_stopped(false),
      m_afterStop(false) {}

CGraphFeeder::~CGraphFeeder() { Discard(); }

bool CGraphFeeder::Start(IFileManager* manager, FileFn flushFn, FileFn finalFn, ReleaseFn releaseFn,
                         void* user, IDevice* device) {
  Discard();
  m_manager = manager;
  m_flushFn = flushFn;
  m_finalFn = finalFn ? finalFn : flushFn;
  m_releaseFn = releaseFn;
  m_user = user;
  m_pending = 0;
  m_stopped = false;
  m_graph = new (std::nothrow) CGraphFileSystem();
  if (!m_graph) return false;
  m_graph->SetDevice(device);
  return true;
}

void CGraphFeeder::SetRoots(int64_t rootId, int64_t rootParentId) {
  if (m_graph) m_graph->SetRootNode(rootId, rootParentId, u"Volume", nullptr, u"Lost Location");
}

bool CGraphFeeder::Count() { return ++m_pending > m_rules.flushAbove; }

int CGraphFeeder::FlushIfDue() { return m_pending > m_rules.flushAbove ? Flush() : 0; }

int CGraphFeeder::Note() {
  Count();
  return FlushIfDue();
}

int CGraphFeeder::Flush() {
  m_pending = 0;
  return m_graph && m_flushFn ? m_graph->FlushNodes(m_flushFn, m_releaseFn, m_user) : 0;
}

int CGraphFeeder::Add(const char16_t* folderPath, IFileInfo* file) {
  if (!file) return 0;
  if (!m_manager) {
    // Nothing can take the file: the walk need not go on.
    file->Release();
    return -1;
  }
  int rc = m_manager->AddFile(folderPath, file);
  if (rc != RC_STOP) return rc;
  if (m_afterStop || m_rules.addAnswer == kAnswerIgnored) return 0;
  if (m_rules.addAnswer == kAnswerEndsScan) m_stopped = true;
  return rc;
}

int CGraphFeeder::AddClone(const char16_t* folderPath, void* payload) {
  if (!payload) return 0;
  if (!m_manager) return -1;
  return Add(folderPath, CloneFileInfo(static_cast<IFileInfo*>(payload)));
}

void CGraphFeeder::Finish() {
  if (!m_graph) return;
  if (m_finalFn && (!m_stopped || m_rules.handOverOnStop)) {
    // A sink that has asked to stop answers stop to every file as well; were that to end the
    // walk, only the first of the files found would reach the results tree.
    m_afterStop = m_stopped;
    m_graph->EnumNodes(m_finalFn, m_user);
    m_afterStop = false;
  }
  Discard();
}

void CGraphFeeder::Discard() {
  if (!m_graph) return;
  m_graph->ReleaseNodes(m_releaseFn, m_user);
  delete m_graph;
  m_graph = nullptr;
  m_pending = 0;
}

}  // namespace GFS
