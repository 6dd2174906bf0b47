// The results page: the folder tree and file table of the found files, their check marks, the
// preview and the copy of the ticked files.
#include <QCoreApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QIcon>
#include <QImage>
#include <QImageReader>
#include <QLabel>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "common/inc/ifileinfo.h"
#include "frontend/copysafety.h"
#include "frontend/formatsize.h"
#include "frontend/previewthread.h"
#include "frontend/recoverthread.h"
#include "frontend/sizeitem.h"
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

// Picture files of kinds Qt cannot draw (XCF, camera raw, ...) are no pictures to the preview.
bool CanDraw(const QString& fileName) {
  const QByteArray suffix = QFileInfo(fileName).suffix().toLower().toLatin1();
  return !suffix.isEmpty() && QImageReader::supportedImageFormats().contains(suffix);
}

}  // namespace

void SorbeckRecovery::SetStatus(const QString& text, const QString& detail, const QString& folder) {
  const QString folderLine = folder.isEmpty() ? QString() : tr("Folder: %1").arg(folder);
  m_statusText = folderLine.isEmpty() ? text : text + QLatin1Char('\n') + folderLine;
  m_statusDetail = detail;
  if (!m_statusLab) return;
  // Measured with the font the label draws with once styled, a little short of its edge. The
  // folder keeps its start and its end, where its name is.
  m_statusLab->ensurePolished();
  const QFontMetrics fm = m_statusLab->fontMetrics();
  const int room = m_statusLab->width() - 4;
  QString shown;
  if (!folderLine.isEmpty()) {
    shown = fm.elidedText(text, Qt::ElideRight, room) + QLatin1Char('\n') +
            fm.elidedText(folderLine, Qt::ElideMiddle, room);
  } else if (fm.boundingRect(QRect(0, 0, room, 4096), Qt::TextWordWrap, text).height() <= m_statusLab->height()) {
    // Without a folder both lines are the text's own.
    shown = text;
  } else {
    shown = fm.elidedText(text, Qt::ElideRight, 2 * room - 12 * fm.averageCharWidth());
  }
  m_statusLab->setText(shown);
  QString tip = m_statusText;
  if (!detail.isEmpty()) tip += QStringLiteral("\n\n") + detail;
  m_statusLab->setToolTip(tip);
  m_statusLab->setVisible(!text.isEmpty());
  if (m_detailsBtn) m_detailsBtn->setVisible(!detail.isEmpty());
  if (QDialog* open = findChild<QDialog*>(QStringLiteral("statusDetailsDialog"))) open->close();
}

void SorbeckRecovery::ShowStatusDetails() {
  if (m_statusDetail.isEmpty()) return;
  if (QDialog* open = findChild<QDialog*>(QStringLiteral("statusDetailsDialog"))) {
    open->raise();
    return;
  }
  // Not modal: the window stays usable while the names are read.
  QDialog* dialog = new QDialog(this);
  dialog->setObjectName(QStringLiteral("statusDetailsDialog"));
  dialog->setAttribute(Qt::WA_DeleteOnClose);
  dialog->setWindowTitle(tr("Velmora - details"));
  dialog->resize(620, 360);
  QVBoxLayout* layout = new QVBoxLayout(dialog);
  QLabel* summary = new QLabel(m_statusText, dialog);
  summary->setWordWrap(true);
  summary->setTextInteractionFlags(Qt::TextSelectableByMouse);
  QPlainTextEdit* list = new QPlainTextEdit(m_statusDetail, dialog);
  list->setObjectName(QStringLiteral("statusDetailsText"));
  list->setReadOnly(true);
  list->setLineWrapMode(QPlainTextEdit::NoWrap);
  QDialogButtonBox* buttons = new QDialogButtonBox(QDialogButtonBox::Close, dialog);
  connect(buttons, &QDialogButtonBox::rejected, dialog, &QDialog::close);
  layout->addWidget(summary);
  layout->addWidget(list);
  layout->addWidget(buttons);
  dialog->show();
}

