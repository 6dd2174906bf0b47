// The results page: the folder tree and file table of the found files, their check marks, the
// preview and the copy of the ticked files.
#include <QCoreApplication>
#include <QDir>
#include <QFileDialog>
#include <QIcon>
#include <QImage>
#include <QLabel>
#include <QPixmap>

#include "common/inc/ifileinfo.h"
#include "frontend/copysafety.h"
#include "frontend/previewthread.h"
#include "frontend/recoverthread.h"
#include "frontend/sorbeckrecovery.h"

namespace {

// Rows carry their node: after sorting, a row's position says nothing about which file it shows.
const int kNodeRole = Qt::UserRole + 1;
// Paths of at most 520 characters give far fewer levels; this only bounds the walk.
const int kMaxTreeDepth = 600;

QIcon FolderIcon() { return QIcon(QStringLiteral(":/SorbeckRecovery/Skin/folder.png")); }

QXQuickScanFileNode* NodeOfItem(QTableWidgetItem* item) {
  return item ? reinterpret_cast<QXQuickScanFileNode*>(item->data(kNodeRole).value<quintptr>()) : nullptr;
}

QPixmap Skin(const char* name) { return QPixmap(QStringLiteral(":/SorbeckRecovery/Skin/") + QLatin1String(name)); }

}  // namespace

QString SorbeckRecovery::StatusText() const { return m_statusLab ? m_statusLab->text() : QString(); }

void SorbeckRecovery::SetStatus(const QString& text) {
  if (!m_statusLab) return;
  m_statusLab->setText(text);
  m_statusLab->setVisible(!text.isEmpty());
}

void SorbeckRecovery::EnsureTopItem() {
  if (m_topItem) return;
  m_topItem = new QTreeWidgetItem;
  // Files must stay reachable even when no drive name was ever clicked.
  m_topItem->setText(0, m_selectedDriveName.isEmpty() ? tr("Drive") : m_selectedDriveName);
  m_topItem->setIcon(0, FolderIcon());
  m_topItem->setCheckState(0, Qt::Checked);
  const QSignalBlocker block(ui.resultTreeWidget);
  ui.resultTreeWidget->addTopLevelItem(m_topItem);
}

void SorbeckRecovery::StructTreeWidgetWithFileNode(QXQuickScanFileNode* Node) {
  if (!Node) return;
  EnsureTopItem();
  InsertNodeByPath(m_topItem, Node->m_fullPath, Node);
}

void SorbeckRecovery::InsertNodeByPath(QTreeWidgetItem* start, QString path, QXQuickScanFileNode* node) {
  if (!start || !node) return;
  QStringList parts = path.split(QLatin1Char('/'), Qt::SkipEmptyParts);
  QString fileName = parts.isEmpty() ? node->m_fileName : parts.takeLast();
  QTreeWidgetItem* current = start;
  const QSignalBlocker block(ui.resultTreeWidget);
  for (const QString& name : parts) {
    QTreeWidgetItem* next = nullptr;
    for (int i = 0; i < current->childCount(); ++i)
      if (current->child(i)->text(0) == name) {
        next = current->child(i);
        break;
      }
    if (!next) {
      next = new QTreeWidgetItem;
      next->setText(0, name);
      next->setCheckState(0, Qt::Checked);
      next->setIcon(0, FolderIcon());
      current->addChild(next);
    }
    current = next;
  }
  // A file with no folder part hangs under the item it started from, so it can be seen and copied.
  QXFolderRecord* record = m_folderMap.value(current);
  if (!record) {
    record = new QXFolderRecord;
    m_folderMap.insert(current, record);
    m_folderOrder << current;
  }
  record->m_nodes << node;
  parts << fileName;
  node->m_treePath = parts.join(QLatin1Char('/'));
}

void SorbeckRecovery::SetTreeChecks(QTreeWidgetItem* item, bool checked, int depth) {
  if (!item || depth > kMaxTreeDepth) return;
  if (QXFolderRecord* r = m_folderMap.value(item))
    for (QXQuickScanFileNode* n : r->m_nodes) n->m_checked = checked ? 1 : 0;
  for (int i = 0; i < item->childCount(); ++i) {
    item->child(i)->setCheckState(0, checked ? Qt::Checked : Qt::Unchecked);
    SetTreeChecks(item->child(i), checked, depth + 1);
  }
}

