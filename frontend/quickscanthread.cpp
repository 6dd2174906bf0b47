#include "frontend/quickscanthread.h"

#include <QFileInfo>
#include <cstring>

#include "common/inc/idevice.h"
#include "common/inc/ifileinfo.h"
#include "common/inc/irecoverymanagement.h"
#include "common/inc/iscanoperator.h"
#include "common/inc/kestrum_types.h"
#include "frontend/filecategory.h"
#include "frontend/formatsize.h"

void QXRecovery::SetScanOperator(IScanOperator* scanner) {
  m_scanner = scanner;
  m_fileManager = scanner ? scanner->GetFileManager() : nullptr;
}

int QXRecovery::Notify(int event, int64_t a, int64_t b, void* obj) {
  // Deleted-file and volume scans drop the event that follows a stop request; deep scans and
  // the partition search still handle it and then ask to stop.
  if (m_checkStopFirst && m_stop.load()) return -1;
  if (m_owner) {
    switch (event) {
      case NE_PERCENT:
        m_owner->ReportProgress(static_cast<int>(static_cast<uint32_t>(a)));
        break;
      case NE_FOUND_FILE:
        m_owner->HandleFoundFile(m_fileManager, static_cast<IFileInfo*>(obj));
        break;
      case NE_PARTITION_FOUND:
        m_owner->HandleFoundPartition(m_fileManager, static_cast<IDevice*>(obj));
        break;
      default:
        break;
    }
  }
  if (m_checkStopFirst) return 0;
  return m_stop.load() ? -1 : 0;
}

QXQuickScanThread::QXQuickScanThread() : m_sink(new QXRecovery) {}

QXQuickScanThread::~QXQuickScanThread() { delete m_sink; }

void QXQuickScanThread::SetStop(int value) {
  m_stopValue.store(value);
  m_sink->SetStopFlag(value != 0);
}

void QXQuickScanThread::run() {
  if (m_partitionMode) {
    m_sink->SetScanOperator(m_scanner);
    m_sink->SetDevice(m_device);
    m_sink->SetOwnerThread(this);
    m_result = m_engine ? m_engine->SearchPartitions(m_device, 3, m_sink) : RC_FAIL;
    // Finish is announced whatever the search answered: the window must leave its running
    // state and may start another search.
    emit signalDiskFinish();
    return;
  }
  if (!m_scanner) {
    // The window waits for the end to leave its scanning state.
    m_result = RC_FAIL;
    emit signalDiskFinish();
    return;
  }
  m_sink->SetScanOperator(m_scanner);
  m_sink->SetDevice(m_device);
  m_sink->SetOwnerThread(this);
  m_sink->SetCheckStopFirst(m_deep == 0);
  m_result = m_scanner->Scan(m_sink);
  emit signalDiskFinish();
}

void QXQuickScanThread::ReportProgress(int percent) { emit singalDiskProgress(percent); }

void QXQuickScanThread::HandleFoundFile(IFileManager*, IFileInfo* file) {
  if (!file) return;
  QXQuickScanFileNode* node = new QXQuickScanFileNode;
  char16_t path[520];
  std::memset(path, 0, sizeof(path));
  uint32_t len = 520;
  file->GetFullPath(path, &len);
  path[519] = 0;
  const uint64_t size = file->GetSize();
  node->m_file = file;
  // Read here, while the engine waits for this call: the window may not touch the record meanwhile.
  node->m_flags = file->GetFlags();
  node->m_fullPath = QString::fromUtf16(path);
  QFileInfo info(node->m_fullPath);
  node->m_fileName = info.fileName();
  node->m_size = size;
  node->m_sizeText = FormatFileSizeText(size);
  const QByteArray suffix = info.suffix().toLatin1();
  switch (CategoryOfSuffix(suffix.constData())) {
    case FC_Image:
      node->m_isImage = 1;
      emit ScanQuickImageFileNode(node);
      break;
    case FC_Audio: emit ScanQuickAudioFileNode(node); break;
    case FC_Document: emit ScanQuickDocumentFileNode(node); break;
    case FC_Video: emit ScanQuickVideoFileNode(node); break;
    default: emit ScanQuickOtherFileNode(node); break;
  }
}

void QXQuickScanThread::HandleFoundPartition(IFileManager*, IDevice* device) {
  if (!device) return;
  PartitionInfo info;
  std::memset(&info, 0, sizeof(info));
  device->GetPartitionInfo(&info);
  info.Label[MAX_PATH_ZQ - 1] = 0;
  QXDiskFileNode* node = new QXDiskFileNode;
  node->m_name = QString::fromUtf16(info.Label);
  if (node->m_name.isEmpty()) node->m_name = QStringLiteral("Untitled");
  uint64_t size = 0;
  device->GetSize(&size);
  node->m_size = size;
  node->m_sizeText = FormatFileSizeText(size);
  node->m_clipped = (info.Flags & PF_CLIPPED) != 0;
  node->m_index = info.DiskIndex;
  node->m_typeText = FileSystemTypeName(info.PartitionType);
  emit FindPartitionFileNode(node, device);
}
