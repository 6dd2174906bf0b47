// The copy worker: writes the ticked found files into a folder of the user's choice, one at a time,
// never replacing anything, and counts what it could and could not copy.
#pragma once
#include <QList>
#include <QStringList>
#include <QThread>
#include <QVector>
#include <atomic>

#include "frontend/nodes.h"

class IScanOperator;

class JMRecoverFileThreader : public QThread {
  Q_OBJECT
 public:
  // Takes the ticked files of every record now, on the caller's thread: the window may change
  // check marks while the copy runs, and the copy must not read them then.
  void SetRecoverParams(const QList<QXFolderRecord*>& records, QString targetFolder, IScanOperator* scanner);
  // Asks the copy to end after the file being copied (that file is then removed).
  void RequestStop() { m_stop.store(true); }

  int Copied() const { return m_copied; }
  int Failed() const { return m_failed; }
  bool Stopped() const { return m_stop.load(); }
  // One line per failed file: its path on the scanned device and why it failed.
  const QStringList& Failures() const { return m_failures; }
  // The reason of the first failure alone, as the system gave it.
  const QString& FirstReason() const { return m_firstReason; }
  // The copied files that were given a numbered name beside an existing one ("grandma (2).jpg"),
  // as paths inside the target folder.
  const QStringList& Renamed() const { return m_renamed; }

  // Copies the files of the records in order, and tells how far it is by bytes: the share of the
  // ticked files' bytes done, moving inside a large file and ending at 100 when nothing stopped it.
  void RecoverFiles(const QVector<QVector<QXQuickScanFileNode*>>& records);
  // True when the whole file was written; otherwise `why` tells the reason.
  bool RecoverOneFile(QXQuickScanFileNode* node, QString* why);

 signals:
  void singalRecoverProgress(int num);
  void signalRecoverFinish();

 protected:
  void run() override;

 private:
  bool CreateTarget(const QStringList& parts, class QFile* file, QString* why);
  // Counts `bytes` as done and says the new share when it has grown by a whole percent.
  void Advance(uint64_t bytes);

  QVector<QVector<QXQuickScanFileNode*>> m_records;
  QString m_targetFolder;
  IScanOperator* m_scanner = nullptr;
  std::atomic<bool> m_stop{false};
  int m_copied = 0;
  int m_failed = 0;
  QStringList m_failures;
  QString m_firstReason;
  QStringList m_renamed;
  QString m_lastRename;
  uint64_t m_totalBytes = 0;
  uint64_t m_doneBytes = 0;
  int m_shownPercent = -1;
};