void SorbeckRecovery::ClickChectBoxResultTreeWidget(QTreeWidgetItem* theItem, int colomn) {
  if (!theItem || colomn != 0) return;
  {
    const QSignalBlocker block(ui.resultTreeWidget);
    SetTreeChecks(theItem, theItem->checkState(0) == Qt::Checked, 0);
  }
  RefreshShownChecks();
}

void SorbeckRecovery::RefreshShownChecks() {
  if (!m_shownRecord) return;
  m_fillingTable = true;
  for (int row = 0; row < ui.contantTableWidget->rowCount(); ++row) {
    QTableWidgetItem* item = ui.contantTableWidget->item(row, 0);
    if (QXQuickScanFileNode* n = NodeOfItem(item)) item->setCheckState(n->m_checked ? Qt::Checked : Qt::Unchecked);
  }
  m_fillingTable = false;
}

void SorbeckRecovery::ClickResultTreeWidget(QTreeWidgetItem* theItem, int) {
  QTableWidget* table = ui.contantTableWidget;
  m_fillingTable = true;
  table->clearContents();
  m_fillingTable = false;
  QXFolderRecord* record = theItem ? m_folderMap.value(theItem) : nullptr;
  if (!record) return;
  m_shownItem = theItem;
  m_shownRecord = record;
  ui.checkBox_Image->setCheckState(theItem->checkState(0) == Qt::Checked ? Qt::Checked : Qt::Unchecked);

  m_fillingTable = true;
  // Filled unsorted: with sorting on, every row would move as soon as its first cell is set.
  table->setSortingEnabled(false);
  table->clearContents();
  table->setColumnCount(3);
  table->setColumnWidth(0, 180);
  table->setColumnWidth(1, 150);
  table->setColumnWidth(2, 210);
  const int n = record->m_nodes.size();
  table->setRowCount(qMax(n, 8));
  for (int i = 0; i < n; ++i) {
    QXQuickScanFileNode* node = record->m_nodes[i];
    table->setRowHeight(i, 23);
    QTableWidgetItem* name = new QTableWidgetItem(node->m_fileName);
    name->setCheckState(node->m_checked ? Qt::Checked : Qt::Unchecked);
    QTableWidgetItem* size = new QTableWidgetItem(node->m_sizeText);
    QTableWidgetItem* source = new QTableWidgetItem(node->m_fullPath);
    for (QTableWidgetItem* cell : {name, size, source})
      cell->setData(kNodeRole, QVariant::fromValue(reinterpret_cast<quintptr>(node)));
    table->setItem(i, 0, name);
    table->setItem(i, 1, size);
    table->setItem(i, 2, source);
  }
  table->setSortingEnabled(true);
  m_fillingTable = false;
}

void SorbeckRecovery::ContactTableItemChanged(QTableWidgetItem* theItem) {
  if (m_fillingTable || !theItem || theItem->column() != 0) return;
  // Only nodes of the shown folder: a stale pointer from an emptied table is never followed.
  QXQuickScanFileNode* node = NodeOfItem(theItem);
  if (!node || !m_shownRecord || !m_shownRecord->m_nodes.contains(node)) return;
  node->m_checked = theItem->checkState() == Qt::Checked ? 1 : 0;
}

void SorbeckRecovery::CheckTableWidgetCheckBox(QTableWidget* pTableWidget, Qt::CheckState state) {
  if (!pTableWidget) return;
  for (int row = 0; row < pTableWidget->rowCount(); ++row)
    if (QTableWidgetItem* item = pTableWidget->item(row, 0)) item->setCheckState(state);
}

void SorbeckRecovery::slotImageCheckBoxChanged(int index) {
  const Qt::CheckState state = index ? Qt::Checked : Qt::Unchecked;
  CheckTableWidgetCheckBox(ui.contantTableWidget, state);
  if (m_shownItem) {
    const QSignalBlocker block(ui.resultTreeWidget);
    m_shownItem->setCheckState(0, state);
  }
  if (m_shownRecord)
    for (QXQuickScanFileNode* n : m_shownRecord->m_nodes) n->m_checked = index ? 1 : 0;
}

