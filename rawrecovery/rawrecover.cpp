#include "rawrecovery/rawrecover.h"

#include <cctype>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <exception>
#include <stdexcept>

#include "common/crashdump.h"
#include "common/inc/idevicebitmap.h"
#include "common/inc/ifilemanager.h"
#include "common/inc/inotifysink.h"
#include "common/inc/istoragedevice.h"
#include "common/inc/seams.h"
#include "filemanager/fileinfo.h"

namespace {

// One pair of remembered progress values serves every raw scan of the process, so the sink
// is not called again for a percent or a step it has already seen.
int64_t g_lastPercent = 0;
int64_t g_lastStep = 0;

std::u16string Widen(const std::string& s) {
  std::u16string out;
  for (unsigned char c : s) out.push_back(char16_t(c));
  if (out.size() > 260) out.resize(260);
  return out;
}

}  // namespace

// ---------------------------------------------------------------------------------------

CRawRecover::CRawRecover()
    : m_controller(), m_pool(), m_active(), m_extensions(), m_rangeStart(0), m_rangeEnd(-1), m_firstCluster(0),
      m_endCluster(0), m_workTotal(0), m_found(0), m_sink(nullptr), m_device(nullptr), m_mode(0), m_dropped(0) {}

CRawRecover::~CRawRecover() {
  DropAll();
  delete static_cast<CRawScanParam*>(m_pScanParam);
  m_pScanParam = nullptr;
}

void CRawRecover::DropAll() {
  for (CRawAnalyser* a : m_active) m_pool.ReleaseAnalyser(a);
  m_active.clear();
}

void CRawRecover::Release() { delete this; }

int CRawRecover::GetScanParam(IScanParam** out) {
  if (!out) return RC_BAD_ARGUMENT;
  if (!m_pScanParam) m_pScanParam = new CRawScanParam(this);
  *out = m_pScanParam;
  return 0;
}

CRawRecover* CRawRecover::SetDevice(IStorageDevice* device) {
  m_device = device;
  return this;
}

bool CRawRecover::AddFileType(const char* ext) {
  ZQ_ASSERT(ext);
  if (!ext) return false;
  std::string lowered(ext);
  for (char& c : lowered) c = char(std::tolower(static_cast<unsigned char>(c)));
  FileHintTable* table = FileHintTable::Instance();
  int pos = 0;
  while (const FileHint* row = table->FindNext(lowered.c_str(), &pos)) m_pool.AddAnalyser(*row);
  if (pos == 0) return false;
  m_extensions.insert(lowered);
  return true;
}

int CRawRecover::SetRange(int64_t start, int64_t end) {
  if (end < start || start < 0) return -1;
  m_rangeStart = start;
  m_rangeEnd = end;
  return 0;
}

int CRawRecover::SetScanMode(int mode) {
  m_mode = mode;
  return 0;
}

bool CRawRecover::SetSkipUsedClusters(bool skip) {
  m_mode = skip ? CLUSTER_BITMAP_SCAN : CLUSTER_SCAN;
  return skip;
}

int CRawRecover::PrepareScan(INotifySink* sink) {
  if (!m_pFileManager) return -1;
  if (sink) {
    sink->Notify(NE_STARTED, 0, 0, nullptr);
    m_pFileManager->SetNotifySink(sink);
    m_sink = sink;
  }
  if (m_mode == 0 || !m_device) return -1;
  int mode = m_mode;
  ZQ_ASSERT(mode >= SECTOR_SCAN && mode <= CLUSTER_BITMAP_SCAN);
  if (mode < SECTOR_SCAN || mode > CLUSTER_BITMAP_SCAN) mode = CLUSTER_SCAN;
  if (m_controller.Init(m_device, mode) != 0 || m_pool.GetCount() <= 0) return -1;
  const int64_t D = m_controller.GetDataStart();
  const int64_t C = m_controller.GetClusterSize();
  const int64_t N = m_controller.GetClusterCount();
  int64_t startByte = std::max(m_rangeStart, D);
  m_firstCluster = m_controller.OffsetToCluster(startByte);
  if (m_rangeEnd < 0) {
    m_endCluster = N;
  } else {
    int64_t endByte = std::min(m_rangeEnd, D + N * C);
    m_endCluster = endByte < D ? 0 : m_controller.OffsetToCluster(endByte);
  }
  if (m_firstCluster >= m_endCluster) return -1;
  if (m_controller.GetMode() == CLUSTER_BITMAP_SCAN) {
    IDeviceBitmap* bm = m_controller.GetBitmap();
    m_workTotal = 0;
    for (int64_t l = m_firstCluster; l < m_endCluster; ++l) {
      bool used = false;
      if (bm && uint64_t(l) < uint64_t(bm->GetClusterCount())) {
        try {
          used = bm->BitGet(l);
        } catch (const std::out_of_range&) {
        }
      }
      if (!used) ++m_workTotal;
    }
  } else {
    m_workTotal = m_endCluster - m_firstCluster;
  }
  return m_workTotal > 0 ? 0 : -1;
}