void SorbeckRecovery::EnsureTopItem() {
  if (m_topItem) return;
  m_topItem = new QTreeWidgetItem;
  // Files must stay reachable even when no drive name was ever clicked.
  m_topItem->setText(0, !m_scanRootName.isEmpty()        ? m_scanRootName
                        : !m_selectedDriveName.isEmpty() ? m_selectedDriveName
                                                         : tr("Drive"));
  m_topItem->setIcon(0, FolderIcon());
  // The tree is narrow: a device name cut at its edge is read whole here.
  m_topItem->setToolTip(0, m_topItem->text(0));
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
  QTreeWidgetItem* firstNew = nullptr;
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
      next->setToolTip(0, name);
      next->setCheckState(0, Qt::Checked);
      next->setIcon(0, FolderIcon());
      current->addChild(next);
      if (!firstNew) firstNew = next;
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
  if (node->m_checked) {
    ++record->m_ticked;
    ++m_tickedCount;
    m_tickedSize += node->m_size;
  }
  parts << fileName;
  node->m_treePath = parts.join(QLatin1Char('/'));
  // A file arriving in an unticked folder leaves it partly ticked, and so its parents.
  UpdateFolderStates(current, false);
  if (firstNew) UpdateFolderStates(firstNew->parent(), false);
}

void SorbeckRecovery::SetNodeChecked(QXFolderRecord* record, QXQuickScanFileNode* node, bool checked) {
  if (!record || !node || bool(node->m_checked) == checked) return;
  node->m_checked = checked ? 1 : 0;
  const int step = checked ? 1 : -1;
  record->m_ticked += step;
  m_tickedCount += step;
  if (checked)
    m_tickedSize += node->m_size;
  else
    m_tickedSize -= node->m_size;
}

void SorbeckRecovery::SetTreeChecks(QTreeWidgetItem* item, bool checked, int depth) {
  if (!item || depth > kMaxTreeDepth) return;
  if (QXFolderRecord* r = m_folderMap.value(item))
    for (QXQuickScanFileNode* n : r->m_nodes) SetNodeChecked(r, n, checked);
  for (int i = 0; i < item->childCount(); ++i) {
    item->child(i)->setCheckState(0, checked ? Qt::Checked : Qt::Unchecked);
    SetTreeChecks(item->child(i), checked, depth + 1);
  }
}

Qt::CheckState SorbeckRecovery::FolderState(QTreeWidgetItem* item) const {
  bool any = false, all = true, seen = false;
  if (const QXFolderRecord* r = m_folderMap.value(item)) {
    seen = !r->m_nodes.isEmpty();
    any = r->m_ticked > 0;
    all = r->m_ticked == r->m_nodes.size();
  }
  for (int i = 0; i < item->childCount(); ++i) {
    const Qt::CheckState s = item->child(i)->checkState(0);
    seen = true;
    any = any || s != Qt::Unchecked;
    all = all && s == Qt::Checked;
  }
  if (!seen) return item->checkState(0);
  return all ? Qt::Checked : any ? Qt::PartiallyChecked : Qt::Unchecked;
}

void SorbeckRecovery::UpdateFolderStates(QTreeWidgetItem* from, bool force) {
  const QSignalBlocker block(ui.resultTreeWidget);
  for (int depth = 0; from && depth <= kMaxTreeDepth; from = from->parent(), ++depth) {
    const Qt::CheckState s = FolderState(from);
    const bool changed = s != from->checkState(0);
    if (changed) from->setCheckState(0, s);
    // A parent's state is read from its children's states only, so an unchanged one ends the walk.
    if (!changed && !force) break;
    force = false;
  }
}

void SorbeckRecovery::ShowImageBoxState() {
  // The box ticks the shown folder's own files; it mirrors them without acting on them.
  Qt::CheckState s = Qt::Checked;
  if (m_shownRecord && !m_shownRecord->m_nodes.isEmpty())
    s = m_shownRecord->m_ticked == m_shownRecord->m_nodes.size() ? Qt::Checked
        : m_shownRecord->m_ticked == 0                          ? Qt::Unchecked
                                                                 : Qt::PartiallyChecked;
  const QSignalBlocker block(ui.checkBox_Image);
  ui.checkBox_Image->setTristate(s == Qt::PartiallyChecked);
  ui.checkBox_Image->setCheckState(s);
}