void SorbeckRecovery::slotVideoCheckBoxChanged(int index) {
  CheckTableWidgetCheckBox(ui.messageTableWidget, index ? Qt::Checked : Qt::Unchecked);
}
void SorbeckRecovery::slotAudioCheckBoxChanged(int index) {
  CheckTableWidgetCheckBox(ui.noteTableWidget, index ? Qt::Checked : Qt::Unchecked);
}
void SorbeckRecovery::slotDocumentCheckBoxChanged(int index) {
  CheckTableWidgetCheckBox(ui.caldTableWidget, index ? Qt::Checked : Qt::Unchecked);
}
void SorbeckRecovery::slotOtherCheckBoxChanged(int index) {
  CheckTableWidgetCheckBox(ui.ContentTableWidget, index ? Qt::Checked : Qt::Unchecked);
}

void SorbeckRecovery::ShowDetails(const QList<QXQuickScanFileNode*>& list, QTableWidgetItem* item, QLabel* name,
                                  QLabel* size, QLabel* source) {
  if (!item || item->row() < 0 || item->row() >= list.size()) return;
  const QXQuickScanFileNode* n = list[item->row()];
  name->setText(QStringLiteral("File Name: ") + n->m_fileName);
  size->setText(QStringLiteral("File Size: ") + n->m_sizeText);
  source->setText(QStringLiteral("Source Path: ") + n->m_fullPath);
}

void SorbeckRecovery::ClickContentTabelWidget(QTableWidgetItem* theItem) {
  ShowDetails(m_otherNodes, theItem, ui.OtherFileNamelab, ui.OtherFileSizelab, ui.OtherFileSourcelab);
}
void SorbeckRecovery::ClickMessageTabelWidget(QTableWidgetItem* theItem) {
  ShowDetails(m_videoNodes, theItem, ui.VideoFileNamelab, ui.VideoFileSizelab, ui.VideoFileSourcelab);
}
void SorbeckRecovery::ClickNoteTabelWidget(QTableWidgetItem* theItem) {
  ShowDetails(m_audioNodes, theItem, ui.AudioFileNamelab, ui.AudioFileSizelab, ui.AudioFileSourcelab);
}
void SorbeckRecovery::ClickDoucmentTabelWidget(QTableWidgetItem* theItem) {
  ShowDetails(m_documentNodes, theItem, ui.DocumentFileNamelab, ui.DocumentFileSizelab, ui.DocumentFileSourcelab);
}

void SorbeckRecovery::ClickedContactTabelWidget(QTableWidgetItem* theItem) {
  if (!theItem || !m_shownRecord) return;
  QXQuickScanFileNode* node = NodeOfItem(theItem);
  if (!node || !m_shownRecord->m_nodes.contains(node)) return;
  if (m_copyThread) {
    SetStatus(tr("Preview is not available while files are being copied."));
    return;
  }
  // The scan uses the engine's one file reader of the results tree as it goes.
  if (m_scanThread) {
    SetStatus(tr("Preview is available when the scan has ended."));
    return;
  }
  if (!node->m_isImage) {
    ui.ContactImagelab->setPixmap(Skin("notsupportpreview.png"));
    return;
  }
  if (node->m_size > PreviewReader::kMaxPreviewBytes) {
    ui.ContactImagelab->setPixmap(Skin("notsupportpreview.png"));
    SetStatus(tr("This file is too large to preview."));
    return;
  }
  StartPreview(node);
}

void SorbeckRecovery::StartPreview(QXQuickScanFileNode* node) {
  if (m_preview) {
    // One reader at a time; the latest click is shown when the current read ends.
    m_pendingPreview = node;
    return;
  }
  m_pendingPreview = nullptr;
  m_preview = new PreviewReader(m_scanner, node->m_file, ++m_previewToken);
  connect(m_preview, SIGNAL(finished()), this, SLOT(PreviewFinished()), Qt::QueuedConnection);
  m_preview->start();
}

void SorbeckRecovery::PreviewFinished() {
  if (!m_preview || sender() != m_preview) return;
  m_preview->wait();
  PreviewReader* done = m_preview;
  m_preview = nullptr;
  QImage image;
  if (done->Outcome() == 0 || done->Outcome() == 3) image.loadFromData(done->Data());
  if (image.isNull())
    ui.ContactImagelab->setPixmap(Skin("contact.png"));
  else
    ui.ContactImagelab->setPixmap(
        QPixmap::fromImage(image.scaled(180, 120, Qt::IgnoreAspectRatio, Qt::FastTransformation)));
  delete done;
  if (m_pendingPreview && m_shownRecord && m_shownRecord->m_nodes.contains(m_pendingPreview))
    StartPreview(m_pendingPreview);
  m_pendingPreview = nullptr;
}