int CRawRecover::RawScanLoop(INotifySink* sink) {
  if (PrepareScan(sink) != 0) return -1;
  ClusterBuf cb(m_controller.GetClusterSize());
  int64_t index = 0;
  int64_t lcn = m_firstCluster;
  int64_t next = m_firstCluster;  // the unit after the last one read
  while (lcn < m_endCluster) {
    cb.lcn = lcn;
    if (m_controller.ReadCluster(cb, m_endCluster) != 0) break;
    next = cb.lcn + 1;
    CRawAnalyser* a = m_pool.DetectAnalyser(cb);
    if (a) {
      FileHint hint = GetAnalyserHint(a);
      if (NotifyNewHeader(hint, cb) != 0) {
        m_pool.ReleaseAnalyser(a);
      } else {
        if (m_active.size() >= kMaxOpen) {
          CRawAnalyser* oldest = m_active.front();
          m_active.pop_front();
          if (Decides(oldest->OnNewHeader(hint, cb)))
            ReportFoundFile(oldest);
          else
            ++m_dropped;  // a candidate that could not be kept open is counted, not lost silently
          m_pool.ReleaseAnalyser(oldest);
        }
        m_active.push_back(a);
      }
    }
    FeedActiveAnalysers(cb);
    lcn = cb.lcn + 1;
    if (ScanProgress(index) == 1) {
      if (m_sink) m_sink->Notify(NE_FINISHED, 0, 0, nullptr);
      if (m_device) m_device->Close(1);
      return 0;
    }
    ++index;
  }
  // The end is offered where the data ends (after the last unit read), so a file that runs
  // to the end of the range keeps its last unit.
  if (lcn >= m_endCluster) next = m_endCluster;
  FlushAtEnd(next);
  if (m_sink) m_sink->Notify(NE_FINISHED, 0, 0, nullptr);
  if (m_device) m_device->Close(1);
  return GetUnreadableUnits() > 0 ? RC_READ_FAILED : 0;
}

void CRawRecover::FlushAtEnd(int64_t endLcn) {
  ClusterBuf end(m_controller.GetClusterSize());
  end.lcn = endLcn;
  // Every open candidate is offered the end; one that will not end here stays unreported
  // but does not keep the others from ending.
  for (auto it = m_active.begin(); it != m_active.end();) {
    CRawAnalyser* a = *it;
    if (Decides(a->OnNewHeader(DeviceEndHint(), end))) {
      ReportFoundFile(a);
      m_pool.ReleaseAnalyser(a);
      it = m_active.erase(it);
    } else {
      ++it;
    }
  }
}

int CRawRecover::NotifyNewHeader(const FileHint& other, const ClusterBuf& cb) {
  for (auto it = m_active.begin(); it != m_active.end();) {
    CRawAnalyser* a = *it;
    int r = a->OnNewHeader(other, cb);
    if (Decides(r)) {
      ReportFoundFile(a);
      m_pool.ReleaseAnalyser(a);
      it = m_active.erase(it);
      continue;
    }
    if (r == AS_ABSORB) return -1;
    ++it;
  }
  return 0;
}

void CRawRecover::FeedActiveAnalysers(const ClusterBuf& cb) {
  for (auto it = m_active.begin(); it != m_active.end();) {
    CRawAnalyser* a = *it;
    if (Decides(a->Continue(cb))) {
      ReportFoundFile(a);
      m_pool.ReleaseAnalyser(a);
      it = m_active.erase(it);
    } else {
      ++it;
    }
  }
}

void CRawRecover::ReportFoundFile(CRawAnalyser* a) {
  if (!a || !m_pFileManager) return;
  int64_t start = 0, end = 0;
  a->GetRange(&start, &end);
  const char* list = a->GetExtension();
  if (!list) return;
  std::string all(list);
  size_t i = 0;
  while (i < all.size()) {
    while (i < all.size() && (std::ispunct(static_cast<unsigned char>(all[i])) ||
                              std::isspace(static_cast<unsigned char>(all[i]))))
      ++i;
    size_t j = i;
    while (j < all.size() && !std::ispunct(static_cast<unsigned char>(all[j])) &&
           !std::isspace(static_cast<unsigned char>(all[j])))
      ++j;
    if (j == i) break;
    std::string token = all.substr(i, j - i);
    i = j;
    if (!m_extensions.count(token) || token.size() >= 8) continue;
    int64_t size = a->GetSizeForExtension(token.c_str());
    if (size <= 0) continue;
    ++m_found;
    char name[32];
    std::snprintf(name, sizeof name, "%08d.%s", m_found, token.c_str());
    int64_t bytes = 0;
    RunList* runs = BuildRunList(start, size, a->GetState(), &bytes);
    if (!runs) break;
    CFileInfo* info = new CFileInfo();
    info->SetNameA(name);
    info->SetSize(bytes);
    info->SetRunList(runs);
    std::u16string folder = Widen("/" + token);
    m_pFileManager->AddFile(folder.c_str(), info);
  }
}