void SorbeckRecovery::ShowTickedCount() {
  ui.allfilecountbotlab->setText(QString::number(m_tickedCount));
  ui.allfileSizebotlab->setText(FormatFileSizeText(m_tickedSize));
  // Once something is ticked again, the request to tick something has been answered.
  if (m_tickedCount > 0 && m_statusText == NothingTickedText()) SetStatus(m_scanEndStatus);
}

void SorbeckRecovery::ClickChectBoxResultTreeWidget(QTreeWidgetItem* theItem, int colomn) {
  if (!theItem || colomn != 0) return;
  const Qt::CheckState state = theItem->checkState(0);
  // Only a folder's own subtree follows its box; its parents then show what is ticked below them.
  if (state != Qt::PartiallyChecked) {
    const QSignalBlocker block(ui.resultTreeWidget);
    SetTreeChecks(theItem, state == Qt::Checked, 0);
  }
  UpdateFolderStates(theItem, true);
  RefreshShownChecks();
  ShowTickedCount();
}

void SorbeckRecovery::RefreshShownChecks() {
  ShowImageBoxState();
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
  // The picture of a file of another folder is not left standing beside this one's list.
  ClearPreview(false);
  // The highlight follows the folder shown, also when the click was on its tick box.
  if (theItem && ui.resultTreeWidget->currentItem() != theItem) {
    const QSignalBlocker block(ui.resultTreeWidget);
    ui.resultTreeWidget->setCurrentItem(theItem);
  }
  QXFolderRecord* record = theItem ? m_folderMap.value(theItem) : nullptr;
  if (!record) {
    // A folder with no files of its own: the table is empty, and the box acts on nothing.
    if (theItem) {
      m_fillingTable = true;
      table->setRowCount(0);
      m_fillingTable = false;
      m_shownItem = nullptr;
      m_shownRecord = nullptr;
      ShowImageBoxState();
    }
    return;
  }
  m_shownItem = theItem;
  m_shownRecord = record;
  // Showing a folder must not tick or untick anything in it.
  ShowImageBoxState();

  m_fillingTable = true;
  // Filled unsorted: with sorting on, every row would move as soon as its first cell is set.
  table->setSortingEnabled(false);
  table->clearContents();
  table->setColumnCount(3);
  const int n = record->m_nodes.size();
  // Names wider than the usual column get more of the table's width (the path, the last column,
  // takes the rest): long names of one pattern differ only towards their ends.
  int widest = 0;
  const QFontMetrics fm = table->fontMetrics();
  for (const QXQuickScanFileNode* node : record->m_nodes)
    widest = qMax(widest, fm.horizontalAdvance(node->m_fileName));
  table->setColumnWidth(0, qBound(180, widest + 48, 330));
  table->setColumnWidth(1, 150);
  table->setColumnWidth(2, 210);
  table->setRowCount(qMax(n, 8));
  const QColor noDataColour = table->palette().color(QPalette::Disabled, QPalette::Text);
  for (int i = 0; i < n; ++i) {
    QXQuickScanFileNode* node = record->m_nodes[i];
    table->setRowHeight(i, 23);
    const bool noData = !node->m_noDataReason.isEmpty();
    QTableWidgetItem* name = new QTableWidgetItem(node->m_fileName);
    name->setCheckState(node->m_checked ? Qt::Checked : Qt::Unchecked);
    QTableWidgetItem* size = new SizeTableItem(node->m_sizeText, node->m_size);
    QTableWidgetItem* source = new QTableWidgetItem(node->m_fullPath);
    // Names and paths longer than their columns are read whole in the tooltip.
    name->setToolTip(node->m_fileName);
    source->setToolTip(node->m_fullPath);
    for (QTableWidgetItem* cell : {name, size, source}) {
      cell->setData(kNodeRole, QVariant::fromValue(reinterpret_cast<quintptr>(node)));
      // Listed for its name, greyed and said why: a copy of it can only fail.
      if (noData) {
        cell->setForeground(noDataColour);
        const QString why =
            tr("No data: %1. It is listed for its name; it cannot be copied.").arg(node->m_noDataReason);
        cell->setToolTip(cell->toolTip().isEmpty() ? why : cell->toolTip() + QLatin1Char('\n') + why);
      }
    }
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
  SetNodeChecked(m_shownRecord, node, theItem->checkState() == Qt::Checked);
  UpdateFolderStates(m_shownItem, false);
  ShowImageBoxState();
  ShowTickedCount();
}

void SorbeckRecovery::CheckTableWidgetCheckBox(QTableWidget* pTableWidget, Qt::CheckState state) {
  if (!pTableWidget) return;
  for (int row = 0; row < pTableWidget->rowCount(); ++row)
    if (QTableWidgetItem* item = pTableWidget->item(row, 0)) item->setCheckState(state);
}

void SorbeckRecovery::slotImageCheckBoxChanged(int index) {
  // A click on a partly ticked box ticks the whole folder.
  const bool on = index != Qt::Unchecked;
  const Qt::CheckState state = on ? Qt::Checked : Qt::Unchecked;
  m_fillingTable = true;
  CheckTableWidgetCheckBox(ui.contantTableWidget, state);
  m_fillingTable = false;
  if (m_shownRecord)
    for (QXQuickScanFileNode* n : m_shownRecord->m_nodes) SetNodeChecked(m_shownRecord, n, on);
  // The folder item shows its subfolders too, so it is worked out rather than set.
  if (m_shownItem) UpdateFolderStates(m_shownItem, true);
  ShowImageBoxState();
  ShowTickedCount();
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

void SorbeckRecovery::ClearPreview(bool nonImage) {
  // A read still under way belongs to the file shown before; its picture is no longer wanted.
  ++m_previewToken;
  m_pendingPreview = nullptr;
  m_previewNode = nullptr;
  if (nonImage) {
    ui.ContactImagelab->setPixmap(Skin("notsupportpreview.png"));
  } else {
    ui.ContactImagelab->clear();
    ui.ContactImagelab->setAlignment(Qt::AlignCenter);
    ui.ContactImagelab->setText(tr("No preview"));
  }
}

void SorbeckRecovery::ContactTableCurrentChanged(QTableWidgetItem* current, QTableWidgetItem*) {
  // Moving to another row (also with the keys) must not leave the last file's picture beside it.
  QXQuickScanFileNode* node = NodeOfItem(current);
  if (node != m_previewNode) ClearPreview(false);
}

void SorbeckRecovery::ClickedContactTabelWidget(QTableWidgetItem* theItem) {
  if (!theItem || !m_shownRecord) return;
  QXQuickScanFileNode* node = NodeOfItem(theItem);
  if (!node || !m_shownRecord->m_nodes.contains(node)) {
    ClearPreview(false);
    return;
  }
  if (m_copyThread) {
    SetStatus(tr("Preview is not available while files are being copied."));
    return;
  }
  // The scan uses the engine's one file reader of the results tree as it goes.
  if (m_scanThread) {
    SetStatus(tr("Preview is available when the scan has ended."));
    return;
  }
  if (!node->m_noDataReason.isEmpty()) {
    ClearPreview(false);
    ui.ContactImagelab->setText(tr("No preview: this file has no data"));
    return;
  }
  if (!node->m_isImage || !CanDraw(node->m_fileName)) {
    ClearPreview(true);
    return;
  }
  if (node->m_size > PreviewReader::kMaxPreviewBytes) {
    ClearPreview(true);
    SetStatus(tr("This file is too large to preview."));
    return;
  }
  if (node == m_previewNode) return;
  ClearPreview(false);
  m_previewNode = node;
  ui.ContactImagelab->setText(tr("Loading preview..."));
  StartPreview(node);
}

void SorbeckRecovery::StartPreview(QXQuickScanFileNode* node) {
  if (m_preview) {
    // One reader at a time; the latest click is shown when the current read ends.
    m_pendingPreview = node;
    return;
  }
  m_pendingPreview = nullptr;
  m_preview = new PreviewReader(m_scanner, node->m_file, m_previewToken);
  connect(m_preview, SIGNAL(finished()), this, SLOT(PreviewFinished()), Qt::QueuedConnection);
  m_preview->start();
}

void SorbeckRecovery::PreviewFinished() {
  if (!m_preview || sender() != m_preview) return;
  m_preview->wait();
  PreviewReader* done = m_preview;
  m_preview = nullptr;
  if (done->Token() == m_previewToken) {
    QImage image;
    if (done->Outcome() == 0 || done->Outcome() == 3) image.loadFromData(done->Data());
    if (image.isNull())
      ui.ContactImagelab->setPixmap(Skin("contact.png"));
    else
      // Within the box, in the picture's own shape.
      ui.ContactImagelab->setPixmap(
          QPixmap::fromImage(image.scaled(180, 120, Qt::KeepAspectRatio, Qt::FastTransformation)));
  }
  delete done;
  QXQuickScanFileNode* next = m_pendingPreview;
  m_pendingPreview = nullptr;
  if (next && next == m_previewNode && m_shownRecord && m_shownRecord->m_nodes.contains(next)) StartPreview(next);
}

void SorbeckRecovery::WaitForPreview() {
  m_pendingPreview = nullptr;
  if (!m_preview) return;
  m_preview->disconnect(this);
  m_preview->wait();
  delete m_preview;
  m_preview = nullptr;
  // The picture that was being read will not come.
  ClearPreview(false);
}

void SorbeckRecovery::ClickRecoveryAction() {
  if (m_copyThread || m_scanThread) return;
  // Asked before a folder is chosen: with nothing ticked, nothing is to be made anywhere.
  if (m_tickedCount == 0) {
    SetStatus(NothingTickedText());
    return;
  }
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
  if (m_tickedCount == 0) {
    SetStatus(NothingTickedText());
    return false;
  }
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
  // What went wrong comes first, so that it is on screen even when the line is shortened.
  QString text = tr("%1 copied, %2 failed").arg(FileCount(done->Copied())).arg(done->Failed());
  QStringList detail;
  if (!done->Failures().isEmpty()) {
    text += QStringLiteral(": ") + done->FirstReason() + QStringLiteral(" (") + done->Failures().first().section(QStringLiteral(": "), 0, 0) + QLatin1Char(')');
    if (done->Failures().size() > 1) text += tr(" and %1 more").arg(done->Failures().size() - 1);
    detail << tr("Not copied:") << done->Failures();
  }
  text += QLatin1Char('.');
  if (done->Stopped()) text += QLatin1Char(' ') + tr("The copy was stopped.");
  // Files already in the folder are never replaced; the person must know which names the new ones got.
  const QStringList& renamed = done->Renamed();
  if (!renamed.isEmpty()) {
    QStringList names;
    for (const QString& r : renamed.mid(0, 3)) names << QFileInfo(r).fileName();
    text += QLatin1Char(' ') + (renamed.size() == 1
                                    ? tr("1 file was given a new name beside a file of the same name: %1")
                                          .arg(names.join(QStringLiteral(", ")))
                                    : tr("%1 files were given new names beside files of the same name: %2")
                                          .arg(renamed.size())
                                          .arg(names.join(QStringLiteral(", "))));
    if (renamed.size() > 3) text += tr(" and %1 more").arg(renamed.size() - 3);
    text += QLatin1Char('.');
    if (!detail.isEmpty()) detail << QString();
    detail << tr("New names:") << renamed;
  }
  SetStatus(text, detail.join(QLatin1Char('\n')), m_copyTarget);
  delete done;
  ui.recoveryBtn->setEnabled(true);
  ui.HomeButton->setEnabled(true);
}

QString SorbeckRecovery::NothingTickedText() const {
  if (m_fileCount == 0) return tr("No file was found, so there is nothing to recover.");
  return tr("No file is ticked: tick the files or folders to recover, then click Recover.");
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
  // No empty rows of the last folder shown, nor their scroll bar, stand under the next scan.
  ui.contantTableWidget->setRowCount(0);
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
  m_tickedCount = 0;
  m_tickedSize = 0;
  ShowImageBoxState();
  ClearPreview(false);
  SetStatus(QString());
  m_scanEndStatus.clear();
}