void SorbeckRecovery::WaitForPreview() {
  m_pendingPreview = nullptr;
  if (!m_preview) return;
  m_preview->disconnect(this);
  m_preview->wait();
  delete m_preview;
  m_preview = nullptr;
}

void SorbeckRecovery::ClickRecoveryAction() {
  if (m_copyThread || m_scanThread) return;
  const QString folder = QFileDialog::getExistingDirectory(this, tr("Open Directory"), QStringLiteral("/home"),
                                                           QFileDialog::ShowDirsOnly | QFileDialog::DontResolveSymlinks);
  if (folder.isEmpty()) return;
  StartCopy(folder);
}

bool SorbeckRecovery::StartCopy(const QString& folder) {
  if (m_copyThread) {
    SetStatus(tr("A copy is already running."));
    return false;
  }
  if (m_scanThread) {
    SetStatus(tr("Files can be copied when the scan has ended."));
    return false;
  }
  WaitForPreview();
  // Checked before anything is created: even the "Velmora" folder must not land on the scanned device.
  const QString refusal = TargetRefusal(folder, ScannedDevicePath(m_scannedDevice));
  if (!refusal.isEmpty()) {
    SetStatus(refusal);
    return false;
  }
  m_copyTarget = QDir::cleanPath(folder) + QStringLiteral("/Velmora");
  if (!QDir().mkpath(m_copyTarget)) {
    SetStatus(tr("The folder %1 could not be created.").arg(m_copyTarget));
    return false;
  }
  QList<QXFolderRecord*> records;
  for (QTreeWidgetItem* item : m_folderOrder) records << m_folderMap.value(item);
  m_copyThread = new JMRecoverFileThreader;
  connect(m_copyThread, SIGNAL(singalRecoverProgress(int)), this, SLOT(singalRecoverProgressHandle(int)));
  connect(m_copyThread, SIGNAL(signalRecoverFinish()), this, SLOT(signalRecoverFinishHandle()));
  m_copyThread->SetRecoverParams(records, m_copyTarget, m_scanner);
  // The results tree's one file reader serves one copy at a time and nothing else meanwhile.
  ui.recoveryBtn->setEnabled(false);
  ui.HomeButton->setEnabled(false);
  SetStatus(tr("Copying files to %1 ...").arg(m_copyTarget));
  m_copyThread->start(QThread::InheritPriority);
  return true;
}

void SorbeckRecovery::singalRecoverProgressHandle(int num) {
  if (m_copyThread && sender() == m_copyThread) SetStatus(tr("Copying files to %1 ... %2%").arg(m_copyTarget).arg(num));
}

void SorbeckRecovery::signalRecoverFinishHandle() {
  if (!m_copyThread || sender() != m_copyThread) return;
  m_copyThread->wait();
  JMRecoverFileThreader* done = m_copyThread;
  m_copyThread = nullptr;
  QString text = tr("%1 files copied to %2, %3 failed.").arg(done->Copied()).arg(m_copyTarget).arg(done->Failed());
  if (done->Stopped()) text += QLatin1Char(' ') + tr("The copy was stopped.");
  if (!done->Failures().isEmpty()) {
    text += QLatin1Char(' ') + done->Failures().first();
    if (done->Failures().size() > 1) text += tr(" (and %1 more)").arg(done->Failures().size() - 1);
    m_statusLab->setToolTip(done->Failures().mid(0, 50).join(QLatin1Char('\n')));
  }
  SetStatus(text);
  delete done;
  ui.recoveryBtn->setEnabled(true);
  ui.HomeButton->setEnabled(true);
}

void SorbeckRecovery::StopCopy() {
  if (!m_copyThread) return;
  m_copyThread->disconnect(this);
  m_copyThread->RequestStop();
  m_copyThread->wait();
  delete m_copyThread;
  m_copyThread = nullptr;
}

void SorbeckRecovery::ClearResults() {
  WaitForPreview();
  m_fillingTable = true;
  ui.contantTableWidget->clearContents();
  m_fillingTable = false;
  {
    const QSignalBlocker block(ui.resultTreeWidget);
    ui.resultTreeWidget->clear();
  }
  qDeleteAll(m_folderMap);
  m_folderMap.clear();
  m_folderOrder.clear();
  m_topItem = nullptr;
  m_shownItem = nullptr;
  m_shownRecord = nullptr;
  ui.ContactImagelab->clear();
  SetStatus(QString());
}
