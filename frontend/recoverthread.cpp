#include "frontend/recoverthread.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <vector>

#include "common/inc/ifileinfo.h"
#include "common/inc/ifileop.h"
#include "common/inc/iscanoperator.h"
#include "frontend/copysafety.h"

namespace {

const uint32_t kChunk = 0x80000;
// Beyond this many files of one name something is wrong with the target; give up on that file.
const int kMaxNumbered = 10000;

QString Tr(const char* text) { return QCoreApplication::translate("SorbeckRecoveryClass", text); }

}  // namespace

void JMRecoverFileThreader::SetRecoverParams(const QList<QXFolderRecord*>& records, QString targetFolder,
                                             IScanOperator* scanner) {
  m_records.clear();
  for (QXFolderRecord* r : records) {
    QVector<QXQuickScanFileNode*> ticked;
    if (r)
      for (QXQuickScanFileNode* n : r->m_nodes)
        if (n && n->m_checked == 1) ticked << n;
    m_records << ticked;
  }
  m_targetFolder = targetFolder;
  m_scanner = scanner;
}

void JMRecoverFileThreader::run() { RecoverFiles(m_records); }

void JMRecoverFileThreader::Advance(uint64_t bytes) {
  m_doneBytes = std::min(m_totalBytes, m_doneBytes + bytes);
  // Whole percents only, and only forward: a copy of many small files says each step once.
  const int percent = m_totalBytes ? int(m_doneBytes * 100 / m_totalBytes) : 0;
  if (percent <= m_shownPercent) return;
  m_shownPercent = percent;
  emit singalRecoverProgress(percent);
}

void JMRecoverFileThreader::RecoverFiles(const QVector<QVector<QXQuickScanFileNode*>>& records) {
  m_totalBytes = 0;
  m_doneBytes = 0;
  m_shownPercent = -1;
  for (const auto& record : records)
    for (const QXQuickScanFileNode* node : record)
      if (node) m_totalBytes += node->m_size;
  Advance(0);
  for (const auto& record : records) {
    if (m_stop.load()) break;
    for (QXQuickScanFileNode* node : record) {
      if (m_stop.load()) break;
      if (!node) continue;
      QString why;
      m_lastRename.clear();
      const uint64_t before = m_doneBytes;
      if (RecoverOneFile(node, &why)) {
        ++m_copied;
        if (!m_lastRename.isEmpty()) m_renamed << m_lastRename;
      } else {
        ++m_failed;
        if (m_failures.isEmpty()) m_firstReason = why;
        m_failures << node->m_fullPath + QStringLiteral(": ") + why;
      }
      // A file that failed part way is done with all the same: its rest counts as passed.
      const uint64_t counted = m_doneBytes - before;
      if (counted < node->m_size) Advance(node->m_size - counted);
    }
  }
  if (!m_stop.load() && m_shownPercent < 100) {
    m_shownPercent = 100;
    emit singalRecoverProgress(100);
  }
  emit signalRecoverFinish();
}

bool JMRecoverFileThreader::CreateTarget(const QStringList& parts, QFile* file, QString* why) {
  const QString root = QDir::cleanPath(m_targetFolder);
  QString parent = root;
  for (int i = 0; i + 1 < parts.size(); ++i) parent += QLatin1Char('/') + parts[i];
  const QString name = parts.last();
  if (!IsInsideFolder(root, parent + QLatin1Char('/') + name)) {
    *why = Tr("its path leads outside the target folder");
    return false;
  }
  if (!QDir().mkpath(parent)) {
    // A file of the same name may stand where the folder should be: fall back to the top folder.
    parent = root;
  }
  // The folder just made must still lie inside the target once links are resolved.
  const QString realRoot = QFileInfo(root).canonicalFilePath();
  const QString realParent = QFileInfo(parent).canonicalFilePath();
  if (realRoot.isEmpty() || realParent.isEmpty() ||
      (realParent != realRoot && !realParent.startsWith(realRoot + QLatin1Char('/')))) {
    *why = Tr("its folder could not be created inside the target folder");
    return false;
  }
  for (int n = 1; n <= kMaxNumbered; ++n) {
    const QString candidate = parent + QLatin1Char('/') + (n == 1 ? name : NumberedName(name, n));
    if (QFileInfo::exists(candidate) || QFileInfo(candidate).isSymLink()) continue;
    file->setFileName(candidate);
    // NewOnly fails rather than replace a file that appeared meanwhile. Unbuffered: a failed write
    // reports the system's own reason at once, not a later flush's guess.
    if (file->open(QIODevice::WriteOnly | QIODevice::NewOnly | QIODevice::Unbuffered)) {
      if (n > 1) m_lastRename = QDir(root).relativeFilePath(candidate);
      return true;
    }
    if (!QFileInfo::exists(candidate)) {
      *why = Tr("the file could not be created: ") + file->errorString();
      return false;
    }
  }
  *why = Tr("too many files of the same name");
  return false;
}

bool JMRecoverFileThreader::RecoverOneFile(QXQuickScanFileNode* node, QString* why) {
  if (!node || !node->m_file || !m_scanner) {
    *why = Tr("no data is known for it");
    return false;
  }
  // The scan said it has no data: nothing is made for it, and the reason is the scan's.
  if (!node->m_noDataReason.isEmpty()) {
    *why = node->m_noDataReason;
    return false;
  }
  QStringList parts = SafeComponents(node->m_treePath.isEmpty() ? node->m_fullPath : node->m_treePath);
  if (parts.isEmpty()) parts << SanitiseComponent(node->m_fileName);
  QFile out;
  if (!CreateTarget(parts, &out, why)) return false;

  const uint64_t size = node->m_file->GetSize();
  IFileOP* op = nullptr;
  bool whole = false;
  if (m_scanner->GetFileOp(node->m_file, &op) != 0 || !op) {
    *why = Tr("its data cannot be read");
  } else {
    std::vector<char> buf(kChunk);
    uint64_t offset = 0;
    while (offset < size) {
      if (m_stop.load()) {
        *why = Tr("the copy was stopped");
        break;
      }
      const uint32_t chunk = uint32_t(std::min<uint64_t>(size - offset, kChunk));
      std::fill(buf.begin(), buf.end(), 0);
      uint32_t got = 0;
      if (op->Read(buf.data(), chunk, offset, &got) != 0 || got == 0 || got > chunk) {
        *why = Tr("reading stopped at byte %1 of %2").arg(offset).arg(size);
        break;
      }
      // A short write is no failure yet: the next one gives the system's reason (a full disk).
      qint64 written = 0;
      while (written < qint64(got)) {
        const qint64 n = out.write(buf.data() + written, qint64(got) - written);
        if (n <= 0) break;
        written += n;
      }
      if (written != qint64(got)) {
        *why = Tr("writing failed: ") + out.errorString();
        break;
      }
      offset += got;
      Advance(got);
    }
    whole = offset == size;
  }
  if (whole && !out.flush()) {
    *why = Tr("writing failed: ") + out.errorString();
    whole = false;
  }
  out.close();
  // A file cut short must not look like a recovered one.
  if (!whole) out.remove();
  return whole;
}
