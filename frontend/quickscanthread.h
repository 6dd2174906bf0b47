// The scan worker: runs one engine scan or lost-partition search off the GUI thread and turns the
// engine's events into queued signals for the window.
#pragma once
#include <QThread>
#include <atomic>

#include "common/inc/inotifysink.h"
#include "frontend/nodes.h"

class IScanOperator;
class IFileManager;
class IFileInfo;
class IDevice;
class IRecoveryManagement;
class QXQuickScanThread;

class QXRecovery final : public INotifySink {
 public:
  void SetScanOperator(IScanOperator* scanner);
  void SetDevice(IDevice* device) { m_device = device; }
  void SetOwnerThread(QXQuickScanThread* owner) { m_owner = owner; }
  void SetCheckStopFirst(bool first) { m_checkStopFirst = first; }
  void SetStopFlag(bool stop) { m_stop.store(stop); }
  int Notify(int event, int64_t a, int64_t b, void* obj) override;

 private:
  IFileManager* m_fileManager = nullptr;
  IScanOperator* m_scanner = nullptr;
  // Written by the GUI thread, read by the worker inside Notify.
  std::atomic<bool> m_stop{false};
  bool m_checkStopFirst = false;
  IDevice* m_device = nullptr;
  QXQuickScanThread* m_owner = nullptr;
};

class QXQuickScanThread : public QThread {
  Q_OBJECT
 public:
  QXQuickScanThread();
  ~QXQuickScanThread() override;

  void SetScanTarget(IScanOperator* scanner, IDevice* device) {
    m_scanner = scanner;
    m_device = device;
  }
  void SetRecoveryManagement(IRecoveryManagement* engine) { m_engine = engine; }
  void SetPartitionMode(bool on) { m_partitionMode = on; }
  void SetDeep(int deep) { m_deep = deep; }
  void SetStop(int value);
  bool IsPartitionMode() const { return m_partitionMode; }
  // What the engine call answered; valid once signalDiskFinish has been emitted.
  int Result() const { return m_result; }

  void ReportProgress(int percent);
  void HandleFoundFile(IFileManager* manager, IFileInfo* file);
  void HandleFoundPartition(IFileManager* manager, IDevice* device);

 signals:
  void singalDiskProgress(int num);
  void signalDiskFinish();
  void ScanQuickOtherFileNode(QXQuickScanFileNode* Node);
  void ScanQuickImageFileNode(QXQuickScanFileNode* Node);
  void ScanQuickVideoFileNode(QXQuickScanFileNode* Node);
  void ScanQuickAudioFileNode(QXQuickScanFileNode* Node);
  void ScanQuickDocumentFileNode(QXQuickScanFileNode* Node);
  void FindPartitionFileNode(QXDiskFileNode* Node, IDevice* theDevice);

 protected:
  void run() override;

 private:
  IScanOperator* m_scanner = nullptr;
  IDevice* m_device = nullptr;
  IRecoveryManagement* m_engine = nullptr;
  QXRecovery* m_sink;
  int m_deep = 0;
  std::atomic<int> m_stopValue{0};
  bool m_partitionMode = false;
  int m_result = 0;
};
