// The raw signature scan: reads a device unit by unit, asks the analyser pool whether a file
// of a selected type begins at each unit, follows the open candidates to their ends and
// files what it carved in the results tree.
#pragma once
#include <cstdint>
#include <list>
#include <set>
#include <string>

#include "rawrecovery/rawanalyser.h"
#include "rawrecovery/scancontroller.h"
#include "rawrecovery/rawscanparam.h"
#include "scanoperate/scanoperator.h"

class INotifySink;
class RunList;
class CRawRecover;

class CRawRecover : public CScanOperator {
 public:
  // At most this many candidates are open at once.
  static const size_t kMaxOpen = 13;

  CRawRecover();
  virtual ~CRawRecover();

  int GetScanParam(IScanParam** out) override;
  int Scan(INotifySink* sink) override;
  void Release() override;
  int GetScanType() override { return Scan_Raw; }
  IDeviceBitmap* CreateDeviceBitmap() override { return m_controller.GetBitmap(); }

  CRawRecover* SetDevice(IStorageDevice* device);
  bool AddFileType(const char* ext);
  int SetRange(int64_t start, int64_t end);
  int SetScanMode(int mode);
  bool SetSkipUsedClusters(bool skip);

  // What the last scan could not do: units read as zeros after read errors, and candidates
  // dropped unreported to make room under the open-candidate limit.
  int64_t GetUnreadableUnits() const { return m_controller.GetUnreadableUnits(); }
  int64_t GetDroppedCandidates() const { return m_dropped; }
  int GetFoundCount() const { return m_found; }
  ScanController& Controller() { return m_controller; }
  CRawAnalyserPool& Pool() { return m_pool; }

  int PrepareScan(INotifySink* sink);
  int RawScanLoop(INotifySink* sink);
  int NotifyNewHeader(const FileHint& other, const ClusterBuf& cb);
  void FeedActiveAnalysers(const ClusterBuf& cb);
  void ReportFoundFile(CRawAnalyser* a);
  RunList* BuildRunList(int64_t start, int64_t size, int state, int64_t* outSize);
  int ScanProgress(int64_t index);

 private:
  void FlushAtEnd(int64_t endLcn);
  void DropAll();

  ScanController m_controller;
  CRawAnalyserPool m_pool;
  std::list<CRawAnalyser*> m_active;
  std::set<std::string> m_extensions;
  int64_t m_rangeStart;
  int64_t m_rangeEnd;
  int64_t m_firstCluster;
  int64_t m_endCluster;
  int64_t m_workTotal;
  int m_found;
  INotifySink* m_sink;
  IStorageDevice* m_device;
  int m_mode;
  int64_t m_dropped;
};