RunList* CRawRecover::BuildRunList(int64_t start, int64_t size, int state, int64_t* outSize) {
  IDeviceBitmap* bm = m_controller.GetBitmap();
  if (!bm || (state != AS_ENDED && state != AS_COMPLETE) || size <= 0 || start < 0 || !outSize) return nullptr;
  const int64_t C = m_controller.GetClusterSize();
  const int64_t S = m_controller.GetSectorSize();
  ZQ_ASSERT(C > 0 && S > 0);
  if (C <= 0 || S <= 0) return nullptr;
  const int64_t N = m_controller.GetClusterCount();
  int64_t lcn = start / C;
  if (lcn >= N) return nullptr;
  *outSize = 0;
  const bool bitmapMode = m_controller.GetMode() == CLUSTER_BITMAP_SCAN;
  auto used = [&](int64_t l) {
    if (l < 0 || uint64_t(l) >= uint64_t(bm->GetClusterCount())) return false;
    return bm->BitGet(l);
  };
  RunList* head = nullptr;
  RunList* node = nullptr;
  // A run's sector count is 32-bit: long stretches are split over several nodes.
  auto addRun = [&](uint64_t first, uint64_t count) {
    while (count > 0) {
      uint32_t n = count > 0xFFFFFFFFull ? 0xFFFFFFFFu : uint32_t(count);
      if (!head) node = head = new RunList(first, n);
      else node = node->Append(first, n);
      first += n;
      count -= n;
    }
  };
  try {
    if (!bitmapMode) {
      // A size from a header may claim more than the device holds: the run stops at the
      // device end.
      int64_t avail = (N - lcn) * C;
      if (size > avail) size = avail;
      uint64_t first = uint64_t(m_controller.ClusterToOffset(lcn) / S);
      addRun(first, uint64_t((size + S - 1) / S));
      *outSize = size;
      return head;
    }
    while (size > 0 && lcn < N) {
      uint64_t first = uint64_t(m_controller.ClusterToOffset(lcn) / S);
      uint64_t sectors = 0;
      while (size > 0 && lcn < N) {
        int64_t n = std::min(C, size);
        size -= n;
        *outSize += n;
        sectors += uint64_t((n + S - 1) / S);
        ++lcn;
        if (used(lcn)) break;
      }
      addRun(first, sectors);
      while (size > 0 && lcn < N && used(lcn)) {
        ++lcn;
        if (state == AS_ENDED) size -= C;
      }
    }
    if (!head) return nullptr;
    return head;
  } catch (const std::exception&) {
    delete head;
    return nullptr;
  }
}

int CRawRecover::ScanProgress(int64_t index) {
  if (!m_sink || m_workTotal <= 0) return 0;
  int64_t percent = index * 100 / m_workTotal;
  if (percent != g_lastPercent) {
    g_lastPercent = percent;
    m_sink->Notify(NE_PERCENT, percent, 0, nullptr);
  }
  const int64_t C = m_controller.GetClusterSize();
  int64_t done = index * C, total = m_workTotal * C;
  int64_t step;
  if (m_mode == CLUSTER_BITMAP_SCAN)
    step = int64_t(double(done) / (double(total) * 0.0008));
  else
    step = done / 8387584;
  if (step != g_lastStep) {
    g_lastStep = step;
    m_sink->Notify(NE_SECTORS, done / 512, total / 512, nullptr);
    if (m_sink->Notify(NE_CANCEL_POLL, 0, 0, nullptr) != 0) return 1;
  }
  return 0;
}

int CRawRecover::Scan(INotifySink* sink) {
  // A fault inside the walk (no memory, a broken invariant, an analyser that throws) leaves
  // a crash report and ends the scan as a failure; what was already filed stays in the
  // results tree.
  return RunGuarded("CRawRecover::Scan", RC_FAIL, [&] { return RawScanLoop(sink); });
}

IScanOperator* CreateRawScanner(IStorageDevice* device) {
  CRawRecover* r = new CRawRecover();
  r->SetDevice(device);
  return r;
}
